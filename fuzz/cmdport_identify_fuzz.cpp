// libFuzzer target for the adapter's reply frames: read_reply_frame on its
// own and identify_firmware, fed any bytes on the open command port.
//
// The fuzzer's bytes are the line: the fake serial port (tests/fake) plays
// them to the program on its virtual clock, so a silent adapter's 1.5 s read
// time-outs are instant and identify_firmware's bounded wait ends in
// microseconds.
//
// Input: byte 0 picks the set-up (FUZZ_* bits below), byte 1 is a parameter,
// the rest is what the adapter sends after the identify command.
//
// Checked after every call, besides the sanitizers (the frame buffer handed to
// read_reply_frame is a heap block of exactly REPLY_DATA_SIZE bytes):
// - the call ends within IDENTIFY_VERSION_WAIT_MS plus one read time-out,
//   after a number of reads that the input and that bound account for, and
//   the fake saw no misuse;
// - the version line comes last and at most once (only diagnostics before
//   it), its text holds no zero byte and at most REPLY_DATA_SIZE characters, and the result and ci_firmware follow
//   from that text's beginning (ci_firmware untouched when the result is 0);
// - with the bytes arriving together: every frame read_reply_frame returns
//   is the next frame of the input, whole; identify_firmware stops reading at
//   the end of the first frame coded 05 DD and prints its text.
//
// Build and run: scripts/fuzz (all targets), or see fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "fuzz_serial_line.h"

namespace {

constexpr std::uint8_t FUZZ_SPACED = 0x01;       // bytes apart by 8 ms x parameter (0 to 2040 ms)
constexpr std::uint8_t FUZZ_FRAMES_ONLY = 0x02;  // read_reply_frame until it gives up, not identify_firmware
constexpr std::uint8_t FUZZ_CI_BEFORE = 0x04;    // ci_firmware holds 1 before the call, else 0
constexpr std::uint8_t FUZZ_READ_FAILS = 0x08;   // the read numbered by the parameter fails
constexpr std::uint8_t FUZZ_DIAGNOSTICS = 0x10;  // command_port_diagnostics on

constexpr std::size_t FUZZ_HEADER_BYTES = 2;
constexpr std::uint32_t FUZZ_GAP_UNIT_MS = 8;
constexpr std::uint32_t FUZZ_READ_ERROR = 1117;  // ERROR_IO_DEVICE

constexpr std::size_t FRAME_HEADER_BYTES = 4;
constexpr std::uint64_t READ_BYTE_MAX_MS =
    COMMAND_PORT_TIMEOUTS.read_total_multiplier + COMMAND_PORT_TIMEOUTS.read_total_constant;
// Silent reads that fit in the wait, plus the one under way when it ends.
constexpr std::size_t SILENT_READS_MAX = IDENTIFY_VERSION_WAIT_MS / READ_BYTE_MAX_MS + 1;

constexpr char VERSION_LINE_START[] = "Current Firmware Version is ";
constexpr char READ_FAILED_LINE[] = "ReadChar failed\n";

const std::uint8_t* line_bytes;
std::size_t line_count;

// The byte the n-th one-byte read yields when every byte is there at once:
// the next byte of the input, then silence, read as 0.
std::uint8_t line_byte(std::size_t index)
{
    return index < line_count ? line_bytes[index] : 0;
}

std::uint16_t line_word(std::size_t index)
{
    return static_cast<std::uint16_t>(line_byte(index) * 256u + line_byte(index + 1));
}

std::size_t reads_made()
{
    std::size_t count = 0;
    for (const auto& call : fake_calls()) {
        count += call.kind == FAKE_SERIAL_READ ? 1 : 0;
    }
    return count;
}

int text_begins_with(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0 && text.size() >= std::strlen(prefix);
}

// read_reply_frame again and again until it gives up; with the bytes arriving
// together, each frame it returns must be the input's next frame, whole.
void fuzz_frames(int bytes_together)
{
    const std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[REPLY_DATA_SIZE]);
    const std::span<std::uint8_t, REPLY_DATA_SIZE> data(block.get(), REPLY_DATA_SIZE);
    const Deadline deadline = deadline_after_ms(IDENTIFY_VERSION_WAIT_MS);
    std::size_t position = 0;  // where the next frame starts in the input
    std::size_t frames = 0;
    for (;;) {
        std::uint16_t code = 0xFFFF;
        if (!read_reply_frame(data, deadline, &code)) {
            break;
        }
        frames += 1;
        // Every frame takes at least its four header reads: bytes of the
        // input, or silent reads that the deadline bounds.
        FUZZ_REQUIRE(frames <= line_count / FRAME_HEADER_BYTES + SILENT_READS_MAX);
        if (!bytes_together) {
            continue;
        }
        const std::size_t length = line_word(position + 2);
        FUZZ_REQUIRE(code == line_word(position));
        for (std::size_t i = 0; i < REPLY_DATA_SIZE; ++i) {
            const std::uint8_t expected = i < length ? line_byte(position + FRAME_HEADER_BYTES + i) : 0;
            FUZZ_REQUIRE(data[i] == expected);
        }
        position += FRAME_HEADER_BYTES + length;
        // Data past the buffer is read and dropped: the next frame starts
        // right after this one.
        FUZZ_REQUIRE(reads_made() == position);
    }
    FUZZ_REQUIRE(fake_console_output().empty() || command_port_diagnostics);
}

