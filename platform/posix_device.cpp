// How a Win32 device name becomes a POSIX device path, on its own so that the
// port listing (platform_ports) resolves COMn as serial_open does without
// linking the serial ports.
#include "platform/posix_device.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int serial_device_path(const char* device_path, char* resolved, std::size_t capacity)
{
    if (device_path == nullptr || resolved == nullptr || capacity == 0) {
        errno = EINVAL;
        return 0;
    }
    static constexpr char WIN32_COM_PREFIX[] = "\\\\.\\COM";
    constexpr std::size_t prefix_length = sizeof WIN32_COM_PREFIX - 1;
    constexpr std::size_t port_digits_max = 9;
    unsigned long port = 0;
    std::size_t digits = 0;
    if (std::strncmp(device_path, WIN32_COM_PREFIX, prefix_length) == 0) {
        for (const char* cursor = device_path + prefix_length; *cursor >= '0' && *cursor <= '9'; ++cursor) {
            port = port * 10 + static_cast<unsigned long>(*cursor - '0');
            ++digits;
        }
        if (device_path[prefix_length + digits] != '\0' || digits > port_digits_max) {
            digits = 0;
        }
    }
    int written;
    if (digits == 0 || port == 0) {
        written = std::snprintf(resolved, capacity, "%s", device_path);
    } else {
        char variable[32];
        std::snprintf(variable, sizeof variable, "COM%lu_DEVICE", port);
        const char* mapped = std::getenv(variable);
        if (mapped != nullptr && mapped[0] != '\0') {
            written = std::snprintf(resolved, capacity, "%s", mapped);
        } else {
            written = std::snprintf(resolved, capacity, "/dev/ttyS%lu", port - 1);
        }
    }
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}
