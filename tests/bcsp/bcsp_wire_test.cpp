// Wire format: header checksum, CRC and link-establishment message matching.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "bcsp/bcsp_wire.h"
#include "tests/bcsp/bcsp_test_support.h"

namespace {

std::uint16_t wire_crc(const Bytes& bytes)
{
    std::uint16_t crc = BCSP_CRC_INITIAL;
    for (std::uint8_t byte : bytes) {
        crc = bcsp_crc_update(byte, crc);
    }
    return bcsp_crc_reverse(crc);
}

Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(BcspWireCrc, KnownValues)
{
    EXPECT_EQ(wire_crc(ascii("abc")), 0x5B86);
    EXPECT_EQ(wire_crc(ascii("123456789")), 0x89F6);
    EXPECT_EQ(wire_crc(Bytes{}), 0xFFFF);
}

TEST(BcspWireCrc, NibbleTableAgreesWithBitwiseCrc)
{
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes bytes(static_cast<std::size_t>(random() % 40));
        for (auto& byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        ASSERT_EQ(wire_crc(bytes), reference_crc(bytes)) << "round " << round;
    }
}

TEST(BcspWireCrc, ReverseMirrorsAllSixteenBits)
{
    EXPECT_EQ(bcsp_crc_reverse(0x0001), 0x8000);
    EXPECT_EQ(bcsp_crc_reverse(0x8000), 0x0001);
    EXPECT_EQ(bcsp_crc_reverse(0x1234), 0x2C48);
    EXPECT_EQ(bcsp_crc_reverse(0x00FF), 0xFF00);
    for (unsigned value = 0; value < 0x10000; value += 0x0F1) {
        EXPECT_EQ(bcsp_crc_reverse(bcsp_crc_reverse(static_cast<std::uint16_t>(value))), value);
    }
}

TEST(BcspWireHeader, ChecksumAndFields)
{
    EXPECT_EQ(bcsp_header_checksum(0x40, 0x41, 0x00), 0x7E);
    EXPECT_EQ(bcsp_header_checksum(0x48, 0x00, 0x00), 0xB7);
    EXPECT_EQ(bcsp_header_checksum(0xFF, 0xFF, 0x03), 0xFE);  // the sum wraps modulo 256

    std::uint8_t ack[4] = {};
    bcsp_ack_header_build(ack, 1);
    EXPECT_EQ(Bytes(ack, ack + 4), (Bytes{0x48, 0x00, 0x00, 0xB7}));

    std::uint8_t header[4] = {};
    bcsp_header_build(header, 1, 5, 6, 0x1A, 4095);  // channel keeps its low 4 bits
    EXPECT_TRUE(bcsp_header_intact(header));
    EXPECT_EQ(bcsp_header_reliable(header), 1);
    EXPECT_EQ(bcsp_header_crc_present(header), 1);
    EXPECT_EQ(bcsp_header_seq(header), 5);
    EXPECT_EQ(bcsp_header_ack(header), 6);
    EXPECT_EQ(bcsp_header_channel(header), 0x0A);
    EXPECT_EQ(bcsp_header_payload_length(header), 4095);
    EXPECT_EQ(Bytes(header, header + 4), peer_header_bytes(PeerHeader{1, 5, 6, 0x0A, 1, 4095}, 0));

    header[3] = static_cast<std::uint8_t>(header[3] - 1);  // sums to 0xFE
    EXPECT_FALSE(bcsp_header_intact(header));
}

TEST(BcspWireLeMessages, MatchFirstFourBytesInTableOrder)
{
    for (std::uint8_t index = 0; index < BCSP_LE_MESSAGE_COUNT; ++index) {
        Bytes payload(BCSP_LE_PAYLOADS[index].begin(), BCSP_LE_PAYLOADS[index].end());
        EXPECT_EQ(bcsp_match_le_message(payload.data(), 4), index);
        payload.push_back(0x55);  // longer payloads go by their first 4 bytes
        EXPECT_EQ(bcsp_match_le_message(payload.data(), 5), index);
    }
    const Bytes unknown{0xDA, 0xDC, 0xED, 0xEE};
    EXPECT_EQ(bcsp_match_le_message(unknown.data(), 4), LE_MESSAGE_NONE);
    // Fewer than 4 bytes never match, whatever lies beyond them.
    const Bytes sync{0xDA, 0xDC, 0xED, 0xED};
    EXPECT_EQ(bcsp_match_le_message(sync.data(), 3), LE_MESSAGE_NONE);
    EXPECT_EQ(bcsp_match_le_message(nullptr, 4), LE_MESSAGE_NONE);
}

}  // namespace
