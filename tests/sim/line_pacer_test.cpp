// The line pacer: bytes reach the far end only when a real cable would have
// carried them, one character time after another, bursts queued behind each
// other on a busy line.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/line_pacer.h"

namespace {

constexpr UartSettings LINE_1200_8N1 = {1200, 8, 'N', 1, 0};
constexpr UartSettings LINE_115200_8N1 = {115200, 8, 'N', 1, 0};
constexpr UartSettings LINE_115200_8E1 = {115200, 8, 'E', 1, 1};

using Bytes = std::vector<std::uint8_t>;

class LinePacerTest : public testing::Test {
protected:
    void SetUp() override { line_pacer_reset(pacer.get()); }

    LineBurst send(const Bytes& bytes, std::uint64_t duration_us, std::uint64_t now_us) {
        return line_pacer_send(pacer.get(), bytes.data(), bytes.size(), duration_us, now_us);
    }

    Bytes take(std::uint64_t now_us) {
        std::uint8_t out[64];
        const std::size_t n = line_pacer_take(pacer.get(), now_us, out, sizeof out, nullptr);
        return Bytes(out, out + n);
    }

    std::unique_ptr<LinePacer> pacer = std::make_unique<LinePacer>();  // large: not on the stack
};

TEST_F(LinePacerTest, CharacterTimesFollowTheFrameBits) {
    // 10 bits at 1200 baud: 8333.3 us, rounded up.
    EXPECT_EQ(line_time_us(&LINE_1200_8N1, 1), 8334u);
    // 8E1 is 11 bits a character: 26 characters take 2482.6 us, rounded once
    // for the whole burst rather than per character (26 x 96 would be 2496).
    EXPECT_EQ(line_time_us(&LINE_115200_8E1, 26), 2483u);
    EXPECT_EQ(line_time_us(&LINE_115200_8N1, 15), 1303u);
    EXPECT_EQ(line_time_us(&LINE_115200_8N1, 0), 0u);
    const UartSettings hung_up = {0, 8, 'N', 1, 0};
    EXPECT_EQ(line_time_us(&hung_up, 10), 0u);
}

TEST_F(LinePacerTest, EachByteArrivesWhenItsStopBitHasPassed) {
    const std::uint64_t char_us = 100;
    const LineBurst burst = send({0x11, 0x22, 0x33}, 3 * char_us, 1000);
    EXPECT_EQ(burst.start_us, 1000u);
    EXPECT_EQ(burst.end_us, 1300u);
    EXPECT_EQ(line_pacer_next_us(pacer.get()), 1100u);

    EXPECT_TRUE(take(1099).empty());  // nothing before the first character is whole
    EXPECT_EQ(take(1100), Bytes({0x11}));
    EXPECT_TRUE(take(1199).empty());
    EXPECT_EQ(take(1300), Bytes({0x22, 0x33}));
    EXPECT_EQ(line_pacer_next_us(pacer.get()), LINE_PACER_NEVER_US);
}

TEST_F(LinePacerTest, ABurstOnABusyLineWaitsAndOneAfterAPauseStartsAtOnce) {
    send({0x01, 0x02}, 200, 1000);                      // on the line 1000..1200
    const LineBurst queued = send({0x03}, 100, 1050);   // written while the line is busy
    EXPECT_EQ(queued.start_us, 1200u);
    EXPECT_EQ(queued.end_us, 1300u);
    EXPECT_EQ(take(1299), Bytes({0x01, 0x02}));
    EXPECT_EQ(take(1300), Bytes({0x03}));

    const LineBurst later = send({0x04}, 100, 5000);  // the line has been idle
    EXPECT_EQ(later.start_us, 5000u);
    EXPECT_TRUE(take(5099).empty());
    EXPECT_EQ(take(5100), Bytes({0x04}));
}

TEST_F(LinePacerTest, GarbledBytesAreSpreadOverTheSendersCharacters) {
    // Four characters sent (400 us) that the receiver makes two bytes of: the
    // line is busy for all four, the two bytes arrive at its middle and end.
    const LineBurst burst = send({0xAA, 0xBB}, 400, 0);
    EXPECT_EQ(burst.end_us, 400u);
    EXPECT_TRUE(take(199).empty());
    EXPECT_EQ(take(200), Bytes({0xAA}));
    EXPECT_EQ(take(400), Bytes({0xBB}));
    // Characters the receiver drops entirely still hold the line.
    EXPECT_EQ(send({}, 300, 100).end_us, 700u);
    EXPECT_EQ(send({0xCC}, 100, 100).start_us, 700u);
}

TEST_F(LinePacerTest, TakeStopsAtTheCallersRoomAndReportsTheLastArrival) {
    send({1, 2, 3, 4, 5}, 500, 0);
    std::uint8_t out[2];
    std::uint64_t last = 0;
    EXPECT_EQ(line_pacer_take(pacer.get(), 1000, out, sizeof out, &last), 2u);
    EXPECT_EQ(last, 200u);
    EXPECT_EQ(out[1], 2);
    EXPECT_EQ(line_pacer_take(pacer.get(), 1000, out, sizeof out, &last), 2u);
    EXPECT_EQ(last, 400u);
}

TEST_F(LinePacerTest, AFullLineDropsAndCountsTheRestAcrossTheRingsEnd) {
    Bytes big(LINE_PACER_BYTES - 10, 0x55);
    send(big, big.size(), 0);
    // Free 100 slots at the ring's start, then overfill by 5.
    std::vector<std::uint8_t> out(100);
    ASSERT_EQ(line_pacer_take(pacer.get(), 100, out.data(), out.size(), nullptr), 100u);
    Bytes more(115, 0x66);
    more.back() = 0x77;
    send(more, more.size(), 0);
    EXPECT_EQ(pacer->dropped, 5u);
    EXPECT_EQ(pacer->count, LINE_PACER_BYTES);
    // Everything kept comes out in order; the last kept byte is the 110th of `more`.
    std::vector<std::uint8_t> rest(LINE_PACER_BYTES);
    const std::size_t n = line_pacer_take(pacer.get(), UINT64_MAX - 1, rest.data(), rest.size(), nullptr);
    ASSERT_EQ(n, LINE_PACER_BYTES);
    EXPECT_EQ(rest[big.size() - 100 - 1], 0x55);
    EXPECT_EQ(rest[big.size() - 100], 0x66);
    EXPECT_EQ(rest[n - 1], 0x66);
}

}  // namespace
