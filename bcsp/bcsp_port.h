// The BCSP port driver: the serial port while it carries the Bluetooth chip's
// BCSP link. It opens and configures the port (115200 8E1, no flow control,
// reads that return at once), supplies the engine's two byte calls, drives the
// engine by polling it, and offers four blocking calls: open and wait for link
// establishment, send one packet, wait for the next packet on a channel, close.
//
// There is no background activity: the engine moves only while one of the
// driver's wait loops runs inside an open, send or receive call. Every such
// wait is bounded (the *_TIMEOUT_MS constants below); a wait that runs out
// ends its call with 0.
//
// Results: 1 (or a byte count) for success, 0 for failure. Nothing here prints
// for the user; the diagnostic lines appear only when bcsp_diagnostics is
// non-zero.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bcsp/bcsp_engine.h"
#include "platform/deadline.h"
#include "platform/platform.h"

// The open BCSP port, or PLATFORM_INVALID_HANDLE whenever it is closed.
extern PlatformHandle bcsp_port_handle;
// Non-zero enables the diagnostic lines. Nothing in the program sets it.
extern int bcsp_diagnostics;

// ---------------------------------------------------------------------------
// Line settings

inline constexpr int BCSP_PORT_PATH_SIZE = 12;  // "\\\\.\\COMnnnn" and its zero byte
inline constexpr std::uint32_t BCSP_PORT_QUEUE_SIZE = 4096;  // input and output queues
inline constexpr std::uint16_t BCSP_PORT_XON_LIMIT = 500;
inline constexpr std::uint16_t BCSP_PORT_XOFF_LIMIT = BCSP_PORT_QUEUE_SIZE * 80 / 100;  // 3276
inline constexpr char BCSP_PORT_XON_CHAR = 0x11;
inline constexpr char BCSP_PORT_XOFF_CHAR = 0x13;

// Reads return at once with what is waiting, possibly nothing; writes have no
// time-out.
inline constexpr SerialTimeouts BCSP_PORT_TIMEOUTS = {SERIAL_TIMEOUT_MAXDWORD, 0, 0, 0, 0};

// ---------------------------------------------------------------------------
// Buffers

// The receive buffer handed to the engine and the held copy; the engine's
// capacity counts the 2 CRC bytes, so a packet carries at most 510 bytes.
inline constexpr std::uint16_t BCSP_RX_BUFFER_BYTES = 512;
// The driver's own copy of the packet being sent: the engine keeps pointing at
// the bytes after a send whose wait ended at a renewed link establishment (a
// peer reset), so they must not live on the caller's stack. Longer sends are
// refused.
inline constexpr std::uint16_t BCSP_TX_BUFFER_BYTES = 512;

// ---------------------------------------------------------------------------
// Time limits of the driver's waits. The engine sends again every quiet period
// (25 idle polls at 1 ms each, plus the frame: about 30 ms at 115200 baud), so
// a live chip answers each of these within a few tens of milliseconds even
// when some frames are damaged; the bounds only have to end a dead link.

// Link establishment in bcsp_port_open: a live chip completes it within a few
// exchanges (well under 100 ms); 5 s also covers a chip that is restarting
// after a reset it was just sent, and ends a dead one quickly. A caller that
// expects a longer boot passes its own bound to bcsp_port_open_within.
inline constexpr std::uint32_t BCSP_LINK_TIMEOUT_MS = 5000;
// One packet's acknowledgement in bcsp_port_send: some 60 transmissions, so
// even a badly damaged line gets a packet through long before this.
// A send that runs out is withdrawn without advancing the engine's tx_seq: the
// next packet goes out with the same sequence number. If the chip did take the
// withdrawn packet and only its acknowledgements were lost, it takes the next
// one for a repeat and drops it with an acknowledgement: that send completes,
// its answer never comes, and the request fails when bcsp_port_receive runs
// out. Both ends are in step again from the packet after it.
inline constexpr std::uint32_t BCSP_SEND_TIMEOUT_MS = 2000;
// The next packet on a channel in bcsp_port_receive: a BCCMD answer, which may
// follow a persistent-store write in the chip's flash (tens of milliseconds).
inline constexpr std::uint32_t BCSP_RECEIVE_TIMEOUT_MS = 5000;

