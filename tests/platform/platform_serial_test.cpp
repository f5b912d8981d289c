// The POSIX serial port against a real pseudo-terminal: device naming,
// exclusive open, the emulated Win32 read time-outs, line settings as the
// other end sees them, and the failures that must be reported.
#include "platform/platform.h"
#include "platform/posix_device.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

constexpr const char* TEST_PORT_NAME = "\\\\.\\COM7";
constexpr const char* TEST_PORT_VARIABLE = "COM7_DEVICE";
// Scheduling slack allowed on top of a time-out, and the most an "at once"
// call may take.
constexpr std::uint64_t TIMING_SLACK_MS = 150;
constexpr std::uint64_t AT_ONCE_MS = 40;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        pty = pseudo_terminal_open();
        ASSERT_GE(pty.master, 0);
        ASSERT_FALSE(pty.slave_path.empty());
        setenv(TEST_PORT_VARIABLE, pty.slave_path.c_str(), 1);
    }

    void TearDown() override
    {
        if (port != PLATFORM_INVALID_HANDLE) {
            serial_close(port);
        }
        pseudo_terminal_close(&pty);
        unsetenv(TEST_PORT_VARIABLE);
    }

    void open_port()
    {
        port = serial_open(TEST_PORT_NAME);
        ASSERT_NE(port, PLATFORM_INVALID_HANDLE) << "errno " << platform_last_error();
    }

    void set_timeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant)
    {
        const SerialTimeouts timeouts{interval, multiplier, constant, 0, 0};
        ASSERT_EQ(serial_set_timeouts(port, &timeouts), 1);
    }

    // Reads with the time-outs set; reports bytes, result and elapsed time.
    std::string timed_read(std::uint32_t count, int* result, std::uint64_t* elapsed_ms)
    {
        char buffer[64] = {};
        std::uint32_t got = 99;
        const std::uint64_t start = clock_ms();
        *result = serial_read(port, buffer, count, &got);
        *elapsed_ms = clock_ms() - start;
        return std::string(buffer, got <= sizeof buffer ? got : 0);
    }

    // The state as the other end of the line sees it.
    termios master_termios() const
    {
        termios t{};
        EXPECT_EQ(tcgetattr(pty.master, &t), 0);
        return t;
    }

    PseudoTerminal pty;
    PlatformHandle port = PLATFORM_INVALID_HANDLE;
};

TEST(SerialDevicePath, Win32ComNamesMapToEnvironmentOrTtyS)
{
    char path[64];
    unsetenv("COM3_DEVICE");
    ASSERT_EQ(serial_device_path("\\\\.\\COM3", path, sizeof path), 1);
    EXPECT_STREQ(path, "/dev/ttyS2");
    ASSERT_EQ(serial_device_path("\\\\.\\COM12", path, sizeof path), 1);
    EXPECT_STREQ(path, "/dev/ttyS11");

    setenv("COM3_DEVICE", "/dev/ttyUSB0", 1);
    ASSERT_EQ(serial_device_path("\\\\.\\COM3", path, sizeof path), 1);
    EXPECT_STREQ(path, "/dev/ttyUSB0");
    setenv("COM3_DEVICE", "", 1);  // set but empty: not a device
    ASSERT_EQ(serial_device_path("\\\\.\\COM3", path, sizeof path), 1);
    EXPECT_STREQ(path, "/dev/ttyS2");
    unsetenv("COM3_DEVICE");
}

TEST(SerialDevicePath, OtherNamesAreUsedAsGiven)
{
    char path[64];
    for (const char* name : {"/dev/pts/5", "\\\\.\\COM0", "\\\\.\\COM3x", "\\\\.\\COM", "COM3"}) {
        ASSERT_EQ(serial_device_path(name, path, sizeof path), 1) << name;
        EXPECT_STREQ(path, name);
    }
    char small[8];
    EXPECT_EQ(serial_device_path("\\\\.\\COM12", small, sizeof small), 0);  // "/dev/ttyS11" needs 12
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(ENAMETOOLONG));
}

TEST_F(SerialPortTest, OpensTheDeviceNamedByTheEnvironmentAndMovesBytesBothWays)
{
    open_port();
    set_timeouts(0, 0, 1000);
    ASSERT_TRUE(pseudo_terminal_write(pty, "ping"));
    int result = 0;
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_read(4, &result, &elapsed), "ping");
    EXPECT_EQ(result, 1);

    std::uint32_t written = 99;
    EXPECT_EQ(serial_write(port, "pong", 4, &written), 1);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(pseudo_terminal_read(pty, 4, 1000), "pong");
}

