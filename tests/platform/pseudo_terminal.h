// A pseudo-terminal pair for the POSIX platform tests: the test holds the
// master side and plays the device; the code under test opens the slave.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

struct PseudoTerminal {
    int master = -1;
    std::string slave_path;
};

inline PseudoTerminal pseudo_terminal_open()
{
    PseudoTerminal pty;
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        return pty;
    }
    const char* name = ptsname(pty.master);
    pty.slave_path = name != nullptr ? name : "";
    return pty;
}

inline void pseudo_terminal_close(PseudoTerminal* pty)
{
    if (pty->master >= 0) {
        close(pty->master);
        pty->master = -1;
    }
}

// Reads from the master until `count` bytes came or timeout_ms passed.
inline std::string pseudo_terminal_read(const PseudoTerminal& pty, std::size_t count, int timeout_ms)
{
    std::string got;
    while (got.size() < count) {
        pollfd entry{pty.master, POLLIN, 0};
        if (poll(&entry, 1, timeout_ms) <= 0) {
            break;
        }
        char buffer[256];
        const ssize_t n = read(pty.master, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

inline bool pseudo_terminal_write(const PseudoTerminal& pty, const char* text)
{
    const std::size_t length = std::strlen(text);
    return write(pty.master, text, length) == static_cast<ssize_t>(length);
}
