// The two chip configuration profiles against the simulator's chip on the
// fake serial port: which BCCMD requests go out and in which order, what each
// failure prints, which failures count, and the pauses before the port closes.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <regex>
#include <string>
#include <vector>

#include "bccmd/bccmd.h"
#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/identify.h"
#include "driver/profile_keys.h"
#include "driver/profiles.h"
#include "fake_chip.h"
#include "fake_fixture.h"

namespace {

constexpr std::uint16_t BUILD_ID = 4835;

// One request as the chip received it.
struct Request {
    std::string varid;
    int type;
    std::vector<int> payload;
};

struct ProfilesTest : FakePlatformTest {
    FakeChip fake;
    ChipConfig chip;

    void SetUp() override
    {
        FakePlatformTest::SetUp();
        bccmd_seqno = 0;
        ci_firmware = 0;
        chip = fake_chip_config(&fake, BUILD_ID);
    }
    void TearDown() override
    {
        bcsp_port_close();
        fake_chip_stop(&fake);
        ci_firmware = 0;
        FakePlatformTest::TearDown();
    }

    void start_chip()
    {
        std::string error;
        ASSERT_TRUE(fake_chip_start(&fake, chip, &error)) << error;
    }

    std::vector<Request> requests()
    {
        static const std::regex pattern(
            "\"type\":(\\d+),.*\"varid\":\"(0x[0-9a-f]+)\",.*\"payload\":\\[([0-9,]*)\\]");
        std::vector<Request> out;
        for (const std::string& line : fake_chip_events(&fake, "\"ev\":\"bccmd\",\"dir\":\"rx\"")) {
            std::smatch match;
            if (!std::regex_search(line, match, pattern)) {
                ADD_FAILURE() << "unreadable event: " << line;
                continue;
            }
            Request request{match[2], std::stoi(match[1]), {}};
            std::string words = match[3];
            for (std::size_t at = 0; at < words.size();) {
                const std::size_t comma = words.find(',', at);
                request.payload.push_back(std::stoi(words.substr(at, comma - at)));
                at = comma == std::string::npos ? words.size() : comma + 1;
            }
            out.push_back(request);
        }
        return out;
    }

    // The keys of the persistent-store set requests, in order.
    std::vector<int> keys_written()
    {
        std::vector<int> keys;
        for (const Request& request : requests()) {
            if (request.varid == "0x7003" && request.type == BCCMD_SET_REQUEST) {
                keys.push_back(request.payload.at(0));
            }
        }
        return keys;
    }

    std::vector<int> values_of(int key)
    {
        for (const Request& request : requests()) {
            if (request.varid == "0x7003" && request.payload.at(0) == key) {
                const int n = request.payload.at(1);
                return std::vector<int>(request.payload.begin() + 3, request.payload.begin() + 3 + n);
            }
        }
        return {};
    }

    std::vector<std::string> varids()
    {
        std::vector<std::string> out;
        for (const Request& request : requests()) {
            out.push_back(request.varid);
        }
        return out;
    }