TEST_F(SerialPortTest, MissingDeviceFailsWithTheSystemError)
{
    setenv(TEST_PORT_VARIABLE, "/nonexistent/ttyX", 1);
    EXPECT_EQ(serial_open(TEST_PORT_NAME), PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(ENOENT));
}

TEST_F(SerialPortTest, OpenIsExclusiveUntilClosed)
{
    open_port();
    EXPECT_EQ(serial_open(TEST_PORT_NAME), PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EBUSY));

    ASSERT_EQ(serial_close(port), 1);
    port = PLATFORM_INVALID_HANDLE;
    open_port();
}

// TIOCEXCL belongs to the tty, not to a descriptor: an open beside another
// holder must leave that holder's flag as it was, whether the open is refused
// (its flock) or let through (root passes TIOCEXCL), and clear only a flag it
// set itself.
TEST_F(SerialPortTest, AnotherHoldersExclusiveFlagIsLeftAsItWas)
{
    struct Case {
        const char* name;
        bool holder_flock;
        bool holder_exclusive;
    };
    const Case cases[] = {
        {"holder with a flock", true, false},
        {"holder with TIOCEXCL", false, true},
        {"holder with both", true, true},
        {"holder with neither", false, false},
    };
    const bool root = geteuid() == 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int holder = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_TRUE(!c.holder_flock || flock(holder, LOCK_EX | LOCK_NB) == 0);
        ASSERT_TRUE(!c.holder_exclusive || ioctl(holder, TIOCEXCL) == 0);
        // Root opens past TIOCEXCL; a flock turns everyone away.
        const bool opens = !c.holder_flock && (root || !c.holder_exclusive);
        const PlatformHandle ours = serial_open(TEST_PORT_NAME);
        EXPECT_EQ(ours != PLATFORM_INVALID_HANDLE, opens);
        int exclusive = -1;
        if (ours != PLATFORM_INVALID_HANDLE) {
            ASSERT_EQ(ioctl(holder, TIOCGEXCL, &exclusive), 0);
            EXPECT_EQ(exclusive, 1) << "the open made the port exclusive";
            EXPECT_EQ(serial_close(ours), 1);
        } else {
            EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EBUSY));
        }
        ASSERT_EQ(ioctl(holder, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, c.holder_exclusive ? 1 : 0);
        ASSERT_TRUE(!c.holder_exclusive || ioctl(holder, TIOCNXCL) == 0);
        close(holder);
    }
}

TEST_F(SerialPortTest, TotalTimeoutIsMultiplierTimesCountPlusConstant)
{
    open_port();
    int result = 0;
    std::uint64_t elapsed = 0;

    set_timeouts(1000, 50, 100);
    EXPECT_EQ(timed_read(1, &result, &elapsed), "");
    EXPECT_EQ(result, 1);  // a time-out is not a failure
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 150u + TIMING_SLACK_MS);

    EXPECT_EQ(timed_read(4, &result, &elapsed), "");
    EXPECT_EQ(result, 1);
    EXPECT_GE(elapsed, 300u);
    EXPECT_LT(elapsed, 300u + TIMING_SLACK_MS);
}

TEST_F(SerialPortTest, ReadReturnsAsSoonAsTheCountHasArrived)
{
    open_port();
    set_timeouts(0, 0, 5000);
    ASSERT_TRUE(pseudo_terminal_write(pty, "12345"));
    int result = 0;
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_read(5, &result, &elapsed), "12345");
    EXPECT_EQ(result, 1);
    EXPECT_LT(elapsed, TIMING_SLACK_MS);
}

TEST_F(SerialPortTest, IntervalTimeoutEndsAReadAfterTheLastByte)
{
    open_port();
    set_timeouts(100, 0, 0);  // no total limit: only the gap after a byte ends it
    ASSERT_TRUE(pseudo_terminal_write(pty, "a"));
    int result = 0;
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_read(10, &result, &elapsed), "a");
    EXPECT_EQ(result, 1);
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 100u + TIMING_SLACK_MS);
}

TEST_F(SerialPortTest, MaxdwordIntervalReturnsAtOnceWithWhateverIsWaiting)
{
    open_port();
    set_timeouts(SERIAL_TIMEOUT_MAXDWORD, 0, 0);
    int result = 0;
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_read(10, &result, &elapsed), "");
    EXPECT_EQ(result, 1);
    EXPECT_LT(elapsed, AT_ONCE_MS);

    ASSERT_TRUE(pseudo_terminal_write(pty, "abc"));
    sleep_ms(50);  // the pseudo-terminal hands the bytes over asynchronously
    EXPECT_EQ(timed_read(10, &result, &elapsed), "abc");
    EXPECT_EQ(result, 1);
    EXPECT_LT(elapsed, AT_ONCE_MS);
}

