// Link establishment against scripted peers: prompt, slow, repeating, early.
#include "tests/bcsp/bcsp_engine_fixture.h"

namespace {

using BcspLinkTest = BcspEngineTest;

// The prompt peer of the documented example, frame by frame and byte for byte.
TEST_F(BcspLinkTest, PromptPeerEstablishesInFiveTurns)
{
    PeerFrame turn = next_frame();  // turn 1
    EXPECT_EQ(turn.raw, (Bytes{0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A}));
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_SYNC);

    feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
    feed(peer_le_frame(LE_MESSAGE_SYNC));
    turn = next_frame();  // turn 2
    EXPECT_EQ(peer_le_message(turn), LE_MESSAGE_SYNC);
    EXPECT_EQ(bcsp_engine.le_state, LINK_SYNCED);
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_SYNC_RESP);

    turn = next_frame();  // turn 3
    EXPECT_EQ(turn.raw, (Bytes{0x40, 0x41, 0x00, 0x7E, 0xAC, 0xAF, 0xEF, 0xEE, 0xBB, 0x84}));
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_CONF);

    feed(peer_le_frame(LE_MESSAGE_CONF));
    turn = next_frame();  // turn 4
    EXPECT_EQ(turn.raw, (Bytes{0x40, 0x41, 0x00, 0x7E, 0xAD, 0xEF, 0xAC, 0xED, 0xA1, 0xA6}));
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_CONF_RESP);

    feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    std::uint8_t seen = 0;
    turn = next_frame(200, &seen);  // turn 5
    EXPECT_EQ(seen, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
    EXPECT_EQ(turn.raw, (Bytes{0x40, 0x41, 0x00, 0x7E, 0xDE, 0xAD, 0xD0, 0xD0, 0x83, 0x58}));
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_NONE);

    std::uint8_t payload[] = {0x01};
    BcspPacket packet{2, 1, 1, 1, payload};
    bcsp_send_packet(&packet);
    turn = next_frame();  // turn 6: data
    ASSERT_TRUE(turn.intact);
    EXPECT_EQ(turn.channel, 2);
}

TEST_F(BcspLinkTest, SlowPeerGetsSyncEveryFrameAndQuietPeriod)
{
    // 11 polls per SYNC frame, then 25 quiet polls: openings at polls 1, 37, 73, 109.
    std::vector<int> openings;
    for (int call = 1; call <= 119; ++call) {
        poll();
        if (take_output() == Bytes{0xC0}) {
            openings.push_back(call);
        }
    }
    EXPECT_EQ(openings, (std::vector<int>{1, 37, 73, 109}));
    Bytes four_syncs;
    for (int i = 0; i < 4; ++i) {
        append(four_syncs, peer_le_frame(LE_MESSAGE_SYNC));
    }
    EXPECT_EQ(uart.output, four_syncs);
    EXPECT_EQ(bcsp_engine.le_state, LINK_UNSYNCED);

    // The peer wakes up at last.
    feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
    feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    std::uint8_t activity = 0;
    EXPECT_EQ(poll(&activity), 0);  // in the quiet period: intact link frames end it
    EXPECT_EQ(activity, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
}

TEST_F(BcspLinkTest, RepeatedMessagesEstablishOnceAndConfIsAlwaysAnswered)
{
    std::uint8_t seen = 0;
    next_frame();
    for (int i = 0; i < 2; ++i) {
        feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
        feed(peer_le_frame(LE_MESSAGE_SYNC));
    }
    EXPECT_EQ(peer_le_message(next_frame(200, &seen)), LE_MESSAGE_SYNC);
    EXPECT_EQ(peer_le_message(next_frame(200, &seen)), LE_MESSAGE_SYNC_RESP);
    for (int i = 0; i < 2; ++i) {
        feed(peer_le_frame(LE_MESSAGE_CONF));
    }
    EXPECT_EQ(peer_le_message(next_frame(200, &seen)), LE_MESSAGE_CONF);
    for (int i = 0; i < 2; ++i) {
        feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    }
    EXPECT_EQ(peer_le_message(next_frame(200, &seen)), LE_MESSAGE_CONF_RESP);
    EXPECT_EQ(seen, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_NONE);

    // Once established, every CONF gets a CONF_RESP; a late CONF_RESP or
    // SYNC_RESP changes nothing and reports nothing.
    seen = 0;
    for (int i = 0; i < 3; ++i) {
        feed(peer_le_frame(LE_MESSAGE_CONF));
        EXPECT_EQ(peer_le_message(next_frame(200, &seen)), LE_MESSAGE_CONF_RESP);
    }
    feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
    for (int i = 0; i < 100; ++i) {
        std::uint8_t activity = 0;
        poll(&activity);
        seen |= activity;
    }
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(take_output(), Bytes{0xC0});  // only the last CONF_RESP's closing delimiter
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
}

TEST_F(BcspLinkTest, ConfBeforeSyncRespIsIgnored)
{
    next_frame();
    feed(peer_le_frame(LE_MESSAGE_CONF));  // early: the engine is not synced yet
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_SYNC);
    EXPECT_EQ(bcsp_engine.le_event, LE_EVENT_NONE);

    feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_SYNC);  // chosen before the SYNC_RESP
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_CONF);
    feed(peer_le_frame(LE_MESSAGE_CONF));  // now it counts
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_CONF);
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_CONF_RESP);
    EXPECT_EQ(bcsp_engine.le_state, LINK_SYNCED);
    feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    std::uint8_t seen = 0;
    next_frame(200, &seen);
    EXPECT_EQ(seen, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
}

