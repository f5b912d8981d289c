// Engine receive path: reliable delivery and acknowledgement, retransmission,
// peer reset, and the checks every received frame must pass.
#include "tests/bcsp/bcsp_engine_fixture.h"

namespace {

using BcspDeliveryTest = BcspEngineTest;
using BcspReceiveCheckTest = BcspEngineTest;

Bytes data_frame(int reliable, int seq, int ack, int channel, const Bytes& payload)
{
    return peer_frame(PeerHeader{reliable, seq, ack, channel, 1, -1}, payload);
}

// Header and payload with a CRC over them, before escaping.
Bytes raw_with_crc(Bytes raw)
{
    const std::uint16_t crc = reference_crc(raw);
    raw.push_back(static_cast<std::uint8_t>(crc >> 8));
    raw.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    return raw;
}

Bytes received_payload(const BcspPacket& packet)
{
    return Bytes(packet.payload, packet.payload + packet.length);
}

// ---- Reliable delivery ------------------------------------------------------

TEST_F(BcspDeliveryTest, InSequenceRepeatAndGap)
{
    establish();
    poll();  // a free turn with nothing to send: quiet period running
    feed(data_frame(1, 0, 0, 2, Bytes{0x10, 0x20, 0x30}));
    std::uint8_t activity = 0;
    EXPECT_EQ(poll(&activity), 0);  // the owed ack ends the quiet period
    EXPECT_EQ(activity, ACTIVITY_RECEIVED | ACTIVITY_ACK_DUE);
    EXPECT_EQ(rx.channel, 2);
    EXPECT_EQ(rx.reliable, 1);
    EXPECT_EQ(received_payload(rx), (Bytes{0x10, 0x20, 0x30}));
    EXPECT_EQ(bcsp_engine.ack_number, 1);
    EXPECT_EQ(bcsp_engine.receive_packet, nullptr);

    const std::size_t start = uart.output.size();
    next_frame();
    EXPECT_EQ(Bytes(uart.output.begin() + static_cast<std::ptrdiff_t>(start), uart.output.end()),
              (Bytes{0xC0, 0x48, 0x00, 0x00, 0xB7, 0x5E, 0x8C, 0xC0}));

    // The same packet again: not delivered, acknowledged again with ack 1.
    arm();
    feed(data_frame(1, 0, 0, 2, Bytes{0x10, 0x20, 0x30}));
    poll(&activity);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(bcsp_engine.ack_number, 1);
    EXPECT_EQ(bcsp_engine.receive_packet, &rx);
    PeerFrame ack = next_frame();
    EXPECT_TRUE(ack.intact && ack.channel == 0 && ack.ack == 1 && ack.payload.empty());

    // A gap (seq 2 while 1 is expected): not delivered, ack stays 1.
    feed(data_frame(1, 2, 0, 2, Bytes{0x99}));
    poll(&activity);
    EXPECT_EQ(activity, 0);
    ack = next_frame();
    EXPECT_TRUE(ack.intact && ack.channel == 0 && ack.ack == 1);

    feed(data_frame(1, 1, 0, 2, Bytes{0x44}));
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED | ACTIVITY_ACK_DUE);
    EXPECT_EQ(received_payload(rx), Bytes{0x44});
    EXPECT_EQ(bcsp_engine.ack_number, 2);
}

TEST_F(BcspDeliveryTest, UnreliablePacketIsDeliveredWithoutAck)
{
    establish();
    feed(data_frame(0, 3, 0, 5, Bytes{0xAB}));
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(rx.channel, 5);
    EXPECT_EQ(rx.reliable, 0);
    EXPECT_EQ(received_payload(rx), Bytes{0xAB});
    EXPECT_EQ(bcsp_engine.ack_number, 0);
    EXPECT_EQ(bcsp_engine.send_ack, 0);
}

TEST_F(BcspDeliveryTest, BytesAfterADeliveryWaitForTheNextDescriptor)
{
    establish();
    const Bytes second = data_frame(0, 0, 0, 2, Bytes{0x02});
    feed(data_frame(0, 0, 0, 2, Bytes{0x01}));
    feed(second);
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(uart.input.size(), second.size());
    poll(&activity);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(uart.input.size(), second.size());
    arm();
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(received_payload(rx), Bytes{0x02});
}

