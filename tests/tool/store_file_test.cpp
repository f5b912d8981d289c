// The backup file: what it looks like, every reason a file is refused, and
// that the simulator's store reads what a backup writes and the other way
// round.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform_files.h"
#include "sim/ps_store.h"
#include "tool/store_file.h"

namespace {

using Words = std::vector<std::uint16_t>;

std::string words_line(const std::string& key, int count)
{
    std::string line = key + " =";
    for (int i = 0; i < count; ++i) {
        line += " 0x0001";
    }
    return line + "\n";
}

struct BadFile {
    const char* what;
    std::string text;
    int line;
    const char* reason;
};

TEST(StoreFile, EveryBadLineIsReportedWithItsNumberAndReason)
{
    const std::string good = "# a backup\n0x01f9 = 0x0001\n";
    const BadFile files[] = {
        // Malformed lines.
        {"no '='", good + "0x024b 0x0030\n", 3, "expected '=' and value words, or \"absent\""},
        {"no key number", good + "key = 1\n", 3, "expected a key number (0x0108), found 'key'"},
        {"no value", good + "0x024b =\n", 3, "key 0x024b has no value words"},
        {"beyond 16 bits", good + "0x024b = 0x10000\n", 3, "value word 1 ('0x10000') is not a 16-bit number"},
        {"not a number", good + "0x024b = 1 0x00zz\n", 3, "value word 2 ('0x00zz') is not a 16-bit number"},
        {"key beyond 16 bits", good + "0x10000 = 1\n", 3, "expected a key number"},
        {"absent with a value", good + "0x024b absent 1\n", 3, "or \"absent\", after the key"},
        {"count of 0", good + "0x0777:0 = 1\n", 3, "the word count after ':' must be a number from 1 to 56"},
        {"count against the words", good + "0x0777:2 = 1\n", 3, "key 0x0777:2 has 1 value words"},
        // An unknown key without a word count.
        {"unknown absent key", good + "0x0777 absent\n", 3, "unknown key 0x0777 without a word count"},
        // More than a key holds.
        {"57 words", good + words_line("0x0777", 57), 3, "has 57 value words, more than the 56 a key holds"},
        // The same key twice, however written.
        {"duplicate", good + "505 absent\n", 3, "key 0x01f9 is already given on line 2"},
        // A decimal number with a leading zero is not taken for another number.
        {"leading zero", good + "0108 = 1\n", 3, "expected a key number (0x0108), found '0108'"},
        {"leading zero in a word", good + "0x024b = 048\n", 3, "value word 1 ('048') is not a 16-bit number"},
        // A key the update writes holds its own count.
        {"a known key's count", good + "0x0191 = 1 2 3\n", 3, "PSKEY_UART_CONFIG holds 10 words, the line gives 3"},
        // A file cut short: its last line has no line end.
        {"cut short", good + "0x024b = 0x0030", 3, "the file ends without a line end"},
    };
    for (const BadFile& file : files) {
        SCOPED_TRACE(file.what);
        const StoreFileContents contents = store_file_parse(file.text);
        ASSERT_EQ(contents.problems.size(), 1u);
        EXPECT_EQ(contents.problems[0].line, file.line);
        EXPECT_NE(contents.problems[0].reason.find(file.reason), std::string::npos) << contents.problems[0].reason;
    }
    // Every bad line of one file, in order, not only the first.
    const StoreFileContents several = store_file_parse("0x0001 = x\n0x0002 = 1\n\n0x0002 = 2\nnonsense\n");
    ASSERT_EQ(several.problems.size(), 3u);
    EXPECT_EQ(several.problems[0].line, 1);
    EXPECT_EQ(several.problems[1].line, 4);
    EXPECT_EQ(several.problems[2].line, 5);
}

TEST(StoreFile, HandEditedLinesAreRead)
{
    const std::string text = "# comment\r\n"
                             "\n"
                             "   0x0108 = 0x694b 0x6374\t0x6568 0x006e   # PSKEY_DEVICE_NAME \"Kitchen\"\r\n"
                             "0x024B=48\n"
                             "0x0202 absent # PSKEY_PIO_PROTECT_MASK\n"
                             "0x0777:2 absent\n"
                             "0x0778:2 = 1 2\n" +
                             words_line("0x0779", 56) + "0x0191:3 = 1 2 3\n"  // a known key of another count, declared
                                                        "0x01f9 = 0x0001\n";
    const StoreFileContents contents = store_file_parse(text);
    ASSERT_TRUE(contents.problems.empty()) << contents.problems[0].reason;
    ASSERT_EQ(contents.lines.size(), 8u);
    EXPECT_EQ(contents.lines[0].key, 0x0108);
    EXPECT_EQ(contents.lines[0].words, (Words{0x694B, 0x6374, 0x6568, 0x006E}));
    EXPECT_EQ(contents.lines[0].line, 3);
    EXPECT_EQ(contents.lines[1].words, Words{48});
    EXPECT_TRUE(contents.lines[2].absent);
    EXPECT_TRUE(contents.lines[3].absent);
    EXPECT_EQ(contents.lines[3].declared_words, 2);
    EXPECT_EQ(contents.lines[4].words, (Words{1, 2}));
    EXPECT_EQ(contents.lines[5].words.size(), 56u);
    EXPECT_EQ(contents.lines[6].declared_words, 3);
    EXPECT_EQ(contents.lines[7].key, 0x01F9);
    EXPECT_EQ(contents.lines[7].line, 10);
}

std::vector<StoreLine> sample_lines()
{
    std::vector<StoreLine> lines(4);
    lines[0].key = 0x0108;
    lines[0].words = {0x694B, 0x6374, 0x6568, 0x006E};
    lines[1].key = 0x01F9;
    lines[1].words = {0x0001};
    lines[2].key = 0x0202;
    lines[2].absent = true;
    lines[3].key = 0x0777;
    lines[3].absent = true;
    lines[3].declared_words = 3;
    return lines;
}

TEST(StoreFile, ABackupReadsLikeTheExampleAndParsesBackToItsLines)
{
    const StoreOrigin origin{"2026-12-08 14:02 UTC", "/dev/ttyUSB0", "Veltrane_Tools Marrowlink Firmware 1.2.9", 4321};
    const std::string text = store_file_render(origin, sample_lines());
    EXPECT_EQ(text, "# marrowlink store backup, 2026-12-08 14:02 UTC\n"
                    "# port /dev/ttyUSB0, firmware \"Veltrane_Tools Marrowlink Firmware 1.2.9\", build id 4321\n"
                    "0x0108 = 0x694b 0x6374 0x6568 0x006e          # PSKEY_DEVICE_NAME \"Kitchen\"\n"
                    "0x01f9 = 0x0001                               # PSKEY_HOST_INTERFACE\n"
                    "0x0202 absent                                 # PSKEY_PIO_PROTECT_MASK\n"
                    "0x0777:3 absent\n");
    const StoreFileContents back = store_file_parse(text);
    ASSERT_TRUE(back.problems.empty());
    ASSERT_TRUE(back.origin.has_value());
    EXPECT_EQ(back.origin->firmware, origin.firmware);
    EXPECT_EQ(back.origin->build_id, 4321);
    ASSERT_EQ(back.lines.size(), 4u);
    for (std::size_t i = 0; i < back.lines.size(); ++i) {
        EXPECT_EQ(back.lines[i].key, sample_lines()[i].key);
        EXPECT_EQ(back.lines[i].words, sample_lines()[i].words);
        EXPECT_EQ(back.lines[i].absent, sample_lines()[i].absent);
        EXPECT_EQ(back.lines[i].declared_words, sample_lines()[i].declared_words);
    }
}

// Text from the adapter lands in a comment; a line end in it must not start a
// key line of its own.
TEST(StoreFile, OddTextInTheHeaderStaysInItsComment)
{
    const StoreOrigin origin{"today", "COM5\n0x01f9 = 0x0000", "v1\r\n0x03cd = 0x0001 \"quoted\"", -1};
    const std::string text = store_file_render(origin, sample_lines());
    const StoreFileContents back = store_file_parse(text);
    EXPECT_TRUE(back.problems.empty());
    EXPECT_EQ(back.lines.size(), 4u);
    EXPECT_NE(text.find("firmware \"v1\\x0d\\x0a0x03cd = 0x0001 \\\"quoted\\\"\", build id not read\n"),
              std::string::npos)
        << text;
}

class StoreFileOnDisk : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "store_file_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string read(const std::string& path)
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int write(const std::string& path, const std::string& text)
    {
        char why[256] = "";
        const int ok = file_write_whole(path.c_str(), text.data(), text.size(), FILE_REPLACE_EXISTING, nullptr, why,
                                       sizeof why);
        last_why = why;
        return ok;
    }
    std::string last_why;
};