    // The pause the profile makes before it closes the port: the last sleep
    // before the last close, with no serial traffic between the two.
    std::uint64_t pause_before_close_ms()
    {
        std::uint64_t pause = 0;
        std::uint64_t pause_before_close = 0;
        for (const FakeCall& call : fake_calls()) {
            if (call.kind == FAKE_SLEEP) {
                pause = call.value;
            } else if (call.kind == FAKE_SERIAL_WRITE || call.kind == FAKE_SERIAL_READ) {
                pause = 0;
            } else if (call.kind == FAKE_SERIAL_CLOSE) {
                pause_before_close = pause;
            }
        }
        return pause_before_close;
    }
};

const std::vector<int> STANDARD_NAME = {0x614D, 0x7272, 0x776F, 0x696C, 0x6B6E, 0x0000};
const std::vector<int> CI_NAME = {0x614D, 0x7272, 0x776F, 0x696C, 0x6B6E, 0x432F, 0x314C, 0x0000};
const std::vector<int> UART_CONFIG = {0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004,
                                      0x0000, 0x0004, 0x001E, 0x0064, 0x000A};

// ---------------------------------------------------------------------------
// Pre-update profile

TEST_F(ProfilesTest, BeforeUpdateWritesTheAmplitudeOfTheVariantThenDefragmentsAndWaits)
{
    for (int ci : {0, 1}) {
        SCOPED_TRACE(ci ? "CI firmware" : "standard firmware");
        fake_chip_stop(&fake);
        fake_reset();
        chip = fake_chip_config(&fake, BUILD_ID);
        ci_firmware = ci;
        start_chip();

        EXPECT_EQ(configure_before_update(), 1);
        EXPECT_EQ(varids(), (std::vector<std::string>{"0x7003", "0x400f"}));
        EXPECT_EQ(keys_written(), std::vector<int>{0x024B});
        EXPECT_EQ(values_of(0x024B), std::vector<int>{ci ? 40 : 48});
        EXPECT_EQ(fake_console_output(), "");
        EXPECT_EQ(pause_before_close_ms(), DEFRAG_RESET_PAUSE_MS);
        EXPECT_FALSE(fake_serial_is_open());
        EXPECT_EQ(fake_chip_events(&fake, "\"ev\":\"restart\",\"reason\":\"ps_defrag_reset\"").size(), 1u);
    }
}

TEST_F(ProfilesTest, BeforeUpdateReportsAFailedAmplitudeWriteAndStillDefragments)
{
    chip.error_status_key = PSKEY_CRYSTAL_TARGET_AMPLITUDE;
    start_chip();
    EXPECT_EQ(configure_before_update(), 0);
    EXPECT_EQ(fake_console_output(), "Writing Crystal Target Amplitude failed\n");
    EXPECT_EQ(varids(), (std::vector<std::string>{"0x7003", "0x400f"}));
    EXPECT_FALSE(fake_serial_is_open());
}

TEST_F(ProfilesTest, BeforeUpdateReportsAFailedDefragmentingReset)
{
    chip.silent_after_packets = 2;  // the reset request is never acknowledged
    start_chip();
    EXPECT_EQ(configure_before_update(), 0);
    EXPECT_EQ(fake_console_output(), "PS Defrag failed\n");
    EXPECT_FALSE(fake_serial_is_open());
}

// ---------------------------------------------------------------------------
// Post-update profile: the four branches

struct Branch {
    int ci;
    int download_failed;
    std::vector<int> keys;
};

TEST_F(ProfilesTest, AfterUpdateWritesTheKeysOfEachBranchInOrder)
{
    const std::vector<Branch> branches = {
        {0, 0, {0x03CC, 0x01F9, 0x025D, 0x01C2, 0x03CD, 0x04B1, 0x04F8, 0x0108, 0x0229}},
        {1, 0, {0x03CC, 0x01F9, 0x025D, 0x01C2, 0x0202, 0x03CD, 0x04B1, 0x04F8, 0x0108, 0x0229}},
        {0, 1, {0x03CC, 0x01F9, 0x025D, 0x01C2, 0x0191}},
        {1, 1, {0x03CC, 0x01F9, 0x025D, 0x01C2, 0x0202, 0x0191}},
    };
    for (const Branch& branch : branches) {
        SCOPED_TRACE(testing::Message() << "ci " << branch.ci << ", download failed " << branch.download_failed);
        fake_chip_stop(&fake);
        fake_reset();
        bccmd_seqno = 0;
        chip = fake_chip_config(&fake, BUILD_ID);
        ci_firmware = branch.ci;
        start_chip();

        EXPECT_EQ(configure_after_update(branch.download_failed, BCSP_LINK_TIMEOUT_MS), 1);
        EXPECT_EQ(fake_console_output(), "Build ID = 4835\nCold Reset sent\n");
        EXPECT_EQ(keys_written(), branch.keys);

        const auto all = varids();
        ASSERT_FALSE(all.empty());
        EXPECT_EQ(all.front(), "0x2819");
        EXPECT_EQ(all.back(), "0x4001");
        EXPECT_EQ(all.size(), branch.keys.size() + 2);

        if (branch.download_failed) {
            EXPECT_EQ(values_of(0x0191), UART_CONFIG);
        } else {
            EXPECT_EQ(values_of(0x0108), branch.ci ? CI_NAME : STANDARD_NAME);
            EXPECT_EQ(values_of(0x04B1), std::vector<int>{0x01C2});
            EXPECT_EQ(values_of(0x04F8), std::vector<int>{0x0880});
        }
        EXPECT_EQ(values_of(0x01C2), std::vector<int>{0x0888});
        EXPECT_EQ(pause_before_close_ms(), COLD_RESET_PAUSE_MS);
        EXPECT_FALSE(fake_serial_is_open());
    }
}

TEST_F(ProfilesTest, SequenceNumbersCountOnAcrossBothProfiles)
{
    start_chip();
    ASSERT_EQ(configure_before_update(), 1);
    ASSERT_EQ(configure_after_update(0, BCSP_LINK_TIMEOUT_MS), 1);
    std::vector<int> seqnos;
    static const std::regex pattern("\"seqno\":(\\d+)");
    for (const std::string& line : fake_chip_events(&fake, "\"ev\":\"bccmd\",\"dir\":\"rx\"")) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, pattern));
        seqnos.push_back(std::stoi(match[1]));
    }
    ASSERT_EQ(seqnos.size(), 2u + 11u);
    for (std::size_t i = 0; i < seqnos.size(); ++i) {
        EXPECT_EQ(seqnos[i], static_cast<int>(i));
    }
}

