// Injected faults of the simulated chip, and the noisy line.
#include <bit>

#include "chip_test_support.h"
#include "sim/line_noise.h"

namespace {

using ChipFaultTest = ChipRig;

const Bytes BUILD_ID_REQUEST = test_bccmd(0, 0, 0x2819, {});

TEST_F(ChipFaultTest, ErrorStatusForOneKey)
{
    ChipConfig config{};
    config.error_status_key = 0x024B;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    std::string before = store_text();
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(2, 0, 0x7003, {0x024B, 1, 0, 0x0030})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_ERROR);
    EXPECT_EQ(store_text(), before);
    EXPECT_EQ(events("fault").size(), 1u);
    // Other keys are unaffected.
    r = find_bccmd(request(test_bccmd(2, 1, 0x7003, {0x03CC, 1, 0, 0x0001})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_OK);
}

TEST_F(ChipFaultTest, ErrorStatusForOneVarid)
{
    ChipConfig config{};
    config.error_status_varid = 0x4001;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    // The cold reset is answered with an error and does not happen.
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(2, 0, 0x4001, {})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_ERROR);
    EXPECT_EQ(events("reset_request").size(), 0u);
    r = find_bccmd(request(BUILD_ID_REQUEST));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_OK);
}

TEST_F(ChipFaultTest, SilentFromTheNthPacket)
{
    ChipConfig config{};
    config.silent_after_packets = 2;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    ASSERT_TRUE(find_bccmd(request(BUILD_ID_REQUEST)));
    // The second packet is neither acknowledged nor answered, and the first
    // response, though unacknowledged, is not repeated either.
    EXPECT_TRUE(request(BUILD_ID_REQUEST).empty());
    EXPECT_EQ(chip_next_event_ms(chip), UINT64_MAX);
    now += 10 * 250;
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_TRUE(exchange(FRAME_SYNC).empty());
    // A power-on does not bring it back.
    chip_power_on(chip, now);
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_EQ(events("fault").size(), 1u);
}

TEST_F(ChipFaultTest, NoAckDropsReliablePackets)
{
    ChipConfig config{};
    config.no_ack = 1;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    EXPECT_TRUE(request(BUILD_ID_REQUEST).empty());
    EXPECT_EQ(events("bccmd").size(), 0u);
    ASSERT_EQ(events("ignored").size(), 1u);
    EXPECT_NE(events("ignored")[0].find("no_ack"), std::string::npos);
}

TEST_F(ChipFaultTest, NoLinkEstablishment)
{
    ChipConfig config{};
    config.no_link = 1;
    create(config);
    chip_power_on(chip, now);
    EXPECT_EQ(drain(), Bytes{});
    for (const Bytes* frame : {&FRAME_SYNC, &FRAME_SYNC_RESP, &FRAME_CONF, &FRAME_CONF_RESP}) {
        EXPECT_TRUE(exchange(*frame).empty());
    }
    now += 1000;
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_EQ(events("link_established").size(), 0u);
}

TEST_F(ChipFaultTest, ResetOnTheNthPacketOnce)
{
    ChipConfig config{};
    config.reset_after_packets = 2;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    ASSERT_TRUE(find_bccmd(request(BUILD_ID_REQUEST)));
    // The second packet restarts the chip at once: no acknowledgement, SYNC.
    std::vector<TestFrame> f = request(BUILD_ID_REQUEST);
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(test_le_name(f[0]), "SYNC");
    ASSERT_EQ(events("restart").size(), 1u);
    EXPECT_NE(events("restart")[0].find("\"fault\""), std::string::npos);
    // Only once: after a new link establishment packets are served again.
    ASSERT_NO_FATAL_FAILURE(establish());
    ASSERT_TRUE(find_bccmd(request(BUILD_ID_REQUEST)));
    ASSERT_TRUE(find_bccmd(request(BUILD_ID_REQUEST)));
    EXPECT_EQ(events("restart").size(), 1u);
}

