// A scripted BCSP peer on the fake serial port, standing in for the chip in
// the driver and BCCMD tests. It is written on its own (bitwise CRC, its own
// framing and escaping) so that a misreading shared with the engine does not
// cancel out.
//
// What it does: answers SYNC with SYNC_RESP and CONF with CONF_RESP (unless
// link_enabled is 0), acknowledges each in-sequence reliable packet from the
// host (unless ack_enabled is 0), and hands each such packet to on_packet,
// which may queue answers. Every answer arrives latency_ms after its trigger.
// It never retransmits: the fake line loses nothing.
#pragma once

#include <cstdint>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// One intact frame as the peer read it from the host.
struct PeerFrame {
    int reliable;
    int seq;
    int ack;
    int channel;
    Bytes payload;
    std::uint64_t at_ms;
};

struct BcspPeer;
using PeerPacketHook = void (*)(BcspPeer* peer, const PeerFrame* packet, std::uint64_t now_ms);

struct BcspPeer {
    // Behaviour.
    int link_enabled = 1;
    int ack_enabled = 1;
    std::uint64_t latency_ms = 0;
    PeerPacketHook on_packet = nullptr;
    void* user = nullptr;  // for on_packet

    // State.
    int expected_seq = 0;  // next seq wanted from the host; also the ack sent
    int tx_seq = 0;        // seq of the peer's next reliable packet
    Bytes partial;         // de-escaped bytes since the last delimiter
    int escape = 0;

    // What it saw.
    std::vector<PeerFrame> frames;   // every intact frame
    std::vector<PeerFrame> packets;  // reliable data packets delivered in sequence
    int damaged_frames = 0;
    int le_messages[4] = {};         // SYNC, SYNC_RESP, CONF, CONF_RESP received
    int opens = 0;
};

// Reference CRC over the bytes, as sent on the wire (bit-reversed register).
std::uint16_t peer_crc(const Bytes& bytes);

// A whole frame on the wire: delimiters, header, payload, CRC, escaped.
Bytes peer_frame_bytes(int reliable, int seq, int ack, int channel, const Bytes& payload);

// Plugs the peer into the fake serial port; it must outlive its use.
void peer_attach(BcspPeer* peer);

// Queues frames from the peer to arrive at at_ms.
void peer_send_le(BcspPeer* peer, int message, std::uint64_t at_ms);
void peer_send_ack(BcspPeer* peer, std::uint64_t at_ms);
// A data packet; reliable ones take the peer's next seq. ack -1: the current
// expected_seq (acknowledging what the host sent so far).
void peer_send_data(BcspPeer* peer, int channel, const Bytes& payload, int reliable, std::uint64_t at_ms,
                    int ack = -1);
// The peer restarts: its counters go back to 0 and it sends SYNC, which the
// host takes as a peer reset once linked.
void peer_restart(BcspPeer* peer, std::uint64_t at_ms);

// The link-establishment payloads, in message order.
extern const std::uint8_t PEER_LE_PAYLOADS[4][4];
