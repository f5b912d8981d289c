// Reading and writing keys against the simulator's chip model on the fake
// serial port: a key's length found from the chip whatever it is, absent,
// refused and silent keys told apart, writes read back.
#include <gtest/gtest.h>

#include <fstream>

#include "bccmd/bccmd.h"
#include "bcsp/bcsp_port.h"
#include "fake_chip.h"
#include "fake_fixture.h"
#include "sim/ps_store.h"
#include "tool/store_chip.h"
#include "tool/store_run.h"

namespace {

using Words = std::vector<std::uint16_t>;

class StoreChipTest : public FakePlatformTest {
protected:
    FakeChip fake;
    ChipConfig config;

    void SetUp() override
    {
        FakePlatformTest::SetUp();
        bccmd_seqno = 0;
        bccmd_given_up_clear();
        config = fake_chip_config(&fake, 4321);
    }
    void TearDown() override
    {
        bcsp_port_close();
        fake_chip_stop(&fake);
        FakePlatformTest::TearDown();
    }
    void start(const std::string& store_text = "")
    {
        if (!store_text.empty()) {
            std::ofstream(fake.store_path) << store_text;
        }
        std::string error;
        ASSERT_TRUE(fake_chip_start(&fake, config, &error)) << error;
        ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    }
    // What the chip's store file holds for key (empty when nothing).
    Words stored(std::uint16_t key)
    {
        static PsStore store;
        int created = 0;
        char why[256];
        if (!ps_store_open(&store, fake.store_path.c_str(), &created, why, sizeof why)) {
            ADD_FAILURE() << why;
            return {};
        }
        const PsEntry* entry = ps_store_find(&store, key);
        return entry == nullptr ? Words{} : Words(entry->values, entry->values + entry->length);
    }
};

TEST_F(StoreChipTest, EveryDefaultKeyReadsAsTheChipHoldsIt)
{
    start();
    for (const StoreKey& key : store_keys_default()) {
        SCOPED_TRACE(store_key_label(key));
        const StoreRead read = store_chip_read(key);
        ASSERT_EQ(read.outcome, StoreReadOutcome::value) << store_read_text(read);
        EXPECT_EQ(read.words, stored(key.number));
        // A fixed key takes one read; the simulator's 10-word name is found
        // after the update's 6 and 8 and the counts from 1 up.
        EXPECT_EQ(read.reads, key.length_varies ? 10 : 1);
    }
}

TEST_F(StoreChipTest, ADeviceNameOfAnyLengthIsFoundWhole)
{
    start();
    for (int length : {1, 5, 6, 8, 9, 31, 56}) {
        SCOPED_TRACE(length);
        Words name(static_cast<std::size_t>(length));
        for (int i = 0; i < length; ++i) {
            name[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(0x4100 + i);
        }
        ASSERT_EQ(ps_write(0x0108, length, name.data()), 1);
        const StoreRead read = store_chip_read(store_key_for(0x0108));
        ASSERT_EQ(read.outcome, StoreReadOutcome::value) << store_read_text(read);
        EXPECT_EQ(read.words, name);
    }
}

struct OutcomeCase {
    const char* what;
    std::string key_text;
    StoreReadOutcome outcome;
    int reads;
    const char* text;
};

TEST_F(StoreChipTest, AbsentRefusedAndUnreadableKeysAreToldApart)
{
    config.error_status_key = 0x0229;
    std::string store = "0x0777 =";  // longer than any read can ask for
    for (int i = 0; i < PS_STORE_MAX_WORDS; ++i) {
        store += " 1";
    }
    start(store + "\n0x0778 = 1 2 3\n0x0108 = 0x4241 0x0000\n");
    const OutcomeCase cases[] = {
        {"a key the chip does not hold", "0x0202", StoreReadOutcome::absent, 1, "absent"},
        {"an unknown key the chip does not hold", "0x0700:4", StoreReadOutcome::absent, 1, "absent"},
        {"a key the chip refuses", "0x0229", StoreReadOutcome::refused, 1, "refused by the chip (status 0x0008)"},
        {"a key longer than 56 words", "0x0777:3", StoreReadOutcome::refused, STORE_LENGTH_SEARCH_MAX_READS,
         "it took no word count from 1 to 56"},
        {"a key asked with the wrong count", "0x0778:1", StoreReadOutcome::value, 3, "read"},
        {"a two-word name", "0x0108", StoreReadOutcome::value, 4, "read"},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.what);
        const StoreRead read = store_chip_read(store_key_parse(c.key_text));
        EXPECT_EQ(read.outcome, c.outcome);
        EXPECT_EQ(read.reads, c.reads);
        EXPECT_NE(store_read_text(read).find(c.text), std::string::npos) << store_read_text(read);
    }
}

TEST_F(StoreChipTest, ASilentChipEndsTheSearchAtOnce)
{
    config.silent_after_packets = 1;
    start();
    const StoreRead read = store_chip_read(store_key_for(0x0108));
    EXPECT_EQ(read.outcome, StoreReadOutcome::no_answer);
    EXPECT_EQ(read.reads, 1);
    EXPECT_EQ(store_read_text(read), "no answer from the chip");
}

TEST_F(StoreChipTest, WritesAreReadBackAndRefusalsReported)
{
    config.error_status_key = 0x0229;
    start();
    const Words name = {0x694B, 0x6374, 0x6568, 0x006E};
    StoreWrite write = store_chip_write(0x0108, name);
    EXPECT_EQ(write.outcome, StoreWriteOutcome::verified) << store_write_text(write);
    EXPECT_EQ(stored(0x0108), name);

    write = store_chip_write(0x0229, {0x0000});
    EXPECT_EQ(write.outcome, StoreWriteOutcome::refused);
    EXPECT_EQ(store_write_text(write), "not written: refused by the chip (status 0x0008)");
    EXPECT_EQ(stored(0x0229), Words{0x0001});
}

// A chip (or a line) that hands each request back as its answer, status OK:
// the write's read-back gets the complement it asked with, and a plain read
// gets its own fill twice over, so neither passes for the key's value.
TEST_F(StoreChipTest, AChipThatEchoesRequestsCannotMakeAWriteLookVerified)
{
    config.echo_requests = 1;
    start("0x01f9 = 0x0001\n");
    // 0: what a read request whose value words were left zero would echo.
    const StoreWrite write = store_chip_write(0x01F9, {0x0000});
    EXPECT_EQ(write.outcome, StoreWriteOutcome::differs) << store_write_text(write);
    EXPECT_EQ(stored(0x01F9), Words{0x0001}) << "the echoing chip stored nothing";
    const StoreRead read = store_chip_read(store_key_for(0x01F9));
    EXPECT_NE(read.outcome, StoreReadOutcome::value) << "an echo read as the value 0x" << std::hex
                                                       << (read.words.empty() ? 0 : read.words[0]);
}

TEST_F(StoreChipTest, AWriteWithoutAnswerIsNotTakenForDone)
{
    config.silent_after_packets = 1;
    start();
    const StoreWrite write = store_chip_write(0x01F9, {0x0004});
    EXPECT_EQ(write.outcome, StoreWriteOutcome::no_answer);
    EXPECT_EQ(store_write_text(write), "not confirmed: no answer from the chip to the write");
}

}  // namespace

