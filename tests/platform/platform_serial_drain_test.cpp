// A UART whose transmit queue empties at the line rate, in front of the
// pseudo-terminal (whose own queue is empty as soon as write() returns, so it
// cannot show the difference). This file defines write, ioctl and tcflush in
// the test program: for the one descriptor a test hands to the model, written
// bytes wait in a queue and reach the pseudo-terminal one character time
// apart, TIOCOUTQ reports what is still queued, and an output purge throws the
// queued bytes away, as a real port's tcflush does (and only those: what has
// left is with the far end). Every other descriptor,
// and every call while no test uses the model, goes to the C library.
#include "platform/platform.h"
#include "platform/posix_device.h"
#include "pseudo_terminal.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <deque>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct SlowUart {
    int fd = -1;                      // the descriptor modelled; -1: none
    Clock::duration char_time{};      // line time per character
    bool stalled = false;             // the line never moves (a device gone)
    std::deque<char> queue;           // written, not yet on the line
    Clock::time_point next_out{};     // when the queue's first byte has left
};

SlowUart uart;

using WriteFunction = ssize_t (*)(int, const void*, size_t);
using IoctlFunction = int (*)(int, unsigned long, ...);
using TcflushFunction = int (*)(int, int);

WriteFunction real_write()
{
    static const auto function = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
    return function;
}

// Moves the bytes whose line time has passed on to the pseudo-terminal.
void uart_pump()
{
    const Clock::time_point now = Clock::now();
    while (!uart.stalled && !uart.queue.empty() && uart.next_out <= now) {
        const char byte = uart.queue.front();
        uart.queue.pop_front();
        if (real_write()(uart.fd, &byte, 1) != 1) {
            ADD_FAILURE() << "the pseudo-terminal refused a byte";
        }
        uart.next_out += uart.char_time;
    }
}

}  // namespace

extern "C" ssize_t write(int fd, const void* buffer, size_t count)
{
    if (fd != uart.fd) {
        return real_write()(fd, buffer, count);
    }
    uart_pump();
    if (uart.queue.empty()) {
        uart.next_out = Clock::now() + uart.char_time;
    }
    const char* bytes = static_cast<const char*>(buffer);
    uart.queue.insert(uart.queue.end(), bytes, bytes + count);
    return static_cast<ssize_t>(count);
}

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    static const auto real_ioctl = reinterpret_cast<IoctlFunction>(dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (fd != uart.fd || request != TIOCOUTQ) {
        return real_ioctl(fd, request, argument);
    }
    uart_pump();
    *static_cast<int*>(argument) = static_cast<int>(uart.queue.size());
    return 0;
}

extern "C" int tcflush(int fd, int queue_selector) noexcept
{
    static const auto real_tcflush = reinterpret_cast<TcflushFunction>(dlsym(RTLD_NEXT, "tcflush"));
    if (fd != uart.fd || queue_selector == TCIFLUSH) {
        return real_tcflush(fd, queue_selector);
    }
    // What has left is on the cable, beyond reach; the pseudo-terminal would
    // still drop what its far end has not read, so it sees the input part only.
    uart_pump();
    uart.queue.clear();
    return queue_selector == TCIOFLUSH ? real_tcflush(fd, TCIFLUSH) : 0;
}

namespace {

using namespace std::string_literals;

constexpr SerialTimeouts COMMAND_PORT_TIMEOUTS = {1000, 500, 1000, 500, 1000};
constexpr SerialTimeouts RETURN_AT_ONCE_TIMEOUTS = {SERIAL_TIMEOUT_MAXDWORD, 0, 0, 0, 0};
constexpr SerialTimeouts WRITE_WITHIN_40_MS = {SERIAL_TIMEOUT_MAXDWORD, 0, 0, 0, 40};
constexpr std::uint64_t TIMING_SLACK_MS = 150;

struct DrainCase {
    const char* name;
    SerialTimeouts timeouts;
    int char_time_ms;
    bool stalled;
    std::string bytes;
    std::uint32_t least_written;  // the count the write reports lies in [least, most]
    std::uint32_t most_written;
    std::uint64_t least_ms;       // and the write takes this long, within the slack
};

void PrintTo(const DrainCase& c, std::ostream* os)
{
    *os << c.name;
}

class SerialDrainTest : public ::testing::TestWithParam<DrainCase> {
protected:
    void TearDown() override
    {
        uart = SlowUart{};
        if (port != PLATFORM_INVALID_HANDLE) {
            serial_close(port);
        }
        pseudo_terminal_close(&pty);
    }

    PseudoTerminal pty;
    PlatformHandle port = PLATFORM_INVALID_HANDLE;
};

// A write ends once its bytes have left, so the purge-and-close that follows
// it (the command port after 01 F6 00 00) cannot take back what it reported
// written; when the time runs out, the count says how many did leave.
TEST_P(SerialDrainTest, PurgeAfterWriteLosesNothingReportedWritten)
{
    const DrainCase& c = GetParam();
    pty = pseudo_terminal_open();
    ASSERT_GE(pty.master, 0);
    port = serial_open(pty.slave_path.c_str());
    ASSERT_NE(port, PLATFORM_INVALID_HANDLE);
    ASSERT_EQ(serial_set_timeouts(port, &c.timeouts), 1);
    uart.fd = static_cast<int>(port);
    uart.char_time = std::chrono::milliseconds(c.char_time_ms);
    uart.stalled = c.stalled;

    std::uint32_t written = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(serial_write(port, c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size()), &written), 1);
    const auto took_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    EXPECT_GE(written, c.least_written);
    EXPECT_LE(written, c.most_written);
    EXPECT_LE(written, took_ms / static_cast<std::uint64_t>(c.char_time_ms) + 1) << "more than could have left";
    EXPECT_GE(took_ms + 1, c.least_ms);
    EXPECT_LT(took_ms, c.least_ms + TIMING_SLACK_MS);

    ASSERT_EQ(serial_purge(port, SERIAL_PURGE_ALL), 1);
    EXPECT_EQ(pseudo_terminal_read(pty, c.bytes.size(), 100), c.bytes.substr(0, written));
}

INSTANTIATE_TEST_SUITE_P(
    Writes, SerialDrainTest,
    ::testing::Values(
        DrainCase{"CommandBeforeClose", COMMAND_PORT_TIMEOUTS, 5, false, "\x01\xF6\x00\x00"s, 4, 4, 20},
        DrainCase{"OneBcspByte", RETURN_AT_ONCE_TIMEOUTS, 2, false, "\xC0"s, 1, 1, 2},
        DrainCase{"WriteTimeOutRunsOut", WRITE_WITHIN_40_MS, 15, false, "LUMA PORT SETUP"s, 2, 14, 40},
        DrainCase{"StalledLineWithoutTimeOut", RETURN_AT_ONCE_TIMEOUTS, 1, true, "\x01\xF7\x00\x00"s, 0, 0,
                  SERIAL_DRAIN_STALL_TIMEOUT_MS}),
    [](const ::testing::TestParamInfo<DrainCase>& info) { return std::string(info.param.name); });

}  // namespace
