// The public serial calls: each passes straight to the platform's own
// (serial_native.h) and, when an observer is set, tells it what happened.
#include "platform/serial_observer.h"

#include <chrono>

#include "platform/serial_native.h"

namespace {

SerialObserver serial_observer;
void* serial_observer_context;

// Tells the observer, keeping the call's error code for the caller whatever
// the observer does.
void serial_observe(SerialCallRecord* record)
{
    record->time_us = serial_observer_now_us();
    record->error = record->result ? 0 : platform_last_error();
    serial_observer(record, serial_observer_context);
    if (!record->result) {
        platform_last_error_set(record->error);
    }
}

SerialCallRecord serial_record(SerialCall call, PlatformHandle port, int result)
{
    SerialCallRecord record{};
    record.call = call;
    record.port = port;
    record.result = result;
    return record;
}

void serial_observe_call(SerialCall call, PlatformHandle port, int result, std::uint32_t value)
{
    SerialCallRecord record = serial_record(call, port, result);
    record.value = value;
    serial_observe(&record);
}

// A read or a write: the count asked for and the bytes that moved.
void serial_observe_bytes(SerialCall call, PlatformHandle port, int result, const void* buffer, std::uint32_t count,
                          const std::uint32_t* moved)
{
    SerialCallRecord record = serial_record(call, port, result);
    record.value = count;
    record.bytes = static_cast<const std::uint8_t*>(buffer);
    record.byte_count = moved != nullptr && buffer != nullptr ? *moved : 0;
    serial_observe(&record);
}

}  // namespace

void serial_observer_set(SerialObserver observer, void* context)
{
    serial_observer = observer;
    serial_observer_context = context;
}

std::uint64_t serial_observer_now_us()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

PlatformHandle serial_open(const char* device_path)
{
    const PlatformHandle port = serial_native_open(device_path);
    if (serial_observer != nullptr) {
        SerialCallRecord record = serial_record(SERIAL_CALL_OPEN, port, port != PLATFORM_INVALID_HANDLE);
        record.device_path = device_path;
        serial_observe(&record);
    }
    return port;
}

int serial_setup(PlatformHandle port, std::uint32_t input_queue, std::uint32_t output_queue)
{
    const int result = serial_native_setup(port, input_queue, output_queue);
    if (serial_observer != nullptr) {
        serial_observe_call(SERIAL_CALL_SETUP, port, result, input_queue);
    }
    return result;
}

int serial_get_state(PlatformHandle port, SerialState* state)
{
    const int result = serial_native_get_state(port, state);
    if (serial_observer != nullptr) {
        SerialCallRecord record = serial_record(SERIAL_CALL_GET_STATE, port, result);
        record.state = result ? state : nullptr;
        serial_observe(&record);
    }
    return result;
}

int serial_set_state(PlatformHandle port, const SerialState* state)
{
    const int result = serial_native_set_state(port, state);
    if (serial_observer != nullptr) {
        SerialCallRecord record = serial_record(SERIAL_CALL_SET_STATE, port, result);
        record.state = state;
        serial_observe(&record);
    }
    return result;
}

int serial_set_timeouts(PlatformHandle port, const SerialTimeouts* timeouts)
{
    const int result = serial_native_set_timeouts(port, timeouts);
    if (serial_observer != nullptr) {
        SerialCallRecord record = serial_record(SERIAL_CALL_SET_TIMEOUTS, port, result);
        record.timeouts = timeouts;
        serial_observe(&record);
    }
    return result;
}

int serial_purge(PlatformHandle port, std::uint32_t flags)
{
    const int result = serial_native_purge(port, flags);
    if (serial_observer != nullptr) {
        serial_observe_call(SERIAL_CALL_PURGE, port, result, flags);
    }
    return result;
}

int serial_escape(PlatformHandle port, std::uint32_t function)
{
    const int result = serial_native_escape(port, function);
    if (serial_observer != nullptr) {
        serial_observe_call(SERIAL_CALL_ESCAPE, port, result, function);
    }
    return result;
}

int serial_read(PlatformHandle port, void* buffer, std::uint32_t count, std::uint32_t* bytes_read)
{
    const int result = serial_native_read(port, buffer, count, bytes_read);
    if (serial_observer != nullptr) {
        serial_observe_bytes(SERIAL_CALL_READ, port, result, buffer, count, bytes_read);
    }
    return result;
}

int serial_write(PlatformHandle port, const void* buffer, std::uint32_t count, std::uint32_t* bytes_written)
{
    const int result = serial_native_write(port, buffer, count, bytes_written);
    if (serial_observer != nullptr) {
        serial_observe_bytes(SERIAL_CALL_WRITE, port, result, buffer, count, bytes_written);
    }
    return result;
}

int serial_close(PlatformHandle port)
{
    const int result = serial_native_close(port);
    if (serial_observer != nullptr) {
        serial_observe_call(SERIAL_CALL_CLOSE, port, result, 0);
    }
    return result;
}
