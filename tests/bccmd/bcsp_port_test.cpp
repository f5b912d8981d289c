// The BCSP port driver on the fake platform against the scripted peer: line
// set-up, the open's failure paths, the held packet, channel filtering, the
// capacity rule, the send payload's lifetime and the bounded waits.
#include <cstring>

#include "bccmd_fixture.h"

namespace {

constexpr std::uint8_t TEST_CHANNEL = 2;
constexpr std::uint8_t OTHER_CHANNEL = 5;
// Slack on a bounded wait: the last idle poll and the frame in progress.
constexpr std::uint64_t WAIT_SLACK_MS = 40;

const Bytes REQUEST = {0x10, 0x20, 0xC0, 0xDB, 0x30};

// Answers each packet on TEST_CHANNEL with the packets listed in user.
struct Answers {
    std::vector<Bytes> on_test_channel;
    std::vector<int> channels;  // channel of each answer; TEST_CHANNEL when empty
};

void answer_each(BcspPeer* peer, const PeerFrame* packet, std::uint64_t now_ms)
{
    const auto* answers = static_cast<const Answers*>(peer->user);
    if (packet->channel != TEST_CHANNEL) {
        return;
    }
    for (std::size_t i = 0; i < answers->on_test_channel.size(); ++i) {
        const int channel = answers->channels.empty() ? TEST_CHANNEL : answers->channels[i];
        peer_send_data(peer, channel, answers->on_test_channel[i], 1, now_ms + peer->latency_ms);
    }
}

std::size_t reads_so_far()
{
    return fake_calls_of(FAKE_SERIAL_READ).size();
}

using BcspPortTest = BcspLinkTest;

// ---------------------------------------------------------------------------
// Open and close

TEST_F(BcspPortTest, OpenConfiguresTheLineAndWaitsForTheLink)
{
    // Fields the driver must leave as the port reported them.
    SerialState initial = fake_serial_state();
    initial.dsr_sensitivity = 1;
    initial.tx_continue_on_xoff = 1;
    initial.error_char = 0x3F;
    initial.eof_char = 0x1A;
    initial.evt_char = 0x7E;
    initial.dummy2 = 0x15;
    initial.reserved = 0x1234;
    initial.reserved1 = 0x4321;
    initial.outx_cts_flow = 1;
    initial.out_x = 1;
    initial.abort_on_error = 1;
    fake_serial_set_initial_state(&initial);
    peer.latency_ms = 20;

    open_linked();

    const auto opens = fake_calls_of(FAKE_SERIAL_OPEN);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].text, "\\\\.\\COM1");
    EXPECT_EQ(bcsp_port_handle, opens[0].result);
    const auto setups = fake_calls_of(FAKE_SERIAL_SETUP);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].value, 4096u);
    EXPECT_EQ(setups[0].value2, 4096u);

    const auto sets = fake_calls_of(FAKE_SERIAL_SET_STATE);
    ASSERT_EQ(sets.size(), 1u);
    const SerialState& s = sets[0].state;
    EXPECT_EQ(s.length, 28u);
    EXPECT_EQ(s.baud_rate, 115200u);
    EXPECT_EQ(s.binary, 1);
    EXPECT_EQ(s.parity_check, 1);
    EXPECT_EQ(s.outx_cts_flow, 0);
    EXPECT_EQ(s.outx_dsr_flow, 0);
    EXPECT_EQ(s.dtr_control, SERIAL_DTR_CONTROL_DISABLE);
    EXPECT_EQ(s.out_x, 0);
    EXPECT_EQ(s.in_x, 0);
    EXPECT_EQ(s.error_char_replace, 0);
    EXPECT_EQ(s.null_discard, 0);
    EXPECT_EQ(s.rts_control, SERIAL_RTS_CONTROL_ENABLE);
    EXPECT_EQ(s.abort_on_error, 0);
    EXPECT_EQ(s.xon_lim, 500);
    EXPECT_EQ(s.xoff_lim, 3276);
    EXPECT_EQ(s.byte_size, 8);
    EXPECT_EQ(s.parity, SERIAL_EVENPARITY);
    EXPECT_EQ(s.stop_bits, SERIAL_ONESTOPBIT);
    EXPECT_EQ(s.xon_char, 0x11);
    EXPECT_EQ(s.xoff_char, 0x13);
    // Kept as GetCommState returned them.
    EXPECT_EQ(s.dsr_sensitivity, 1);
    EXPECT_EQ(s.tx_continue_on_xoff, 1);
    EXPECT_EQ(s.error_char, 0x3F);
    EXPECT_EQ(s.eof_char, 0x1A);
    EXPECT_EQ(s.evt_char, 0x7E);
    EXPECT_EQ(s.dummy2, 0x15u);
    EXPECT_EQ(s.reserved, 0x1234);
    EXPECT_EQ(s.reserved1, 0x4321);

    const auto timeouts = fake_calls_of(FAKE_SERIAL_SET_TIMEOUTS);
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_EQ(timeouts[0].timeouts.read_interval, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts[0].timeouts.read_total_multiplier, 0u);
    EXPECT_EQ(timeouts[0].timeouts.read_total_constant, 0u);
    EXPECT_EQ(timeouts[0].timeouts.write_total_multiplier, 0u);
    EXPECT_EQ(timeouts[0].timeouts.write_total_constant, 0u);
    const auto purges = fake_calls_of(FAKE_SERIAL_PURGE);
    ASSERT_EQ(purges.size(), 1u);
    EXPECT_EQ(purges[0].value, 0x0Fu);
    EXPECT_LT(purges[0].at_ms, 1u) << "purged before the link traffic starts";

    // The timer resolution is raised once the handle is there.
    const auto precise = fake_calls_of(FAKE_TIMER_PRECISE_BEGIN);
    ASSERT_EQ(precise.size(), 1u);
    EXPECT_EQ(precise[0].ports_open, 1);

    // Linked only once the peer's CONF_RESP came back: SYNC, SYNC_RESP,
    // CONF, CONF_RESP at 20 ms each way.
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
    EXPECT_GE(peer.le_messages[2], 1);
    EXPECT_GE(fake_now_ms(), 40u);
}

