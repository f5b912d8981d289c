// Soak: many persistent-store writes and reads through the product's own BCSP
// port driver, BCCMD layer and chip commands, on the native platform layer,
// over a real pseudo-terminal to marrowlink-sim --chip-only with 1 % of the
// bytes corrupted in both directions. Every read must return what was
// written; no transaction may fail. The retransmissions this takes are
// counted from the chip's events and printed (and written to SOAK_REPORT).
//
// SOAK_WRITES sets the number of writes (each followed by a read of the same
// key); the default is the short run ctest does. scripts/soak runs 10,000.
//
// The second test runs store backup and restore round trips the way
// `marrowlink store` does them (tool/store_run.h, the backup file written and
// read back): each round restores a file of new values for every key the
// update writes (the device name at another length each time) and a key
// recorded absent, checks that the chip's store then equals the file, backs
// the keys up again and checks that the backup equals the file.
// SOAK_ROUND_TRIPS sets their number; scripts/soak runs 200.
// The program must run with the null-modem fixture preloaded (the pty
// refuses even parity otherwise); ctest and scripts/soak set LD_PRELOAD.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bccmd/bccmd.h"
#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "platform/platform.h"
#include "platform/platform_files.h"
#include "sim_process.h"
#include "tool/store_run.h"

#ifndef MARROWLINK_SIM_PATH
#error "MARROWLINK_SIM_PATH must name the marrowlink-sim binary"
#endif

namespace {

constexpr int SOAK_DEFAULT_WRITES = 150;  // about 40 s: the chip repeats a lost answer after 250 ms
constexpr const char* SOAK_NOISE_RATE = "0.01";
constexpr const char* SOAK_SEED = "20";
// The keys written in turn: sixteen keys the updater never touches, so the
// store grows to its working size at once and every later write replaces.
constexpr std::uint16_t SOAK_FIRST_KEY = 0x0300;
constexpr int SOAK_KEYS = 16;
constexpr int SOAK_MAX_WORDS = 10;  // the largest value the updater writes

constexpr int SOAK_DEFAULT_ROUND_TRIPS = 2;  // about 15 s
// The key each round's file records as absent; nothing writes it.
constexpr std::uint16_t SOAK_ABSENT_KEY = 0x0350;
constexpr int SOAK_ABSENT_KEY_WORDS = 2;

int soak_count(const char* variable, int default_count)
{
    const char* text = std::getenv(variable);
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : default_count;
}

int soak_writes()
{
    return soak_count("SOAK_WRITES", SOAK_DEFAULT_WRITES);
}

// Value words for write i: every write differs from the one before on the
// same key, and the length moves through 1 to SOAK_MAX_WORDS.
int soak_value(int i, std::array<std::uint16_t, SOAK_MAX_WORDS>* words)
{
    const int count = 1 + i % SOAK_MAX_WORDS;
    for (int w = 0; w < count; ++w) {
        std::uint32_t x = static_cast<std::uint32_t>(i) * 2654435761u + static_cast<std::uint32_t>(w) * 40503u;
        (*words)[w] = static_cast<std::uint16_t>(x ^ (x >> 16));
    }
    return count;
}

long count_of(const std::string& text, const char* needle)
{
    long count = 0;
    const std::size_t length = std::strlen(needle);
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + length)) {
        ++count;
    }
    return count;
}

// The chip's events, counted line by line: the file holds hundreds of
// thousands of lines after a long run.
struct ChipCounts {
    long duplicate = 0;   // repeats of the host's reliable packets the chip saw
    long frame_bad = 0;   // host frames the chip dropped as damaged
    long chip_retry = 0;  // the chip's own repeats of its reliable packets
    long ps_write = 0;
    long ps_read = 0;
    long noise_tx = 0;
    long noise_rx = 0;
    long peer_reset = 0;
};

ChipCounts chip_counts(const std::string& path)
{
    ChipCounts c;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        c.duplicate += count_of(line, "\"ev\":\"duplicate\"");
        c.frame_bad += count_of(line, "\"ev\":\"frame_bad\"");
        c.chip_retry += line.find("\"ev\":\"tx\"") != std::string::npos && count_of(line, "\"retry\":1");
        c.ps_write += count_of(line, "\"ev\":\"ps_write\"");
        c.ps_read += count_of(line, "\"ev\":\"ps_read\"");
        c.noise_tx += count_of(line, "\"ev\":\"noise\",\"dir\":\"tx\"");
        c.noise_rx += count_of(line, "\"ev\":\"noise\",\"dir\":\"rx\"");
        c.peer_reset += count_of(line, "\"ev\":\"peer_reset\"");
    }
    return c;
}

class SoakTest : public ::testing::Test {
protected:
    std::string dir;
    pid_t sim_pid = -1;

