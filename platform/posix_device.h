// POSIX only: how serial_open turns a Win32 device name into a device path,
// and how long a write waits for a stalled line. Declared here so that the
// platform tests can check them without a device.
#pragma once

#include <cstddef>
#include <cstdint>

// A write without a write time-out waits for its bytes to leave the transmit
// queue for as long as the queue keeps shrinking; a queue that has not moved
// for this long belongs to a stopped line (a device gone, a driver holding the
// bytes), and the write ends with what has left. One character at 50 baud
// takes 220 ms.
inline constexpr std::uint32_t SERIAL_DRAIN_STALL_TIMEOUT_MS = 1000;

// "\\\\.\\COMn" (n >= 1) becomes $COMn_DEVICE when that is set and not empty,
// else "/dev/ttyS<n-1>"; any other name is used as it is. Writes the path,
// zero-terminated, into resolved. Returns 1, or 0 with ENAMETOOLONG when it
// does not fit (EINVAL for a null argument).
int serial_device_path(const char* device_path, char* resolved, std::size_t capacity);