TEST_F(BcspPortTest, OpenOfAMissingPortFailsAndLeavesTheHandleInvalid)
{
    fake_serial_set_present(0);
    bcsp_diagnostics = 1;

    EXPECT_EQ(bcsp_port_open(1, 115200), 0);

    EXPECT_EQ(bcsp_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(fake_console_output(), "CreateFile for \\\\.\\COM1 failed 2\n");
    EXPECT_EQ(fake_calls_of(FAKE_SERIAL_SETUP).size(), 0u);
    EXPECT_EQ(fake_calls_of(FAKE_TIMER_PRECISE_BEGIN).size(), 0u);
}

TEST_F(BcspPortTest, EachFailingSetUpCallClosesThePortWithItsDiagnosticLine)
{
    struct Case {
        FakeCallKind kind;
        const char* line;
    };
    const Case cases[] = {
        {FAKE_SERIAL_SETUP, "SetupComm failed 31\n"},
        {FAKE_SERIAL_GET_STATE, "GetCommState failed 31\n"},
        {FAKE_SERIAL_SET_STATE, "SetCommState failed 31\n"},
        // Without its read time-outs the engine's byte read could block for ever.
        {FAKE_SERIAL_SET_TIMEOUTS, "SetCommTimeouts failed 31\n"},
    };
    for (const Case& c : cases) {
        fake_reset();
        peer = BcspPeer{};
        peer_attach(&peer);
        bcsp_diagnostics = 1;
        fake_fail_call(c.kind, 1, 31);

        EXPECT_EQ(bcsp_port_open(1, 115200), 0) << fake_call_name(c.kind);

        EXPECT_EQ(bcsp_port_handle, PLATFORM_INVALID_HANDLE);
        EXPECT_EQ(fake_serial_is_open(), 0) << fake_call_name(c.kind);
        EXPECT_EQ(fake_console_output(), c.line);
        EXPECT_EQ(timer_depth(), 0) << fake_call_name(c.kind);
        EXPECT_TRUE(fake_serial_written().empty()) << "nothing goes out on a port that failed set-up";
    }
}

TEST_F(BcspPortTest, AFailingPurgeIsIgnored)
{
    fake_fail_call(FAKE_SERIAL_PURGE, 1, 31);
    open_linked();
}

TEST_F(BcspPortTest, DiagnosticLinesStayQuietWhenSwitchedOff)
{
    fake_serial_set_present(0);
    EXPECT_EQ(bcsp_port_open(1, 115200), 0);
    fake_serial_set_present(1);
    fake_fail_call(FAKE_SERIAL_SETUP, 1, 31);
    EXPECT_EQ(bcsp_port_open(1, 115200), 0);
    EXPECT_EQ(fake_console_output(), "");
}

TEST_F(BcspPortTest, PortNumbersUpToFourDigitsFitTheDeviceName)
{
    fake_serial_set_present(0);
    EXPECT_EQ(bcsp_port_open(9999, 115200), 0);
    const auto opens = fake_calls_of(FAKE_SERIAL_OPEN);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].text, "\\\\.\\COM9999");

    // A longer number would be cut to another port's name: refused unopened.
    EXPECT_EQ(bcsp_port_open(12345, 115200), 0);
    EXPECT_EQ(fake_calls_of(FAKE_SERIAL_OPEN).size(), 1u);
}

