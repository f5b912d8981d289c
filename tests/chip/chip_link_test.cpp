// The chip's BCSP link: byte-exact frames, link establishment, reliable
// sequencing, acknowledgement and damaged frames.
#include "chip_test_support.h"

#include <cstring>

#include "sim/chip_link.h"

namespace {

Bytes ascii(const char* text)
{
    return Bytes(text, text + std::strlen(text));
}

// The test encoder itself, against the documented examples; everything else
// relies on it.
TEST(ChipWireFormat, TestEncoderMatchesDocumentedFrames)
{
    EXPECT_EQ(test_crc(ascii("abc")), 0x5B86);
    EXPECT_EQ(test_crc(ascii("123456789")), 0x89F6);
    EXPECT_EQ(test_frame(0, 0, 0, 1, {0xDA, 0xDC, 0xED, 0xED}), FRAME_SYNC);
    EXPECT_EQ(test_frame(0, 0, 0, 1, {0xDE, 0xAD, 0xD0, 0xD0}), FRAME_CONF_RESP);
    EXPECT_EQ(test_frame(0, 0, 1, 0, {}), (Bytes{0xC0, 0x48, 0x00, 0x00, 0xB7, 0x5E, 0x8C, 0xC0}));
    EXPECT_EQ(test_frame(1, 0, 0, 2, {0x01, 0x02, 0x03}),
              (Bytes{0xC0, 0xDB, 0xDC, 0x32, 0x00, 0x0D, 0x01, 0x02, 0x03, 0x56, 0xB4, 0xC0}));
}

// The chip's own CRC agrees with the independent one, over bytes that need
// escaping too.
TEST(ChipWireFormat, ChipCrcAgreesWithTestCrc)
{
    EXPECT_EQ(chip_link_crc(reinterpret_cast<const std::uint8_t*>("abc"), 3), 0x5B86);
    EXPECT_EQ(chip_link_crc(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x89F6);
    Bytes odd = {0xC0, 0xDB, 0xDC, 0xDD, 0x00, 0xFF};
    EXPECT_EQ(chip_link_crc(odd.data(), static_cast<int>(odd.size())), test_crc(odd));
}

using ChipLinkTest = ChipRig;

TEST_F(ChipLinkTest, PowerOnSendsSyncAndRepeatsItUntilAnswered)
{
    create();
    EXPECT_EQ(drain(), Bytes{}) << "nothing before power-on";
    chip_power_on(chip, now);
    EXPECT_EQ(chip_next_event_ms(chip), 0u);
    EXPECT_EQ(drain(), FRAME_SYNC);
    // The repeat interval counts from the moment the frame left.
    EXPECT_EQ(chip_next_event_ms(chip), CHIP_LINK_LE_RETRANSMIT_MS);
    now = CHIP_LINK_LE_RETRANSMIT_MS - 1;
    EXPECT_EQ(drain(), Bytes{});
    now = CHIP_LINK_LE_RETRANSMIT_MS;
    EXPECT_EQ(drain(), FRAME_SYNC);
    now = 2 * CHIP_LINK_LE_RETRANSMIT_MS;
    EXPECT_EQ(drain(), FRAME_SYNC);
    EXPECT_EQ(events("tx").size(), 3u);
    EXPECT_EQ(event_number(events("tx")[2], "retry"), 1);
}

TEST_F(ChipLinkTest, AnswersSyncWithSyncRespByteExact)
{
    create();
    chip_power_on(chip, now);
    drain();
    feed(FRAME_SYNC);
    EXPECT_EQ(drain(), FRAME_SYNC_RESP);
}

TEST_F(ChipLinkTest, WholeLinkEstablishment)
{
    create();
    chip_power_on(chip, now);
    EXPECT_EQ(drain(), FRAME_SYNC);
    now = 10;
    // CONF before the chip is synced means nothing to it yet.
    feed(FRAME_CONF);
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_EQ(events("ignored").size(), 1u);
    // The host's SYNC_RESP syncs the chip: it sends CONF at once...
    feed(FRAME_SYNC_RESP);
    EXPECT_EQ(drain(), FRAME_CONF);
    EXPECT_EQ(events("link_synced").size(), 1u);
    // ...no more SYNC, and CONF again while unanswered.
    now = 10 + CHIP_LINK_LE_RETRANSMIT_MS;
    EXPECT_EQ(drain(), FRAME_CONF);
    feed(FRAME_SYNC);
    EXPECT_EQ(drain(), FRAME_SYNC_RESP);
    feed(FRAME_CONF);
    EXPECT_EQ(drain(), FRAME_CONF_RESP);
    feed(FRAME_CONF_RESP);
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_EQ(events("link_established").size(), 1u);
    // Established: no timer left, but CONF is still answered.
    EXPECT_EQ(chip_next_event_ms(chip), UINT64_MAX);
    now += 10 * CHIP_LINK_LE_RETRANSMIT_MS;
    EXPECT_EQ(drain(), Bytes{});
    feed(FRAME_CONF);
    EXPECT_EQ(drain(), FRAME_CONF_RESP);
}

TEST_F(ChipLinkTest, DataBeforeEstablishmentIsDroppedUnacknowledged)
{
    create();
    chip_power_on(chip, now);
    drain();
    feed(FRAME_SYNC_RESP);
    drain();
    std::vector<TestFrame> f = exchange(test_frame(1, 0, 0, 2, test_bccmd(0, 0, 0x2819, {})));
    EXPECT_TRUE(f.empty());
    EXPECT_EQ(events("bccmd").size(), 0u);
    ASSERT_EQ(events("ignored").size(), 1u);
    EXPECT_NE(events("ignored")[0].find("link_not_established"), std::string::npos);
}

TEST_F(ChipLinkTest, SyncWhileEstablishedRestartsTheLink)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    request(test_bccmd(0, 0, 0x2819, {}));
    request(test_bccmd(0, 1, 0x2819, {}));
    // The host restarted: the chip starts over with SYNC and answers it.
    std::vector<TestFrame> f = exchange(FRAME_SYNC);
    EXPECT_EQ(events("peer_reset").size(), 1u);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(test_le_name(f[0]), "SYNC");
    EXPECT_EQ(test_le_name(f[1]), "SYNC_RESP");
    // Sequence numbers are back at 0 on both sides.
    exchange(FRAME_SYNC_RESP);
    exchange(FRAME_CONF);
    exchange(FRAME_CONF_RESP);
    host_seq = 0;
    host_ack = 0;
    f = request(test_bccmd(0, 2, 0x2819, {}));
    std::optional<TestFrame> response = find_bccmd(f);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->seq, 0);
    EXPECT_EQ(response->ack, 1);
}

