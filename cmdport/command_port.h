// The adapter's command port: COM1 as the adapter's own firmware answers it
// before the Bluetooth chip's BCSP link is used. Opening it configures the
// line, wakes the adapter with a timed modem-line sequence, checks its serial
// Plug-and-Play identifier and completes the setup handshake at 115200 baud.
//
// Results: 1 success, 0 failure. Nothing here prints for the user; the
// diagnostic lines appear only when command_port_diagnostics is non-zero.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The open command port, or PLATFORM_INVALID_HANDLE whenever it is closed.
extern PlatformHandle command_port_handle;
// Non-zero enables the diagnostic lines. Nothing in the program sets it.
extern int command_port_diagnostics;

// ---------------------------------------------------------------------------
// Line settings and timing

inline constexpr int COMMAND_PORT_PATH_SIZE = 12;  // "\\\\.\\COMnnnn" and its zero byte
inline constexpr std::uint32_t COMMAND_PORT_QUEUE_SIZE = 4096;  // input and output queues
inline constexpr std::uint32_t PNP_BAUD_RATE = 1200;
inline constexpr std::uint32_t HANDSHAKE_BAUD_RATE = 115200;
inline constexpr std::uint16_t COMMAND_PORT_XON_LIMIT = 500;
inline constexpr std::uint16_t COMMAND_PORT_XOFF_LIMIT = COMMAND_PORT_QUEUE_SIZE * 80 / 100;  // 3276
inline constexpr char COMMAND_PORT_XON_CHAR = 0x11;
inline constexpr char COMMAND_PORT_XOFF_CHAR = 0x13;

inline constexpr SerialTimeouts COMMAND_PORT_TIMEOUTS = {
    1000,  // read interval
    500,   // read total multiplier: a silent one-byte read ends after 1.5 s
    1000,  // read total constant
    500,   // write total multiplier
    1000,  // write total constant
};

// The wake-up sequence: the pause after each step of toggle_modem_lines.
inline constexpr std::uint32_t MODEM_LINES_RESET_MS = 500;  // after RTS and DTR low
inline constexpr std::uint32_t MODEM_LINES_STEP_MS = 200;   // after each later step
// Settling time after switching to the handshake speed.
inline constexpr std::uint32_t HANDSHAKE_SETTLE_MS = 200;

// ---------------------------------------------------------------------------
// Plug-and-Play reply and setup handshake

inline constexpr std::uint8_t PNP_REPLY_BEGIN = '(';
inline constexpr std::uint8_t PNP_REPLY_END = ')';
inline constexpr char PNP_IDENTIFIER_FIRST[] = "QXZ4702";
inline constexpr char PNP_IDENTIFIER_SECOND[] = "QXZ5830";
inline constexpr int PNP_IDENTIFIER_LENGTH = sizeof PNP_IDENTIFIER_SECOND - 1;  // 7
inline constexpr int PNP_IGNORED_BYTES = 2;  // the two bytes after "(", compared with nothing

// The serial Plug-and-Play format caps a reply at 256 bytes, "(" and ")"
// included; a reply still open after that many bytes is not one.
inline constexpr int PNP_REPLY_MAX_BYTES = 256;
// Past the identifier the reply is printable text, so a read that yields 0 is
// silence (or a line fault), not part of the reply: the adapter has stopped
// answering, and waiting 1.5 s per byte up to PNP_REPLY_MAX_BYTES would keep
// the user waiting six minutes for "not found". The first such read fails
// (the count is of silent reads in a row).
inline constexpr int PNP_SILENT_READS_MAX = 1;

inline constexpr char SETUP_REQUEST[] = "LUMA PORT SETUP";
inline constexpr char SETUP_ANSWER[] = "LUMA PORT READY";
inline constexpr int SETUP_TEXT_LENGTH = 15;

// ---------------------------------------------------------------------------
// What one command_port_open saw
//
// The open's result says only "found" or "not found". A caller that explains
// a failure to people (the field tool) passes a report that the open fills as
// it goes: which step ended it and what came on the line. Filling it changes
// nothing the open does: no extra read, write or wait.

inline constexpr int COMMAND_PORT_STEP_NONE = 0;             // the open succeeded
inline constexpr int COMMAND_PORT_STEP_OPEN = 1;             // serial_open failed
inline constexpr int COMMAND_PORT_STEP_SETTINGS = 2;         // the port refused its queues or 1200 8N1
inline constexpr int COMMAND_PORT_STEP_PNP_REPLY = 3;        // the Plug-and-Play reply was not accepted
inline constexpr int COMMAND_PORT_STEP_HANDSHAKE_SPEED = 4;  // the port refused 115200 baud
inline constexpr int COMMAND_PORT_STEP_HANDSHAKE = 5;        // setup request not written, or the answer differs

struct CommandPortReport {
    int failed_step;          // COMMAND_PORT_STEP_*
    std::uint32_t os_error;   // platform_last_error() after a failed platform call
    // The Plug-and-Play reply as it came, "(" first: only bytes really
    // received (a read that timed out adds nothing). The last read of the
    // check got nothing when pnp_silent is 1.
    std::uint8_t pnp_reply[PNP_REPLY_MAX_BYTES];
    int pnp_reply_length;
    int pnp_silent;
    // The setup handshake's answer as it came, up to the first differing byte.
    std::uint8_t handshake_answer[SETUP_TEXT_LENGTH];
    int handshake_answer_length;
    int handshake_silent;
};

// ---------------------------------------------------------------------------
// Operations

// Opens COMn ("\\\\.\\COMn" formatted in COMMAND_PORT_PATH_SIZE bytes), then
// as command_port_open_path.
int command_port_open(int port_number, CommandPortReport* report = nullptr);
// Opens the port at device_path (any name serial_open takes), wakes and checks
// the adapter, completes the setup handshake. 1: open at 115200 baud.
// 0: failed, the port is closed again. report (may be null) is filled from
// scratch with what this open saw.
int command_port_open_path(const char* device_path, CommandPortReport* report = nullptr);
// Purges and closes the port when it is open; does nothing when it is not.
void command_port_close();
// One write of exactly these bytes; returns the count the platform moved.
int command_port_write(const void* bytes, int count);
// One one-byte read: the byte, or 0 on time-out or failure (indistinguishable
// from a received zero byte).
std::uint8_t command_port_read_byte();
// One read of up to count bytes; returns the count read, 0 on failure.
int command_port_read(void* buffer, int count);

// The steps of command_port_open, each on command_port_handle.
void set_rts(int on);
void set_dtr(int on);
void toggle_modem_lines();
int check_pnp_reply();
int setup_handshake();