TEST_F(BcspPortTest, CloseOfAClosedPortDoesNothingAndClosingTwiceIsHarmless)
{
    bcsp_port_close();
    EXPECT_TRUE(fake_calls().empty());

    open_linked();
    bcsp_port_close();
    EXPECT_EQ(bcsp_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(fake_serial_is_open(), 0);
    const auto purges = fake_calls_of(FAKE_SERIAL_PURGE);
    ASSERT_EQ(purges.size(), 2u);
    EXPECT_EQ(purges[1].value, 0x0Fu);
    EXPECT_EQ(timer_depth(), 0);

    const std::size_t calls = fake_calls().size();
    bcsp_port_close();
    EXPECT_EQ(fake_calls().size(), calls);
}

TEST_F(BcspPortTest, ThePortOpensAgainAfterAClose)
{
    open_linked();
    bcsp_port_close();
    open_linked();
    EXPECT_EQ(fake_calls_of(FAKE_SERIAL_OPEN).size(), 2u);
    EXPECT_EQ(peer.opens, 2);
}

// ---------------------------------------------------------------------------
// Bounded waits

TEST_F(BcspPortTest, OpenWithinWaitsForTheLinkAsLongAsItsBound)
{
    peer.link_enabled = 0;
    constexpr std::uint32_t BOUND_MS = 12345;

    EXPECT_EQ(bcsp_port_open_within(1, 115200, BOUND_MS), 0);

    EXPECT_GE(fake_now_ms(), BOUND_MS);
    EXPECT_LE(fake_now_ms(), BOUND_MS + WAIT_SLACK_MS);
    EXPECT_EQ(fake_serial_is_open(), 0);
}

TEST_F(BcspPortTest, OpenGivesUpOnASilentChipAndClosesThePort)
{
    peer.link_enabled = 0;

    EXPECT_EQ(bcsp_port_open(1, 115200), 0);

    EXPECT_GE(fake_now_ms(), BCSP_LINK_TIMEOUT_MS);
    EXPECT_LE(fake_now_ms(), BCSP_LINK_TIMEOUT_MS + WAIT_SLACK_MS);
    EXPECT_EQ(bcsp_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(fake_serial_is_open(), 0);
    EXPECT_EQ(timer_depth(), 0);
    EXPECT_GT(peer.le_messages[0], 100) << "SYNC is repeated while waiting";
}

TEST_F(BcspPortTest, SendGivesUpWhenNothingIsAcknowledgedAndWithdrawsThePacket)
{
    open_linked();
    peer.ack_enabled = 0;
    const std::uint64_t start_ms = fake_now_ms();

    EXPECT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 0);

    EXPECT_GE(fake_now_ms() - start_ms, BCSP_SEND_TIMEOUT_MS);
    EXPECT_LE(fake_now_ms() - start_ms, BCSP_SEND_TIMEOUT_MS + WAIT_SLACK_MS);
    const int repeats = peer_frames_on(TEST_CHANNEL);
    EXPECT_GT(repeats, 30) << "sent again every quiet period";

    // The caller was told it failed: later polling no longer sends it.
    std::uint8_t buffer[16];
    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 0);
    EXPECT_EQ(peer_frames_on(TEST_CHANNEL), repeats);
}

