// The polled BCSP engine: framing, link establishment, sequencing and
// acknowledgement, one small step per bcsp_poll call.
//
// Single-threaded and allocation-free. It keeps pointers to at most one send
// and one receive descriptor owned by the caller, sends straight from the
// send payload and receives straight into the receive buffer. Its only link
// to the outside is the pair of byte calls below.
//
// Calling order: bcsp_initialize, bcsp_receive_packet with the receive
// buffer, then bcsp_poll until ACTIVITY_SENT reports the link established;
// then per packet bcsp_send_packet and polls until ACTIVITY_SENT. After each
// ACTIVITY_RECEIVED the caller takes the packet and hands the descriptor back.
#pragma once

#include <cstdint>

#include "bcsp/bcsp_wire.h"

// Supplied by whoever links the engine (the port driver in the product, a
// scripted UART in tests).
// Writes one byte to the link; the engine expects no result.
void bcsp_put_uart(std::uint8_t byte);
// Stores one waiting byte into *out and returns 1, or returns 0 at once when
// none is waiting.
std::uint8_t bcsp_get_uart(std::uint8_t* out);

// Link-establishment state.
inline constexpr std::uint8_t LINK_UNSYNCED = 0;
inline constexpr std::uint8_t LINK_SYNCED = 1;
inline constexpr std::uint8_t LINK_ESTABLISHED = 2;

// Link-establishment message received since the last one was started.
inline constexpr std::uint8_t LE_EVENT_NONE = 0;
inline constexpr std::uint8_t LE_EVENT_SYNC = 1;
inline constexpr std::uint8_t LE_EVENT_CONF = 2;

// Activity bits reported by each bcsp_poll.
inline constexpr std::uint8_t ACTIVITY_SENT = 0x01;        // send slot free again, or link just established
inline constexpr std::uint8_t ACTIVITY_RECEIVED = 0x02;    // a packet was delivered into the receive descriptor
inline constexpr std::uint8_t ACTIVITY_PEER_RESET = 0x04;  // SYNC while established: engine re-initialised
inline constexpr std::uint8_t ACTIVITY_ACK_DUE = 0x08;     // with 0x02: reliable packet accepted, ack owed

// Polls without transmission after a frame's closing delimiter, and after a
// free turn that found nothing to send.
inline constexpr std::int8_t BCSP_QUIET_POLLS = 25;

// Next link-establishment message, indexed by le_state + 4 * le_event.
inline constexpr std::uint8_t BCSP_LE_TRANSITIONS[12] = {
    // UNSYNCED            SYNCED                 ESTABLISHED      (unused state 3)
    LE_MESSAGE_SYNC,      LE_MESSAGE_CONF,       LE_MESSAGE_NONE,      LE_MESSAGE_NONE,  // LE_EVENT_NONE
    LE_MESSAGE_SYNC_RESP, LE_MESSAGE_SYNC_RESP,  LE_MESSAGE_NONE,      LE_MESSAGE_NONE,  // LE_EVENT_SYNC
    LE_MESSAGE_NONE,      LE_MESSAGE_CONF_RESP,  LE_MESSAGE_CONF_RESP, LE_MESSAGE_NONE,  // LE_EVENT_CONF
};

// The engine's whole state. Zero at program start; tests may read it.
struct BcspEngineState {
    std::uint8_t le_state;
    std::uint8_t le_event;
    std::uint8_t le_next_message;   // LE_MESSAGE_* to send at the next free turn
    std::uint8_t tx_seq : 3;        // seq of the data packet being sent
    std::uint8_t ack_number : 3;    // seq expected next from the peer
    std::uint8_t send_ack;          // an acknowledgement is owed
    BcspPacket* send_packet;        // held until acknowledged (reliable) or sent (unreliable)
    BcspPacket* receive_packet;     // buffer for the next packet; null after delivery
    std::uint8_t rx_escape;         // previous received byte was SLIP_ESC
    std::int32_t rx_index;          // -4..-1: collecting header; from 0: payload bytes stored
    std::uint8_t tx_append_crc;     // the CRC stage is still to come
    std::uint16_t tx_crc;
    std::uint8_t tx_escape;         // second byte of an escape still to write, 0 if none
    const std::uint8_t* tx_cursor;  // next byte of the current transmit stage
    std::int32_t tx_remaining;      // bytes left in the stage; 0: no frame in progress
    const std::uint8_t* tx_next;    // the payload stage that follows the header
    std::int32_t tx_next_length;
    std::int8_t delay;              // quiet-period counter, also bcsp_poll's result
    std::uint8_t tx_crc_bytes[BCSP_CRC_BYTES];
    std::uint8_t rx_header[BCSP_HEADER_BYTES];
    std::uint8_t tx_header[BCSP_HEADER_BYTES];
    std::uint8_t ack_header[BCSP_HEADER_BYTES];
};

extern BcspEngineState bcsp_engine;

// Starts link establishment afresh: counters 0, LINK_UNSYNCED, next message
// SYNC, no frame in progress, receive position at the header, delay 0, and no
// stale event, owed acknowledgement or half-done escape. The send and receive
// descriptors are kept.
void bcsp_initialize();

// Hands over the one packet to send (a second call replaces the first) and
// abandons the frame in progress. The caller keeps the descriptor and payload
// untouched until ACTIVITY_SENT.
void bcsp_send_packet(BcspPacket* packet);

// Hands over the receive descriptor (length = capacity, CRC bytes included)
// and drops any partly received frame.
void bcsp_receive_packet(BcspPacket* packet);

// One step: writes at most the next byte of the frame being sent (or opens a
// new one), then reads every waiting byte while a receive descriptor is held.
// Stores this call's ACTIVITY_* bits in *activity and returns the delay hint
// 0..BCSP_QUIET_POLLS: 0 asks for the next call at once.
std::uint8_t bcsp_poll(std::uint8_t* activity);

// The steps bcsp_poll is built from; callers need only the four calls above.

// Starts a frame whose opening delimiter has been written: header (4 bytes,
// checksum already in place), then payload, then the CRC.
void bcsp_begin_packet(const std::uint8_t* header, const std::uint8_t* payload, std::int32_t length);

// Writes one byte, or the first half of its escape pair (the second half is
// left in tx_escape for the next call).
void bcsp_write_escaped(std::uint8_t byte);

// Checks and acts on the frame collected up to a closing delimiter; returns
// ACTIVITY_* bits.
std::uint8_t bcsp_process_frame();

// Lets go of an unreliable send packet once a closing delimiter is written;
// returns ACTIVITY_SENT when it did.
std::uint8_t bcsp_release_unreliable();
