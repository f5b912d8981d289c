// libFuzzer target for what the adapter sends while the command port opens:
// the Plug-and-Play reply and the setup handshake answer, through
// check_pnp_reply and setup_handshake alone or through the whole
// command_port_open (wake-up, both line phases, clean-up).
//
// The fuzzer's bytes are the line: the fake serial port (tests/fake) plays
// them to the program on its virtual clock, so every read time-out is instant
// and a run of the product's bounded waits costs microseconds.
//
// Input: byte 0 picks the set-up (FUZZ_* bits below), byte 1 is a parameter,
// the rest is what the adapter sends, starting at the wake-up (when RTS rises
// with DTR high) for the whole open, at once for the single steps.
//
// Checked after every call, besides the sanitizers:
// - the call ends, within a virtual time that its reads account for, after a
//   bounded number of reads, and the fake saw no misuse;
// - the port is open exactly when command_port_open says so;
// - only the setup request is ever written, and only after an accepted reply;
// - nothing is printed unless the diagnostics are on;
// - with the bytes arriving together, the verdicts and the number of bytes
//   read follow the reply and handshake rules (see pnp_rules below).
//
// Build and run: scripts/fuzz (all targets), or see fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "cmdport/command_port.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "fuzz_serial_line.h"

namespace {

constexpr std::uint8_t FUZZ_WHOLE_OPEN = 0x01;     // command_port_open(1), else the two steps alone
constexpr std::uint8_t FUZZ_SPACED = 0x02;         // bytes apart by 8 ms x parameter (0 to 2040 ms)
constexpr std::uint8_t FUZZ_SHORT_WRITE = 0x04;    // each write moves at most 1 + parameter % 14 bytes
constexpr std::uint8_t FUZZ_WRITE_FAILS = 0x08;    // the setup request write fails
constexpr std::uint8_t FUZZ_DIAGNOSTICS = 0x10;    // command_port_diagnostics on
constexpr std::uint8_t FUZZ_HANDSHAKE_ANYWAY = 0x20;  // steps alone: the handshake even after a refused reply

constexpr std::size_t FUZZ_HEADER_BYTES = 2;
constexpr std::uint32_t FUZZ_GAP_UNIT_MS = 8;
constexpr std::uint32_t FUZZ_WRITE_ERROR = 31;  // ERROR_GEN_FAILURE

// The longest a one-byte read of the command port can block: the total
// time-out for one byte (the interval time-out only starts after a byte).
constexpr std::uint64_t READ_BYTE_MAX_MS =
    COMMAND_PORT_TIMEOUTS.read_total_multiplier + COMMAND_PORT_TIMEOUTS.read_total_constant;
// The fixed sleeps of command_port_open.
constexpr std::uint64_t OPEN_SLEEPS_MS = MODEM_LINES_RESET_MS + 4 * MODEM_LINES_STEP_MS + HANDSHAKE_SETTLE_MS;

const std::uint8_t* line_bytes;
std::size_t line_count;

// The byte the n-th one-byte read yields when every byte is there at once:
// the next byte of the input, then silence, read as 0.
std::uint8_t line_byte(std::size_t index)
{
    return index < line_count ? line_bytes[index] : 0;
}

int pnp_char_allowed(int position, std::uint8_t byte)
{
    return byte == static_cast<std::uint8_t>(PNP_IDENTIFIER_FIRST[position]) ||
           byte == static_cast<std::uint8_t>(PNP_IDENTIFIER_SECOND[position]);
}

// What the reply rules fix for a reply that arrives whole: refused at once
// unless it opens with "(", then two bytes that count for nothing, then each
// of seven identifier characters taken from either identifier, and accepted
// at the first ")" after those two bytes. Past the seventh character the
// bound on the wait is the implementer's, so only the shape of a verdict is
// fixed there (see check_pnp_verdict).
struct PnpRules {
    int decided;         // the rules fix the verdict and the read count
    int accepted;
    std::size_t reads;
};

PnpRules pnp_rules()
{
    if (line_byte(0) != PNP_REPLY_BEGIN) {
        return {1, 0, 1};
    }
    for (int position = 0; position < PNP_IDENTIFIER_LENGTH; ++position) {
        const std::size_t index = 1 + PNP_IGNORED_BYTES + static_cast<std::size_t>(position);
        const std::uint8_t byte = line_byte(index);
        if (byte == PNP_REPLY_END) {
            return {1, 1, index + 1};
        }
        if (!pnp_char_allowed(position, byte)) {
            return {1, 0, index + 1};
        }
    }
    return {0, 0, 0};
}

// The handshake answer, read from the byte after the reply: accepted when the
// 15 bytes are "LUMA PORT READY", refused at the first byte that differs,
// without reading further.
PnpRules handshake_rules(std::size_t start)
{
    for (int i = 0; i < SETUP_TEXT_LENGTH; ++i) {
        if (line_byte(start + static_cast<std::size_t>(i)) != static_cast<std::uint8_t>(SETUP_ANSWER[i])) {
            return {1, 0, static_cast<std::size_t>(i) + 1};
        }
    }
    return {1, 1, SETUP_TEXT_LENGTH};
}

std::size_t calls_of(FakeCallKind kind, std::size_t from)
{
    std::size_t count = 0;
    const auto& calls = fake_calls();
    for (std::size_t i = from; i < calls.size(); ++i) {
        count += calls[i].kind == kind ? 1 : 0;
    }
    return count;
}

// Index in the call log of the nth call of a kind (1 = first), or the log's end.
std::size_t nth_call(FakeCallKind kind, int nth)
{
    const auto& calls = fake_calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].kind == kind && --nth == 0) {
            return i;
        }
    }
    return calls.size();
}