TEST_F(BcspDeliveryTest, AnyIntactFrameWithANewAckReleasesTheOutstandingPacket)
{
    establish();
    std::uint8_t payload[] = {0x01, 0x02, 0x03};
    BcspPacket packet{2, 1, 1, 3, payload};
    std::uint8_t activity = 0;

    // An acknowledgement packet on channel 0.
    bcsp_send_packet(&packet);
    EXPECT_EQ(next_frame().seq, 0);
    feed(peer_ack_frame(0));  // ack equal to tx_seq: nothing acknowledged
    poll(&activity);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(bcsp_engine.send_packet, &packet);
    feed(peer_ack_frame(1));
    EXPECT_EQ(poll(&activity), 0);
    EXPECT_EQ(activity, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.send_packet, nullptr);
    EXPECT_EQ(bcsp_engine.tx_seq, 1);

    // A data packet on another channel carrying ack 2.
    bcsp_send_packet(&packet);
    EXPECT_EQ(next_frame().seq, 1);
    feed(data_frame(0, 0, 2, 7, Bytes{0x55}));
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_SENT | ACTIVITY_RECEIVED);
    EXPECT_EQ(bcsp_engine.tx_seq, 2);

    // A link-establishment frame: its ack field is 0, which differs from 2.
    arm();
    bcsp_send_packet(&packet);
    EXPECT_EQ(next_frame().seq, 2);
    feed(peer_le_frame(LE_MESSAGE_CONF));
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.tx_seq, 3);
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_CONF_RESP);
}

TEST_F(BcspDeliveryTest, ReliablePacketRepeatsEveryQuietPeriodUntilAcknowledged)
{
    establish();
    std::uint8_t payload[] = {0x01, 0x02, 0x03};
    BcspPacket packet{2, 1, 1, 3, payload};
    bcsp_send_packet(&packet);

    // 11 polls per frame (one escape), then 25 quiet polls; stop one poll
    // before the fourth opening.
    std::vector<int> openings;
    for (int call = 1; call < 3 * 36; ++call) {
        poll();
        if (take_output() == Bytes{0xC0}) {
            openings.push_back(call);
        }
    }
    EXPECT_EQ(openings, (std::vector<int>{1, 37, 73}));

    // A retransmission carries the current ack_number.
    feed(data_frame(1, 0, 0, 4, Bytes{0x66}));
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED | ACTIVITY_ACK_DUE);
    arm();
    PeerFrame frame = next_frame();
    ASSERT_TRUE(frame.intact);
    EXPECT_EQ(frame.channel, 2);  // the data header carries the ack, no separate ack packet
    EXPECT_EQ(frame.seq, 0);
    EXPECT_EQ(frame.ack, 1);
    EXPECT_EQ(bcsp_engine.send_ack, 0);

    feed(peer_ack_frame(1));
    for (int i = 0; i < 200; ++i) {
        poll();
    }
    EXPECT_EQ(take_output(), Bytes{0xC0});  // only the last frame's closing delimiter
    EXPECT_EQ(bcsp_engine.send_packet, nullptr);
}

// A SYNC while established is a peer reset. Its ack field (0) must not count
// as acknowledging the packet the peer never got: that packet is kept and
// sent again, with seq 0, on the new link.
TEST_F(BcspDeliveryTest, PeerResetKeepsTheOutstandingPacketAndRestartsLinkEstablishment)
{
    establish();
    std::uint8_t first_payload[] = {0x01};
    BcspPacket first{2, 1, 1, 1, first_payload};
    bcsp_send_packet(&first);
    next_frame();
    feed(data_frame(1, 0, 1, 2, Bytes{0x10}));  // acknowledges ours and brings one
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_SENT | ACTIVITY_RECEIVED | ACTIVITY_ACK_DUE);
    arm();
    EXPECT_EQ(bcsp_engine.tx_seq, 1);
    EXPECT_EQ(bcsp_engine.ack_number, 1);

    std::uint8_t second_payload[] = {0x02, 0x03};
    BcspPacket second{2, 1, 1, 2, second_payload};
    bcsp_send_packet(&second);
    EXPECT_EQ(next_frame().seq, 1);
    feed(peer_le_frame(LE_MESSAGE_SYNC));
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_PEER_RESET);
    EXPECT_EQ(bcsp_engine.tx_seq, 0);
    EXPECT_EQ(bcsp_engine.ack_number, 0);
    EXPECT_EQ(bcsp_engine.le_state, LINK_UNSYNCED);
    EXPECT_EQ(bcsp_engine.send_packet, &second);
    EXPECT_EQ(bcsp_engine.receive_packet, &rx);
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_SYNC);

    feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
    feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    PeerFrame frame = next_frame();
    for (int i = 0; i < 10 && peer_le_message(frame) >= 0; ++i) {
        frame = next_frame();
    }
    ASSERT_TRUE(frame.intact);
    EXPECT_EQ(frame.seq, 0);
    EXPECT_EQ(frame.ack, 0);
    EXPECT_EQ(frame.payload, (Bytes{0x02, 0x03}));
}

