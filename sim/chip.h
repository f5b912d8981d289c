// The simulated Bluetooth chip behind the adapter: its BCSP link (written on
// its own, not from the updater's engine, so that the two check each other),
// its BCCMD handler and its persistent store.
//
// The model is pure: bytes in, bytes out, with the time passed in by the
// caller. The simulator's main loop feeds it from the pseudo-terminal; unit
// tests feed it from the fake platform's serial port.
//
// What the chip answers on BCSP channel 2 (BCCMD, 16-bit little-endian words:
// type, length, seqno, varid, status, payload):
// - 0x7003 persistent store, get (type 0) or set (type 2), payload key,
//   length n, stores, n values. A set stores the n words and saves the store
//   file at once; the response echoes key, n, stores and the values. A get
//   must ask for the stored length exactly; it answers key, n, stores and the
//   stored words.
// - 0x2819 build id, get: the configured build id in payload word 0.
// - 0x4001 cold reset and 0x400F store defragmenting reset, set: no response;
//   the chip restarts CHIP_RESTART_DELAY_MS later (link state lost, sequence
//   numbers 0, link establishment from SYNC again). Bytes that arrive in
//   between are ignored, as by a chip that is going down.
// - Every response is type 1 with the request's seqno and varid; its length
//   field is its size in words; it is at least 9 words long.
// - Status: CHIP_STATUS_OK, or CHIP_STATUS_NO_SUCH_VARID (other varids),
//   CHIP_STATUS_NO_VALUE (get of a key the store does not hold),
//   CHIP_STATUS_TOO_BIG (get with n below the stored length, set with n above
//   PS_STORE_MAX_WORDS), CHIP_STATUS_BAD_REQUEST (get with n above the stored
//   length, fewer words than the request claims, n of 0, a get of a reset
//   varid or a set of the build id),
//   CHIP_STATUS_ERROR (the store file could not be written: the write is undone;
//   also the status of the error_status_* faults).
// Requests of other types and messages shorter than 5 words get no response.
//
// Event log (config->event_log): one JSON object per line, always starting
// with "t" (the caller's time in ms) and "ev" (the event name). Events:
//   power_on          chip_power_on was called
//   tx                a frame was queued for sending: rel, seq, ack, ch, len,
//                     msg (channel 1: "SYNC", "SYNC_RESP", "CONF", "CONF_RESP"),
//                     retry (1 on a repeat)
//   rx                an intact frame arrived: rel, seq, ack, ch, len, msg (channel 1)
//   frame_bad         a damaged frame was dropped: reason ("short", "too_long",
//                     "escape", "header_checksum", "length", "crc"), bytes
//   link_synced       SYNC_RESP received while unsynced
//   link_established  CONF_RESP received while synced
//   peer_reset        SYNC received while established: the link starts afresh
//   acked             the host acknowledged the chip's reliable packet: seq
//   duplicate         repeat of the last reliable packet, acknowledged again: seq
//   out_of_sequence   reliable packet neither expected nor a repeat: seq, expected
//   ignored           a frame or packet had no effect: reason ("no_link",
//                     "no_ack", "link_not_established", "conf_while_unsynced",
//                     "le_unknown", "channel", "bccmd_short", "bccmd_type").
//                     Bytes that arrive while the chip restarts or after it
//                     went silent are dropped without a log line.
//   tx_dropped        the chip could not send: reason ("queue_full": no room
//                     for another frame; "pending_full": too many responses
//                     waiting behind the outstanding one; "cannot_send": link
//                     not established or packet too long; "delay_full": more
//                     than CHIP_DELAYED_ANSWERS responses held back)
//   answer_delayed    a response is held back by answer_delay_ms: due (ms)
//   bccmd             a BCCMD message: dir ("rx" request, "tx" response), type,
//                     length, seqno, varid ("0x7003"), status, payload (words)
//   ps_write          a key was written: key ("0x024b"), values (numbers)
//   ps_read           a key was read: key, values
//   store_error       the store file could not be written
//   reset_request     cold or defragmenting reset accepted: reason
//                     ("cold_reset", "ps_defrag_reset"), restart_at (ms)
//   restart           the chip restarted: reason ("cold_reset",
//                     "ps_defrag_reset", "fault")
//   fault             an injected fault acted: name ("error_status" with key
//                     or varid, "silent", "reset" or "no_answer" with packet,
//                     the count; "no_restart" with reason, the reset that
//                     left the chip dead)
//   noise             line noise hit a byte: dir ("tx", "rx"), byte (as it
//                     was before the noise), effect ("drop", "corrupt",
//                     "repeat", "corrupt+repeat")
//   garbage           line garbage went out before a frame: bytes (the count)
// The readable log (config->log) has one line per frame and per event above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Time from an accepted reset request to the restart.
constexpr std::uint64_t CHIP_RESTART_DELAY_MS = 50;
// Responses held back by answer_delay_ms at one time; more are dropped (tx_dropped "delay_full").
constexpr int CHIP_DELAYED_ANSWERS = 8;