// The pause per idle poll of the wait loop (the engine's delay hint non-zero):
// a wait for input of up to this long, so that the engine's quiet period (25
// idle polls) keeps its length in time. A whole frame arriving ends the pause
// at once: the engine may be waiting for just that frame (an acknowledgement,
// an answer, a link message), and a fixed sleep would add up to this much to
// every exchange.
inline constexpr std::uint32_t BCSP_IDLE_POLL_SLEEP_MS = 1;
// Bytes of a frame still arriving do not end the pause; it ends anyway once it
// has lasted this long (1 to 2 ms on a millisecond clock), so that a peer
// sending bytes without frame delimiters cannot hold the engine up.
inline constexpr std::uint32_t BCSP_IDLE_PAUSE_MAX_MS = 2;
// The input the pause reads ahead, for the engine's byte reads to take first.
// A full buffer ends the pause: the engine empties it at the next poll.
inline constexpr std::uint32_t BCSP_INPUT_AHEAD_BYTES = 512;

// Wait modes of bcsp_port_wait.
inline constexpr int BCSP_WAIT_RECEIVED = 1;  // until a packet has been received
inline constexpr int BCSP_WAIT_SENT = 2;      // until the engine reports ACTIVITY_SENT

// ---------------------------------------------------------------------------
// Operations

// Why a bcsp_port_open failed, for a caller that explains it to people (the
// field tool): which step, the OS's error, and the bound the link wait had.
// Filling it changes nothing the open does.
inline constexpr int BCSP_OPEN_STEP_NONE = 0;      // the link is established
inline constexpr int BCSP_OPEN_STEP_OPEN = 1;      // serial_open failed (or the name did not fit)
inline constexpr int BCSP_OPEN_STEP_SETTINGS = 2;  // the port refused its queues, 8E1 or time-outs
inline constexpr int BCSP_OPEN_STEP_LINK = 3;      // no link within link_timeout_ms
struct BcspOpenResult {
    int failed_step;               // BCSP_OPEN_STEP_*
    std::uint32_t os_error;        // platform_last_error() after the failed platform call
    std::uint32_t link_timeout_ms; // the bound the link wait had
};

// Opens COMn at baud (8E1), starts link establishment and waits for it.
// 1: linked. 0: failed (the port number does not fit the device name, the
// port does not exist or refuses its settings or read time-outs, or the link
// was not established within BCSP_LINK_TIMEOUT_MS); the port is closed again.
// A packet an earlier link left with the engine is dropped, not sent on this one.
int bcsp_port_open(int port, int baud);
// The same with link establishment bounded by link_timeout_ms instead.
int bcsp_port_open_within(int port, int baud, std::uint32_t link_timeout_ms, BcspOpenResult* result = nullptr);
// The same on the port at device_path (any name serial_open takes). result
// (may be null) says how the open ended.
int bcsp_port_open_path(const char* device_path, int baud, std::uint32_t link_timeout_ms = BCSP_LINK_TIMEOUT_MS,
                        BcspOpenResult* result = nullptr);

// Purges and closes the port when it is open; does nothing when it is not.
void bcsp_port_close();

// Sends length bytes on channel as a reliable packet with a CRC and waits
// until the engine reports the packet finished (acknowledged, or the link
// established afresh after a peer reset, in which case the engine sends the
// driver's copy again on the new link). 1: done. 0: port not open, length
// above BCSP_TX_BUFFER_BYTES, or no such report within BCSP_SEND_TIMEOUT_MS
// (the packet is then withdrawn from the engine).
int bcsp_port_send(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel);

// Waits for the next packet on channel and copies it into buffer. Packets on
// other channels, and packets longer than capacity, are discarded and the
// wait goes on. Returns the byte count copied (at least 1), or 0 when the port
// is not open or no fitting packet came within BCSP_RECEIVE_TIMEOUT_MS.
int bcsp_port_receive(std::uint8_t* buffer, std::size_t capacity, int channel);

// Internal to the driver, exposed for tests: polls the engine until mode's
// event (1) or until deadline has passed (0). A received packet is taken into
// the held record in either mode.
int bcsp_port_wait(int mode, Deadline deadline);

// Internal to the driver, exposed for tests: the pause of one idle poll (see
// BCSP_IDLE_POLL_SLEEP_MS). Input that arrives meanwhile is read ahead for the
// engine's byte reads.
void bcsp_port_idle();