TEST_F(SerialPortTest, MaxdwordMultiplierWaitsForTheFirstBytesOnly)
{
    open_port();
    set_timeouts(SERIAL_TIMEOUT_MAXDWORD, SERIAL_TIMEOUT_MAXDWORD, 100);
    int result = 0;
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_read(10, &result, &elapsed), "");
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 100u + TIMING_SLACK_MS);

    ASSERT_TRUE(pseudo_terminal_write(pty, "xy"));
    sleep_ms(50);
    EXPECT_EQ(timed_read(10, &result, &elapsed), "xy");
    EXPECT_LT(elapsed, AT_ONCE_MS);
}

TEST_F(SerialPortTest, HungUpLineFailsTheReadInsteadOfWaiting)
{
    open_port();
    set_timeouts(0, 0, 2000);
    pseudo_terminal_close(&pty);
    int result = 1;
    std::uint64_t elapsed = 0;
    timed_read(1, &result, &elapsed);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EIO));
    EXPECT_LT(elapsed, AT_ONCE_MS);
}

TEST_F(SerialPortTest, PurgeDiscardsWaitingInput)
{
    open_port();
    set_timeouts(SERIAL_TIMEOUT_MAXDWORD, 0, 0);
    ASSERT_TRUE(pseudo_terminal_write(pty, "stale"));
    sleep_ms(50);
    EXPECT_EQ(serial_purge(port, SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT), 1);
    int result = 0;
    std::uint64_t elapsed = 0;
    EXPECT_EQ(timed_read(10, &result, &elapsed), "");
    EXPECT_EQ(serial_purge(port, SERIAL_PURGE_ALL), 1);
    EXPECT_EQ(serial_purge(port, 0x10), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));
}

TEST_F(SerialPortTest, StateRoundTripsEveryField)
{
    open_port();
    SerialState state{};
    ASSERT_EQ(serial_get_state(port, &state), 1);
    EXPECT_EQ(state.length, SERIAL_STATE_LENGTH);

    // Values unlike any default, in every field termios has no place for...
    state.binary = 0;
    state.parity_check = 1;
    state.outx_dsr_flow = 1;
    state.dtr_control = SERIAL_DTR_CONTROL_DISABLE;
    state.dsr_sensitivity = 1;
    state.tx_continue_on_xoff = 1;
    state.error_char_replace = 1;
    state.null_discard = 1;
    state.rts_control = SERIAL_RTS_CONTROL_ENABLE;
    state.abort_on_error = 1;
    state.dummy2 = 0x1ABCD;
    state.reserved = 0x1234;
    state.xon_lim = 500;
    state.xoff_lim = 3276;
    state.error_char = 'E';
    state.eof_char = 'F';
    state.evt_char = 'G';
    state.reserved1 = 0x5678;
    // ...and in those it has.
    state.baud_rate = 57600;
    state.byte_size = 8;
    state.parity = SERIAL_NOPARITY;
    state.stop_bits = SERIAL_TWOSTOPBITS;
    state.outx_cts_flow = 1;
    state.out_x = 1;
    state.in_x = 1;
    state.xon_char = 0x11;
    state.xoff_char = 0x13;
    const SerialState wanted = state;
    // The pseudo-terminal has no modem lines: SetCommState's DTR/RTS still succeeds.
    ASSERT_EQ(serial_set_state(port, &state), 1) << "errno " << platform_last_error();

    SerialState got{};
    ASSERT_EQ(serial_get_state(port, &got), 1);
    EXPECT_EQ(got.length, wanted.length);
    EXPECT_EQ(got.baud_rate, wanted.baud_rate);
    EXPECT_EQ(got.binary, wanted.binary);
    EXPECT_EQ(got.parity_check, wanted.parity_check);
    EXPECT_EQ(got.outx_cts_flow, wanted.outx_cts_flow);
    EXPECT_EQ(got.outx_dsr_flow, wanted.outx_dsr_flow);
    EXPECT_EQ(got.dtr_control, wanted.dtr_control);
    EXPECT_EQ(got.dsr_sensitivity, wanted.dsr_sensitivity);
    EXPECT_EQ(got.tx_continue_on_xoff, wanted.tx_continue_on_xoff);
    EXPECT_EQ(got.out_x, wanted.out_x);
    EXPECT_EQ(got.in_x, wanted.in_x);
    EXPECT_EQ(got.error_char_replace, wanted.error_char_replace);
    EXPECT_EQ(got.null_discard, wanted.null_discard);
    EXPECT_EQ(got.rts_control, wanted.rts_control);
    EXPECT_EQ(got.abort_on_error, wanted.abort_on_error);
    EXPECT_EQ(got.dummy2, wanted.dummy2);
    EXPECT_EQ(got.reserved, wanted.reserved);
    EXPECT_EQ(got.xon_lim, wanted.xon_lim);
    EXPECT_EQ(got.xoff_lim, wanted.xoff_lim);
    EXPECT_EQ(got.byte_size, wanted.byte_size);
    EXPECT_EQ(got.parity, wanted.parity);
    EXPECT_EQ(got.stop_bits, wanted.stop_bits);
    EXPECT_EQ(got.xon_char, wanted.xon_char);
    EXPECT_EQ(got.xoff_char, wanted.xoff_char);
    EXPECT_EQ(got.error_char, wanted.error_char);
    EXPECT_EQ(got.eof_char, wanted.eof_char);
    EXPECT_EQ(got.evt_char, wanted.evt_char);
    EXPECT_EQ(got.reserved1, wanted.reserved1);

    // The termios part really reached the line, and raw mode survived.
    const termios line = master_termios();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B57600));
    EXPECT_TRUE(line.c_cflag & CSTOPB);
    EXPECT_TRUE(line.c_cflag & CRTSCTS);
    EXPECT_TRUE(line.c_iflag & IXON);
    EXPECT_TRUE(line.c_iflag & IXOFF);
    EXPECT_FALSE(line.c_lflag & (ICANON | ECHO));
}