namespace {

StoreLine value_line(std::uint16_t key, Words words)
{
    StoreLine line;
    line.key = key;
    line.words = std::move(words);
    return line;
}

StoreLine absent_line(std::uint16_t key, int declared_words = 0)
{
    StoreLine line;
    line.key = key;
    line.absent = true;
    line.declared_words = declared_words;
    return line;
}

// A backup restores what it read, absent keys included, and a second restore
// of the same file ends in the same state.
TEST_F(StoreChipTest, ABackupRestoresWhatItReadAndAgain)
{
    start("0x0108 = 0x694b 0x6374 0x6568 0x006e\n0x01f9 = 0x0001\n0x024b = 0x0020\n");
    std::vector<StoreKey> keys = {store_key_for(0x0108), store_key_for(0x01F9), store_key_for(0x0202),
                                  store_key_parse("0x0777:3"), store_key_for(0x024B)};
    std::vector<std::string> reported;
    const std::vector<StoreKeyResult> backup =
        store_run_backup(keys, [&](const StoreKeyResult& r) { reported.push_back(r.label + ": " + r.text); });
    ASSERT_TRUE(store_run_all_done(backup));
    EXPECT_EQ(reported, (std::vector<std::string>{"PSKEY_DEVICE_NAME: read", "PSKEY_HOST_INTERFACE: read",
                                                  "PSKEY_PIO_PROTECT_MASK: absent (the chip holds no value for it)",
                                                  "0x0777: absent (the chip holds no value for it)",
                                                  "PSKEY_CRYSTAL_TARGET_AMPLITUDE: read"}));
    std::vector<StoreLine> lines;
    for (const StoreKeyResult& r : backup) {
        lines.push_back(r.line);
    }
    EXPECT_EQ(lines[3].declared_words, 3) << "an unknown absent key keeps the count it was asked with";

    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(ps_write(0x0108, 2, Words{0x4241, 0x0000}.data()), 1);
        ASSERT_EQ(ps_write(0x01F9, 1, Words{0x0004}.data()), 1);
        const std::vector<StoreKeyResult> restore = store_run_restore(lines, nullptr);
        EXPECT_TRUE(store_run_all_done(restore)) << restore[0].text;
        EXPECT_EQ(restore[2].text, "absent, as in the backup");
        EXPECT_EQ(stored(0x0108), lines[0].words);
        EXPECT_EQ(stored(0x01F9), Words{0x0001});
        EXPECT_EQ(stored(0x0202), Words{});
    }
}

TEST_F(StoreChipTest, ARestoreReportsWhatItCannotDoAndStopsAtSilence)
{
    config.error_status_key = 0x0229;
    config.silent_after_packets = 5;  // link establishment is not counted: four requests are answered
    start("0x0202 = 0x0003\n");
    const std::vector<StoreLine> lines = {absent_line(0x0202), value_line(0x0229, {0}), value_line(0x01F9, {1}),
                                          value_line(0x024B, {0x30}), value_line(0x03CC, {1})};
    std::vector<std::string> reported;
    const std::vector<StoreKeyResult> results =
        store_run_restore(lines, [&](const StoreKeyResult& r) { reported.push_back(r.label + ": " + r.text); });
    EXPECT_FALSE(store_run_all_done(results));
    EXPECT_EQ(reported,
              (std::vector<std::string>{
                  "PSKEY_PIO_PROTECT_MASK: holds a value the backup does not have; left as it is (a key cannot be "
                  "removed)",
                  "PSKEY_DEEP_SLEEP_STATE: not written: refused by the chip (status 0x0008)",
                  "PSKEY_HOST_INTERFACE: written and verified",
                  "PSKEY_CRYSTAL_TARGET_AMPLITUDE: not confirmed: no answer from the chip to the write",
                  "PSKEY_ONCHIP_HCI_CLIENT: not tried: the chip had stopped answering"}));
    EXPECT_EQ(stored(0x0202), Words{0x0003});
}

}  // namespace