// The reply check's verdict against what the rules fix, on bytes that came
// together. pnp_reads is the number of reads the check made.
void check_pnp_verdict(int accepted, std::size_t pnp_reads)
{
    FUZZ_REQUIRE(pnp_reads >= 1 && pnp_reads <= static_cast<std::size_t>(PNP_REPLY_MAX_BYTES));
    const PnpRules rules = pnp_rules();
    if (rules.decided) {
        FUZZ_REQUIRE(accepted == rules.accepted);
        FUZZ_REQUIRE(pnp_reads == rules.reads);
        return;
    }
    if (accepted) {
        // Accepted at the first ")" after the two ignored bytes, not before it
        // and not later.
        FUZZ_REQUIRE(line_byte(pnp_reads - 1) == PNP_REPLY_END);
        for (std::size_t i = 1 + PNP_IGNORED_BYTES; i + 1 < pnp_reads; ++i) {
            FUZZ_REQUIRE(line_byte(i) != PNP_REPLY_END);
        }
    }
}

// What went out on the line: nothing before an accepted reply, then the setup
// request (as much of it as the port moved) and nothing else.
void check_written(int handshake_ran, std::uint8_t mode, std::uint32_t write_limit)
{
    const auto& written = fake_serial_written();
    if (!handshake_ran || (mode & FUZZ_WRITE_FAILS)) {
        FUZZ_REQUIRE(written.empty());
        return;
    }
    std::size_t expected = SETUP_TEXT_LENGTH;
    if (write_limit != 0 && write_limit < expected) {
        expected = write_limit;
    }
    FUZZ_REQUIRE(written.size() == expected);
    FUZZ_REQUIRE(std::memcmp(written.data(), SETUP_REQUEST, expected) == 0);
}

void fuzz_whole_open(std::uint8_t mode, std::uint32_t gap_ms, std::uint32_t write_limit)
{
    fuzz_line_schedule_on_wake(line_bytes, line_count, gap_ms);
    const int opened = command_port_open(1);

    FUZZ_REQUIRE(opened == 0 || opened == 1);
    FUZZ_REQUIRE((command_port_handle != PLATFORM_INVALID_HANDLE) == (opened == 1));
    FUZZ_REQUIRE(fake_serial_is_open() == opened);

    // Reads before the switch to the handshake speed belong to the reply
    // check, the ones after it to the handshake.
    const std::size_t speed_switch = nth_call(FAKE_SERIAL_SET_STATE, 2);
    const std::size_t pnp_reads =
        calls_of(FAKE_SERIAL_READ, 0) - calls_of(FAKE_SERIAL_READ, speed_switch);
    const std::size_t handshake_reads = calls_of(FAKE_SERIAL_READ, speed_switch);
    const int handshake_ran = speed_switch < fake_calls().size();
    FUZZ_REQUIRE(handshake_reads <= static_cast<std::size_t>(SETUP_TEXT_LENGTH));
    FUZZ_REQUIRE(fake_now_ms() <= OPEN_SLEEPS_MS + (pnp_reads + handshake_reads) * READ_BYTE_MAX_MS);
    check_written(handshake_ran, mode, write_limit);

    if (gap_ms == 0) {
        check_pnp_verdict(handshake_ran, pnp_reads);
        if (handshake_ran) {
            const PnpRules rules = handshake_rules(pnp_reads);
            if (mode & FUZZ_WRITE_FAILS) {
                FUZZ_REQUIRE(opened == 0 && handshake_reads == 0);
            } else {
                FUZZ_REQUIRE(opened == rules.accepted);
                FUZZ_REQUIRE(handshake_reads == rules.reads);
            }
        }
    }
    command_port_close();
    FUZZ_REQUIRE(command_port_handle == PLATFORM_INVALID_HANDLE);
    FUZZ_REQUIRE(!fake_serial_is_open());
}