TEST_F(ChipFaultTest, AcknowledgedButNeverAnsweredFromTheNthPacket)
{
    ChipConfig config{};
    config.no_answer_after_packets = 2;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    ASSERT_TRUE(find_bccmd(request(BUILD_ID_REQUEST)));
    // From the second packet on: an acknowledgement, nothing else; a write
    // is not stored.
    const std::string before = store_text();
    for (int i = 0; i < 2; ++i) {
        std::vector<TestFrame> f = request(test_bccmd(2, 1 + i, 0x7003, {0x03CC, 1, 0, 0x0001}));
        ASSERT_EQ(f.size(), 1u);
        EXPECT_TRUE(f[0].intact);
        EXPECT_FALSE(f[0].reliable);
        EXPECT_EQ(f[0].ack, host_seq);
        EXPECT_FALSE(find_bccmd(f));
    }
    now += 10 * 250;
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_EQ(store_text(), before);
    EXPECT_TRUE(events("ps_write").empty());
    EXPECT_EQ(events("fault").size(), 2u);
}

TEST_F(ChipFaultTest, SlowBootLengthensOnlyTheFirstRestart)
{
    ChipConfig config{};
    config.slow_boot_ms = 12000;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    request(test_bccmd(2, 0, 0x400F, {}));
    ASSERT_EQ(events("reset_request").size(), 1u);
    EXPECT_EQ(chip_next_event_ms(chip), now + 12000);
    now += 12000 - 1;
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_TRUE(events("restart").empty()) << "restarted before its slow boot ended";
    now += 1;
    drain();
    ASSERT_EQ(events("restart").size(), 1u);

    // Every later reset restarts at the usual pace.
    ASSERT_NO_FATAL_FAILURE(establish());
    request(test_bccmd(2, 0, 0x4001, {}));
    ASSERT_EQ(events("reset_request").size(), 2u);
    EXPECT_EQ(chip_next_event_ms(chip), now + CHIP_RESTART_DELAY_MS);
}

TEST_F(ChipFaultTest, NoRestartAfterAnAcceptedReset)
{
    ChipConfig config{};
    config.no_restart = 1;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    ASSERT_TRUE(find_bccmd(request(BUILD_ID_REQUEST)));
    request(test_bccmd(2, 1, 0x400F, {}));
    ASSERT_EQ(events("reset_request").size(), 1u);
    now += CHIP_RESTART_DELAY_MS + 1;
    EXPECT_EQ(drain(), Bytes{});
    EXPECT_EQ(chip_next_event_ms(chip), UINT64_MAX);
    EXPECT_TRUE(events("restart").empty());
    ASSERT_EQ(events("fault").size(), 1u);
    EXPECT_NE(events("fault")[0].find("\"no_restart\""), std::string::npos);
    // Dead for good: neither the host's SYNC nor a power-on brings it back.
    EXPECT_TRUE(exchange(FRAME_SYNC).empty());
    chip_power_on(chip, now);
    now += 1000;
    EXPECT_EQ(drain(), Bytes{});
}

TEST_F(ChipFaultTest, AnswersLeaveAfterTheDelay)
{
    ChipConfig config{};
    config.answer_delay_ms = 1000;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    // The request is acknowledged and served at once (the key is stored), the
    // answer leaves a second later.
    std::vector<TestFrame> f = request(test_bccmd(2, 0, 0x7003, {0x03CC, 1, 0, 0x0001}));
    EXPECT_FALSE(find_bccmd(f));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].ack, host_seq);
    EXPECT_EQ(events("ps_write").size(), 1u);
    EXPECT_EQ(chip_next_event_ms(chip), now + 1000);
    now += 999;
    EXPECT_EQ(drain(), Bytes{});
    now += 1;
    std::optional<TestFrame> r = find_bccmd(test_decode(drain()));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[3], 0x7003);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_OK);
    // A restart drops the answers still held back.
    request(BUILD_ID_REQUEST);
    chip_power_on(chip, now);
    now += 2000;
    for (const TestFrame& frame : test_decode(drain())) {
        EXPECT_FALSE(frame.intact && frame.channel == 2) << "an answer outlived the restart";
    }
}

