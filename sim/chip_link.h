// The simulated chip's side of the BCSP link, and the chip's two logs.
//
// Private to the chip model (chip.cpp). It is written on its own from the
// link's observable behaviour, as a peer would implement it, not from the
// updater's engine: the two are meant to check each other.
//
// Shape: a receive state machine fed one byte at a time, which decodes a
// frame at each closing delimiter and acts on it at once; and a transmit
// queue of whole, already encoded frames, from which the caller takes one
// byte at a time. Time only moves when the caller passes it in.
//
// What the chip does on the link:
// - Link establishment: while unsynced it sends SYNC every
//   CHIP_LINK_LE_RETRANSMIT_MS; on SYNC_RESP it is synced and sends CONF at
//   once and then every CHIP_LINK_LE_RETRANSMIT_MS; on CONF_RESP it is
//   established. SYNC is answered with SYNC_RESP in every state; CONF with
//   CONF_RESP once synced (an unsynced peer cannot know the link yet). A SYNC
//   while established means the host restarted: the link starts afresh.
// - Reliable packets from the host: accepted in sequence only, each one
//   acknowledged (a repeat or a packet out of sequence is acknowledged with
//   the unchanged number and not delivered again).
// - Its own reliable packets: one outstanding at a time, sent again every
//   CHIP_LINK_RELIABLE_RETRANSMIT_MS until the host acknowledges it; later
//   ones wait in a short queue. An acknowledgement is read from every intact
//   frame except link-establishment frames, whose header is fixed and says
//   nothing about acknowledgement.
#pragma once

#include <cstdint>
#include <cstdio>

// Interval between repeats of SYNC and CONF while the host does not answer.
constexpr std::uint64_t CHIP_LINK_LE_RETRANSMIT_MS = 250;
// Interval between repeats of an unacknowledged reliable packet.
constexpr std::uint64_t CHIP_LINK_RELIABLE_RETRANSMIT_MS = 250;
// Largest payload the chip sends (a BCCMD response of 128 words).
constexpr int CHIP_LINK_MAX_TX_PAYLOAD = 256;
// Largest frame the chip accepts: header, the largest payload the header can
// express, and the CRC. Anything longer is damaged by definition.
constexpr int CHIP_LINK_MAX_RX_FRAME = 4 + 4095 + 2;
// Encoded frames waiting for the UART.
constexpr int CHIP_LINK_TX_QUEUE_FRAMES = 8;
// Reliable packets waiting behind the outstanding one.
constexpr int CHIP_LINK_PENDING_PACKETS = 4;
// Worst case of one encoded frame: both delimiters, every byte escaped.
constexpr int CHIP_LINK_MAX_TX_FRAME_BYTES = 2 + 2 * (4 + CHIP_LINK_MAX_TX_PAYLOAD + 2);

// The chip's logs: a readable one and one JSON object per line. Either may be null.
struct ChipLog {
    std::FILE* text;
    std::FILE* events;
};

