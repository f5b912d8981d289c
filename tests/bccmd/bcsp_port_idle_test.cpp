// The BCSP port driver's idle pause on the fake platform: a whole frame ends
// it at once, the first bytes of a frame do not, a peer streaming bytes
// without delimiters cannot stretch it past its bound, bytes read ahead reach
// the engine whole and in order and go with the port's purge, and a wait or
// read that fails falls back to a plain one-millisecond pause.
#include "bccmd_fixture.h"

namespace {

constexpr std::uint8_t TEST_CHANNEL = 2;

class BcspPortIdleTest : public BcspLinkTest {
protected:
    // Runs one idle pause and returns how long it took on the virtual clock.
    std::uint64_t pause_ms()
    {
        const std::uint64_t start_ms = fake_now_ms();
        bcsp_port_idle();
        return fake_now_ms() - start_ms;
    }
};

TEST_F(BcspPortIdleTest, AWholeFrameEndsThePauseAtOnceAndItsFirstBytesDoNot)
{
    open_linked();
    // Nothing arrives: the pause lasts its millisecond.
    EXPECT_EQ(pause_ms(), BCSP_IDLE_POLL_SLEEP_MS);

    // A whole frame already waiting: no pause at all.
    const Bytes frame = peer_frame_bytes(0, 0, 0, TEST_CHANNEL, Bytes{0x01, 0x02});
    fake_serial_receive(frame.data(), frame.size(), fake_now_ms());
    EXPECT_EQ(pause_ms(), 0u);
    // The engine takes it at the next poll; then the pause is whole again.
    ASSERT_EQ(bcsp_port_wait(BCSP_WAIT_RECEIVED, deadline_after_ms(100)), 1);
    EXPECT_EQ(pause_ms(), BCSP_IDLE_POLL_SLEEP_MS);

    // Only the first bytes of a frame: the engine could not act on them.
    const Bytes part(frame.begin(), frame.begin() + 5);
    fake_serial_receive(part.data(), part.size(), fake_now_ms());
    EXPECT_EQ(pause_ms(), BCSP_IDLE_POLL_SLEEP_MS);
}

TEST_F(BcspPortIdleTest, AFrameCompletingDuringThePauseEndsItWhenItsLastByteArrives)
{
    open_linked();
    const Bytes frame = peer_frame_bytes(0, 0, 0, TEST_CHANNEL, Bytes(20, 0x55));
    const std::uint64_t now_ms = fake_now_ms();
    fake_serial_receive(frame.data(), 8, now_ms + 1);
    fake_serial_receive(frame.data() + 8, frame.size() - 8, now_ms + 2);
    EXPECT_EQ(pause_ms(), 2u);
    const auto waits = fake_calls_of(FAKE_SERIAL_WAIT_INPUT);
    ASSERT_GE(waits.size(), 2u);
    EXPECT_EQ(waits.back().result, 1) << "ended by input, not by its time-out";
}

TEST_F(BcspPortIdleTest, BytesWithoutDelimitersCannotStretchThePausePastItsBound)
{
    open_linked();
    const std::uint64_t now_ms = fake_now_ms();
    for (std::uint64_t t = 0; t < 20; ++t) {
        const std::uint8_t noise = 0x55;
        fake_serial_receive(&noise, 1, now_ms + t);
    }
    EXPECT_LE(pause_ms(), BCSP_IDLE_PAUSE_MAX_MS + BCSP_IDLE_POLL_SLEEP_MS);
}

TEST_F(BcspPortIdleTest, ReadAheadBytesReachTheEngineWholeAndInOrder)
{
    open_linked();
    // Escapes inside the payload, split across what the pause reads ahead
    // and what the engine then reads itself.
    const Bytes payload = {0xC0, 0xDB, 0x11, 0xC0, 0xC0, 0x22, 0xDB, 0x33};
    const Bytes frame = peer_frame_bytes(1, 0, 0, TEST_CHANNEL, payload);
    const std::uint64_t now_ms = fake_now_ms();
    fake_serial_receive(frame.data(), 7, now_ms + 1);
    fake_serial_receive(frame.data() + 7, frame.size() - 7, now_ms + 5);
    std::uint8_t buffer[64] = {};
    ASSERT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), static_cast<int>(payload.size()));
    EXPECT_EQ(Bytes(buffer, buffer + payload.size()), payload);
}

TEST_F(BcspPortIdleTest, BytesReadAheadGoWithThePortsPurge)
{
    open_linked();
    const Bytes part = {0xC0, 0x40, 0x41, 0x42};
    fake_serial_receive(part.data(), part.size(), fake_now_ms());
    EXPECT_EQ(pause_ms(), BCSP_IDLE_POLL_SLEEP_MS);  // read ahead, not yet taken
    bcsp_port_close();
    std::uint8_t byte = 0;
    EXPECT_EQ(bcsp_get_uart(&byte), 0) << "a closed port still handed out a byte read before its close";

    // The next link starts from its own bytes only.
    open_linked();
    const Bytes payload = {0x7A};
    peer_send_data(&peer, TEST_CHANNEL, payload, 1, fake_now_ms());
    std::uint8_t buffer[8] = {};
    ASSERT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 1);
    EXPECT_EQ(buffer[0], 0x7A);
}

TEST_F(BcspPortIdleTest, AFailedWaitOrReadFallsBackToAOneMillisecondPause)
{
    open_linked();
    fake_fail_call(FAKE_SERIAL_WAIT_INPUT, static_cast<int>(fake_calls_of(FAKE_SERIAL_WAIT_INPUT).size()) + 1, 995);
    EXPECT_EQ(pause_ms(), BCSP_IDLE_POLL_SLEEP_MS);

    // Input is reported but the read fails: no spinning on it.
    const std::uint8_t byte = 0x55;
    fake_serial_receive(&byte, 1, fake_now_ms());
    fake_fail_call(FAKE_SERIAL_READ, static_cast<int>(fake_calls_of(FAKE_SERIAL_READ).size()) + 1, 995);
    const std::size_t sleeps = fake_calls_of(FAKE_SLEEP).size();
    EXPECT_EQ(pause_ms(), BCSP_IDLE_POLL_SLEEP_MS);
    ASSERT_EQ(fake_calls_of(FAKE_SLEEP).size(), sleeps + 1);
    EXPECT_EQ(fake_calls_of(FAKE_SLEEP).back().value, BCSP_IDLE_POLL_SLEEP_MS);
}

}  // namespace