// Garbage goes out before every frame's opening delimiter, never holds a
// delimiter itself, and leaves the frames intact.
TEST_F(ChipFaultTest, GarbageBetweenFrames)
{
    ChipConfig config{};
    config.garbage_between_frames = 7;
    config.seed = 11;
    create(config);
    chip_power_on(chip, now);
    auto check = [this](const Bytes& frame) {
        EXPECT_LE(chip_next_event_ms(chip), now);
        const Bytes out = drain();
        ASSERT_EQ(out.size(), 7 + frame.size());
        for (int i = 0; i < 7; ++i) {
            EXPECT_NE(out[i], 0xC0) << "byte " << i;
        }
        EXPECT_EQ(Bytes(out.begin() + 7, out.end()), frame);
    };
    check(FRAME_SYNC);
    now += 250;  // the SYNC repeat
    check(FRAME_SYNC);
    feed(FRAME_SYNC);
    check(FRAME_SYNC_RESP);
    EXPECT_EQ(events("garbage").size(), 3u);
}

TEST_F(ChipFaultTest, SendNoiseDropRepeatCorrupt)
{
    ChipConfig drop{};
    drop.drop_rate = 1.0;
    create(drop);
    chip_power_on(chip, now);
    EXPECT_EQ(drain(), Bytes{});
    chip_destroy(chip);

    ChipConfig repeat{};
    repeat.repeat_rate = 1.0;
    create(repeat);
    chip_power_on(chip, now);
    Bytes doubled;
    for (std::uint8_t b : FRAME_SYNC) {
        doubled.push_back(b);
        doubled.push_back(b);
    }
    EXPECT_EQ(drain(), doubled);
    chip_destroy(chip);

    ChipConfig corrupt{};
    corrupt.corrupt_rate = 1.0;
    create(corrupt);
    chip_power_on(chip, now);
    Bytes out = drain();
    ASSERT_EQ(out.size(), FRAME_SYNC.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(std::popcount(static_cast<unsigned>(out[i] ^ FRAME_SYNC[i])), 1) << "byte " << i;
    }
    int corrupted = 0;
    for (const std::string& line : events("noise")) {
        corrupted += line.find("\"effect\":\"corrupt\"") != std::string::npos;
    }
    EXPECT_EQ(corrupted, static_cast<int>(FRAME_SYNC.size()));
}

TEST_F(ChipFaultTest, ReceiveNoiseDropsWhatTheHostSends)
{
    ChipConfig config{};
    config.rx_drop_rate = 1.0;
    create(config);
    chip_power_on(chip, now);
    drain();
    EXPECT_TRUE(exchange(FRAME_SYNC).empty());
    EXPECT_EQ(events("noise").size(), FRAME_SYNC.size());
}