TEST_F(SerialPortTest, BaudRateReachesTheOtherEnd)
{
    open_port();
    SerialState state{};
    ASSERT_EQ(serial_get_state(port, &state), 1);
    state.byte_size = 8;
    state.parity = SERIAL_NOPARITY;
    state.stop_bits = SERIAL_ONESTOPBIT;

    state.baud_rate = 1200;
    ASSERT_EQ(serial_set_state(port, &state), 1);
    termios line = master_termios();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B1200));
    EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));

    state.baud_rate = 115200;
    ASSERT_EQ(serial_set_state(port, &state), 1);
    line = master_termios();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
}

TEST_F(SerialPortTest, SettingsThePortRefusesAreReportedAndChangeNothing)
{
    open_port();
    SerialState before{};
    ASSERT_EQ(serial_get_state(port, &before), 1);
    before.baud_rate = 1200;
    before.xon_lim = 111;
    ASSERT_EQ(serial_set_state(port, &before), 1);

    // Even parity: this kernel's pseudo-terminals refuse PARENB with EINVAL.
    SerialState refused = before;
    refused.parity = SERIAL_EVENPARITY;
    refused.xon_lim = 222;
    EXPECT_EQ(serial_set_state(port, &refused), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));

    // 7 data bits: tcsetattr "succeeds" but the pseudo-terminal keeps CS8.
    refused = before;
    refused.byte_size = 7;
    EXPECT_EQ(serial_set_state(port, &refused), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));

    // Values termios cannot express at all.
    for (auto change : {+[](SerialState* s) { s->baud_rate = 14400; }, +[](SerialState* s) { s->stop_bits = 1; },
                        +[](SerialState* s) { s->parity = 3; }, +[](SerialState* s) { s->byte_size = 9; }}) {
        refused = before;
        change(&refused);
        EXPECT_EQ(serial_set_state(port, &refused), 0);
        EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));
    }

    SerialState after{};
    ASSERT_EQ(serial_get_state(port, &after), 1);
    EXPECT_EQ(after.baud_rate, 1200u);
    EXPECT_EQ(after.parity, SERIAL_NOPARITY);
    EXPECT_EQ(after.byte_size, 8);
    EXPECT_EQ(after.xon_lim, 111);  // a failed set keeps none of its fields
}

TEST_F(SerialPortTest, CallerErrorsFailWithInvalidParameterAndZeroCounts)
{
    open_port();
    const PlatformHandle not_a_port = 12345;
    char buffer[4];
    std::uint32_t count = 99;
    EXPECT_EQ(serial_read(not_a_port, buffer, 1, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));
    count = 99;
    EXPECT_EQ(serial_write(not_a_port, buffer, 1, &count), 0);
    EXPECT_EQ(count, 0u);
    SerialState state{};
    EXPECT_EQ(serial_get_state(not_a_port, &state), 0);
    EXPECT_EQ(serial_get_state(port, nullptr), 0);
    EXPECT_EQ(serial_set_timeouts(port, nullptr), 0);
    EXPECT_EQ(serial_escape(port, 7), 0);
    EXPECT_EQ(serial_close(not_a_port), 0);
    EXPECT_EQ(serial_close(PLATFORM_INVALID_HANDLE), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));
}

}  // namespace