TEST_F(BcspLinkTest, ConfRespWhileUnsyncedEstablishesAndCutsOffTheFrameInProgress)
{
    for (int i = 0; i < 4; ++i) {
        poll();  // C0 and three header bytes of the first SYNC
    }
    feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    std::uint8_t activity = 0;
    EXPECT_EQ(poll(&activity), 0);
    EXPECT_EQ(activity, ACTIVITY_SENT);
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
    EXPECT_EQ(bcsp_engine.tx_remaining, 0);

    EXPECT_FALSE(next_frame().intact);                           // the cut SYNC
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_SYNC);  // chosen before, sent whole
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_NONE);
}

// A CONF event left over from a previous link would make the first SYNC pick
// no next message, and link establishment would stall after one SYNC.
TEST_F(BcspLinkTest, StaleConfEventNoLongerStallsLinkEstablishment)
{
    bcsp_engine.le_event = LE_EVENT_CONF;
    bcsp_engine.send_ack = 1;
    bcsp_engine.tx_escape = SLIP_ESC_END;
    bcsp_engine.rx_escape = 1;
    bcsp_initialize();
    EXPECT_EQ(bcsp_engine.le_event, LE_EVENT_NONE);
    EXPECT_EQ(bcsp_engine.send_ack, 0);
    EXPECT_EQ(bcsp_engine.tx_escape, 0);
    EXPECT_EQ(bcsp_engine.rx_escape, 0);
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_SYNC);
    EXPECT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_SYNC);
    EXPECT_EQ(peer_le_message(next_frame()), LE_MESSAGE_SYNC);

    feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
    feed(peer_le_frame(LE_MESSAGE_CONF));
    std::uint8_t seen = 0;
    for (int i = 0; i < 4 && bcsp_engine.le_state != LINK_ESTABLISHED; ++i) {
        if (peer_le_message(next_frame(200, &seen)) == LE_MESSAGE_CONF) {
            feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
        }
    }
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
    EXPECT_TRUE(seen & ACTIVITY_SENT);
}

TEST_F(BcspLinkTest, DataWaitsUntilLinkEstablishmentMessagesAreDone)
{
    std::uint8_t payload[] = {0x07, 0x08};
    BcspPacket packet{2, 1, 1, 2, payload};
    bcsp_send_packet(&packet);
    feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
    feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
    int link_frames = 0;
    PeerFrame frame = next_frame();
    while (peer_le_message(frame) >= 0 && link_frames < 10) {
        ++link_frames;
        frame = next_frame();
    }
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
    EXPECT_GE(link_frames, 1);
    ASSERT_TRUE(frame.intact);
    EXPECT_EQ(frame.channel, 2);
    EXPECT_EQ(frame.payload, (Bytes{0x07, 0x08}));
}

}  // namespace