// A moderately noisy line: the chip keeps working, and the same seed gives
// the same bytes again.
TEST_F(ChipFaultTest, NoiseIsDeterministicPerSeed)
{
    auto run = [this](unsigned seed) {
        ChipConfig config{};
        config.corrupt_rate = 0.02;
        config.drop_rate = 0.02;
        config.repeat_rate = 0.02;
        config.seed = seed;
        create(config);
        chip_power_on(chip, now);
        Bytes all;
        for (int i = 0; i < 40; ++i) {
            now += 250;
            Bytes out = drain();
            all.insert(all.end(), out.begin(), out.end());
        }
        chip_destroy(chip);
        chip = nullptr;
        now = 0;
        return all;
    };
    Bytes a = run(7);
    Bytes b = run(7);
    Bytes c = run(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    int clean = 0;
    for (const TestFrame& f : test_decode(a)) {
        clean += test_le_name(f) == "SYNC";
    }
    EXPECT_GT(clean, 5) << "most frames still get through";
    EXPECT_LT(clean, 40) << "some frames were damaged";
}

// A small host of the test's own on a line that loses and damages bytes both
// ways: link establishment and one write still complete, through the
// repeats on both sides, and the write is stored once.
TEST_F(ChipFaultTest, WriteGetsThroughALossyLine)
{
    ChipConfig config{};
    config.drop_rate = 0.1;
    config.corrupt_rate = 0.02;
    config.rx_drop_rate = 0.1;
    config.rx_corrupt_rate = 0.02;
    config.seed = 3;
    create(config);
    chip_power_on(chip, now);

    enum { UNSYNCED, SYNCED, ESTABLISHED } state = UNSYNCED;
    bool request_acked = false;
    std::optional<TestFrame> response;
    const Bytes request = test_frame(1, 0, 0, 2, test_bccmd(2, 0, 0x7003, {0x024B, 1, 0, 0x0030}));
    auto append = [](Bytes& to, const Bytes& frame) { to.insert(to.end(), frame.begin(), frame.end()); };

    for (now = 0; now < 60000 && !(request_acked && response); now += 10) {
        Bytes to_chip;
        for (const TestFrame& f : test_decode(drain())) {
            if (!f.intact) {
                continue;
            }
            std::string le = test_le_name(f);
            if (le == "SYNC") {
                append(to_chip, FRAME_SYNC_RESP);
            } else if (le == "SYNC_RESP" && state == UNSYNCED) {
                state = SYNCED;
            } else if (le == "CONF" && state != UNSYNCED) {
                append(to_chip, FRAME_CONF_RESP);
            } else if (le == "CONF_RESP" && state == SYNCED) {
                state = ESTABLISHED;
            } else if (le.empty() && state == ESTABLISHED) {
                request_acked = request_acked || f.ack == 1;
                if (f.reliable && f.channel == 2 && f.seq == 0) {
                    response = f;
                    append(to_chip, test_frame(0, 0, 1, 0, {}));
                }
            }
        }
        if (now % 100 == 0 && state == UNSYNCED) {
            append(to_chip, FRAME_SYNC);
        } else if (now % 100 == 0 && state == SYNCED) {
            append(to_chip, FRAME_CONF);
        } else if (now % 50 == 0 && state == ESTABLISHED && !request_acked) {
            append(to_chip, request);
        }
        feed(to_chip);
    }
    ASSERT_TRUE(response) << "no response within a minute";
    EXPECT_TRUE(request_acked);
    EXPECT_EQ(test_words(response->payload)[4], CHIP_STATUS_OK);
    EXPECT_EQ(events("ps_write").size(), 1u);
    EXPECT_NE(store_text().find("\n0x024b = 0x0030\n"), std::string::npos);
    // The line really was bad: damaged frames on the chip's side and repeats.
    EXPECT_FALSE(events("frame_bad").empty());
    EXPECT_FALSE(events("noise").empty());
}

TEST(LineNoise, RatesAreRoughlyKept)
{
    LineNoise noise;
    line_noise_init(&noise, 1, 0.1, 0.2, 0.05);
    int dropped = 0, corrupted = 0, repeated = 0;
    constexpr int N = 100000;
    for (int i = 0; i < N; ++i) {
        std::uint8_t out[2];
        int effect = 0;
        int count = line_noise_apply(&noise, 0x55, out, &effect);
        if (count == 0) {
            ++dropped;
            continue;
        }
        corrupted += out[0] != 0x55;
        repeated += count == 2;
        EXPECT_EQ((effect & LINE_NOISE_CORRUPTED) != 0, out[0] != 0x55);
    }
    EXPECT_NEAR(dropped / double(N), 0.2, 0.01);
    // Corruption and repetition are drawn for the bytes that were not dropped.
    EXPECT_NEAR(corrupted / double(N - dropped), 0.1, 0.01);
    EXPECT_NEAR(repeated / double(N - dropped), 0.05, 0.01);

    LineNoise off;
    line_noise_init(&off, 1, 0.0, 0.0, 0.0);
    EXPECT_FALSE(line_noise_active(&off));
}

}  // namespace

// A simulator that takes the chip's bytes late (a loaded machine; the
// acknowledgement queued behind a frame still going out) must still see the
// reset request acknowledged first: on the line the acknowledgement leaves
// within a millisecond or two, long before the restart is due.
TEST_F(ChipFaultTest, ResetRequestIsAcknowledgedWhenTheChipIsServedLate)
{
    for (const std::uint64_t late_ms : {std::uint64_t{0}, CHIP_RESTART_DELAY_MS, CHIP_RESTART_DELAY_MS + 500}) {
        SCOPED_TRACE(late_ms);
        create();
        ASSERT_NO_FATAL_FAILURE(establish());
        const int sent_seq = host_seq;
        feed(test_frame(1, host_seq, host_ack, 2, test_bccmd(2, 0, 0x400F, {})));
        now += late_ms;
        const std::vector<TestFrame> frames = test_decode(drain());
        ASSERT_FALSE(frames.empty()) << "nothing sent";
        EXPECT_TRUE(frames[0].intact) << frames[0].why;
        EXPECT_FALSE(frames[0].reliable);
        EXPECT_EQ(frames[0].ack, (sent_seq + 1) & 7) << "the reset request was not acknowledged";
        chip_destroy(chip);
        chip = nullptr;
    }
}
