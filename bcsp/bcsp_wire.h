// BCSP wire format: SLIP framing bytes, the 4-byte packet header and its
// checksum, the 16-bit CRC, the four link-establishment messages and the
// packet descriptor shared by the engine and the port driver.
//
// A frame on the wire is: 0xC0, header (4 bytes), payload, CRC (2 bytes, high
// byte first, only when the header says so), 0xC0, with every byte between the
// delimiters SLIP-escaped. Everything here is a pure function over bytes; the
// engine (bcsp_engine.h) applies it one byte per poll.
#pragma once

#include <array>
#include <cstdint>

// SLIP framing (RFC 1055).
inline constexpr std::uint8_t SLIP_END = 0xC0;      // frame delimiter
inline constexpr std::uint8_t SLIP_ESC = 0xDB;      // escape introducer
inline constexpr std::uint8_t SLIP_ESC_END = 0xDC;  // SLIP_ESC SLIP_ESC_END stands for 0xC0
inline constexpr std::uint8_t SLIP_ESC_ESC = 0xDD;  // SLIP_ESC SLIP_ESC_ESC stands for 0xDB

inline constexpr int BCSP_HEADER_BYTES = 4;
inline constexpr int BCSP_CRC_BYTES = 2;
// The 12-bit payload length field cannot express more.
inline constexpr int BCSP_MAX_PAYLOAD_BYTES = 4095;

// Channels with a fixed role.
inline constexpr std::uint8_t BCSP_ACK_CHANNEL = 0;  // acknowledgement packets, no payload
inline constexpr std::uint8_t BCSP_LE_CHANNEL = 1;   // link establishment, consumed by the engine

// Header byte 0 flag bits.
inline constexpr std::uint8_t BCSP_HEADER_RELIABLE = 0x80;
inline constexpr std::uint8_t BCSP_HEADER_CRC_PRESENT = 0x40;

// One packet handed to or from the engine. The owner keeps the descriptor and
// its payload untouched while the engine holds it.
//   Sending:   channel (low 4 bits used), reliable 0/1, use_crc (not consulted:
//              every frame sent carries a CRC), length = payload bytes (at most
//              4095), payload = the bytes or null when there are none.
//   Receiving: length = capacity of payload including 2 bytes for a CRC; on
//              delivery channel, reliable and length (CRC excluded) describe
//              the packet in payload.
struct BcspPacket {
    std::uint8_t channel;
    std::uint8_t reliable;
    std::uint8_t use_crc;
    std::uint16_t length;
    std::uint8_t* payload;
};

// The link-establishment messages, in table order; the index is what the
// engine's transition table yields, LE_MESSAGE_NONE meaning "send none".
inline constexpr std::uint8_t LE_MESSAGE_SYNC = 0;
inline constexpr std::uint8_t LE_MESSAGE_SYNC_RESP = 1;
inline constexpr std::uint8_t LE_MESSAGE_CONF = 2;
inline constexpr std::uint8_t LE_MESSAGE_CONF_RESP = 3;
inline constexpr std::uint8_t LE_MESSAGE_NONE = 4;
inline constexpr int BCSP_LE_MESSAGE_COUNT = 4;
inline constexpr int BCSP_LE_PAYLOAD_BYTES = 4;

// Every link-establishment message is unreliable on channel 1 with a 4-byte
// payload and a CRC; this header is sent as stored, checksum included.
inline constexpr std::array<std::uint8_t, BCSP_HEADER_BYTES> BCSP_LE_HEADER = {0x40, 0x41, 0x00, 0x7E};

inline constexpr std::array<std::array<std::uint8_t, BCSP_LE_PAYLOAD_BYTES>, BCSP_LE_MESSAGE_COUNT>
    BCSP_LE_PAYLOADS = {{
        {0xDA, 0xDC, 0xED, 0xED},  // SYNC
        {0xAC, 0xAF, 0xEF, 0xEE},  // SYNC_RESP
        {0xAD, 0xEF, 0xAC, 0xED},  // CONF
        {0xDE, 0xAD, 0xD0, 0xD0},  // CONF_RESP
    }};

// Complement of the 8-bit sum of header bytes 0-2: an intact header's four
// bytes sum to 0xFF.
std::uint8_t bcsp_header_checksum(std::uint8_t byte0, std::uint8_t byte1, std::uint8_t byte2);

// Fills a whole header, checksum included. Byte 0 always has crc_present set
// (every frame this system sends carries a CRC); channel keeps its low 4 bits,
// length its low 12.
void bcsp_header_build(std::uint8_t* header, int reliable, int seq, int ack, int channel, int length);

// The acknowledgement packet's header: unreliable, channel 0, no payload.
inline void bcsp_ack_header_build(std::uint8_t* header, int ack)
{
    bcsp_header_build(header, 0, 0, ack, BCSP_ACK_CHANNEL, 0);
}

// Fields of a received header.
inline int bcsp_header_intact(const std::uint8_t* header)
{
    return ((header[0] + header[1] + header[2] + header[3]) & 0xFF) == 0xFF;
}
inline int bcsp_header_seq(const std::uint8_t* header) { return header[0] & 0x07; }
inline int bcsp_header_ack(const std::uint8_t* header) { return (header[0] >> 3) & 0x07; }
inline int bcsp_header_crc_present(const std::uint8_t* header) { return (header[0] >> 6) & 0x01; }
inline int bcsp_header_reliable(const std::uint8_t* header) { return (header[0] >> 7) & 0x01; }
inline int bcsp_header_channel(const std::uint8_t* header) { return header[1] & 0x0F; }
inline int bcsp_header_payload_length(const std::uint8_t* header)
{
    return (header[1] >> 4) | (header[2] << 4);
}

// CRC register preset; the CRC is CRC-16/MCRF4XX (reflected CCITT polynomial,
// no final XOR) over header and payload, bit-reversed before sending.
inline constexpr std::uint16_t BCSP_CRC_INITIAL = 0xFFFF;

// Folds one byte into the CRC register, low nibble first.
std::uint16_t bcsp_crc_update(std::uint8_t byte, std::uint16_t crc);

// The register with its 16 bits in reverse order: the value sent on the wire.
std::uint16_t bcsp_crc_reverse(std::uint16_t crc);

// Index of the link-establishment message whose payload equals the first 4
// bytes of payload, or LE_MESSAGE_NONE. A payload shorter than 4 bytes matches
// nothing, so no byte beyond length is read.
std::uint8_t bcsp_match_le_message(const std::uint8_t* payload, int length);
