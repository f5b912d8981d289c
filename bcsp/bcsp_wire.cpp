// BCSP wire format: header checksum, CRC and link-establishment message match.
#include "bcsp/bcsp_wire.h"

namespace {

// Nibble table of the reflected CCITT polynomial: T[i] = i * 0x1081.
constexpr std::array<std::uint16_t, 16> make_crc_table()
{
    std::array<std::uint16_t, 16> table{};
    for (int i = 0; i < 16; ++i) {
        table[static_cast<std::size_t>(i)] = static_cast<std::uint16_t>(i * 0x1081);
    }
    return table;
}

constexpr std::array<std::uint16_t, 16> BCSP_CRC_TABLE = make_crc_table();

}  // namespace

std::uint8_t bcsp_header_checksum(std::uint8_t byte0, std::uint8_t byte1, std::uint8_t byte2)
{
    return static_cast<std::uint8_t>(0xFF - ((byte0 + byte1 + byte2) & 0xFF));
}

void bcsp_header_build(std::uint8_t* header, int reliable, int seq, int ack, int channel, int length)
{
    header[0] = static_cast<std::uint8_t>((reliable ? BCSP_HEADER_RELIABLE : 0) | BCSP_HEADER_CRC_PRESENT |
                                          ((ack & 0x07) << 3) | (seq & 0x07));
    header[1] = static_cast<std::uint8_t>((channel & 0x0F) | ((length & 0x0F) << 4));
    header[2] = static_cast<std::uint8_t>((length >> 4) & 0xFF);
    header[3] = bcsp_header_checksum(header[0], header[1], header[2]);
}

std::uint16_t bcsp_crc_update(std::uint8_t byte, std::uint16_t crc)
{
    crc = static_cast<std::uint16_t>((crc >> 4) ^ BCSP_CRC_TABLE[(crc ^ byte) & 0x0F]);
    crc = static_cast<std::uint16_t>((crc >> 4) ^ BCSP_CRC_TABLE[(crc ^ (byte >> 4)) & 0x0F]);
    return crc;
}

std::uint16_t bcsp_crc_reverse(std::uint16_t crc)
{
    std::uint16_t reversed = 0;
    for (int bit = 0; bit < 16; ++bit) {
        reversed = static_cast<std::uint16_t>((reversed << 1) | (crc & 0x01));
        crc = static_cast<std::uint16_t>(crc >> 1);
    }
    return reversed;
}

std::uint8_t bcsp_match_le_message(const std::uint8_t* payload, int length)
{
    if (payload == nullptr || length < BCSP_LE_PAYLOAD_BYTES) {
        return LE_MESSAGE_NONE;
    }
    for (int index = 0; index < BCSP_LE_MESSAGE_COUNT; ++index) {
        const auto& message = BCSP_LE_PAYLOADS[static_cast<std::size_t>(index)];
        int same = 1;
        for (int i = 0; i < BCSP_LE_PAYLOAD_BYTES; ++i) {
            if (payload[i] != message[static_cast<std::size_t>(i)]) {
                same = 0;
                break;
            }
        }
        if (same) {
            return static_cast<std::uint8_t>(index);
        }
    }
    return LE_MESSAGE_NONE;
}
