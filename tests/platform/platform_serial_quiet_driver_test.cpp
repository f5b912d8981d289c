// A serial driver that drops part of a tcsetattr request and still returns
// success (POSIX allows it; some USB-serial drivers do it with two stop bits).
// This file puts such a driver in front of the pseudo-terminal by defining
// tcsetattr in the test program, passing through to the C library's unless a
// test turns the fault on.
#include "platform/platform.h"
#include "pseudo_terminal.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>

namespace {
bool driver_drops_two_stop_bits = false;
}

extern "C" int tcsetattr(int fd, int optional_actions, const struct termios* wanted)
{
    using TcsetattrFunction = int (*)(int, int, const struct termios*);
    static const auto real_tcsetattr = reinterpret_cast<TcsetattrFunction>(dlsym(RTLD_NEXT, "tcsetattr"));
    if (!driver_drops_two_stop_bits) {
        return real_tcsetattr(fd, optional_actions, wanted);
    }
    struct termios taken = *wanted;
    taken.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    return real_tcsetattr(fd, optional_actions, &taken);
}

namespace {

TEST(SerialQuietDriverTest, SettingTheDriverDidNotTakeIsAFailure)
{
    PseudoTerminal pty = pseudo_terminal_open();
    ASSERT_GE(pty.master, 0);
    const PlatformHandle port = serial_open(pty.slave_path.c_str());
    ASSERT_NE(port, PLATFORM_INVALID_HANDLE);
    SerialState state{};
    ASSERT_EQ(serial_get_state(port, &state), 1);
    state.baud_rate = 9600;
    state.stop_bits = SERIAL_TWOSTOPBITS;
    state.xon_lim = 321;

    driver_drops_two_stop_bits = true;
    const int result = serial_set_state(port, &state);
    const std::uint32_t error = platform_last_error();
    driver_drops_two_stop_bits = false;

    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, static_cast<std::uint32_t>(EINVAL));
    SerialState after{};
    ASSERT_EQ(serial_get_state(port, &after), 1);
    EXPECT_EQ(after.stop_bits, SERIAL_ONESTOPBIT);
    EXPECT_NE(after.xon_lim, 321);

    state.stop_bits = SERIAL_TWOSTOPBITS;  // the same request through an honest driver
    EXPECT_EQ(serial_set_state(port, &state), 1);
    serial_close(port);
    pseudo_terminal_close(&pty);
}

}  // namespace