// One readable line, prefixed with the time.
void chip_log_text(const ChipLog* log, std::uint64_t now_ms, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// One event line: {"t":now_ms,"ev":"name"<fields>}; fields, when not empty,
// start with a comma: ",\"seq\":3".
void chip_log_event(const ChipLog* log, std::uint64_t now_ms, const char* name, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

enum ChipLinkState {
    CHIP_LINK_UNSYNCED = 0,
    CHIP_LINK_SYNCED = 1,
    CHIP_LINK_ESTABLISHED = 2,
};

// What a received byte led to.
enum ChipLinkResult {
    CHIP_LINK_NOTHING = 0,
    CHIP_LINK_DELIVERED = 1,  // a new data packet is in link->delivered
};

enum ChipLinkFrameKind {
    CHIP_FRAME_OTHER = 0,
    CHIP_FRAME_SYNC,
    CHIP_FRAME_CONF,
    CHIP_FRAME_RELIABLE,
};

struct ChipLinkFrame {
    std::uint8_t bytes[CHIP_LINK_MAX_TX_FRAME_BYTES];
    int length;
    int sent;  // bytes already taken by the UART
    int kind;  // ChipLinkFrameKind: which repeat timer starts when it is out
    std::uint8_t seq;
};

struct ChipLinkPacket {
    std::uint8_t channel;
    std::uint8_t reliable;
    int length;
    std::uint8_t payload[CHIP_LINK_MAX_TX_PAYLOAD];
};

struct ChipLinkDelivered {
    std::uint8_t channel;
    std::uint8_t reliable;
    std::uint8_t seq;
    int length;
    std::uint8_t payload[4095];
};

struct ChipLink {
    const ChipLog* log;
    int no_link;  // fault: take no part in link establishment
    int no_ack;   // fault: drop reliable packets unacknowledged

    int state;  // ChipLinkState

    // Receive state machine.
    std::uint8_t rx[CHIP_LINK_MAX_RX_FRAME];
    int rx_count;
    int rx_escape;      // the previous byte was 0xDB
    int rx_bad_escape;  // 0xDB was followed by something other than 0xDC/0xDD
    int rx_overflow;    // more bytes than any frame can have

    // Sequencing.
    std::uint8_t tx_seq;       // seq of the next reliable packet the chip sends
    std::uint8_t rx_expected;  // seq expected next from the host: the ack field
    int ack_owed;              // an acknowledgement must go out

    // The one reliable packet in flight, and those waiting behind it.
    int outstanding;
    std::uint8_t outstanding_seq;
    ChipLinkPacket outstanding_packet;
    ChipLinkPacket pending[CHIP_LINK_PENDING_PACKETS];
    int pending_head;
    int pending_count;

    // Transmit queue of encoded frames.
    ChipLinkFrame queue[CHIP_LINK_TX_QUEUE_FRAMES];
    int queue_head;
    int queue_count;

    // Repeat timers, UINT64_MAX when not running. Each starts when its frame
    // has fully left the UART.
    std::uint64_t sync_due_ms;
    std::uint64_t conf_due_ms;
    std::uint64_t retransmit_due_ms;

    ChipLinkDelivered delivered;
};

// Starts the link afresh (power-on, restart): unsynced, sequence numbers 0,
// nothing outstanding, frames not yet started dropped, SYNC on its way.
void chip_link_reset(ChipLink* link, std::uint64_t now_ms);
// Stops every timer and drops what is not yet on the wire (the chip is going
// down); a frame already started is finished.
void chip_link_halt(ChipLink* link);
// Drops every queued frame, even one partly sent (the chip has died).
void chip_link_drop_queue(ChipLink* link);
// 1 while frames are queued for the UART.
int chip_link_sending(const ChipLink* link);
// One byte from the host. Returns a ChipLinkResult.
int chip_link_receive_byte(ChipLink* link, std::uint8_t byte, std::uint64_t now_ms);
// Queues a reliable packet on channel. Returns 1, or 0 when it is too long or
// the waiting queue is full (the packet is dropped and logged).
int chip_link_send(ChipLink* link, std::uint8_t channel, const std::uint8_t* payload, int length,
                   std::uint64_t now_ms);
// Sends a bare acknowledgement if one is still owed (no data frame carried it).
void chip_link_flush_ack(ChipLink* link, std::uint64_t now_ms);
// Acts on the repeat timers that are due at now_ms.
void chip_link_run_timers(ChipLink* link, std::uint64_t now_ms);
// The next byte for the UART: 1 and *byte set, or 0 when nothing is queued.
int chip_link_transmit_byte(ChipLink* link, std::uint64_t now_ms, std::uint8_t* byte);
// 0 when bytes are queued, else the earliest repeat timer, else UINT64_MAX.
std::uint64_t chip_link_next_event_ms(const ChipLink* link);

// The frame CRC over header and payload, as sent (bit-reversed, high byte first).
std::uint16_t chip_link_crc(const std::uint8_t* bytes, int length);
