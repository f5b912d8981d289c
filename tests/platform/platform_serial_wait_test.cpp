// serial_wait_input on a real pseudo-terminal: it wakes for the first byte,
// times out when none comes, reads nothing, and counts a hung-up line as input
// so that the read after it reports the failure.
#include "platform/platform.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

namespace {

constexpr const char* TEST_PORT_NAME = "\\\\.\\COM8";
constexpr const char* TEST_PORT_VARIABLE = "COM8_DEVICE";
// Scheduling slack on top of a time-out, and the most an "at once" call may take.
constexpr std::uint64_t TIMING_SLACK_MS = 150;
constexpr std::uint64_t AT_ONCE_MS = 40;
constexpr std::uint32_t LONG_WAIT_MS = 2000;
constexpr int BYTE_AFTER_MS = 30;

class SerialWaitInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        pty = pseudo_terminal_open();
        ASSERT_GE(pty.master, 0);
        setenv(TEST_PORT_VARIABLE, pty.slave_path.c_str(), 1);
        port = serial_open(TEST_PORT_NAME);
        ASSERT_NE(port, PLATFORM_INVALID_HANDLE) << "errno " << platform_last_error();
        const SerialTimeouts at_once{SERIAL_TIMEOUT_MAXDWORD, 0, 0, 0, 0};
        ASSERT_EQ(serial_set_timeouts(port, &at_once), 1);
    }

    void TearDown() override
    {
        if (port != PLATFORM_INVALID_HANDLE) {
            serial_close(port);
        }
        pseudo_terminal_close(&pty);
        unsetenv(TEST_PORT_VARIABLE);
    }

    int timed_wait(std::uint32_t timeout_ms, std::uint64_t* elapsed_ms)
    {
        const std::uint64_t start = clock_ms();
        const int result = serial_wait_input(port, timeout_ms);
        *elapsed_ms = clock_ms() - start;
        return result;
    }

    PseudoTerminal pty;
    PlatformHandle port = PLATFORM_INVALID_HANDLE;
};

TEST_F(SerialWaitInputTest, TimesOutWhenNothingComes)
{
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_wait(100, &elapsed), 0);
    EXPECT_GE(elapsed, 100u);
    EXPECT_LE(elapsed, 100u + TIMING_SLACK_MS);
}

TEST_F(SerialWaitInputTest, ReturnsAtOnceForWaitingInputAndLeavesItToTheRead)
{
    ASSERT_TRUE(pseudo_terminal_write(pty, "ab"));
    std::uint64_t elapsed = 0;
    // The pty passes the bytes on asynchronously: give them a moment.
    EXPECT_EQ(timed_wait(LONG_WAIT_MS, &elapsed), 1);
    EXPECT_LE(elapsed, AT_ONCE_MS);
    EXPECT_EQ(timed_wait(LONG_WAIT_MS, &elapsed), 1) << "the wait must not consume the input";
    EXPECT_LE(elapsed, AT_ONCE_MS);
    char buffer[4] = {};
    std::uint32_t got = 0;
    ASSERT_EQ(serial_read(port, buffer, sizeof buffer, &got), 1);
    EXPECT_EQ(std::string(buffer, got), "ab");
}

TEST_F(SerialWaitInputTest, WakesForTheFirstByteLongBeforeItsTimeOut)
{
    // Timed from before the writer starts: the byte cannot come sooner than
    // BYTE_AFTER_MS after this, however late the wait itself begins.
    const std::uint64_t start = clock_ms();
    std::thread device([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(BYTE_AFTER_MS));
        pseudo_terminal_write(pty, "x");
    });
    const int result = serial_wait_input(port, LONG_WAIT_MS);
    const std::uint64_t elapsed = clock_ms() - start;
    device.join();
    EXPECT_EQ(result, 1);
    EXPECT_GE(elapsed, static_cast<std::uint64_t>(BYTE_AFTER_MS));
    EXPECT_LE(elapsed, BYTE_AFTER_MS + TIMING_SLACK_MS);
}

TEST_F(SerialWaitInputTest, AHungUpLineCountsAsInputAndTheReadReportsIt)
{
    pseudo_terminal_close(&pty);
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_wait(LONG_WAIT_MS, &elapsed), 1);
    EXPECT_LE(elapsed, AT_ONCE_MS);
    char byte = 0;
    std::uint32_t got = 99;
    EXPECT_EQ(serial_read(port, &byte, 1, &got), 0);
    EXPECT_EQ(got, 0u);
}

TEST_F(SerialWaitInputTest, AHandleThatIsNoPortFailsAtOnce)
{
    std::uint64_t elapsed = 0;
    const std::uint64_t start = clock_ms();
    EXPECT_EQ(serial_wait_input(PLATFORM_INVALID_HANDLE, LONG_WAIT_MS), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));
    elapsed = clock_ms() - start;
    EXPECT_LE(elapsed, AT_ONCE_MS);
}

}  // namespace