TEST_F(BcspPortTest, ReceiveGivesUpWhenNoPacketComes)
{
    open_linked();
    bcsp_diagnostics = 1;
    std::uint8_t buffer[16];
    const std::uint64_t start_ms = fake_now_ms();

    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 0);

    EXPECT_GE(fake_now_ms() - start_ms, BCSP_RECEIVE_TIMEOUT_MS);
    EXPECT_LE(fake_now_ms() - start_ms, BCSP_RECEIVE_TIMEOUT_MS + WAIT_SLACK_MS);
    EXPECT_EQ(fake_console_output(), "BCSP wait timed out\n");
}

TEST_F(BcspPortTest, ReceiveBoundCoversPacketsItDiscards)
{
    // A chip chattering on another channel does not keep the wait alive.
    open_linked();
    for (std::uint64_t at = 0; at < 2 * BCSP_RECEIVE_TIMEOUT_MS; at += 100) {
        peer_send_data(&peer, OTHER_CHANNEL, Bytes{0x01}, 0, fake_now_ms() + at);
    }
    std::uint8_t buffer[16];
    const std::uint64_t start_ms = fake_now_ms();

    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 0);
    EXPECT_LE(fake_now_ms() - start_ms, BCSP_RECEIVE_TIMEOUT_MS + WAIT_SLACK_MS);
}

TEST_F(BcspPortTest, SendAndReceiveOnAClosedPortFailAtOnce)
{
    std::uint8_t buffer[16];
    EXPECT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 0);
    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 0);
    EXPECT_EQ(fake_now_ms(), 0u);
    EXPECT_TRUE(fake_serial_written().empty());
}

// ---------------------------------------------------------------------------
// Send

TEST_F(BcspPortTest, SendDeliversOneReliablePacketAndReturnsOnItsAcknowledgement)
{
    open_linked();
    bcsp_diagnostics = 1;

    EXPECT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);

    const auto payloads = peer_payloads(TEST_CHANNEL);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0], REQUEST);
    EXPECT_EQ(peer.packets[0].reliable, 1);
    EXPECT_EQ(fake_console_output(), "Write BCSP: send packet\n");
}

TEST_F(BcspPortTest, SendRefusesMoreThanItsBufferHolds)
{
    open_linked();
    std::vector<std::uint8_t> big(BCSP_TX_BUFFER_BYTES + 1, 0x55);
    const std::size_t written = fake_serial_written().size();

    EXPECT_EQ(bcsp_port_send(big.data(), static_cast<std::uint16_t>(big.size()), TEST_CHANNEL), 0);
    EXPECT_EQ(fake_serial_written().size(), written);

    EXPECT_EQ(bcsp_port_send(big.data(), BCSP_TX_BUFFER_BYTES, TEST_CHANNEL), 1);
    const auto payloads = peer_payloads(TEST_CHANNEL);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].size(), BCSP_TX_BUFFER_BYTES);
}

TEST_F(BcspPortTest, PeerResetDuringASendEndsItAtTheNewLinkAndTheDriverKeepsTheBytes)
{
    open_linked();
    peer.ack_enabled = 0;
    // The chip restarts instead of acknowledging the packet.
    peer.on_packet = [](BcspPeer* p, const PeerFrame*, std::uint64_t now_ms) {
        p->on_packet = nullptr;
        peer_restart(p, now_ms + 5);
    };
    std::uint8_t caller_bytes[5];
    std::memcpy(caller_bytes, REQUEST.data(), sizeof caller_bytes);

    EXPECT_EQ(bcsp_port_send(caller_bytes, sizeof caller_bytes, TEST_CHANNEL), 1);
    EXPECT_EQ(bcsp_engine.le_state, LINK_ESTABLISHED);
    EXPECT_NE(bcsp_engine.send_packet, nullptr) << "returned before the packet was acknowledged";

    // The caller's bytes are gone (a stack frame reused); the engine sends the
    // driver's copy again on the new link, with seq 0.
    std::memset(caller_bytes, 0xEE, sizeof caller_bytes);
    peer.ack_enabled = 1;
    std::uint8_t buffer[16];
    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 0);

    const auto payloads = peer_payloads(TEST_CHANNEL);
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[1], REQUEST);
    EXPECT_EQ(peer.packets[1].seq, 0);
    EXPECT_EQ(bcsp_engine.send_packet, nullptr);
}