// With the bytes arriving together: the end of the first version frame, when
// the whole of it is in the input (0 when it is not).
std::size_t version_frame_end(std::size_t* data_start, std::size_t* data_length)
{
    std::size_t position = 0;
    while (position + FRAME_HEADER_BYTES <= line_count) {
        const std::size_t length = line_word(position + 2);
        const std::size_t end = position + FRAME_HEADER_BYTES + length;
        if (end > line_count) {
            return 0;
        }
        if (line_word(position) == REPLY_CODE_VERSION) {
            *data_start = position + FRAME_HEADER_BYTES;
            *data_length = length;
            return end;
        }
        position = end;
    }
    return 0;
}

void fuzz_identify(int bytes_together, int ci_before)
{
    const int identified = identify_firmware();
    FUZZ_REQUIRE(identified == 0 || identified == 1);

    // The console holds the version line, last, and before it nothing but
    // the diagnostics of failed reads (when they are on): no read follows
    // the version frame.
    const std::string& console = fake_console_output();
    const std::size_t line_start = console.find(VERSION_LINE_START);
    const int printed = line_start != std::string::npos;
    const std::string before = console.substr(0, printed ? line_start : console.size());
    for (std::size_t at = 0; at < before.size(); at += std::strlen(READ_FAILED_LINE)) {
        FUZZ_REQUIRE(command_port_diagnostics && before.compare(at, std::strlen(READ_FAILED_LINE), READ_FAILED_LINE) == 0);
    }
    std::string text;
    if (printed) {
        const std::size_t text_start = line_start + std::strlen(VERSION_LINE_START);
        FUZZ_REQUIRE(console.size() > text_start && console.back() == '\n');
        text = console.substr(text_start, console.size() - 1 - text_start);
        FUZZ_REQUIRE(text.size() <= REPLY_DATA_SIZE);
        FUZZ_REQUIRE(text.find('\0') == std::string::npos);
    }

    // The verdict follows from the printed text: the CI prefix first.
    if (printed && text_begins_with(text, CI_FIRMWARE_PREFIX)) {
        FUZZ_REQUIRE(identified == 1 && ci_firmware == 1);
    } else if (printed && text_begins_with(text, STANDARD_FIRMWARE_PREFIX)) {
        FUZZ_REQUIRE(identified == 1 && ci_firmware == 0);
    } else {
        FUZZ_REQUIRE(identified == 0 && ci_firmware == ci_before);
    }

    if (!bytes_together) {
        return;
    }
    std::size_t data_start = 0;
    std::size_t data_length = 0;
    const std::size_t end = version_frame_end(&data_start, &data_length);
    if (end == 0) {
        return;  // the version frame, if any, ends in silence: the wait decides
    }
    FUZZ_REQUIRE(printed);
    FUZZ_REQUIRE(reads_made() == end);
    // The text ends at the data's first zero byte, or with the data. Data that
    // fills the buffer without a zero byte leaves the cut to the implementer:
    // what is printed must then be a beginning of the data.
    const std::size_t stored = data_length < REPLY_DATA_SIZE ? data_length : REPLY_DATA_SIZE;
    std::size_t text_length = 0;
    while (text_length < stored && line_byte(data_start + text_length) != 0) {
        text_length += 1;
    }
    const std::string expected(reinterpret_cast<const char*>(line_bytes + data_start), text_length);
    if (text_length < REPLY_DATA_SIZE) {
        FUZZ_REQUIRE(text == expected);
    } else {
        FUZZ_REQUIRE(expected.compare(0, text.size(), text) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < FUZZ_HEADER_BYTES) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::uint8_t parameter = data[1];
    line_bytes = data + FUZZ_HEADER_BYTES;
    line_count = size - FUZZ_HEADER_BYTES;

    fake_reset();
    fuzz_line_reset();
    fuzz_line_attach();
    command_port_diagnostics = (mode & FUZZ_DIAGNOSTICS) ? 1 : 0;
    const int ci_before = (mode & FUZZ_CI_BEFORE) ? 1 : 0;
    ci_firmware = ci_before;

    // The port as command_port_open leaves it.
    command_port_handle = serial_open(FAKE_SERIAL_DEVICE_PATH);
    FUZZ_REQUIRE(command_port_handle != PLATFORM_INVALID_HANDLE);
    serial_set_timeouts(command_port_handle, &COMMAND_PORT_TIMEOUTS);

    const std::uint32_t gap_ms = (mode & FUZZ_SPACED) ? parameter * FUZZ_GAP_UNIT_MS : 0;
    fuzz_line_schedule(line_bytes, line_count, 0, gap_ms);
    if (mode & FUZZ_READ_FAILS) {
        fake_fail_call(FAKE_SERIAL_READ, 1 + parameter, FUZZ_READ_ERROR);
    }
    // A failed read takes no byte, so the input's frames shift: only the
    // bounds are checked then.
    const int bytes_together = gap_ms == 0 && !(mode & FUZZ_READ_FAILS);

    if (mode & FUZZ_FRAMES_ONLY) {
        fuzz_frames(bytes_together);
    } else {
        fuzz_identify(bytes_together, ci_before);
    }

    // Bounded: the wait's own limit plus the read under way when it ran out,
    // and no more reads than the input's bytes and that time allow.
    FUZZ_REQUIRE(fake_now_ms() <= IDENTIFY_VERSION_WAIT_MS + READ_BYTE_MAX_MS);
    FUZZ_REQUIRE(reads_made() <= line_count + SILENT_READS_MAX + 1);
    FUZZ_REQUIRE(fake_faults().empty());
    // Identification leaves the port open for the caller.
    FUZZ_REQUIRE(fake_serial_is_open());

    command_port_close();
    command_port_diagnostics = 0;
    return 0;
}