    void SetUp() override
    {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "nullmodem") != nullptr)
            << "run with the null-modem fixture preloaded (LD_PRELOAD=.../libnullmodem.so)";
        char pattern[] = "/tmp/soak-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv("COM1_DEVICE", (dir + "/com1").c_str(), 1);
        setenv("NULLMODEM_LOG", (dir + "/lines").c_str(), 1);
    }

    void TearDown() override
    {
        bcsp_port_close();
        stop_sim();
        if (HasFailure()) {
            std::printf("simulator files kept in %s\n", dir.c_str());
            return;
        }
        for (const char* name : {"com1", "lines", "ready", "store", "log", "events", "restore", "backup"}) {
            std::remove((dir + "/" + name).c_str());
        }
        rmdir(dir.c_str());
    }

    void start_sim()
    {
        std::vector<std::string> args = {MARROWLINK_SIM_PATH, "--chip-only",
                                         "--link", dir + "/com1", "--lines", dir + "/lines",
                                         "--ready-file", dir + "/ready", "--store", dir + "/store",
                                         "--events", dir + "/events",
                                         "--noise-corrupt", SOAK_NOISE_RATE, "--noise-rx-corrupt", SOAK_NOISE_RATE,
                                         "--seed", SOAK_SEED};
        std::string error;
        ASSERT_TRUE(sim_process_start(args, dir + "/ready", &sim_pid, &error)) << error;
    }

    void stop_sim()
    {
        sim_process_stop(&sim_pid);  // its logs are complete once it has ended
    }
};

TEST_F(SoakTest, EveryReadReturnsWhatWasWrittenWithOnePercentOfBytesCorrupted)
{
    const int writes = soak_writes();
    ASSERT_NO_FATAL_FAILURE(start_sim());
    const std::uint64_t started_ms = clock_ms();
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);

    int write_failures = 0;
    int read_failures = 0;
    int mismatches = 0;
    for (int i = 0; i < writes; ++i) {
        const std::uint16_t key = static_cast<std::uint16_t>(SOAK_FIRST_KEY + i % SOAK_KEYS);
        std::array<std::uint16_t, SOAK_MAX_WORDS> value{};
        const int count = soak_value(i, &value);
        if (!ps_write(key, count, value.data())) {
            ADD_FAILURE() << "write " << i << " of key 0x" << std::hex << key << " failed";
            ++write_failures;
            continue;  // what the chip holds for this key is now unknown
        }
        std::array<std::uint16_t, SOAK_MAX_WORDS> back{};
        if (!ps_read(key, count, back.data())) {
            ADD_FAILURE() << "read " << i << " of key 0x" << std::hex << key << " failed";
            ++read_failures;
        } else if (back != value) {
            ADD_FAILURE() << "read " << i << " of key 0x" << std::hex << key << " differs from what was written";
            ++mismatches;
        }
        // Give up early on a line that has stopped working.
        ASSERT_LT(write_failures + read_failures + mismatches, 20) << "too many failures";
    }
    const double seconds = static_cast<double>(clock_ms() - started_ms) / 1000.0;
    bcsp_port_close();
    stop_sim();

    const ChipCounts c = chip_counts(dir + "/events");
    char report[1024];
    std::snprintf(report, sizeof report,
                  "soak: %d writes and %d reads over the pty, 1 %% of bytes corrupted both ways, %.1f s "
                  "(%.1f ms a write and its read)\n"
                  "soak: write failures %d, read failures %d, reads differing from the write %d\n"
                  "soak: retransmissions: host repeats seen by the chip (duplicate) %ld, host frames the chip "
                  "dropped (frame_bad) %ld, the chip's own repeats (tx retry) %ld\n"
                  "soak: bytes hit by noise: chip sending %ld, chip receiving %ld; chip stored %ld writes, "
                  "served %ld reads; link restarts %ld\n",
                  writes, writes - write_failures, seconds, 1000.0 * seconds / writes, write_failures,
                  read_failures, mismatches, c.duplicate, c.frame_bad, c.chip_retry, c.noise_tx, c.noise_rx,
                  c.ps_write, c.ps_read, c.peer_reset);
    std::fputs(report, stdout);
    if (const char* path = std::getenv("SOAK_REPORT")) {
        if (std::FILE* f = std::fopen(path, "w")) {
            std::fputs(report, f);
            std::fclose(f);
        }
    }
    EXPECT_EQ(write_failures + read_failures + mismatches, 0);
    // Each write reached the store exactly once (a repeat is acknowledged,
    // never applied again), and the line really was noisy.
    EXPECT_EQ(c.ps_write, writes - write_failures);
    EXPECT_EQ(c.ps_read, writes - write_failures - read_failures);
    EXPECT_GT(c.noise_tx, 0);
    EXPECT_GT(c.noise_rx, 0);
    EXPECT_GT(c.frame_bad + c.chip_retry, 0) << "no damage needed a repeat: the noise did not act";
}