constexpr std::uint16_t CHIP_STATUS_OK = 0x0000;
constexpr std::uint16_t CHIP_STATUS_NO_SUCH_VARID = 0x0001;
constexpr std::uint16_t CHIP_STATUS_TOO_BIG = 0x0002;
constexpr std::uint16_t CHIP_STATUS_NO_VALUE = 0x0003;
constexpr std::uint16_t CHIP_STATUS_BAD_REQUEST = 0x0004;
constexpr std::uint16_t CHIP_STATUS_ERROR = 0x0008;

struct ChipConfig {
    const char* store_path;      // persistent store file; created with defaults when missing
    std::uint16_t build_id;      // answered to the build-id get request
    std::FILE* log;              // readable log of every exchange, or null
    std::FILE* event_log;        // machine-readable log (one JSON object per line), or null
    // Faults; each is off when 0 (or below). Packet counts are over the
    // chip's whole life, across restarts: they count new data packets the
    // link delivered (not link establishment, acknowledgements, repeats or
    // damaged frames). A zero-initialised ChipConfig has every fault off.
    int error_status_key;        // PS get/set of this key is answered with CHIP_STATUS_ERROR, store unchanged
    int error_status_varid;      // any request for this varid is answered with CHIP_STATUS_ERROR (no reset either)
    std::uint16_t error_status;  // the status of those answers instead of CHIP_STATUS_ERROR (0: CHIP_STATUS_ERROR)
    int silent_after_packets;    // the Nth packet and everything after it: no ack, no answer, nothing sent
    int no_ack;                  // reliable packets are dropped: never acknowledged, never processed
    int no_link;                 // never send or answer link-establishment messages
    int reset_after_packets;     // on the Nth packet the chip restarts at once, leaving it unanswered (once)
    int no_answer_after_packets; // the Nth packet and every later one: acknowledged, then neither served nor answered
    int no_restart;              // after an accepted reset request the chip never comes back: silent for good
    int echo_requests;           // PS requests answered with their own words and status OK, the store untouched
    int late_link_ms;            // after power-on the chip takes this long to start: deaf and silent until then
    int slow_boot_ms;            // the restart after the first reset it accepts takes this long instead of
                                 // CHIP_RESTART_DELAY_MS: an image written by the download booting slowly
    int garbage_between_frames;  // bytes of line garbage (never 0xC0) sent before each frame's opening delimiter
    int answer_delay_ms;         // BCCMD responses leave this long after their request (a chip busy in its flash)
    int answer_delay_packet;     // 0: every response is delayed; N: only the answer to the Nth packet
    double corrupt_rate;         // per byte sent: probability of flipping one bit
    double drop_rate;            // per byte sent: probability of dropping it
    double repeat_rate;          // per byte sent: probability of sending it twice
    unsigned seed;               // random seed for the byte faults
    // The same faults on the bytes the chip receives (seeded from seed too).
    double rx_corrupt_rate;
    double rx_drop_rate;
    double rx_repeat_rate;
};

struct Chip;

// Loads the store (creating it with defaults when missing). Returns null when
// the store file cannot be read or created; chip_create_error says why.
Chip* chip_create(const ChipConfig* config);
// Why the last chip_create failed (a one-line text; empty after a success).
const char* chip_create_error();
void chip_destroy(Chip* chip);

// The chip starts (or restarts) its BCSP link: link establishment begins.
// Before the first call the chip ignores bytes and sends nothing.
void chip_power_on(Chip* chip, std::uint64_t now_ms);
// One byte arrived on the chip's UART.
void chip_receive_byte(Chip* chip, std::uint8_t byte, std::uint64_t now_ms);
// The next byte the chip sends at now_ms, if any: 1 and *byte set, else 0.
int chip_transmit_byte(Chip* chip, std::uint64_t now_ms, std::uint8_t* byte);
// The time at which the chip next has something to do (a retransmission, a
// restart); 0 when bytes are waiting to be sent; UINT64_MAX when it only
// waits for bytes.
std::uint64_t chip_next_event_ms(const Chip* chip);
