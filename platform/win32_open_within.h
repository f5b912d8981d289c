// An open with a deadline, on Windows, for opens that can block for long (a
// COM port whose driver first makes a connection). The open runs in a thread
// of its own; at the deadline the thread's pending I/O is cancelled, and an
// open that still does not return is left to finish alone: its thread closes
// whatever handle it gets in the end. Nothing here prints.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// After the deadline: how long a cancelled open is given to return before it
// is left behind. A driver that honours the cancel returns within
// milliseconds; one that does not will not return sooner for a longer wait.
inline constexpr std::uint32_t PORT_OPEN_CANCEL_WAIT_MS = 500;

// The open itself: a handle, or PLATFORM_INVALID_HANDLE with its error left
// for GetLastError().
using PortOpenCall = PlatformHandle (*)(const char* path);

// Runs open(path) and waits at most timeout_ms for it (plus the cancel wait).
// 1: opened, *handle is the caller's to close. 0: not opened, the error left
// for platform_last_error(); *timed_out is 1 when the open did not finish in
// time (the error is then ERROR_TIMEOUT).
int port_open_within(PortOpenCall open, const char* path, std::uint32_t timeout_ms, PlatformHandle* handle,
                     int* timed_out);