// ---------------------------------------------------------------------------
// Post-update profile: every failure line and whether it counts

struct KeyFailure {
    int key;
    int ci;
    int download_failed;
    const char* line;
    int result;
};

TEST_F(ProfilesTest, EachFailedKeyPrintsItsLineAndTheProfileGoesOn)
{
    const std::vector<KeyFailure> failures = {
        {0x03CC, 0, 0, "Writing PSKEY_ONCHIP_HCI_CLIENT failed\n", 0},
        {0x01F9, 0, 0, "Writing PSKEY_HOST_INTERFACE failed\n", 0},
        {0x025D, 0, 0, "Writing PSKEY_VM_DISABLE failed\n", 0},
        {0x01C2, 0, 0, "Writing PSKEY_UART_CONFIG_USR failed\n", 0},
        {0x0202, 1, 0, "Writing PSKEY_PIO_PROTECT_MASK failed\n", 0},
        {0x0191, 0, 1, "Writing PSKEY_UART_CONFIG failed\n", 0},
        {0x03CD, 0, 0, "Writing PSKEY_INITIAL_BOOTMODE  failed\n", 0},
        {0x04B1, 0, 0, "Writing PSKBOOTMODE_KEY_LIST_0+1 failed\n", 0},
        {0x04F8, 0, 0, "Writing PSKBOOTMODE_KEY_TABLE_1 failed\n", 0},
        {0x0108, 0, 0, "Writing Device Name failed\n", 0},
        {0x0229, 0, 0, "Failed setting PSKEY_DEEP_SLEEP_STATE\n", 1},
    };
    for (const KeyFailure& failure : failures) {
        SCOPED_TRACE(failure.line);
        fake_chip_stop(&fake);
        fake_reset();
        chip = fake_chip_config(&fake, BUILD_ID);
        chip.error_status_key = failure.key;
        ci_firmware = failure.ci;
        start_chip();

        EXPECT_EQ(configure_after_update(failure.download_failed, BCSP_LINK_TIMEOUT_MS), failure.result);
        EXPECT_EQ(fake_console_output(), std::string("Build ID = 4835\n") + failure.line + "Cold Reset sent\n");
        // Every key of the branch was still tried, and the reset still went out.
        const auto all = varids();
        EXPECT_EQ(all.back(), "0x4001");
        EXPECT_EQ(fake_chip_events(&fake, "\"ev\":\"ps_write\"").size(), keys_written().size() - 1);
    }
}

TEST_F(ProfilesTest, AFailedBuildIdReadCountsThoughEveryKeyIsWritten)
{
    chip.error_status_varid = VARID_BUILD_ID;
    start_chip();
    EXPECT_EQ(configure_after_update(0, BCSP_LINK_TIMEOUT_MS), 0);
    EXPECT_EQ(fake_console_output(), "Read BuildID failed\nCold Reset sent\n");
    EXPECT_EQ(fake_chip_events(&fake, "\"ev\":\"ps_write\"").size(), 9u);
}

TEST_F(ProfilesTest, AFailedColdResetIsReportedButDoesNotCount)
{
    chip.silent_after_packets = 11;  // build id and nine keys answered; the reset is not acknowledged
    start_chip();
    EXPECT_EQ(configure_after_update(0, BCSP_LINK_TIMEOUT_MS), 1);
    EXPECT_EQ(fake_console_output(), "Build ID = 4835\nCold Reset Failed\n");
    EXPECT_FALSE(fake_serial_is_open());
}