TEST_F(ChipLinkTest, ReliableResponseRepeatsUntilAcknowledged)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    std::vector<TestFrame> f = request(test_bccmd(0, 0, 0x2819, {}));
    std::optional<TestFrame> response = find_bccmd(f);
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->reliable);
    EXPECT_TRUE(response->crc_present);
    EXPECT_EQ(response->seq, 0);
    Bytes first = response->payload;

    now += CHIP_LINK_RELIABLE_RETRANSMIT_MS - 1;
    EXPECT_EQ(drain(), Bytes{});
    now += 1;
    f = test_decode(drain());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].seq, 0);
    EXPECT_EQ(f[0].payload, first);

    // An acknowledgement that restates the old number releases nothing.
    feed(test_frame(0, 0, 0, 0, {}));
    now += CHIP_LINK_RELIABLE_RETRANSMIT_MS;
    EXPECT_EQ(test_decode(drain()).size(), 1u);

    // A bare acknowledgement with ack 1 releases it: no more repeats.
    feed(test_frame(0, 0, 1, 0, {}));
    EXPECT_EQ(events("acked").size(), 1u);
    EXPECT_EQ(chip_next_event_ms(chip), UINT64_MAX);
    now += 10 * CHIP_LINK_RELIABLE_RETRANSMIT_MS;
    EXPECT_EQ(drain(), Bytes{});

    // The next response uses seq 1.
    host_ack = 1;
    f = request(test_bccmd(0, 1, 0x2819, {}));
    ASSERT_TRUE(find_bccmd(f));
    EXPECT_EQ(find_bccmd(f)->seq, 1);
}

TEST_F(ChipLinkTest, AckCarriedByTheHostsNextRequestReleasesTheResponse)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    request(test_bccmd(0, 0, 0x2819, {}));
    // host_ack is now 1: the next request's header acknowledges the response.
    request(test_bccmd(0, 1, 0x2819, {}));
    ASSERT_EQ(events("acked").size(), 1u);
    EXPECT_EQ(event_number(events("acked")[0], "seq"), 0);
}

TEST_F(ChipLinkTest, RepeatIsAcknowledgedAgainButNotProcessedTwice)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    Bytes frame = test_frame(1, 0, 0, 2, test_bccmd(2, 0, 0x7003, {0x01F9, 1, 0, 0x0004}));
    std::vector<TestFrame> f = exchange(frame);
    ASSERT_TRUE(find_bccmd(f));
    f = exchange(frame);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].channel, 0);
    EXPECT_EQ(f[0].ack, 1);
    EXPECT_TRUE(f[0].payload.empty());
    EXPECT_EQ(events("ps_write").size(), 1u);
    EXPECT_EQ(events("duplicate").size(), 1u);
}

