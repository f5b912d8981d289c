// Engine transmit path: one byte per poll, escaping across calls, the quiet
// period, and frames cut off or emptied.
#include "tests/bcsp/bcsp_engine_fixture.h"

namespace {

using BcspTransmitTest = BcspEngineTest;

const Bytes SYNC_FRAME{0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0};

TEST_F(BcspTransmitTest, FirstSyncAfterInitializeGoesOutOneBytePerPoll)
{
    feed(Bytes{0x11});  // must stay unread by the opening call
    std::uint8_t activity = 0xFF;
    EXPECT_EQ(poll(&activity), 0);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(take_output(), Bytes{0xC0});
    EXPECT_EQ(uart.input.size(), 1u);
    uart.input.clear();

    for (std::size_t i = 1; i + 2 < SYNC_FRAME.size(); ++i) {
        EXPECT_EQ(poll(), 0) << "byte " << i;
        EXPECT_EQ(take_output(), Bytes{SYNC_FRAME[i]}) << "byte " << i;
    }
    EXPECT_EQ(poll(&activity), BCSP_QUIET_POLLS);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(take_output(), (Bytes{0x7A, 0xC0}));
    EXPECT_EQ(uart.output, SYNC_FRAME);

    for (int expected = BCSP_QUIET_POLLS - 1; expected >= 0; --expected) {
        EXPECT_EQ(poll(), expected);
        EXPECT_TRUE(take_output().empty());
    }
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(take_output(), Bytes{0xC0});  // the next SYNC opens
}

TEST_F(BcspTransmitTest, ReliablePacketEscapesItsHeaderAcrossTwoPolls)
{
    establish();
    std::uint8_t payload[] = {0x01, 0x02, 0x03};
    BcspPacket packet{2, 1, 1, 3, payload};
    bcsp_send_packet(&packet);

    const std::vector<Bytes> per_poll{{0xC0}, {0xDB}, {0xDC}, {0x32}, {0x00}, {0x0D},
                                      {0x01}, {0x02}, {0x03}, {0x56}, {0xB4, 0xC0}};
    for (std::size_t i = 0; i < per_poll.size(); ++i) {
        const std::uint8_t hint = poll();
        EXPECT_EQ(take_output(), per_poll[i]) << "poll " << i;
        EXPECT_EQ(hint, i + 1 == per_poll.size() ? BCSP_QUIET_POLLS : 0) << "poll " << i;
    }
    EXPECT_EQ(bcsp_engine.send_packet, &packet);  // held until acknowledged
}

TEST_F(BcspTransmitTest, EscapedLastByteAlsoWritesTheClosingDelimiter)
{
    establish();
    // Find a 2-byte payload whose CRC low byte, the frame's last, needs escaping.
    std::uint8_t payload[2] = {};
    const PeerHeader header{0, 0, 0, 3, 1, -1};
    int found = 0;
    for (int value = 0; value < 0x10000 && !found; ++value) {
        payload[0] = static_cast<std::uint8_t>(value >> 8);
        payload[1] = static_cast<std::uint8_t>(value);
        Bytes covered = peer_header_bytes(header, 2);
        append(covered, Bytes(payload, payload + 2));
        const std::uint16_t crc = reference_crc(covered);
        const int high_plain = (crc >> 8) != 0xC0 && (crc >> 8) != 0xDB;
        found = (crc & 0xFF) == 0xDB && high_plain && peer_wrap(covered).size() == 8;
    }
    ASSERT_TRUE(found);
    BcspPacket packet{3, 0, 1, 2, payload};
    bcsp_send_packet(&packet);

    std::uint8_t activity = 0;
    for (int i = 0; i < 8; ++i) {  // C0, 4 header bytes, 2 payload bytes, CRC high byte
        EXPECT_EQ(poll(&activity), 0);
        EXPECT_EQ(activity, 0);
    }
    take_output();
    EXPECT_EQ(poll(), 0);
    EXPECT_EQ(take_output(), Bytes{0xDB});
    EXPECT_EQ(poll(&activity), BCSP_QUIET_POLLS);
    EXPECT_EQ(take_output(), (Bytes{0xDD, 0xC0}));
    EXPECT_EQ(activity, ACTIVITY_SENT);  // unreliable: done at its closing delimiter
}

TEST_F(BcspTransmitTest, SendPacketCutsOffTheFrameInProgress)
{
    establish();
    std::uint8_t first_payload[10] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
    std::uint8_t second_payload[2] = {0x22, 0x33};
    BcspPacket first{2, 1, 1, 10, first_payload};
    BcspPacket second{4, 1, 1, 2, second_payload};
    bcsp_send_packet(&first);
    for (int i = 0; i < 8; ++i) {
        poll();
    }
    bcsp_send_packet(&second);
    EXPECT_EQ(bcsp_engine.tx_remaining, 0);

    const PeerFrame cut = next_frame();
    EXPECT_FALSE(cut.intact);
    const PeerFrame next = next_frame();
    ASSERT_TRUE(next.intact);
    EXPECT_EQ(next.channel, 4);
    EXPECT_EQ(next.seq, 0);
    EXPECT_EQ(next.payload, Bytes(second_payload, second_payload + 2));
}

// A frame cut off between the two bytes of an escape pair must not leave a
// bare 0xDB in front of the next opening delimiter, which the peer would take
// as an escaped byte, losing the new frame.
TEST_F(BcspTransmitTest, CutOffInsideAnEscapePairFinishesThePairFirst)
{
    establish();
    std::uint8_t first_payload[1] = {0x55};
    std::uint8_t second_payload[1] = {0x66};
    BcspPacket first{2, 1, 1, 1, first_payload};  // header byte 0 is 0xC0
    BcspPacket second{2, 0, 1, 1, second_payload};
    bcsp_send_packet(&first);
    poll();
    poll();
    EXPECT_EQ(take_output(), (Bytes{0xC0, 0xDB}));
    bcsp_send_packet(&second);
    poll();
    EXPECT_EQ(take_output(), (Bytes{0xDC, 0xC0}));
    consumed = uart.output.size() - 1;  // that 0xC0 opens the new frame

    const PeerFrame next = next_frame();
    ASSERT_TRUE(next.intact);
    EXPECT_EQ(next.payload, Bytes{0x66});
}

TEST_F(BcspTransmitTest, EmptyPayloadWithPointerIsSentAsNoPayload)
{
    establish();
    std::uint8_t unused = 0x77;
    BcspPacket packet{3, 0, 1, 0, &unused};
    bcsp_send_packet(&packet);
    std::uint8_t seen = 0;
    const PeerFrame frame = next_frame(50, &seen);
    ASSERT_TRUE(frame.intact);
    EXPECT_EQ(frame.channel, 3);
    EXPECT_TRUE(frame.payload.empty());
    EXPECT_EQ(frame.raw.size(), 6u);  // header and CRC only
    EXPECT_EQ(seen, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.send_packet, nullptr);
}

TEST_F(BcspTransmitTest, UnreliablePacketIsSentOnce)
{
    establish();
    std::uint8_t payload[] = {0x42};
    BcspPacket packet{5, 0, 1, 1, payload};
    bcsp_send_packet(&packet);
    std::uint8_t seen = 0;
    const PeerFrame frame = next_frame(50, &seen);
    ASSERT_TRUE(frame.intact);
    EXPECT_EQ(frame.reliable, 0);
    EXPECT_EQ(seen, ACTIVITY_SENT);
    for (int i = 0; i < 200; ++i) {
        poll();
    }
    EXPECT_EQ(take_output(), Bytes{0xC0});  // only the frame's own closing delimiter
}

TEST_F(BcspTransmitTest, UnreliablePacketIsLetGoByALinkEstablishmentFrameThatGoesFirst)
{
    std::uint8_t payload[] = {0x42};
    BcspPacket packet{5, 0, 1, 1, payload};
    bcsp_send_packet(&packet);
    std::uint8_t seen = 0;
    const PeerFrame frame = next_frame(50, &seen);
    EXPECT_EQ(peer_le_message(frame), LE_MESSAGE_SYNC);
    EXPECT_EQ(seen, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.send_packet, nullptr);
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_SYNC);
}

}  // namespace