TEST_F(BcspPortTest, APacketLeftFromAnEarlierLinkIsNotSentOnTheNextOne)
{
    open_linked();
    peer.ack_enabled = 0;
    peer.on_packet = [](BcspPeer* p, const PeerFrame*, std::uint64_t now_ms) {
        p->on_packet = nullptr;
        peer_restart(p, now_ms + 5);
    };
    ASSERT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);
    bcsp_port_close();  // the profile ends with the packet still unacknowledged

    peer.ack_enabled = 1;
    const int frames_before = peer_frames_on(TEST_CHANNEL);
    open_linked();
    std::uint8_t buffer[16];
    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 0);  // polls for a while

    EXPECT_EQ(peer_frames_on(TEST_CHANNEL), frames_before);
}

// ---------------------------------------------------------------------------
// Receive

TEST_F(BcspPortTest, APacketThatCameWithTheAcknowledgementIsDeliveredWithoutPolling)
{
    Answers answers;
    answers.on_test_channel = {Bytes{0xA1, 0xA2, 0xA3}};
    peer.user = &answers;
    peer.on_packet = answer_each;
    open_linked();
    ASSERT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);
    bcsp_diagnostics = 1;
    const std::size_t reads = reads_so_far();
    const std::uint64_t now_ms = fake_now_ms();

    std::uint8_t buffer[16] = {};
    ASSERT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 3);

    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(reads_so_far(), reads) << "held packet delivered before any polling";
    EXPECT_EQ(fake_now_ms(), now_ms);
    EXPECT_EQ(fake_console_output(), "received packet on channel 2 len = 3\n");
}

TEST_F(BcspPortTest, APacketOnAnotherChannelIsDiscardedAndTheWaitGoesOn)
{
    Answers answers;
    answers.on_test_channel = {Bytes{0x0C}, Bytes{0x02, 0x02}};
    answers.channels = {OTHER_CHANNEL, TEST_CHANNEL};
    peer.user = &answers;
    peer.on_packet = answer_each;
    peer.latency_ms = 10;
    open_linked();
    ASSERT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);

    std::uint8_t buffer[16] = {};
    ASSERT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 2);
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x02, 0x02}));

    // The other channel's packet is gone, not kept for a later call.
    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, OTHER_CHANNEL), 0);
}

TEST_F(BcspPortTest, OfTwoPacketsInOneSendWaitOnlyTheLaterIsHeld)
{
    open_linked();
    // Both answers come before the acknowledgement (their ack fields still
    // restate the old number), so both arrive inside the send's wait.
    peer.ack_enabled = 0;
    peer.on_packet = [](BcspPeer* p, const PeerFrame*, std::uint64_t now_ms) {
        const int old_ack = (p->expected_seq + 7) % 8;
        peer_send_data(p, TEST_CHANNEL, Bytes{0x01}, 1, now_ms + 5, old_ack);
        peer_send_data(p, TEST_CHANNEL, Bytes{0x02, 0x02}, 1, now_ms + 6, old_ack);
        peer_send_ack(p, now_ms + 7);
    };
    ASSERT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);

    std::uint8_t buffer[16] = {};
    ASSERT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 2);
    EXPECT_EQ(Bytes(buffer, buffer + 2), (Bytes{0x02, 0x02}));
    EXPECT_EQ(bcsp_port_receive(buffer, sizeof buffer, TEST_CHANNEL), 0);
}