// The simulator seeded with a backup holds what the backup says, absent keys
// included; the tool reads the simulator's own store file.
TEST_F(StoreFileOnDisk, TheSimulatorAndTheToolReadEachOthersFiles)
{
    const std::string path = dir + "/backup.txt";
    ASSERT_EQ(write(path, store_file_render({"today", "COM5", "v", 1}, sample_lines())), 1) << last_why;
    static PsStore store;
    int created = 0;
    char why[256] = "";
    ASSERT_EQ(ps_store_open(&store, path.c_str(), &created, why, sizeof why), 1) << why;
    EXPECT_EQ(store.count, 2);
    ASSERT_NE(ps_store_find(&store, 0x0108), nullptr);
    EXPECT_EQ(Words(ps_store_find(&store, 0x0108)->values, ps_store_find(&store, 0x0108)->values + 4),
              sample_lines()[0].words);
    EXPECT_EQ(ps_store_find(&store, 0x0202), nullptr);

    ps_store_set_defaults(&store);
    const std::string sim_path = dir + "/sim.txt";
    ASSERT_EQ(ps_store_save(&store, sim_path.c_str()), 1);
    const StoreFileContents contents = store_file_parse(read(sim_path));
    EXPECT_TRUE(contents.problems.empty());
    ASSERT_EQ(static_cast<int>(contents.lines.size()), store.count);
    for (int i = 0; i < store.count; ++i) {
        EXPECT_EQ(contents.lines[static_cast<std::size_t>(i)].words,
                  Words(store.entries[i].values, store.entries[i].values + store.entries[i].length));
    }
}

TEST_F(StoreFileOnDisk, AWholeWriteReplacesTheFileAndLeavesNothingElse)
{
    const std::string path = dir + "/backup.txt";
    ASSERT_EQ(write(path, "old\n"), 1) << last_why;
    ASSERT_EQ(write(path, "new content\n"), 1) << last_why;
    EXPECT_EQ(read(path), "new content\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1);
    const auto permissions = std::filesystem::status(path).permissions();
    EXPECT_NE(permissions & std::filesystem::perms::owner_read, std::filesystem::perms::none);

    // A folder that is not there: a reason, and no file anywhere.
    EXPECT_EQ(write(dir + "/missing/backup.txt", "x"), 0);
    EXPECT_NE(last_why.find("cannot create a temporary file beside " + dir + "/missing/backup.txt"),
              std::string::npos)
        << last_why;
    // A folder in the way of the rename: the old content stays, the temporary file goes.
    std::filesystem::create_directory(dir + "/taken");
    std::filesystem::create_directory(dir + "/taken/sub");
    EXPECT_EQ(write(dir + "/taken", "x"), 0);
    EXPECT_NE(last_why.find("cannot rename the temporary file to"), std::string::npos) << last_why;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);
}

}  // namespace
