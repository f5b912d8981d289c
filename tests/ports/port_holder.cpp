// port-holder: holds a serial port the way the updater does (serial_open:
// exclusive, TIOCEXCL and flock) until its standard input ends, so that a test
// has a port another process holds.
//
//   port-holder PATH     prints "held PID" once the port is open; exit 1 when it cannot be
#include "platform/platform.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: port-holder PATH\n");
        return 2;
    }
    const PlatformHandle port = serial_open(argv[1]);
    if (port == PLATFORM_INVALID_HANDLE) {
        std::fprintf(stderr, "port-holder: cannot open %s: error %u\n", argv[1], platform_last_error());
        return 1;
    }
    std::printf("held %d\n", static_cast<int>(getpid()));
    std::fflush(stdout);
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    serial_close(port);
    return 0;
}