TEST_F(BcspDeliveryTest, DataBeforeLinkEstablishedIsDroppedButItsAckCounts)
{
    std::uint8_t payload[] = {0x01};
    BcspPacket packet{2, 1, 1, 1, payload};
    bcsp_send_packet(&packet);
    feed(data_frame(1, 0, 1, 2, Bytes{0x10}));
    std::uint8_t seen = 0;
    for (int i = 0; i < 5; ++i) {
        std::uint8_t activity = 0;
        poll(&activity);
        seen |= activity;
    }
    EXPECT_EQ(seen, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.tx_seq, 1);
    EXPECT_EQ(bcsp_engine.ack_number, 0);
    EXPECT_EQ(bcsp_engine.receive_packet, &rx);
}

// ---- Receive checks ---------------------------------------------------------

TEST_F(BcspReceiveCheckTest, HeaderSummingToFEIsRejectedEvenWithAMatchingCrc)
{
    establish();
    Bytes raw = peer_header_bytes(PeerHeader{0, 0, 0, 2, 1, -1}, 1);
    raw[3] = static_cast<std::uint8_t>(raw[3] - 1);
    raw.push_back(0x42);
    feed(peer_wrap(raw_with_crc(raw)));
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(bcsp_engine.send_ack, 1);
    const PeerFrame ack = next_frame();
    EXPECT_TRUE(ack.intact && ack.channel == 0 && ack.ack == 0);
}

TEST_F(BcspReceiveCheckTest, LengthAndCrcMustMatchTheHeader)
{
    establish();
    const Bytes payload{0x01, 0x02, 0x03, 0x04};
    Bytes bad_crc = raw_with_crc([&] {
        Bytes raw = peer_header_bytes(PeerHeader{0, 0, 0, 2, 1, -1}, 4);
        append(raw, payload);
        return raw;
    }());
    bad_crc.back() ^= 0x01;
    const std::vector<Bytes> damaged{
        peer_wrap(bad_crc),
        peer_frame(PeerHeader{0, 0, 0, 2, 1, 3}, payload),  // one byte more than the header says
        peer_frame(PeerHeader{0, 0, 0, 2, 1, 5}, payload),  // one byte fewer
        peer_frame(PeerHeader{0, 0, 0, 2, 0, 3}, payload),  // no CRC, one byte more
        peer_frame(PeerHeader{0, 0, 0, 2, 0, 5}, payload),  // no CRC, one byte fewer
    };
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        bcsp_engine.send_ack = 0;
        feed(damaged[i]);
        std::uint8_t activity = 0;
        poll(&activity);
        EXPECT_EQ(activity, 0) << "frame " << i;
        EXPECT_EQ(bcsp_engine.send_ack, 1) << "frame " << i;
        EXPECT_EQ(bcsp_engine.receive_packet, &rx) << "frame " << i;
    }

    feed(peer_frame(PeerHeader{0, 0, 0, 2, 0, -1}, payload));  // without CRC, right length
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(received_payload(rx), payload);
}

TEST_F(BcspReceiveCheckTest, CapacityCountsTheCrcAndIsNeverExceeded)
{
    establish();
    // 512 bytes of capacity followed by guard bytes the engine must never touch.
    std::vector<std::uint8_t> buffer(RX_CAPACITY + 16, 0xEE);
    BcspPacket big{};
    big.payload = buffer.data();
    big.length = RX_CAPACITY;
    bcsp_receive_packet(&big);

    Bytes payload(510);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i * 7);
    }
    feed(data_frame(0, 0, 0, 2, payload));
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(big.length, 510);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 510), payload);

    for (std::size_t extra : {1u, 2u, 100u}) {
        big.length = RX_CAPACITY;
        bcsp_receive_packet(&big);
        Bytes longer(510 + extra, 0x5A);
        feed(data_frame(0, 0, 0, 2, longer));  // 511 with CRC no longer fits
        poll(&activity);
        EXPECT_EQ(activity, 0) << extra;
        EXPECT_EQ(bcsp_engine.receive_packet, &big) << extra;
    }
    feed(peer_frame(PeerHeader{0, 0, 0, 2, 0, -1}, Bytes(512, 0x33)));  // 512 without CRC fits
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(Bytes(buffer.begin() + RX_CAPACITY, buffer.end()), Bytes(16, 0xEE));
}

TEST_F(BcspReceiveCheckTest, TinyBufferTakesNoMoreThanItsCapacity)
{
    establish();
    std::vector<std::uint8_t> buffer(8, 0xEE);
    BcspPacket tiny{};
    tiny.payload = buffer.data();
    tiny.length = 3;
    bcsp_receive_packet(&tiny);
    feed(data_frame(0, 0, 0, 2, Bytes{0x01, 0x02, 0x03, 0x04}));
    feed(data_frame(0, 0, 0, 2, Bytes{0x05, 0x06}));  // 2 + CRC is 4: still too long
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(Bytes(buffer.begin() + 3, buffer.end()), Bytes(5, 0xEE));

    feed(data_frame(0, 0, 0, 2, Bytes{0x07}));  // 1 + CRC fits in 3
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(tiny.length, 1);
    EXPECT_EQ(buffer[0], 0x07);
}