// The chip boots the image the download wrote: the post-update profile waits
// for its link as long as the bound its caller gives, so a chip that takes 12 s
// is still configured within the post-download bound and given up within the
// usual one.
TEST_F(ProfilesTest, PostUpdateLinkWaitsAsLongAsItsBound)
{
    constexpr std::uint64_t BOOT_AFTER_OPEN_MS = 12000;
    const struct {
        std::uint32_t bound_ms;
        int result;
        std::string lines;
        std::uint64_t least_ms;  // the profile's run time, from least to most
        std::uint64_t most_ms;
    } cases[] = {
        {POST_DOWNLOAD_LINK_TIMEOUT_MS, 1, "Build ID = 4835\nCold Reset sent\n", BOOT_AFTER_OPEN_MS,
         BOOT_AFTER_OPEN_MS + 2000},
        {BCSP_LINK_TIMEOUT_MS, 0, "failed to start BCSP communication\n", BCSP_LINK_TIMEOUT_MS,
         BCSP_LINK_TIMEOUT_MS + 50},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bound_ms);
        TearDown();
        SetUp();
        chip.slow_boot_ms = static_cast<int>(DEFRAG_RESET_PAUSE_MS + BOOT_AFTER_OPEN_MS);
        start_chip();
        ASSERT_EQ(configure_before_update(), 1);
        const std::size_t before = fake_console_output().size();
        const std::uint64_t start_ms = fake_now_ms();
        EXPECT_EQ(configure_after_update(0, c.bound_ms), c.result);
        EXPECT_EQ(fake_console_output().substr(before), c.lines);
        // The crystal amplitude, then the nine keys of a successful download.
        EXPECT_EQ(fake_chip_events(&fake, "\"ev\":\"ps_write\"").size(), c.result ? 10u : 1u);
        EXPECT_GE(fake_now_ms() - start_ms, c.least_ms);
        EXPECT_LT(fake_now_ms() - start_ms, c.most_ms);
    }
}

TEST_F(ProfilesTest, APortThatWillNotOpenWritesNothingAndResetsNothing)
{
    chip.no_link = 1;
    start_chip();
    ProfileReport report{};
    report.keys_written = 7;  // filled afresh
    EXPECT_EQ(configure_before_update(&report), 0);
    EXPECT_EQ(report.link.failed_step, BCSP_OPEN_STEP_LINK);
    EXPECT_EQ(report.link.link_timeout_ms, BCSP_LINK_TIMEOUT_MS);
    EXPECT_EQ(report.keys_written, 0);
    EXPECT_EQ(configure_after_update(0, BCSP_LINK_TIMEOUT_MS), 0);
    EXPECT_EQ(configure_after_update(1, BCSP_LINK_TIMEOUT_MS), 0);
    EXPECT_EQ(fake_console_output(), "failed to start BCSP communication\n"
                                     "failed to start BCSP communication\n"
                                     "failed to start BCSP communication\n");
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(pause_before_close_ms(), 0u) << "a reset pause without a link";
    EXPECT_FALSE(fake_serial_is_open());
}

// The shared key table says what the profiles write: every key of every
// profile, variant and outcome is in it with the word count written, and it
// holds no key that no profile writes.
TEST_F(ProfilesTest, TheKeyTableIsWhatTheProfilesWrite)
{
    std::map<int, const ProfileKey*> table;
    for (const ProfileKey& key : PROFILE_KEYS) {
        EXPECT_TRUE(table.emplace(key.key, &key).second) << "key listed twice: " << key.name;
    }
    std::set<int> written;
    for (int ci : {0, 1}) {
        for (int profile : {-1, 0, 1}) {  // before the update, after it with download_failed 0 and 1
            SCOPED_TRACE(testing::Message() << "ci " << ci << ", profile " << profile);
            fake_chip_stop(&fake);
            fake_reset();
            chip = fake_chip_config(&fake, BUILD_ID);
            ci_firmware = ci;
            start_chip();
            EXPECT_EQ(profile < 0 ? configure_before_update() : configure_after_update(profile, BCSP_LINK_TIMEOUT_MS), 1);
            for (const Request& request : requests()) {
                if (request.varid != "0x7003" || request.type != BCCMD_SET_REQUEST) {
                    continue;
                }
                const int key = request.payload.at(0);
                written.insert(key);
                const auto entry = table.find(key);
                ASSERT_NE(entry, table.end()) << "key 0x" << std::hex << key << " is not in the table";
                EXPECT_EQ(request.payload.at(1), ci ? entry->second->ci_words : entry->second->standard_words)
                    << entry->second->name;
            }
        }
    }
    EXPECT_EQ(written.size(), table.size());
}

