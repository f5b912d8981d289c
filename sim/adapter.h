// The simulated Marrowlink adapter's own firmware: the command port that the
// updater talks to before the Bluetooth chip's BCSP link takes over.
//
// The model is pure: it is told what the host does (line settings, modem
// lines, purges, bytes sent) with the time, and asked for the bytes it sends.
// It owns the adapter's UART: its bytes reach the host through the bit-level
// line model (sim/uart_line.h), so a host at the wrong speed or parity sees
// garbage, as it would on a real port.
//
// Phases of the adapter's UART:
//   ADAPTER_PHASE_WAIT_WAKE   1200 8N1   waits for the modem-line wake-up sequence
//   ADAPTER_PHASE_PNP_REPLY   1200 8N1   sends "(", 2 revision bytes, the identifier, extra bytes, ")"
//   ADAPTER_PHASE_HANDSHAKE   115200 8N1 waits for "LUMA PORT SETUP", answers "LUMA PORT READY"
//   ADAPTER_PHASE_COMMANDS    115200 8N1 takes 4-byte commands 01 xx 00 00
//   ADAPTER_PHASE_CHIP        115200 8E1 the port is the chip's BCSP link
//   ADAPTER_PHASE_SILENT      an injected fault has silenced the adapter
//
// The wake-up sequence the adapter answers: with RTS low, DTR low for 500 ms,
// high for 200 ms, low for 200 ms, high for 200 ms, then RTS raised while DTR
// is high. A complete sequence in any phase before the hand-over starts again
// from the Plug-and-Play reply, as a device that is woken again would.
//
// The hand-over (command 01 F8 00 00): the adapter routes its UART to the chip
// and releases the chip from reset at once; the chip boots and starts its link
// establishment ADAPTER_CHIP_START_DELAY_MS later, whatever the host's line
// settings are then. Its first link messages reach a host that is still at
// 115200 8N1 as garbage, exactly as they would from a real device; the host
// purges them when it closes the command port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "sim/uart_line.h"

struct Chip;

enum AdapterPhase {
    ADAPTER_PHASE_WAIT_WAKE,
    ADAPTER_PHASE_PNP_REPLY,
    ADAPTER_PHASE_HANDSHAKE,
    ADAPTER_PHASE_COMMANDS,
    ADAPTER_PHASE_CHIP,
    ADAPTER_PHASE_SILENT,
};

enum AdapterFault {
    ADAPTER_FAULT_NONE,
    ADAPTER_FAULT_SILENT,           // never sends anything
    ADAPTER_FAULT_WRONG_ID,         // sends ADAPTER_WRONG_PNP_ID instead of its identifier
    ADAPTER_FAULT_WRONG_HANDSHAKE,  // answers ADAPTER_WRONG_HANDSHAKE_ANSWER
    ADAPTER_FAULT_PNP_CUT,          // falls silent after fault_param bytes of the Plug-and-Play reply
    ADAPTER_FAULT_VERSION_CUT,      // falls silent after fault_param bytes of the version frame (header included)
    ADAPTER_FAULT_NO_VERSION,       // sends the other frames but never the version frame
};

// Firmware version texts of the two variants the updater knows.
inline constexpr const char* ADAPTER_VERSION_STANDARD = "Veltrane_Tools Marrowlink Firmware 1.2.9";
inline constexpr const char* ADAPTER_VERSION_CI = "Veltrane_Tools Marrowlink CI Firmware 1.2.9";
inline constexpr const char* ADAPTER_DEFAULT_PNP_ID = "QXZ4702";
// Differs from "QXZ4702" (and "QXZ5830") only in the last compared character.
inline constexpr const char* ADAPTER_WRONG_PNP_ID = "QXZ4709";
inline constexpr const char* ADAPTER_HANDSHAKE_REQUEST = "LUMA PORT SETUP";
inline constexpr const char* ADAPTER_HANDSHAKE_ANSWER = "LUMA PORT READY";
inline constexpr const char* ADAPTER_WRONG_HANDSHAKE_ANSWER = "LUMA PORT READX";

inline constexpr std::uint16_t ADAPTER_REPLY_CODE_VERSION = 0x05DD;
inline constexpr std::uint8_t ADAPTER_CMD_UNRECOGNISED = 0xF6;
inline constexpr std::uint8_t ADAPTER_CMD_IDENTIFY = 0xF7;
inline constexpr std::uint8_t ADAPTER_CMD_IDENTIFIED = 0xF8;

// Codes of the frames sent before the version frame, taken in turn. 0xDD05 is
// the version code with its bytes swapped: an ordinary frame.
inline constexpr std::uint16_t ADAPTER_OTHER_FRAME_CODES[] = {0x0101, 0xDD05, 0x0102};
inline constexpr std::uint16_t ADAPTER_OVERSIZED_FRAME_CODE = 0x0103;
// More data than the updater's 256-byte reply buffer holds.
inline constexpr std::uint16_t ADAPTER_OVERSIZED_FRAME_BYTES = 300;
inline constexpr int ADAPTER_MAX_FRAMES_BEFORE = 100;
// Line garbage around the reply frames: a glitch on an idle line reads as a
// start bit followed by a line left high, the byte 0xFF.
inline constexpr std::uint8_t ADAPTER_GARBAGE_BYTE = 0xFF;
inline constexpr int ADAPTER_MAX_GARBAGE_BYTES = 32;
inline constexpr std::size_t ADAPTER_MAX_VERSION_TEXT = 1000;
inline constexpr std::size_t ADAPTER_MAX_PNP_EXTRA = 64;

