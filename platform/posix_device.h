// POSIX only: how serial_open turns a Win32 device name into a device path.
// Declared here so that the platform tests can check the mapping without the
// device existing.
#pragma once

#include <cstddef>

// "\\\\.\\COMn" (n >= 1) becomes $COMn_DEVICE when that is set and not empty,
// else "/dev/ttyS<n-1>"; any other name is used as it is. Writes the path,
// zero-terminated, into resolved. Returns 1, or 0 with ENAMETOOLONG when it
// does not fit (EINVAL for a null argument).
int serial_device_path(const char* device_path, char* resolved, std::size_t capacity);