// The file of round r: new values for every key the update writes, the
// device name at length 1 + 7r mod 56, and one key recorded absent.
std::vector<StoreLine> soak_round_file(int round)
{
    std::vector<StoreLine> lines;
    for (const StoreKey& key : store_keys_default()) {
        StoreLine line;
        line.key = key.number;
        const int count = key.length_varies ? 1 + (round * 7) % STORE_KEY_MAX_WORDS : key.word_counts.front();
        for (int w = 0; w < count; ++w) {
            const std::uint32_t x = static_cast<std::uint32_t>(round * 131 + key.number) * 2654435761u + w * 40503u;
            line.words.push_back(static_cast<std::uint16_t>(x ^ (x >> 16)));
        }
        lines.push_back(line);
    }
    StoreLine absent;
    absent.key = SOAK_ABSENT_KEY;
    absent.absent = true;
    absent.declared_words = SOAK_ABSENT_KEY_WORDS;
    lines.push_back(absent);
    return lines;
}

std::string soak_read_file(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a file written with file_write_whole and read back, or a failure.
::testing::AssertionResult soak_file_round_trip(const std::string& path, const std::vector<StoreLine>& lines,
                                                 std::vector<StoreLine>* back)
{
    const std::string text = store_file_render({"soak", "COM1", "soak", 0}, lines);
    char why[256] = "";
    if (!file_write_whole(path.c_str(), text.data(), text.size(), FILE_REPLACE_EXISTING, nullptr, why, sizeof why)) {
        return ::testing::AssertionFailure() << why;
    }
    const StoreFileContents contents = store_file_parse(soak_read_file(path));
    if (!contents.problems.empty()) {
        return ::testing::AssertionFailure() << path << " line " << contents.problems[0].line << ": "
                                             << contents.problems[0].reason;
    }
    *back = contents.lines;
    return ::testing::AssertionSuccess();
}

// Differences between the file's lines and what another source holds for
// them (a key missing from store counts as absent).
int soak_differences(const std::vector<StoreLine>& file, const std::vector<StoreLine>& other, const char* what,
                     int round)
{
    int differences = 0;
    for (const StoreLine& line : file) {
        const auto found = std::find_if(other.begin(), other.end(), [&](const StoreLine& o) { return o.key == line.key; });
        const bool absent = found == other.end() || found->absent;
        if (absent != line.absent || (!absent && found->words != line.words)) {
            ADD_FAILURE() << "round " << round << ": " << what << " differs from the file at key 0x" << std::hex
                          << line.key;
            ++differences;
        }
    }
    return differences;
}

TEST_F(SoakTest, BackupAndRestoreRoundTripsWithOnePercentOfBytesCorrupted)
{
    const int rounds = soak_count("SOAK_ROUND_TRIPS", SOAK_DEFAULT_ROUND_TRIPS);
    ASSERT_NO_FATAL_FAILURE(start_sim());
    const std::uint64_t started_ms = clock_ms();
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);

    std::vector<StoreKey> keys = store_keys_default();
    keys.push_back(store_key_parse("0x0350:2"));
    int failed_rounds = 0;
    for (int round = 0; round < rounds && failed_rounds < 5; ++round) {
        std::vector<StoreLine> file;
        ASSERT_TRUE(soak_file_round_trip(dir + "/restore", soak_round_file(round), &file));
        int problems = 0;
        for (const StoreKeyResult& result : store_run_restore(file, nullptr)) {
            if (!result.done) {
                ADD_FAILURE() << "round " << round << ": restore of " << result.label << ": " << result.text;
                ++problems;
            }
        }
        problems += soak_differences(file, store_file_parse(soak_read_file(dir + "/store")).lines,
                                     "the chip's store", round);

        std::vector<StoreLine> backup;
        for (const StoreKeyResult& result : store_run_backup(keys, nullptr)) {
            if (!result.done) {
                ADD_FAILURE() << "round " << round << ": backup of " << result.label << ": " << result.text;
                ++problems;
            }
            backup.push_back(result.line);
        }
        std::vector<StoreLine> backup_file;
        ASSERT_TRUE(soak_file_round_trip(dir + "/backup", backup, &backup_file));
        problems += soak_differences(file, backup_file, "the backup", round);
        failed_rounds += problems > 0 ? 1 : 0;
    }
    const double seconds = static_cast<double>(clock_ms() - started_ms) / 1000.0;
    bcsp_port_close();
    stop_sim();

    const ChipCounts c = chip_counts(dir + "/events");
    std::printf("soak: %d backup/restore round trips, 1 %% of bytes corrupted both ways, %.1f s (%.1f s a round); "
                "rounds with a difference or a failed key %d; chip repeats %ld, host frames dropped %ld\n",
                rounds, seconds, seconds / rounds, failed_rounds, c.chip_retry, c.frame_bad);
    EXPECT_EQ(failed_rounds, 0);
    EXPECT_GT(c.frame_bad + c.chip_retry, 0) << "no damage needed a repeat: the noise did not act";
}

}  // namespace
