// Watching the serial port: one observer may be told of every serial call
// (open, setup, get and set state, time-outs, purge, escape, read, write,
// close) after it returned, with the bytes that moved. The wire trace of the
// field tool is recorded this way; the calls and the bytes are the same with
// and without an observer, and without one a call costs one pointer test.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum SerialCall : std::uint8_t {
    SERIAL_CALL_OPEN,
    SERIAL_CALL_SETUP,
    SERIAL_CALL_GET_STATE,
    SERIAL_CALL_SET_STATE,
    SERIAL_CALL_SET_TIMEOUTS,
    SERIAL_CALL_PURGE,
    SERIAL_CALL_ESCAPE,
    SERIAL_CALL_READ,
    SERIAL_CALL_WRITE,
    SERIAL_CALL_CLOSE,
};

// One call, as it returned. Pointers are valid only during the observer call.
struct SerialCallRecord {
    SerialCall call;
    std::uint64_t time_us;          // monotonic clock when the call returned
    PlatformHandle port;            // open: the handle it returned
    int result;                     // open: 1 for a handle, 0 for none
    std::uint32_t error;            // platform_last_error() when result is 0, else 0
    const char* device_path;        // open
    const SerialState* state;       // get_state: as read; set_state: as asked
    const SerialTimeouts* timeouts; // set_timeouts
    std::uint32_t value;            // purge: flags; escape: function; read/write: count asked;
                                    // setup: input queue size
    const std::uint8_t* bytes;      // read: the bytes received; write: the bytes sent
    std::uint32_t byte_count;       // how many of them
};

using SerialObserver = void (*)(const SerialCallRecord* record, void* context);

// Sets the observer (null: none). The observer must not call serial_* itself.
void serial_observer_set(SerialObserver observer, void* context);

// The monotonic clock the records carry, in microseconds.
std::uint64_t serial_observer_now_us();
