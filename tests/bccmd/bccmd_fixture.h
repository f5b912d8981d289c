// The fixture of the driver, BCCMD and chip-command tests: a fresh fake
// platform with the scripted BCSP peer plugged into COM1, and helpers to open
// the link and read what the peer got.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "bccmd/bccmd.h"
#include "bcsp/bcsp_port.h"
#include "bcsp_peer.h"
#include "fake_fixture.h"

// A BCCMD message as words, and as the bytes it is on the wire.
inline Bytes words_to_bytes(std::initializer_list<std::uint16_t> words)
{
    Bytes bytes;
    for (std::uint16_t word : words) {
        bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    return bytes;
}

class BcspLinkTest : public FakePlatformTest {
protected:
    BcspPeer peer;

    void SetUp() override
    {
        FakePlatformTest::SetUp();
        bcsp_diagnostics = 0;
        bccmd_seqno = 0;
        bccmd_given_up_clear();
        peer_attach(&peer);
    }
    void TearDown() override
    {
        bcsp_port_close();
        bcsp_diagnostics = 0;
        EXPECT_EQ(timer_depth(), 0) << "timer_precise_begin and _end out of balance";
        fake_serial_attach(nullptr);
        FakePlatformTest::TearDown();
    }

    // timer_precise_begin calls not yet matched by an end.
    static int timer_depth()
    {
        return static_cast<int>(fake_calls_of(FAKE_TIMER_PRECISE_BEGIN).size()) -
               static_cast<int>(fake_calls_of(FAKE_TIMER_PRECISE_END).size());
    }

    void open_linked()
    {
        ASSERT_EQ(bcsp_port_open(1, 115200), 1) << fake_calls_text();
    }

    // Payloads of the reliable packets the peer took on a channel.
    std::vector<Bytes> peer_payloads(int channel) const
    {
        std::vector<Bytes> payloads;
        for (const PeerFrame& packet : peer.packets) {
            if (packet.channel == channel) {
                payloads.push_back(packet.payload);
            }
        }
        return payloads;
    }

    // Every data frame (first sends and repeats) the peer saw on a channel.
    int peer_frames_on(int channel) const
    {
        int count = 0;
        for (const PeerFrame& frame : peer.frames) {
            count += frame.channel == channel ? 1 : 0;
        }
        return count;
    }
};
