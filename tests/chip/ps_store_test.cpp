// The persistent store file: defaults of a fresh chip, the text format, and
// files that must be refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "chip_test_support.h"
#include "sim/ps_store.h"

namespace {

class PsStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ps_store_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        path = dir + "/store.txt";
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    void write(const std::string& text)
    {
        std::ofstream(path) << text;
    }
    std::string read()
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    int open(PsStore* store)
    {
        int created = 0;
        why[0] = '\0';
        return ps_store_open(store, path.c_str(), &created, why, sizeof why);
    }

    std::string dir;
    std::string path;
    char why[256];
};

Words values_of(const PsEntry* e)
{
    return e == nullptr ? Words{} : Words(e->values, e->values + e->length);
}

TEST_F(PsStoreTest, MissingFileIsCreatedWithDefaults)
{
    static PsStore store;
    int created = 0;
    ASSERT_EQ(ps_store_open(&store, path.c_str(), &created, why, sizeof why), 1) << why;
    EXPECT_EQ(created, 1);
    std::string text = read();
    // Every key the updater writes has a value, one line each.
    for (const char* line : {"0x024b = 0x0020\n", "0x03cc = 0x0000\n", "0x01f9 = 0x0001\n", "0x025d = 0x0001\n",
                             "0x01c2 = 0x08a8\n", "0x0202 = 0x0000\n", "0x03cd = 0x0001\n", "0x04b1 = 0x0000\n",
                             "0x04f8 = 0x0000\n", "0x0229 = 0x0001\n",
                             "0x0191 = 0x01d8 0x00a8 0x00fa 0x0014 0x0004 0x0000 0x0004 0x001e 0x0064 0x000a\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    // The device name, packed two characters a word, low byte first.
    const PsEntry* name = ps_store_find(&store, 0x0108);
    ASSERT_NE(name, nullptr);
    std::string decoded;
    for (int i = 0; i < name->length; ++i) {
        decoded += static_cast<char>(name->values[i] & 0xFF);
        decoded += static_cast<char>(name->values[i] >> 8);
    }
    EXPECT_EQ(decoded, std::string("Marrowlink Adapter\0\0", 20));
    EXPECT_EQ(store.count, 12);

    // Opening it again reads what was written.
    static PsStore again;
    ASSERT_EQ(ps_store_open(&again, path.c_str(), &created, why, sizeof why), 1) << why;
    EXPECT_EQ(created, 0);
    ASSERT_EQ(again.count, store.count);
    for (int i = 0; i < store.count; ++i) {
        EXPECT_EQ(values_of(&again.entries[i]), values_of(&store.entries[i]));
    }
}

TEST_F(PsStoreTest, HandWrittenFileIsRead)
{
    write("# a comment\n"
          "\n"
          "  0x0108 = 0x614d   0x7272 # trailing comment\n"
          "0x024B=48\n"
          "583 = 0x0001\r\n"
          "0x024b = 0x0028\n"  // a repeated key keeps its last value
          "0x0202 = 0x0003\n"
          "0x0202 absent   # a backup's line for a key the chip did not hold\n"
          "0x0229 absent\n"
          "0x0777:2 = 0x0001 0x0002\n"
          "0x0001 = 0xffff");   // no newline at the end
    static PsStore store;
    ASSERT_EQ(open(&store), 1) << why;
    EXPECT_EQ(values_of(ps_store_find(&store, 0x0108)), (Words{0x614D, 0x7272}));
    EXPECT_EQ(values_of(ps_store_find(&store, 0x024B)), (Words{0x0028}));
    EXPECT_EQ(values_of(ps_store_find(&store, 583)), (Words{1}));
    EXPECT_EQ(values_of(ps_store_find(&store, 0x0001)), (Words{0xFFFF}));
    EXPECT_EQ(values_of(ps_store_find(&store, 0x0777)), (Words{1, 2}));
    EXPECT_EQ(ps_store_find(&store, 0x0202), nullptr);
    EXPECT_EQ(ps_store_find(&store, 0x0229), nullptr);
    EXPECT_EQ(store.count, 5);
    // Saved in key order, hexadecimal.
    ASSERT_EQ(ps_store_save(&store, path.c_str()), 1);
    std::string text = read();
    EXPECT_LT(text.find("0x0001 = 0xffff\n"), text.find("0x0108 = 0x614d 0x7272\n"));
    EXPECT_LT(text.find("0x0108 = "), text.find("0x0247 = 0x0001\n"));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(PsStoreTest, MalformedFilesAreRefusedWithTheLine)
{
    static PsStore store;
    const char* bad[] = {
        "0x024b 0x0030\n",           // no '='
        "0x024b =\n",                // no value
        "0x024b = 0x10000\n",        // beyond 16 bits
        "0x024b = 70000\n",          // beyond 16 bits
        "key = 1\n",                 // no number
        "0x024b = 0x00zz\n",         // not a number
        "0x = 1\n",                  // no digits
        "0x024b absentee\n",         // not the word absent
        "0x024b absent 1\n",         // absent with a value
        "0x024b:2 = 0x0030\n",       // fewer words than its count
        "0x024b:0 = 0x0030\n",       // no such count
        "0x024b: = 0x0030\n",        // no count after ':'
    };
    for (const char* text : bad) {
        write(std::string("# fine\n0x0001 = 1\n") + text);
        EXPECT_EQ(open(&store), 0) << text;
        EXPECT_NE(std::string(why).find("line 3"), std::string::npos) << why;
    }
    std::string many = "0x0001 =";
    for (int i = 0; i <= PS_STORE_MAX_WORDS; ++i) {
        many += " 1";
    }
    write(many + "\n");
    EXPECT_EQ(open(&store), 0);
    write("0x0001 = " + std::string(PS_STORE_MAX_LINE_CHARS, '1') + "\n");
    EXPECT_EQ(open(&store), 0);
    EXPECT_NE(std::string(why).find("longer than"), std::string::npos) << why;
}

TEST_F(PsStoreTest, StoreLimits)
{
    static PsStore store;
    store.count = 0;
    std::uint16_t v[PS_STORE_MAX_WORDS + 1] = {};
    EXPECT_EQ(ps_store_set(&store, 1, v, 0), 0);
    EXPECT_EQ(ps_store_set(&store, 1, v, PS_STORE_MAX_WORDS + 1), 0);
    EXPECT_EQ(ps_store_set(&store, 1, v, PS_STORE_MAX_WORDS), 1);
    for (int k = 2; k <= PS_STORE_MAX_KEYS; ++k) {
        ASSERT_EQ(ps_store_set(&store, static_cast<std::uint16_t>(k), v, 1), 1);
    }
    EXPECT_EQ(ps_store_set(&store, 0x7FFF, v, 1), 0) << "full";
    EXPECT_EQ(ps_store_set(&store, 5, v, 2), 1) << "replacing needs no room";
    ps_store_remove(&store, 5);
    EXPECT_EQ(ps_store_find(&store, 5), nullptr);
    EXPECT_EQ(ps_store_set(&store, 0x7FFF, v, 1), 1);

    std::uint16_t words[8];
    EXPECT_EQ(ps_store_pack_text("Marrowlink", words, 8), 6);
    EXPECT_EQ(words[0], 0x614D);
    EXPECT_EQ(words[5], 0x0000);
    EXPECT_EQ(ps_store_pack_text("Marrowlink/CL1", words, 8), 8);
    EXPECT_EQ(words[7], 0x0000);
    EXPECT_EQ(ps_store_pack_text("Marrowlink/CL123", words, 8), 0);
}

// A malformed store stops the chip from starting instead of being replaced.
TEST_F(PsStoreTest, ChipRefusesMalformedStore)
{
    write("0x024b = oops\n");
    ChipConfig config{};
    config.store_path = path.c_str();
    EXPECT_EQ(chip_create(&config), nullptr);
    EXPECT_NE(std::string(chip_create_error()).find("line 1"), std::string::npos) << chip_create_error();
    EXPECT_EQ(read(), "0x024b = oops\n");
}

}  // namespace
