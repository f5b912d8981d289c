// End to end on a real pseudo-terminal: the BCSP port driver and the chip
// commands on the native platform layer, against marrowlink-sim started in
// its chip phase (--chip-only), in real time.
//
// The pty refuses even parity, so this program must run with the null-modem
// fixture preloaded (LD_PRELOAD=.../libnullmodem.so; ctest sets it). The
// simulator is started without it: it reads the settings from the master side.
// Each test starts its own simulator in a fresh folder and points COM1 at it
// through COM1_DEVICE.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "platform/platform.h"
#include "sim_process.h"

#ifndef MARROWLINK_SIM_PATH
#error "MARROWLINK_SIM_PATH must name the marrowlink-sim binary"
#endif

namespace {

constexpr std::uint16_t SIM_BUILD_ID = 4242;
constexpr std::uint32_t COLD_RESET_PAUSE_MS = 200;  // as the post-update profile waits
constexpr std::uint32_t DEFRAG_PAUSE_MS = 1000;     // as the pre-update profile waits

std::string file_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int count_of(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        count += 1;
    }
    return count;
}

class BccmdPtyTest : public ::testing::Test {
protected:
    std::string dir;
    pid_t sim_pid = -1;

    void SetUp() override
    {
        const char* preload = std::getenv("LD_PRELOAD");
        ASSERT_TRUE(preload != nullptr && std::strstr(preload, "nullmodem") != nullptr)
            << "run with the null-modem fixture preloaded (LD_PRELOAD=.../libnullmodem.so)";
        char pattern[] = "/tmp/bccmd-pty-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        setenv("COM1_DEVICE", (dir + "/com1").c_str(), 1);
        setenv("NULLMODEM_LOG", (dir + "/lines").c_str(), 1);
        bcsp_diagnostics = 0;
    }

    void TearDown() override
    {
        bcsp_port_close();
        stop_sim();
        if (HasFailure() && !dir.empty()) {
            std::printf("simulator log kept in %s\n", dir.c_str());
        } else if (!dir.empty()) {
            for (const char* name : {"com1", "lines", "ready", "store", "log", "events"}) {
                std::remove((dir + "/" + name).c_str());
            }
            rmdir(dir.c_str());
        }
    }

    void start_sim(const std::vector<std::string>& extra)
    {
        std::vector<std::string> args = {MARROWLINK_SIM_PATH, "--chip-only",
                                         "--link", dir + "/com1",
                                         "--lines", dir + "/lines",
                                         "--ready-file", dir + "/ready",
                                         "--store", dir + "/store",
                                         "--log", dir + "/log",
                                         "--events", dir + "/events",
                                         "--build-id", std::to_string(SIM_BUILD_ID)};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim_process_start(args, dir + "/ready", &sim_pid, &error)) << error;
    }

    void stop_sim()
    {
        sim_process_stop(&sim_pid);  // its logs are complete once it has ended
    }

    std::string events() const { return file_text(dir + "/events"); }
};

const std::uint16_t UART_CONFIG[10] = {0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004,
                                       0x0000, 0x0004, 0x001E, 0x0064, 0x000A};

TEST_F(BccmdPtyTest, WritesReadsBuildIdColdResetAndOpensAgain)
{
    start_sim({});
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);

    std::uint16_t build_id = 0;
    EXPECT_EQ(read_build_id(&build_id), 1);
    EXPECT_EQ(build_id, SIM_BUILD_ID);
    const std::uint16_t host_interface = 4;
    EXPECT_EQ(ps_write(0x01F9, 1, &host_interface), 1);
    EXPECT_EQ(ps_write(0x0191, 10, UART_CONFIG), 1);
    std::uint16_t back[10] = {};
    EXPECT_EQ(ps_read(0x0191, 10, back), 1);
    EXPECT_EQ(std::vector<std::uint16_t>(back, back + 10), std::vector<std::uint16_t>(UART_CONFIG, UART_CONFIG + 10));

    EXPECT_EQ(cold_reset(), 1);
    sleep_ms(COLD_RESET_PAUSE_MS);
    bcsp_port_close();

    // The chip has restarted; a new link, the keys still in its store.
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    std::uint16_t value = 0;
    EXPECT_EQ(ps_read(0x01F9, 1, &value), 1);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(ps_defrag_reset(), 1);
    sleep_ms(DEFRAG_PAUSE_MS);
    bcsp_port_close();
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    EXPECT_EQ(read_build_id(&build_id), 1);

    const std::string log = events();
    EXPECT_EQ(count_of(log, "\"reason\":\"cold_reset\""), 2) << "request and restart";
    EXPECT_EQ(count_of(log, "\"reason\":\"ps_defrag_reset\""), 2);
    EXPECT_EQ(count_of(log, "\"ev\":\"link_established\""), 3);
}

TEST_F(BccmdPtyTest, EveryTransactionCompletesWithOnePercentOfBytesCorrupted)
{
    start_sim({"--noise-corrupt", "0.01", "--noise-rx-corrupt", "0.01", "--seed", "11"});
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    for (int round = 0; round < 25; ++round) {
        std::uint16_t values[10];
        for (int i = 0; i < 10; ++i) {
            values[i] = static_cast<std::uint16_t>(0x1000 + round * 16 + i);
        }
        const std::uint16_t key = static_cast<std::uint16_t>(0x0300 + round);
        ASSERT_EQ(ps_write(key, 10, values), 1) << "round " << round;
        std::uint16_t back[10] = {};
        ASSERT_EQ(ps_read(key, 10, back), 1) << "round " << round;
        EXPECT_EQ(std::vector<std::uint16_t>(back, back + 10), std::vector<std::uint16_t>(values, values + 10));
        std::uint16_t id = 0;
        ASSERT_EQ(read_build_id(&id), 1) << "round " << round;
        EXPECT_EQ(id, SIM_BUILD_ID);
    }
    EXPECT_EQ(cold_reset(), 1);
    sleep_ms(COLD_RESET_PAUSE_MS);
    bcsp_port_close();
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);

    const std::string log = events();
    EXPECT_GT(count_of(log, "\"ev\":\"noise\",\"dir\":\"tx\""), 10);
    EXPECT_GT(count_of(log, "\"ev\":\"noise\",\"dir\":\"rx\""), 10);
}

TEST_F(BccmdPtyTest, OpenGivesUpOnAChipThatNeverLinks)
{
    start_sim({"--chip-fault", "no-link"});
    const std::uint64_t start_ms = clock_ms();
    EXPECT_EQ(bcsp_port_open(1, 115200), 0);
    const std::uint64_t took_ms = clock_ms() - start_ms;
    EXPECT_GE(took_ms, BCSP_LINK_TIMEOUT_MS);
    EXPECT_LT(took_ms, BCSP_LINK_TIMEOUT_MS + 1000);
    EXPECT_EQ(bcsp_port_handle, PLATFORM_INVALID_HANDLE);
}

}  // namespace