TEST_F(BcspPortTest, APacketLongerThanTheCallersBufferIsDiscardedWhole)
{
    Answers answers;
    answers.on_test_channel = {Bytes(129, 0x77), Bytes(128, 0x66)};
    peer.user = &answers;
    peer.on_packet = answer_each;
    peer.latency_ms = 10;
    open_linked();
    ASSERT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);

    // 128 bytes of room and a guard band that must stay untouched.
    std::uint8_t buffer[128 + 16];
    std::memset(buffer, 0xAB, sizeof buffer);
    ASSERT_EQ(bcsp_port_receive(buffer, 128, TEST_CHANNEL), 128);

    EXPECT_EQ(Bytes(buffer, buffer + 128), Bytes(128, 0x66)) << "the fitting packet, not a cut-off one";
    EXPECT_EQ(Bytes(buffer + 128, buffer + sizeof buffer), Bytes(16, 0xAB));
}

TEST_F(BcspPortTest, APacketFillingTheReceiveBufferIsDelivered)
{
    // 510 bytes and the CRC fill the engine's 512; the held copy holds them.
    Answers answers;
    answers.on_test_channel = {Bytes(BCSP_RX_BUFFER_BYTES - 2, 0x5A)};
    peer.user = &answers;
    peer.on_packet = answer_each;
    open_linked();
    ASSERT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);

    std::vector<std::uint8_t> buffer(BCSP_RX_BUFFER_BYTES);
    EXPECT_EQ(bcsp_port_receive(buffer.data(), buffer.size(), TEST_CHANNEL), BCSP_RX_BUFFER_BYTES - 2);
}

// ---------------------------------------------------------------------------
// Byte calls

TEST_F(BcspPortTest, FailedByteWritesAndReadsAreReportedOnlyAsDiagnostics)
{
    open_linked();
    bcsp_diagnostics = 1;
    const int writes = static_cast<int>(fake_calls_of(FAKE_SERIAL_WRITE).size());
    const int reads = static_cast<int>(reads_so_far());
    fake_fail_call(FAKE_SERIAL_WRITE, writes + 2, 995);
    fake_fail_call(FAKE_SERIAL_READ, reads + 1, 995);

    // The lost byte damages a frame; the engine sends it again.
    EXPECT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);

    const std::string& out = fake_console_output();
    EXPECT_EQ(out.rfind("Write BCSP: send packet\n", 0), 0u);
    EXPECT_NE(out.find("Write Failed: 995\n"), std::string::npos);
    EXPECT_NE(out.find("BCSP Read Uart failed\n"), std::string::npos);
    EXPECT_EQ(out.size(), std::string("Write BCSP: send packet\nWrite Failed: 995\nBCSP Read Uart failed\n").size());
    EXPECT_EQ(peer.damaged_frames, 1);
    ASSERT_EQ(peer_payloads(TEST_CHANNEL).size(), 1u);
}

TEST_F(BcspPortTest, TheWaitLoopSleepsOneMillisecondOnlyWhenTheEngineIsIdle)
{
    open_linked();
    const std::size_t first = fake_calls().size();
    ASSERT_EQ(bcsp_port_send(REQUEST.data(), static_cast<std::uint16_t>(REQUEST.size()), TEST_CHANNEL), 1);

    // Inside a frame the bytes go out back to back; the pauses come only
    // between frames (after a delimiter), each a wait for input of up to 1 ms.
    const auto& calls = fake_calls();
    int writes = 0;
    int sleeps = 0;
    std::uint8_t last_written = 0xC0;
    for (std::size_t i = first; i < calls.size(); ++i) {
        EXPECT_NE(calls[i].kind, FAKE_SLEEP) << "the peer answers: no blind sleep";
        if (calls[i].kind == FAKE_SERIAL_WAIT_INPUT) {
            EXPECT_EQ(calls[i].value, 1u);
            EXPECT_EQ(last_written, 0xC0) << "a pause inside a frame";
            sleeps += 1;
        } else if (calls[i].kind == FAKE_SERIAL_WRITE && !calls[i].bytes.empty()) {
            last_written = calls[i].bytes[0];
            writes += 1;
        }
    }
    EXPECT_GT(writes, 10);
    EXPECT_GT(sleeps, 0);
}

}  // namespace