void fuzz_steps(std::uint8_t mode, std::uint32_t gap_ms, std::uint32_t write_limit)
{
    command_port_handle = serial_open(FAKE_SERIAL_DEVICE_PATH);
    FUZZ_REQUIRE(command_port_handle != PLATFORM_INVALID_HANDLE);
    serial_set_timeouts(command_port_handle, &COMMAND_PORT_TIMEOUTS);
    fuzz_line_schedule(line_bytes, line_count, 0, gap_ms);

    const int accepted = check_pnp_reply();
    FUZZ_REQUIRE(accepted == 0 || accepted == 1);
    const std::size_t pnp_reads = calls_of(FAKE_SERIAL_READ, 0);
    FUZZ_REQUIRE(fake_now_ms() <= pnp_reads * READ_BYTE_MAX_MS);
    if (gap_ms == 0) {
        check_pnp_verdict(accepted, pnp_reads);
    }

    const int handshake_ran = accepted || (mode & FUZZ_HANDSHAKE_ANYWAY);
    if (handshake_ran) {
        const std::uint64_t start_ms = fake_now_ms();
        const std::size_t log_start = fake_calls().size();
        const int shaken = setup_handshake();
        FUZZ_REQUIRE(shaken == 0 || shaken == 1);
        const std::size_t handshake_reads = calls_of(FAKE_SERIAL_READ, log_start);
        FUZZ_REQUIRE(handshake_reads <= static_cast<std::size_t>(SETUP_TEXT_LENGTH));
        FUZZ_REQUIRE(fake_now_ms() - start_ms <= handshake_reads * READ_BYTE_MAX_MS);
        if (mode & FUZZ_WRITE_FAILS) {
            FUZZ_REQUIRE(shaken == 0 && handshake_reads == 0);
        } else if (gap_ms == 0) {
            const PnpRules rules = handshake_rules(pnp_reads);
            FUZZ_REQUIRE(shaken == rules.accepted);
            FUZZ_REQUIRE(handshake_reads == rules.reads);
        }
    }
    check_written(handshake_ran, mode, write_limit);
    // The single steps never close the port; only the open's clean-up does.
    FUZZ_REQUIRE(fake_serial_is_open());
    command_port_close();
    FUZZ_REQUIRE(!fake_serial_is_open());
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
    command_port_handle = PLATFORM_INVALID_HANDLE;
    command_port_diagnostics = (mode & FUZZ_DIAGNOSTICS) ? 1 : 0;

    const std::uint32_t gap_ms = (mode & FUZZ_SPACED) ? parameter * FUZZ_GAP_UNIT_MS : 0;
    std::uint32_t write_limit = 0;
    if (mode & FUZZ_SHORT_WRITE) {
        write_limit = 1 + parameter % (SETUP_TEXT_LENGTH - 1);
        fake_serial_set_write_limit(write_limit);
    }
    if (mode & FUZZ_WRITE_FAILS) {
        fake_fail_call(FAKE_SERIAL_WRITE, 1, FUZZ_WRITE_ERROR);
    }

    if (mode & FUZZ_WHOLE_OPEN) {
        fuzz_whole_open(mode, gap_ms, write_limit);
    } else {
        fuzz_steps(mode, gap_ms, write_limit);
    }

    FUZZ_REQUIRE(fake_faults().empty());
    if (!command_port_diagnostics) {
        FUZZ_REQUIRE(fake_console_output().empty());
    }
    command_port_diagnostics = 0;
    return 0;
}