// A link-establishment payload shorter than 4 bytes matches nothing, even
// when the buffer still holds the rest of a message from an earlier frame.
TEST_F(BcspReceiveCheckTest, ShortLinkPayloadDoesNotMatchLeftoverBytes)
{
    feed(peer_frame(PeerHeader{0, 0, 0, 2, 0, -1}, Bytes{0xDA, 0xDC, 0xED, 0xED}));  // dropped: not established
    feed(peer_frame(PeerHeader{0, 0, 0, 1, 0, -1}, Bytes{0xDA, 0xDC}));
    poll();  // opening delimiter only
    poll();
    EXPECT_TRUE(uart.input.empty());
    EXPECT_EQ(bcsp_engine.le_event, LE_EVENT_NONE);
}

TEST_F(BcspReceiveCheckTest, FewerThanFourBytesAreIgnoredWithoutReaction)
{
    establish();
    feed(Bytes{0xC0, 0x01, 0x02, 0x03, 0xC0, 0xC0});
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(bcsp_engine.send_ack, 0);
    EXPECT_EQ(bcsp_engine.rx_index, -4);
    feed(data_frame(0, 0, 0, 2, Bytes{0x09}));
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
}

TEST_F(BcspReceiveCheckTest, BytesBeforeTheFirstDelimiterFormARejectedFrame)
{
    establish();
    feed(Bytes{0x11, 0x22, 0x33, 0x44, 0x55});
    feed(data_frame(0, 0, 0, 2, Bytes{0x09}));
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(bcsp_engine.send_ack, 1);  // the leading bytes failed the header check
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(received_payload(rx), Bytes{0x09});
}

// 0xDB followed by neither 0xDC nor 0xDD: the second byte is stored unchanged
// and never taken as a delimiter; the usual checks judge the frame.
TEST_F(BcspReceiveCheckTest, InvalidEscapeStoresTheByteUnchanged)
{
    establish();
    Bytes frame = data_frame(0, 0, 0, 2, Bytes{0x41});
    Bytes wire = frame;
    wire.insert(wire.begin() + 5, 0xDB);  // DB 41 instead of 41
    ASSERT_EQ(wire[6], 0x41);
    feed(wire);
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(received_payload(rx), Bytes{0x41});

    // DB C0 inside a frame: the C0 is data, not the end of the frame.
    arm();
    frame = data_frame(0, 0, 0, 2, Bytes{0xC0, 0x07});
    ASSERT_EQ(frame[5], 0xDB);
    ASSERT_EQ(frame[6], 0xDC);
    wire = frame;
    wire[6] = 0xC0;
    feed(wire);
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(received_payload(rx), (Bytes{0xC0, 0x07}));

    // DB 41 where DB DC was meant: 0x41 is stored, and the CRC rejects the frame.
    arm();
    wire = frame;
    wire[6] = 0x41;
    feed(wire);
    poll(&activity);
    EXPECT_EQ(activity, 0);
    EXPECT_EQ(bcsp_engine.send_ack, 1);
}

TEST_F(BcspReceiveCheckTest, WithoutAReceiveDescriptorNothingIsRead)
{
    establish();
    bcsp_receive_packet(nullptr);
    const Bytes frame = data_frame(0, 0, 0, 2, Bytes{0x01});
    feed(frame);
    std::uint8_t activity = 0;
    for (int i = 0; i < 50; ++i) {
        poll(&activity);
        EXPECT_EQ(activity, 0);
    }
    EXPECT_EQ(uart.input.size(), frame.size());
    arm();
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
}

TEST_F(BcspReceiveCheckTest, HandingADescriptorDropsAPartlyReceivedFrame)
{
    establish();
    const Bytes frame = data_frame(0, 0, 0, 2, Bytes{0x01, 0x02, 0x03});
    feed(Bytes(frame.begin(), frame.begin() + 4));
    poll();
    arm();
    feed(Bytes(frame.begin() + 4, frame.end()));  // the rest closes a short, rejected frame
    feed(data_frame(0, 0, 0, 2, Bytes{0x04}));
    std::uint8_t activity = 0;
    poll(&activity);
    EXPECT_EQ(activity, ACTIVITY_RECEIVED);
    EXPECT_EQ(received_payload(rx), Bytes{0x04});
}

}  // namespace
