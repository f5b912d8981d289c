// The serial calls as each platform implements them (posix_serial.cpp,
// win32.cpp, the fake platform of the tests). Nothing calls these but the
// public serial_* calls of serial_observer.cpp, which pass each call through
// and tell an observer what crossed the port when one is set.
#pragma once

#include "platform/platform.h"

PlatformHandle serial_native_open(const char* device_path);
int serial_native_setup(PlatformHandle port, std::uint32_t input_queue, std::uint32_t output_queue);
int serial_native_get_state(PlatformHandle port, SerialState* state);
int serial_native_set_state(PlatformHandle port, const SerialState* state);
int serial_native_set_timeouts(PlatformHandle port, const SerialTimeouts* timeouts);
int serial_native_purge(PlatformHandle port, std::uint32_t flags);
int serial_native_escape(PlatformHandle port, std::uint32_t function);
int serial_native_read(PlatformHandle port, void* buffer, std::uint32_t count, std::uint32_t* bytes_read);
int serial_native_write(PlatformHandle port, const void* buffer, std::uint32_t count, std::uint32_t* bytes_written);
int serial_native_close(PlatformHandle port);

// Puts back the error code that platform_last_error() reports (SetLastError,
// errno), so that an observer's own file writes cannot change it.
void platform_last_error_set(std::uint32_t code);
