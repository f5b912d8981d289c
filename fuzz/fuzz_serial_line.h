// The far end of the fake serial port for the command-port fuzz targets: it
// plays the fuzzer's bytes onto the line, each at a scheduled virtual time,
// a few at a time as the program reads them.
//
// Queueing a whole input at once would also work, but the fake platform keeps
// its incoming queue in a vector that it consumes from the front, which costs
// time in the square of the input length; handing the bytes over in small
// runs keeps every execution linear and fast.
#pragma once

#include <cstddef>
#include <cstdint>

// Forgets every scheduled byte and detaches from the fake port.
void fuzz_line_reset();

// Schedules count bytes: the first at start_ms, each next one gap_ms later.
void fuzz_line_schedule(const std::uint8_t* bytes, std::size_t count, std::uint64_t start_ms, std::uint32_t gap_ms);

// Like fuzz_line_schedule, but the bytes start only when the program raises
// RTS while DTR is high (the adapter's Plug-and-Play wake-up), at that moment.
void fuzz_line_schedule_on_wake(const std::uint8_t* bytes, std::size_t count, std::uint32_t gap_ms);

// Plugs the line into the fake serial port (after fake_reset()).
void fuzz_line_attach();

// Scheduled bytes not yet handed to the fake port.
std::size_t fuzz_line_unsent();
