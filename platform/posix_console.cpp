// The platform API on POSIX (Linux): the last error, time, the console
// (poll() on standard input for the key test, isatty() and TIOCGWINSZ for a
// live display) and process exit.
#include "platform/platform.h"
#include "platform/platform_console.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Signals whose default action ends the process: the terminal is restored
// before they do, so a key wait cut short does not leave it without echo.
constexpr std::array<int, 4> CONSOLE_RESTORE_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct ConsoleKeyWait {
    int active;
    int exit_hook_registered;
    termios saved;
    std::array<int, CONSOLE_RESTORE_SIGNALS.size()> handler_installed;
    std::array<struct sigaction, CONSOLE_RESTORE_SIGNALS.size()> previous;
};

ConsoleKeyWait console_key_wait{};

// Runs once per signal (SA_RESETHAND): restores the terminal and lets the
// signal take its default course as soon as the handler returns.
void console_restore_on_signal(int signal_number)
{
    const int saved_errno = errno;
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &console_key_wait.saved);
    (void)raise(signal_number);
    errno = saved_errno;
}

void console_install_signal_handlers()
{
    for (std::size_t i = 0; i < CONSOLE_RESTORE_SIGNALS.size(); ++i) {
        console_key_wait.handler_installed[i] = 0;
        struct sigaction current{};
        // A signal the caller ignores or handles keeps its disposition.
        if (sigaction(CONSOLE_RESTORE_SIGNALS[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction restore{};
        restore.sa_handler = console_restore_on_signal;
        restore.sa_flags = SA_RESETHAND;
        sigemptyset(&restore.sa_mask);
        if (sigaction(CONSOLE_RESTORE_SIGNALS[i], &restore, &console_key_wait.previous[i]) == 0) {
            console_key_wait.handler_installed[i] = 1;
        }
    }
}

void console_remove_signal_handlers()
{
    for (std::size_t i = 0; i < CONSOLE_RESTORE_SIGNALS.size(); ++i) {
        if (console_key_wait.handler_installed[i]) {
            (void)sigaction(CONSOLE_RESTORE_SIGNALS[i], &console_key_wait.previous[i], nullptr);
            console_key_wait.handler_installed[i] = 0;
        }
    }
}

void console_restore_at_exit()
{
    console_key_wait_end();
}

// The descriptor of CONSOLE_OUTPUT_STDOUT or _STDERR; -1 for anything else.
int console_stream_descriptor(int stream)
{
    if (stream == CONSOLE_OUTPUT_STDOUT) {
        return STDOUT_FILENO;
    }
    return stream == CONSOLE_OUTPUT_STDERR ? STDERR_FILENO : -1;
}

}  // namespace

std::uint32_t platform_last_error()
{
    return static_cast<std::uint32_t>(errno);
}

void platform_last_error_set(std::uint32_t code)
{
    errno = static_cast<int>(code);
}

void platform_error_text(std::uint32_t error, char* text, std::size_t capacity)
{
    if (text != nullptr && capacity > 0) {
        std::snprintf(text, capacity, "%s", std::strerror(static_cast<int>(error)));
    }
}

// ---------------------------------------------------------------------------
// Time

void sleep_ms(std::uint32_t milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal cuts nanosleep short; the rest of the time is still slept.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::uint64_t clock_ms()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void timer_precise_begin()
{
}

void timer_precise_end()
{
}

// ---------------------------------------------------------------------------
// Console and process

void console_key_wait_begin()
{
    if (console_key_wait.active || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &console_key_wait.saved) != 0) {
        return;
    }
    if (!console_key_wait.exit_hook_registered) {
        console_key_wait.exit_hook_registered = std::atexit(console_restore_at_exit) == 0;
    }
    termios t = console_key_wait.saved;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    console_install_signal_handlers();
    // TCSANOW, not TCSAFLUSH: a key pressed before the wait must still count.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) {
        console_remove_signal_handlers();
        return;
    }
    console_key_wait.active = 1;
}

void console_key_wait_end()
{
    if (!console_key_wait.active) {
        return;
    }
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &console_key_wait.saved);
    console_remove_signal_handlers();
    console_key_wait.active = 0;
}

int console_key_waiting()
{
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // Ended, hung up or not open at all: no key will ever come, so stop waiting.
    if (ready < 0) {
        return 1;
    }
    return (entry.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

void process_exit(int status)
{
    console_key_wait_end();
    std::fflush(stdout);
    std::exit(status);
}

int console_is_terminal(int stream)
{
    const int fd = console_stream_descriptor(stream);
    return fd >= 0 && isatty(fd) == 1 ? 1 : 0;
}

int console_width(int stream)
{
    const int fd = console_stream_descriptor(stream);
    winsize size{};
    // A terminal that never had its size set (some pseudo-terminals) says 0 columns.
    if (fd < 0 || ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        return CONSOLE_WIDTH_DEFAULT_COLUMNS;
    }
    return size.ws_col;
}

int console_enable_escapes()
{
    // A terminal takes escapes as they come; "dumb" says it moves no cursor.
    const char* terminal = std::getenv("TERM");
    const int dumb = terminal != nullptr && std::strcmp(terminal, "dumb") == 0;
    return console_is_terminal(CONSOLE_OUTPUT_STDOUT) && !dumb ? 1 : 0;
}
