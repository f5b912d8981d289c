// Two engines exchange reliable packets over a line that drops, corrupts and
// repeats bytes; every packet must arrive exactly once and in order.
//
// Both ends run the real engine. The engine is one global record, so each end
// keeps its own copy and is swapped in for its polls. The record's pointers
// into itself (tx_cursor at its own header or CRC bytes) then always refer to
// the end that is loaded, which is their owner; all other pointers go to that
// end's own descriptors and buffers.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "tests/bcsp/bcsp_test_support.h"

namespace {

constexpr int MESSAGES_PER_END = 120;
constexpr int MAX_ROUNDS = 400000;

struct LinkEnd {
    BcspEngineState state{};
    ScriptedUart uart;
    std::array<std::uint8_t, 512> rx_buffer{};
    BcspPacket rx{};
    BcspPacket tx{};
    std::vector<Bytes> outgoing;
    std::size_t next_outgoing = 0;
    int sending = 0;
    std::vector<Bytes> delivered;
    int peer_resets = 0;
};

struct NoisyLine {
    std::mt19937 random;
    int drop_per_mille;
    int corrupt_per_mille;
    int repeat_per_mille;
    int damaged = 0;  // bytes dropped, changed or repeated so far

    void carry(Bytes& from, std::deque<std::uint8_t>& to)
    {
        for (std::uint8_t byte : from) {
            const int roll = static_cast<int>(random() % 1000);
            if (roll < drop_per_mille) {
                ++damaged;
                continue;
            }
            if (roll < drop_per_mille + corrupt_per_mille) {
                byte = static_cast<std::uint8_t>(byte ^ (1 + random() % 255));
                ++damaged;
            }
            to.push_back(byte);
            if (static_cast<int>(random() % 1000) < repeat_per_mille) {
                to.push_back(byte);
                ++damaged;
            }
        }
        from.clear();
    }
};

std::vector<Bytes> make_messages(std::mt19937& random, int end)
{
    std::vector<Bytes> messages;
    for (int i = 0; i < MESSAGES_PER_END; ++i) {
        Bytes message(1 + random() % 60);
        for (auto& byte : message) {
            // Plenty of delimiter and escape bytes in the payloads.
            const unsigned pick = random() % 8;
            byte = pick == 0 ? 0xC0 : pick == 1 ? 0xDB : static_cast<std::uint8_t>(random());
        }
        message[0] = static_cast<std::uint8_t>(i);
        message.push_back(static_cast<std::uint8_t>(end));
        messages.push_back(message);
    }
    return messages;
}

void arm(LinkEnd& end)
{
    end.rx = BcspPacket{};
    end.rx.payload = end.rx_buffer.data();
    end.rx.length = static_cast<std::uint16_t>(end.rx_buffer.size());
    bcsp_receive_packet(&end.rx);
}

void offer_next(LinkEnd& end)
{
    if (end.sending || end.next_outgoing >= end.outgoing.size()) {
        return;
    }
    Bytes& message = end.outgoing[end.next_outgoing];
    end.tx = BcspPacket{2, 1, 1, static_cast<std::uint16_t>(message.size()), message.data()};
    bcsp_send_packet(&end.tx);
    end.sending = 1;
}

// One poll of one end, with that end's state swapped in.
void poll_end(LinkEnd& end)
{
    bcsp_engine = end.state;
    scripted_uart = &end.uart;
    std::uint8_t activity = 0;
    bcsp_poll(&activity);
    if (activity & ACTIVITY_RECEIVED) {
        EXPECT_EQ(end.rx.reliable, 1);
        end.delivered.emplace_back(end.rx.payload, end.rx.payload + end.rx.length);
        arm(end);
    }
    // ACTIVITY_SENT also marks link establishment: the packet is done only
    // when the engine has let go of it.
    if ((activity & ACTIVITY_SENT) && end.sending && bcsp_engine.send_packet == nullptr) {
        end.sending = 0;
        ++end.next_outgoing;
    }
    if (activity & ACTIVITY_PEER_RESET) {
        ++end.peer_resets;
    }
    offer_next(end);
    end.state = bcsp_engine;
    scripted_uart = nullptr;
}

void start_end(LinkEnd& end, std::vector<Bytes> messages)
{
    end.outgoing = std::move(messages);
    bcsp_engine = BcspEngineState{};
    bcsp_initialize();
    arm(end);
    offer_next(end);  // handed before the link is up: waits for it
    end.state = bcsp_engine;
}

int finished(const LinkEnd& end, const LinkEnd& other)
{
    return end.next_outgoing == end.outgoing.size() && other.delivered.size() >= end.outgoing.size();
}

// Runs both ends to completion; returns the number of bytes the line damaged.
int run_noisy_link(unsigned seed, int drop, int corrupt, int repeat)
{
    std::mt19937 random(seed);
    LinkEnd a;
    LinkEnd b;
    start_end(a, make_messages(random, 'A'));
    start_end(b, make_messages(random, 'B'));
    NoisyLine a_to_b{std::mt19937(seed * 3 + 1), drop, corrupt, repeat};
    NoisyLine b_to_a{std::mt19937(seed * 3 + 2), drop, corrupt, repeat};

    int rounds = 0;
    for (; rounds < MAX_ROUNDS && !(finished(a, b) && finished(b, a)); ++rounds) {
        poll_end(a);
        a_to_b.carry(a.uart.output, b.uart.input);
        poll_end(b);
        b_to_a.carry(b.uart.output, a.uart.input);
    }
    bcsp_engine = BcspEngineState{};

    EXPECT_LT(rounds, MAX_ROUNDS) << "seed " << seed << ": A sent " << a.next_outgoing << ", B sent "
                                  << b.next_outgoing;
    EXPECT_EQ(b.delivered, a.outgoing) << "seed " << seed;
    EXPECT_EQ(a.delivered, b.outgoing) << "seed " << seed;
    EXPECT_EQ(a.peer_resets + b.peer_resets, 0) << "seed " << seed;
    return a_to_b.damaged + b_to_a.damaged;
}

TEST(BcspNoisyLink, CleanLineDeliversEverythingOnceInOrder)
{
    EXPECT_EQ(run_noisy_link(1, 0, 0, 0), 0);
}

TEST(BcspNoisyLink, DroppedCorruptedAndRepeatedBytesLoseNothingAndDuplicateNothing)
{
    for (unsigned seed = 11; seed < 16; ++seed) {
        EXPECT_GT(run_noisy_link(seed, 3, 3, 3), 100) << "seed " << seed;
    }
}

TEST(BcspNoisyLink, HeavyNoiseStillGetsThrough)
{
    EXPECT_GT(run_noisy_link(99, 10, 10, 10), 500);
}

}  // namespace