TEST_F(ChipLinkTest, OutOfSequencePacketIsNotProcessed)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    std::vector<TestFrame> f = exchange(test_frame(1, 3, 0, 2, test_bccmd(0, 0, 0x2819, {})));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].ack, 0) << "the acknowledgement restates the number still expected";
    EXPECT_EQ(events("bccmd").size(), 0u);
    EXPECT_EQ(events("out_of_sequence").size(), 1u);
}

TEST_F(ChipLinkTest, FrameWithoutCrcIsAccepted)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    std::vector<TestFrame> f = exchange(test_frame(1, 0, 0, 2, test_bccmd(0, 0, 0x2819, {}), false));
    std::optional<TestFrame> response = find_bccmd(f);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->ack, 1);
}

TEST_F(ChipLinkTest, DamagedFramesAreDroppedAndTheReceiverRecovers)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    Bytes good = test_frame(1, 0, 0, 2, test_bccmd(0, 0, 0x2819, {}));

    Bytes bad_checksum = good;
    bad_checksum[4] ^= 0x01;  // header checksum byte (no escapes before it)
    Bytes bad_crc = good;
    ASSERT_GE(bad_crc.size(), 12u);
    *(bad_crc.rbegin() + 1) ^= 0x01;  // CRC low byte, just before the closing delimiter
    Bytes bad_length = good;
    bad_length.erase(bad_length.begin() + 10);
    Bytes bad_escape = good;
    bad_escape[8] = 0xDB;
    bad_escape[9] = 0x01;
    Bytes short_frame = {0xC0, 0x40, 0x41, 0xC0};
    Bytes too_long = {0xC0};
    too_long.insert(too_long.end(), CHIP_LINK_MAX_RX_FRAME + 1, 0x55);
    too_long.push_back(0xC0);

    for (const Bytes* frame : {&bad_checksum, &bad_crc, &bad_length, &bad_escape, &short_frame, &too_long}) {
        EXPECT_TRUE(exchange(*frame).empty());
    }
    std::vector<std::string> bad = events("frame_bad");
    ASSERT_EQ(bad.size(), 6u);
    const char* reasons[] = {"header_checksum", "crc", "length", "escape", "short", "too_long"};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_NE(bad[i].find(reasons[i]), std::string::npos) << bad[i];
    }
    EXPECT_EQ(events("bccmd").size(), 0u);
    // Nothing of the damage lingers: the intact frame is served.
    EXPECT_TRUE(find_bccmd(exchange(good)));
}

// A 0xC0 right after 0xDB is the second half of an escape, not a delimiter:
// it spoils the frame instead of ending it early.
TEST_F(ChipLinkTest, DelimiterAfterEscapeByteDoesNotEndTheFrame)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    Bytes frame = test_frame(1, 0, 0, 2, test_bccmd(0, 0, 0x2819, {}));
    frame.insert(frame.begin() + 8, {0xDB, 0xC0});
    EXPECT_TRUE(exchange(frame).empty());
    ASSERT_EQ(events("frame_bad").size(), 1u);
    EXPECT_NE(events("frame_bad")[0].find("escape"), std::string::npos);
}

// A second response waits until the host acknowledges the first; the request
// behind it is acknowledged at once by a bare acknowledgement.
TEST_F(ChipLinkTest, SecondResponseWaitsForTheFirstToBeAcknowledged)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    std::optional<TestFrame> first = find_bccmd(exchange(test_frame(1, 0, 0, 2, test_bccmd(0, 0, 0x2819, {}))));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->seq, 0);

    // The host has not taken the first response yet (its ack field says 0).
    std::vector<TestFrame> f = exchange(test_frame(1, 1, 0, 2, test_bccmd(0, 1, 0x2819, {})));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].channel, 0);
    EXPECT_EQ(f[0].ack, 2);
    EXPECT_TRUE(f[0].payload.empty());

    // The first response is repeated, now acknowledging both requests.
    now += CHIP_LINK_RELIABLE_RETRANSMIT_MS;
    f = test_decode(drain());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].seq, 0);
    EXPECT_EQ(f[0].ack, 2);
    EXPECT_EQ(f[0].payload, first->payload);

    // Once acknowledged, the second response follows with the next seq.
    std::optional<TestFrame> second = find_bccmd(exchange(test_frame(0, 0, 1, 0, {})));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->seq, 1);
    EXPECT_EQ(test_words(second->payload)[2], 1) << "the second request's seqno";
}

