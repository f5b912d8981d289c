// Fixture for single-engine tests: a fresh engine on a scripted UART, a
// 512-byte receive buffer armed, and helpers that read the engine's output
// frame by frame as the peer would.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "tests/bcsp/bcsp_test_support.h"

class BcspEngineTest : public ::testing::Test {
protected:
    static constexpr std::uint16_t RX_CAPACITY = 512;

    ScriptedUart uart;
    std::array<std::uint8_t, RX_CAPACITY> rx_buffer{};
    BcspPacket rx{};
    std::size_t consumed = 0;  // output bytes already read by next_frame / take_output

    void SetUp() override
    {
        bcsp_engine = BcspEngineState{};
        scripted_uart = &uart;
        bcsp_initialize();
        arm();
    }

    void TearDown() override { scripted_uart = nullptr; }

    void arm()
    {
        rx = BcspPacket{};
        rx.payload = rx_buffer.data();
        rx.length = RX_CAPACITY;
        bcsp_receive_packet(&rx);
    }

    std::uint8_t poll(std::uint8_t* activity = nullptr)
    {
        std::uint8_t bits = 0;
        const std::uint8_t hint = bcsp_poll(&bits);
        if (activity != nullptr) {
            *activity = bits;
        }
        return hint;
    }

    void feed(const Bytes& bytes) { uart.input.insert(uart.input.end(), bytes.begin(), bytes.end()); }

    // Output written since the last call (or since next_frame's last frame).
    Bytes take_output()
    {
        Bytes out(uart.output.begin() + static_cast<std::ptrdiff_t>(consumed), uart.output.end());
        consumed = uart.output.size();
        return out;
    }

    // Polls until the engine has written one more complete candidate frame
    // and returns it as the peer decodes it. A delimiter that closes one
    // frame may open the next, as after a cut-off frame.
    PeerFrame next_frame(int max_polls = 200, std::uint8_t* activity_seen = nullptr)
    {
        for (int polls = 0; polls <= max_polls;) {
            const auto begin = uart.output.begin() + static_cast<std::ptrdiff_t>(consumed);
            const auto first = std::find(begin, uart.output.end(), std::uint8_t{0xC0});
            const auto second =
                first == uart.output.end() ? first : std::find(first + 1, uart.output.end(), std::uint8_t{0xC0});
            if (second != uart.output.end()) {
                const std::vector<PeerFrame> frames = peer_decode(Bytes(first, second + 1));
                consumed = static_cast<std::size_t>(second - uart.output.begin());
                if (!frames.empty()) {
                    return frames[0];
                }
                continue;
            }
            std::uint8_t bits = 0;
            poll(&bits);
            if (activity_seen != nullptr) {
                *activity_seen |= bits;
            }
            ++polls;
        }
        ADD_FAILURE() << "no frame within " << max_polls << " polls";
        return PeerFrame{};
    }

    // Polls until no frame is in progress and the quiet period is over: the
    // next poll is a free turn.
    void settle()
    {
        for (int polls = 0; polls < 200 && (bcsp_engine.delay != 0 || bcsp_engine.tx_remaining > 0); ++polls) {
            poll();
        }
        ASSERT_EQ(bcsp_engine.delay, 0);
        ASSERT_EQ(bcsp_engine.tx_remaining, 0);
    }

    // Runs link establishment against a peer that answers at once, then
    // settles with the output consumed.
    void establish()
    {
        feed(peer_le_frame(LE_MESSAGE_SYNC_RESP));
        feed(peer_le_frame(LE_MESSAGE_CONF_RESP));
        std::uint8_t seen = 0;
        for (int polls = 0; polls < 200 && !(seen & ACTIVITY_SENT); ++polls) {
            std::uint8_t bits = 0;
            poll(&bits);
            seen |= bits;
        }
        ASSERT_TRUE(seen & ACTIVITY_SENT);
        ASSERT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
        for (int polls = 0; polls < 200 && bcsp_engine.le_next_message != LE_MESSAGE_NONE; ++polls) {
            poll();
        }
        ASSERT_EQ(bcsp_engine.le_next_message, LE_MESSAGE_NONE);
        settle();
        take_output();
    }
};