// Timing of the wake-up sequence: nominal length of each of its four steps,
// and how far a step may stray and still count as on time. A step shorter
// than nominal minus the early tolerance is too short for the adapter's
// firmware to see: it does not answer. A step longer than nominal plus the late
// tolerance is reported as late (a host sleep overshooting), but answered.
inline constexpr std::uint32_t ADAPTER_WAKE_STEP_MS[4] = {500, 200, 200, 200};
inline constexpr std::uint32_t ADAPTER_WAKE_EARLY_TOLERANCE_MS = 50;
inline constexpr std::uint32_t ADAPTER_WAKE_LATE_TOLERANCE_MS = 300;
// The firmware's reaction time between RTS rising and the first reply byte.
inline constexpr std::uint32_t ADAPTER_PNP_REPLY_DELAY_MS = 20;
// Between 01 F8 00 00 and the chip starting its BCSP link.
inline constexpr std::uint32_t ADAPTER_CHIP_START_DELAY_MS = 100;

// The adapter's UART in each phase.
inline constexpr UartSettings ADAPTER_PNP_SETTINGS = {1200, 8, 'N', 1, 1};
inline constexpr UartSettings ADAPTER_COMMAND_SETTINGS = {115200, 8, 'N', 1, 1};
inline constexpr UartSettings ADAPTER_CHIP_SETTINGS = {115200, 8, 'E', 1, 1};

// Purge flags as the host reports them.
inline constexpr unsigned ADAPTER_PURGE_HOST_RX = 0x1;  // the host dropped what it had received
inline constexpr unsigned ADAPTER_PURGE_HOST_TX = 0x2;  // the host dropped what it had not yet sent

struct AdapterConfig {
    const char* pnp_id;             // identifier in the Plug-and-Play reply; null: ADAPTER_DEFAULT_PNP_ID
    std::uint8_t pnp_revision[2];   // the two bytes after "("
    const char* pnp_extra;          // bytes between the identifier and ")"; null: none
    const char* version_text;       // null: ADAPTER_VERSION_STANDARD
    int version_terminator;         // 1: a zero byte ends the version text in its frame
    int frames_before;              // other frames sent before the version frame
    int oversized_frame;            // 1: one frame of ADAPTER_OVERSIZED_FRAME_BYTES before the version frame
    int garbage_before_frames;      // ADAPTER_GARBAGE_BYTEs sent before the first reply frame
    int garbage_between_frames;     // ADAPTER_GARBAGE_BYTEs sent between each two reply frames
    const char* handshake_answer;   // the answer to the setup request; null: ADAPTER_HANDSHAKE_ANSWER
    AdapterFault fault;
    int fault_param;                // byte count for the *_CUT faults
    int pacing;                     // 1: bytes leave at the line rate; 0: all at once
    int start_in_chip_phase;        // 1: start as after the hand-over (BCSP-phase tests, --chip-only)
    UartSettings host;              // the host's line settings at start (changes are reported later)
    Chip* chip;                     // the chip behind the adapter, or null (bytes for it are dropped)
    std::FILE* log;                 // readable log, or null
    std::FILE* event_log;           // one JSON object per line, or null
};

// The defaults: standard firmware, identifier QXZ4702, no faults, pacing on,
// a host at 38400 8N1 (a tty's settings before anyone sets them).
AdapterConfig adapter_default_config();

struct Adapter;

Adapter* adapter_create(const AdapterConfig* config, std::uint64_t now_ms);
void adapter_destroy(Adapter* adapter);

// The host's line settings changed (as read from the host's side of the line).
void adapter_host_settings(Adapter* adapter, const UartSettings* host, std::uint64_t now_ms);
// The host's RTS and DTR levels at now_ms (repeats of the same levels are fine).
void adapter_modem_lines(Adapter* adapter, int rts, int dtr, std::uint64_t now_ms);
// The host purged its buffers (ADAPTER_PURGE_* bits). The adapter cannot see
// this on a real line; it is logged so that tests can follow the exchange.
void adapter_purge(Adapter* adapter, unsigned flags, std::uint64_t now_ms);
// Bytes the host sent, as the host's UART framed them.
void adapter_receive(Adapter* adapter, const std::uint8_t* bytes, std::size_t count, std::uint64_t now_ms);
// Bytes due on the line by now_ms, as the host's UART receives them: returns
// how many bytes the adapter sent (0 when nothing more is due) and stores in
// *produced how many bytes it put in out for the host. out_size must be at
// least ADAPTER_TRANSMIT_MIN_OUT; call again while it returns non-zero.
std::size_t adapter_transmit(Adapter* adapter, std::uint64_t now_ms, std::uint8_t* out, std::size_t out_size,
                             std::size_t* produced);
inline constexpr std::size_t ADAPTER_TRANSMIT_MIN_OUT = 64 * UART_MAX_CHARS_PER_BYTE;
// When the adapter (or the chip behind it) next has something to do without
// any input; UINT64_MAX when it only waits.
std::uint64_t adapter_next_event_ms(const Adapter* adapter);

AdapterPhase adapter_phase(const Adapter* adapter);
const char* adapter_phase_name(AdapterPhase phase);
// Results of the last wake-up sequence check, for tests and logs.
struct AdapterWakeCheck {
    int checked;            // a sequence ended with RTS rising (0: none yet)
    int order_ok;           // the line states came in the expected order
    int timing_ok;          // every step within its tolerances
    int answered;           // the adapter answered it
    std::uint32_t step_ms[4];
};
AdapterWakeCheck adapter_last_wake(const Adapter* adapter);