// The pre-update profile's halves: a caller's step runs on the open link
// before the first write, and a caller that decides against the update closes
// the link with nothing written or reset.
TEST_F(ProfilesTest, BeforeUpdateInHalvesLetsTheCallerReadFirstAndWriteOrClose)
{
    for (int go_on : {1, 0}) {
        SCOPED_TRACE(go_on);
        fake_chip_stop(&fake);
        fake_reset();
        chip = fake_chip_config(&fake, BUILD_ID);
        start_chip();
        ProfileReport report{};
        ASSERT_EQ(configure_before_update_open(&report), 1);
        std::uint16_t amplitude = 0;
        EXPECT_EQ(ps_read(PSKEY_CRYSTAL_TARGET_AMPLITUDE, 1, &amplitude), 1);
        EXPECT_EQ(amplitude, 0x0020) << "the chip's value before the profile wrote its own";
        if (go_on) {
            EXPECT_EQ(configure_before_update_write(&report), 1);
        } else {
            configure_before_update_close();
        }
        EXPECT_EQ(report.keys_written, go_on);
        EXPECT_EQ(keys_written(), go_on ? std::vector<int>{0x024B} : std::vector<int>{});
        EXPECT_EQ(varids(), go_on ? (std::vector<std::string>{"0x7003", "0x7003", "0x400f"})
                                  : std::vector<std::string>{"0x7003"});
        EXPECT_EQ(fake_console_output(), "");
        EXPECT_FALSE(fake_serial_is_open());
    }
}

// What a profile run reports: the build id, the first counted failure with
// its varid and status, and the two failures that do not count (the deep
// sleep key, the cold reset), which a caller must still be able to tell.
TEST_F(ProfilesTest, TheReportNamesTheBuildIdAndEveryKindOfFailure)
{
    struct {
        const char* what;
        int error_key;
        int error_varid;
        int silent_from_packet;
        int result;
        int build_id_read;
        int deep_sleep_failed;
        int reset_failed;
        std::uint16_t failure_varid;
        int keys_failed;
    } cases[] = {
        {"all written", 0, 0, 0, 1, 1, 0, 0, 0, 0},
        {"a counted key refused", PSKEY_HOST_INTERFACE, 0, 0, 0, 1, 0, 0, VARID_PS, 1},
        {"the deep sleep key refused", PSKEY_DEEP_SLEEP_STATE, 0, 0, 1, 1, 1, 0, 0, 1},
        // The build id and nine keys, then the reset request goes unacknowledged.
        {"the cold reset not acknowledged", 0, 0, 11, 1, 1, 0, 1, 0, 0},
        {"the build id refused", 0, VARID_BUILD_ID, 0, 0, 0, 0, 0, VARID_BUILD_ID, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_chip_stop(&fake);
        fake_reset();
        chip = fake_chip_config(&fake, BUILD_ID);
        chip.error_status_key = c.error_key;
        chip.error_status_varid = c.error_varid;
        chip.silent_after_packets = c.silent_from_packet;
        start_chip();
        ProfileReport report{};
        EXPECT_EQ(configure_after_update(0, BCSP_LINK_TIMEOUT_MS, &report), c.result);
        EXPECT_EQ(report.build_id_read, c.build_id_read);
        EXPECT_EQ(report.build_id, c.build_id_read ? BUILD_ID : 0);
        EXPECT_EQ(report.deep_sleep_failed, c.deep_sleep_failed);
        EXPECT_EQ(report.reset_failed, c.reset_failed);
        EXPECT_EQ(report.keys_failed, c.keys_failed);
        EXPECT_EQ(report.keys_written, 9 - c.keys_failed);
        EXPECT_EQ(report.first_failure.varid, c.failure_varid);
        EXPECT_EQ(report.first_failure.kind, c.failure_varid ? BCCMD_FAILURE_STATUS : BCCMD_FAILURE_NONE);
    }
}

}  // namespace