// A host that floods the chip while nobody takes its bytes: the queues stay
// within their bounds, say what they dropped, and what is kept is intact.
TEST_F(ChipLinkTest, QueuesAreBounded)
{
    create();
    chip_power_on(chip, now);  // SYNC queued, not taken
    for (int i = 0; i < CHIP_LINK_TX_QUEUE_FRAMES + 2; ++i) {
        feed(FRAME_SYNC);
    }
    EXPECT_EQ(events("tx_dropped").size(), 3u);
    std::vector<TestFrame> f = test_decode(drain());
    ASSERT_EQ(f.size(), static_cast<std::size_t>(CHIP_LINK_TX_QUEUE_FRAMES));
    EXPECT_EQ(test_le_name(f[0]), "SYNC");
    for (std::size_t i = 1; i < f.size(); ++i) {
        EXPECT_EQ(test_le_name(f[i]), "SYNC_RESP");
    }

    // Responses: one outstanding and CHIP_LINK_PENDING_PACKETS waiting; the
    // next is dropped (its request is still acknowledged).
    exchange(FRAME_SYNC_RESP);
    exchange(FRAME_CONF);
    exchange(FRAME_CONF_RESP);
    for (int i = 0; i < CHIP_LINK_PENDING_PACKETS + 2; ++i) {
        f = exchange(test_frame(1, i, 0, 2, test_bccmd(0, static_cast<std::uint16_t>(i), 0x2819, {})));
        ASSERT_FALSE(f.empty());
        EXPECT_EQ(f.back().ack, i + 1);
    }
    ASSERT_EQ(events("tx_dropped").size(), 4u);
    EXPECT_NE(events("tx_dropped")[3].find("pending_full"), std::string::npos);
    // Acknowledging each response in turn releases the waiting ones in order.
    for (int i = 0; i < CHIP_LINK_PENDING_PACKETS; ++i) {
        std::optional<TestFrame> next = find_bccmd(exchange(test_frame(0, 0, i + 1, 0, {})));
        ASSERT_TRUE(next);
        EXPECT_EQ(next->seq, i + 1);
        EXPECT_EQ(test_words(next->payload)[2], i + 1);
    }
    EXPECT_FALSE(find_bccmd(exchange(test_frame(0, 0, CHIP_LINK_PENDING_PACKETS + 1, 0, {}))));
}

// Regression (store round trips under noise): a repeat of the chip's
// response that found the transmit queue full of acknowledgements (the host
// repeating its request in a burst) was dropped with its timer, and the chip
// never sent the response again: the link stalled for good.
TEST_F(ChipLinkTest, ARepeatDroppedOnAFullQueueIsTriedAgain)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    const Bytes request_frame = test_frame(1, 0, 0, 2, test_bccmd(0, 0, 0x2819, {}));
    std::optional<TestFrame> response = find_bccmd(exchange(request_frame));
    ASSERT_TRUE(response);  // sent once, never acknowledged
    // The host's repeats arrive in a burst just before the repeat falls due:
    // each is acknowledged again, and the queue is full when it does.
    now += CHIP_LINK_RELIABLE_RETRANSMIT_MS - 1;
    for (int i = 0; i < CHIP_LINK_TX_QUEUE_FRAMES; ++i) {
        feed(request_frame);
    }
    now += 1;
    EXPECT_FALSE(find_bccmd(test_decode(drain()))) << "no room for the repeat";
    ASSERT_FALSE(events("tx_dropped").empty());
    now += CHIP_LINK_RELIABLE_RETRANSMIT_MS;
    const std::vector<TestFrame> later = test_decode(drain());
    ASSERT_TRUE(find_bccmd(later)) << "the response is sent again";
    EXPECT_EQ(find_bccmd(later)->payload, response->payload);
}

// Link-establishment frames carry a fixed header whose ack field is 0; they
// must not release a reliable packet whose seq is 7.
TEST_F(ChipLinkTest, LinkEstablishmentFrameIsNoAcknowledgement)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    for (int i = 0; i < 7; ++i) {
        request(test_bccmd(0, static_cast<std::uint16_t>(i), 0x2819, {}));
    }
    std::vector<TestFrame> f = request(test_bccmd(0, 7, 0x2819, {}));
    ASSERT_TRUE(find_bccmd(f));
    ASSERT_EQ(find_bccmd(f)->seq, 7);
    EXPECT_EQ(events("acked").size(), 7u);
    f = exchange(FRAME_CONF);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(test_le_name(f[0]), "CONF_RESP");
    EXPECT_EQ(events("acked").size(), 7u);
    now += CHIP_LINK_RELIABLE_RETRANSMIT_MS;
    f = test_decode(drain());
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].seq, 7);
}

}  // namespace
