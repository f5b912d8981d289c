// Test support for the BCSP engine: a scripted UART behind the engine's two
// byte calls, and the peer's side of the wire (frame builder and decoder).
//
// The peer side is written independently of the engine: its own bitwise CRC,
// its own SLIP escaping and header packing, so that a misreading shared by
// the engine and its tests does not cancel out.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "bcsp/bcsp_engine.h"

using Bytes = std::vector<std::uint8_t>;

// The byte link the engine talks to: input is what bcsp_get_uart hands out,
// output records every bcsp_put_uart.
struct ScriptedUart {
    std::deque<std::uint8_t> input;
    Bytes output;
};

// The UART the engine's byte calls use; tests point it at their own.
extern ScriptedUart* scripted_uart;

// Reference CRC: bit by bit over the reflected polynomial 0x8408, preset
// 0xFFFF, then bit-reversed (the value sent high byte first).
std::uint16_t reference_crc(const Bytes& bytes);

struct PeerHeader {
    int reliable = 0;
    int seq = 0;
    int ack = 0;
    int channel = 0;
    int crc_present = 1;
    int length = -1;  // payload length in the header; -1: the payload's size
};

// Header bytes with a correct checksum.
Bytes peer_header_bytes(const PeerHeader& header, int payload_size);

// A complete frame: delimiters, escaped header, payload and (when the header
// says so) CRC.
Bytes peer_frame(const PeerHeader& header, const Bytes& payload);

// Delimiters around the escaped raw bytes, for hand-damaged frames.
Bytes peer_wrap(const Bytes& raw);

// A link-establishment message (LE_MESSAGE_*) as the peer sends it.
Bytes peer_le_frame(int message);

// A peer's acknowledgement packet.
Bytes peer_ack_frame(int ack);

// One frame as the peer reads it from the engine's output.
struct PeerFrame {
    Bytes raw;  // de-escaped bytes between the delimiters
    int header_ok = 0;
    int crc_present = 0;
    int intact = 0;  // header, length and CRC all correct
    int reliable = 0;
    int seq = 0;
    int ack = 0;
    int channel = 0;
    Bytes payload;
};

// Splits a byte stream at delimiters and checks each candidate frame; runs of
// fewer than 4 bytes are skipped. Bytes after the last delimiter are ignored.
std::vector<PeerFrame> peer_decode(const Bytes& wire);

// Index of the link-establishment message a frame carries, or -1.
int peer_le_message(const PeerFrame& frame);

void append(Bytes& to, const Bytes& from);
