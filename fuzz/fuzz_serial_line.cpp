#include "fuzz_serial_line.h"

#include <limits>

#include "fake_platform.h"

namespace {

constexpr std::uint64_t NEVER_MS = std::numeric_limits<std::uint64_t>::max();
// Bytes handed to the fake port per wake-up: enough that a burst costs few
// wake-ups, few enough that the fake's queue stays short.
constexpr std::size_t FUZZ_LINE_RUN_BYTES = 32;

struct FuzzLine {
    const std::uint8_t* bytes;
    std::size_t count;
    std::size_t next;
    std::uint64_t start_ms;
    std::uint32_t gap_ms;
    int armed;           // the schedule runs
    int wait_for_wake;   // armed at the Plug-and-Play wake-up
};

FuzzLine line;

std::uint64_t fuzz_line_due_ms(std::size_t index)
{
    return line.start_ms + static_cast<std::uint64_t>(line.gap_ms) * index;
}

// The fake asks this before it lets a blocking read or a sleep pass time.
// Nothing is due while bytes handed over earlier still wait to be read.
std::uint64_t fuzz_line_next_event_ms(void*)
{
    if (!line.armed || line.next >= line.count || fake_serial_pending() > 0) {
        return NEVER_MS;
    }
    return fuzz_line_due_ms(line.next);
}

// Hands over the next byte and the ones due with it, up to one run. Always
// hands over at least one byte, so the fake's clock loop cannot spin.
void fuzz_line_on_time(void*, std::uint64_t now_ms)
{
    std::size_t handed = 0;
    while (line.next < line.count && handed < FUZZ_LINE_RUN_BYTES &&
           (handed == 0 || fuzz_line_due_ms(line.next) <= now_ms)) {
        fake_serial_receive(&line.bytes[line.next], 1, fuzz_line_due_ms(line.next));
        line.next += 1;
        handed += 1;
    }
}

// The far end also answers as the program writes: bytes already due go over
// then, between two reads, as they would on a real line, and not only while
// the program waits.
void fuzz_line_on_write(void*, const std::uint8_t*, std::size_t, std::uint64_t now_ms)
{
    if (fuzz_line_next_event_ms(nullptr) <= now_ms) {
        fuzz_line_on_time(nullptr, now_ms);
    }
}

void fuzz_line_on_escape(void*, std::uint32_t function, std::uint64_t now_ms)
{
    if (line.wait_for_wake && !line.armed && function == SERIAL_SETRTS && fake_serial_dtr()) {
        line.start_ms = now_ms;
        line.armed = 1;
    }
}

}  // namespace

void fuzz_line_reset()
{
    line = FuzzLine{};
    fake_serial_attach(nullptr);
}

void fuzz_line_schedule(const std::uint8_t* bytes, std::size_t count, std::uint64_t start_ms, std::uint32_t gap_ms)
{
    line = FuzzLine{bytes, count, 0, start_ms, gap_ms, 1, 0};
}

void fuzz_line_schedule_on_wake(const std::uint8_t* bytes, std::size_t count, std::uint32_t gap_ms)
{
    line = FuzzLine{bytes, count, 0, 0, gap_ms, 0, 1};
}

void fuzz_line_attach()
{
    FakeSerialDevice device{};
    device.on_write = fuzz_line_on_write;
    device.on_escape = fuzz_line_on_escape;
    device.next_event_ms = fuzz_line_next_event_ms;
    device.on_time = fuzz_line_on_time;
    fake_serial_attach(&device);
}

std::size_t fuzz_line_unsent()
{
    return line.count - line.next;
}
