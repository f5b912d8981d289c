// command_port_open and the byte calls on the fake serial port: the line
// settings of both phases, the timed wake-up, the Plug-and-Play reply rules,
// the setup handshake, and the clean-up of every failed step.
#include <cstring>

#include "cmdport_fixture.h"

namespace {

// A state in which every field differs from what the Plug-and-Play phase
// sets, so that fields kept from the port and fields set can be told apart.
SerialState distinctive_initial_state()
{
    SerialState s{};
    s.length = SERIAL_STATE_LENGTH;
    s.baud_rate = 9600;
    s.binary = 0;
    s.parity_check = 1;
    s.outx_cts_flow = 1;
    s.outx_dsr_flow = 1;
    s.dtr_control = 2;
    s.dsr_sensitivity = 1;
    s.tx_continue_on_xoff = 1;
    s.out_x = 1;
    s.in_x = 1;
    s.error_char_replace = 1;
    s.null_discard = 1;
    s.rts_control = 2;
    s.abort_on_error = 1;
    s.dummy2 = 0x5A5A;
    s.reserved = 7;
    s.xon_lim = 11;
    s.xoff_lim = 22;
    s.byte_size = 7;
    s.parity = SERIAL_EVENPARITY;
    s.stop_bits = SERIAL_TWOSTOPBITS;
    s.xon_char = 'a';
    s.xoff_char = 'b';
    s.error_char = 'E';
    s.eof_char = 0x1A;
    s.evt_char = 'V';
    s.reserved1 = 9;
    return s;
}

void expect_state_eq(const SerialState& want, const SerialState& got, const char* phase)
{
    SCOPED_TRACE(phase);
#define EXPECT_FIELD(f) EXPECT_EQ(static_cast<long>(want.f), static_cast<long>(got.f)) << #f
    EXPECT_FIELD(length);
    EXPECT_FIELD(baud_rate);
    EXPECT_FIELD(binary);
    EXPECT_FIELD(parity_check);
    EXPECT_FIELD(outx_cts_flow);
    EXPECT_FIELD(outx_dsr_flow);
    EXPECT_FIELD(dtr_control);
    EXPECT_FIELD(dsr_sensitivity);
    EXPECT_FIELD(tx_continue_on_xoff);
    EXPECT_FIELD(out_x);
    EXPECT_FIELD(in_x);
    EXPECT_FIELD(error_char_replace);
    EXPECT_FIELD(null_discard);
    EXPECT_FIELD(rts_control);
    EXPECT_FIELD(abort_on_error);
    EXPECT_FIELD(dummy2);
    EXPECT_FIELD(reserved);
    EXPECT_FIELD(xon_lim);
    EXPECT_FIELD(xoff_lim);
    EXPECT_FIELD(byte_size);
    EXPECT_FIELD(parity);
    EXPECT_FIELD(stop_bits);
    EXPECT_FIELD(xon_char);
    EXPECT_FIELD(xoff_char);
    EXPECT_FIELD(error_char);
    EXPECT_FIELD(eof_char);
    EXPECT_FIELD(evt_char);
    EXPECT_FIELD(reserved1);
#undef EXPECT_FIELD
}

// ---------------------------------------------------------------------------
// Opening against a working adapter

class CommandPortOpenTest : public CommandPortTest {
protected:
    void SetUp() override
    {
        CommandPortTest::SetUp();
        adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
        fake_adapter_attach(&adapter);
    }
    FakeAdapter adapter{};
};

TEST_F(CommandPortOpenTest, OpensWakesAndShakesHandsInOrder)
{
    ASSERT_EQ(command_port_open(1), 1) << fake_calls_text();
    EXPECT_NE(command_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(fake_console_output(), "");  // diagnostics off: nothing at all

    const auto opens = fake_calls_of(FAKE_SERIAL_OPEN);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].text, "\\\\.\\COM1");
    const auto setups = fake_calls_of(FAKE_SERIAL_SETUP);
    ASSERT_EQ(setups.size(), 1u);
    EXPECT_EQ(setups[0].value, 4096u);
    EXPECT_EQ(setups[0].value2, 4096u);

    // The order of the port calls up to the wake-up.
    std::vector<FakeCallKind> kinds;
    for (const auto& call : fake_calls()) {
        if (call.kind != FAKE_CONSOLE_PRINTF && kinds.size() < 6) {
            kinds.push_back(call.kind);
        }
    }
    const std::vector<FakeCallKind> expected = {FAKE_SERIAL_OPEN,      FAKE_SERIAL_SETUP,
                                                FAKE_SERIAL_GET_STATE, FAKE_SERIAL_SET_STATE,
                                                FAKE_SERIAL_SET_TIMEOUTS, FAKE_SERIAL_PURGE};
    EXPECT_EQ(kinds, expected);
    const auto purges = fake_calls_of(FAKE_SERIAL_PURGE);
    ASSERT_EQ(purges.size(), 1u);
    EXPECT_EQ(purges[0].value, 15u);

    const auto timeouts = fake_calls_of(FAKE_SERIAL_SET_TIMEOUTS);
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_EQ(timeouts[0].timeouts.read_interval, 1000u);
    EXPECT_EQ(timeouts[0].timeouts.read_total_multiplier, 500u);
    EXPECT_EQ(timeouts[0].timeouts.read_total_constant, 1000u);
    EXPECT_EQ(timeouts[0].timeouts.write_total_multiplier, 500u);
    EXPECT_EQ(timeouts[0].timeouts.write_total_constant, 1000u);

    EXPECT_EQ(adapter.pnp_replies_sent, 1);
    EXPECT_EQ(adapter.setup_request, "LUMA PORT SETUP");
    EXPECT_EQ(bytes_text(fake_serial_written()), "LUMA PORT SETUP");
}

TEST_F(CommandPortOpenTest, ModemLineSequenceHasExactOrderAndTiming)
{
    ASSERT_EQ(command_port_open(1), 1);
    struct Step {
        std::uint32_t function;
        std::uint64_t at_ms;
    };
    const Step expected[] = {
        {SERIAL_CLRRTS, 0},   {SERIAL_CLRDTR, 0},   {SERIAL_CLRRTS, 500},  {SERIAL_SETDTR, 500},
        {SERIAL_CLRDTR, 700}, {SERIAL_SETDTR, 900}, {SERIAL_SETRTS, 1100},
    };
    const auto escapes = fake_calls_of(FAKE_SERIAL_ESCAPE);
    ASSERT_EQ(escapes.size(), std::size(expected));
    for (std::size_t i = 0; i < escapes.size(); ++i) {
        EXPECT_EQ(escapes[i].value, expected[i].function) << "step " << i;
        EXPECT_EQ(escapes[i].at_ms, expected[i].at_ms) << "step " << i;
    }
    // The reply is read right after the last 200 ms, with both lines high;
    // the speed changes once the reply is in, then 200 ms settle.
    const auto reads = fake_calls_of(FAKE_SERIAL_READ);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads[0].at_ms, 1300u);
    const auto states = fake_calls_of(FAKE_SERIAL_SET_STATE);
    ASSERT_EQ(states.size(), 2u);
    const auto writes = fake_calls_of(FAKE_SERIAL_WRITE);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].at_ms, states[1].at_ms + 200);
}

TEST_F(CommandPortOpenTest, LineSettingsOfBothPhasesKeepUnlistedFields)
{
    const SerialState initial = distinctive_initial_state();
    fake_serial_set_initial_state(&initial);
    ASSERT_EQ(command_port_open(1), 1);

    SerialState pnp = initial;
    pnp.baud_rate = 1200;
    pnp.byte_size = 8;
    pnp.parity = SERIAL_NOPARITY;
    pnp.stop_bits = SERIAL_ONESTOPBIT;
    pnp.binary = 1;
    pnp.parity_check = 0;
    pnp.outx_cts_flow = 0;
    pnp.outx_dsr_flow = 0;
    pnp.dtr_control = SERIAL_DTR_CONTROL_DISABLE;
    pnp.rts_control = SERIAL_RTS_CONTROL_DISABLE;
    pnp.out_x = 0;
    pnp.in_x = 0;
    pnp.error_char_replace = 0;
    pnp.null_discard = 0;
    pnp.abort_on_error = 0;
    pnp.xon_lim = 500;
    pnp.xoff_lim = 3276;
    pnp.xon_char = 17;
    pnp.xoff_char = 19;
    SerialState handshake = pnp;
    handshake.baud_rate = 115200;
    handshake.rts_control = SERIAL_RTS_CONTROL_ENABLE;

    const auto states = fake_calls_of(FAKE_SERIAL_SET_STATE);
    ASSERT_EQ(states.size(), 2u);
    expect_state_eq(pnp, states[0].state, "Plug-and-Play phase");
    expect_state_eq(handshake, states[1].state, "handshake phase");
}

TEST_F(CommandPortOpenTest, CloseAfterOpenPurgesThenCloses)
{
    ASSERT_EQ(command_port_open(1), 1);
    const std::size_t before = fake_calls().size();
    command_port_close();
    EXPECT_EQ(command_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_FALSE(fake_serial_is_open());
    const auto& calls = fake_calls();
    ASSERT_EQ(calls.size(), before + 2);
    EXPECT_EQ(calls[before].kind, FAKE_SERIAL_PURGE);
    EXPECT_EQ(calls[before].value, 15u);
    EXPECT_EQ(calls[before + 1].kind, FAKE_SERIAL_CLOSE);

    command_port_close();  // already closed: nothing happens
    EXPECT_EQ(fake_calls().size(), before + 2);
}

TEST_F(CommandPortOpenTest, DiagnosticLinesWhenSwitchedOn)
{
    command_port_diagnostics = 1;
    ASSERT_EQ(command_port_open(1), 1);
    // The identifier and what follows it are echoed; "(" and ")" never are.
    EXPECT_EQ(fake_console_output(), "Waiting for PNP Reply\nQXZ4702\\!\nLUMA PORT READY\n");
}

// ---------------------------------------------------------------------------
// Failed opens: result 0, handle invalid, closed without a purge

TEST_F(CommandPortTest, SilentPortFailsAfterLinesAndOneReadTimeout)
{
    EXPECT_EQ(command_port_open(1), 0);
    EXPECT_EQ(fake_now_ms(), 2800u);  // 1.3 s of line changes + one 1.5 s read
    EXPECT_EQ(command_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_FALSE(fake_serial_is_open());
    EXPECT_EQ(count_of(FAKE_SERIAL_READ), 1);
    EXPECT_EQ(count_of(FAKE_SERIAL_PURGE), 1);  // only the one before the wake-up
    EXPECT_EQ(count_of(FAKE_SERIAL_CLOSE), 1);
    EXPECT_EQ(fake_calls().back().kind, FAKE_SERIAL_CLOSE);
}

TEST_F(CommandPortTest, MissingDeviceFailsWithoutClosing)
{
    fake_serial_set_present(0);
    command_port_diagnostics = 1;
    EXPECT_EQ(command_port_open(1), 0);
    EXPECT_EQ(command_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(count_of(FAKE_SERIAL_CLOSE), 0);
    EXPECT_EQ(fake_console_output(), "CreateFile for \\\\.\\COM1 failed 2\n");
}

enum AdapterFault { NO_ADAPTER_FAULT, WRONG_IDENTIFIER, WRONG_ANSWER };

struct FailedStep {
    const char* name;
    FakeCallKind failing_call;  // FAKE_CALL_KIND_COUNT: none, the adapter misbehaves instead
    int nth;
    AdapterFault fault;
    int purges;                 // the purge before the wake-up happens once the line is set
    const char* diagnostic;     // how the diagnostics end, with error code 31
};

void PrintTo(const FailedStep& step, std::ostream* os)
{
    *os << step.name;
}

class CommandPortFailedStepTest : public CommandPortTest, public ::testing::WithParamInterface<FailedStep> {
protected:
    void arrange(FakeAdapter* adapter)
    {
        const FailedStep& step = GetParam();
        *adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
        if (step.fault == WRONG_IDENTIFIER) {
            adapter->pnp_reply = "(abQXY4702)";
        } else if (step.fault == WRONG_ANSWER) {
            adapter->handshake_answer = "LUMA PORT READX";
        } else {
            fake_fail_call(step.failing_call, step.nth, 31);
        }
        fake_adapter_attach(adapter);
    }
};

TEST_P(CommandPortFailedStepTest, ClosesWithoutPurgeAndReportsOnlyInDiagnostics)
{
    const FailedStep& step = GetParam();
    FakeAdapter adapter{};
    arrange(&adapter);
    EXPECT_EQ(command_port_open(1), 0);
    EXPECT_EQ(command_port_handle, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(count_of(FAKE_SERIAL_CLOSE), 1);
    EXPECT_EQ(fake_calls().back().kind, FAKE_SERIAL_CLOSE);
    EXPECT_EQ(count_of(FAKE_SERIAL_PURGE), step.purges);
    EXPECT_EQ(fake_console_output(), "");

    // The same run with diagnostics on ends with the step's line.
    fake_reset();
    command_port_diagnostics = 1;
    arrange(&adapter);
    EXPECT_EQ(command_port_open(1), 0);
    const std::string& out = fake_console_output();
    const std::string line = step.diagnostic;
    ASSERT_GE(out.size(), line.size()) << out;
    EXPECT_EQ(out.substr(out.size() - line.size()), line) << out;
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, CommandPortFailedStepTest,
    ::testing::Values(
        FailedStep{"SetupComm", FAKE_SERIAL_SETUP, 1, NO_ADAPTER_FAULT, 0, "SetupComm failed 31\n"},
        FailedStep{"GetCommState", FAKE_SERIAL_GET_STATE, 1, NO_ADAPTER_FAULT, 0, "GetCommState failed 31\n"},
        FailedStep{"SetCommState1200", FAKE_SERIAL_SET_STATE, 1, NO_ADAPTER_FAULT, 0, "SetCommState failed 31\n"},
        FailedStep{"PnpReply", FAKE_CALL_KIND_COUNT, 0, WRONG_IDENTIFIER, 1, "QXYDo PNP failed\n"},
        FailedStep{"SetCommState115200", FAKE_SERIAL_SET_STATE, 2, NO_ADAPTER_FAULT, 1, "SetCommState failed 31\n"},
        FailedStep{"Handshake", FAKE_CALL_KIND_COUNT, 0, WRONG_ANSWER, 1, "\nLUMA PORT READXPNP HS Failed\n"}),
    [](const ::testing::TestParamInfo<FailedStep>& info) { return std::string(info.param.name); });

TEST_F(CommandPortTest, IgnoredFailuresDoNotStopTheOpen)
{
    FakeAdapter adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
    fake_adapter_attach(&adapter);
    fake_fail_call(FAKE_SERIAL_SET_TIMEOUTS, 1, 31);
    fake_fail_call(FAKE_SERIAL_PURGE, 1, 31);
    fake_fail_call(FAKE_SERIAL_ESCAPE, 1, 1);  // a port without modem-line control refuses these
    EXPECT_EQ(command_port_open(1), 1);
    command_port_close();
}

// ---------------------------------------------------------------------------
// The Plug-and-Play reply check on its own

struct PnpCase {
    const char* name;
    std::string reply;
    int accepted;
    std::size_t bytes_left;  // of the reply plus a trailing "#", not read by the check
};

void PrintTo(const PnpCase& c, std::ostream* os)
{
    *os << c.name;
}

class PnpReplyTest : public CommandPortTest, public ::testing::WithParamInterface<PnpCase> {};

TEST_P(PnpReplyTest, AcceptsOrRejectsAndStopsReadingInTime)
{
    const PnpCase& c = GetParam();
    open_port_directly();
    fake_serial_receive(c.reply.data(), c.reply.size(), 0);
    fake_serial_receive_text("#", 0);  // a marker: a check that reads too far eats it
    EXPECT_EQ(check_pnp_reply(), c.accepted);
    EXPECT_EQ(fake_serial_pending(), c.bytes_left);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PnpReplyTest,
    ::testing::Values(
        PnpCase{"FirstIdentifier", "(\x01\x24QXZ4702)", 1, 1},
        PnpCase{"SecondIdentifier", "(\x01\x24QXZ5830)", 1, 1},
        PnpCase{"MixedPerPosition", "(abQXZ5702)", 1, 1},
        PnpCase{"MixedOtherWay", "(abQXZ4830)", 1, 1},
        PnpCase{"FirstByteNotParenthesis", "x(abQXZ4702)", 0, 12},
        PnpCase{"CloseRightAfterIgnoredBytes", "(ab)", 1, 1},
        PnpCase{"CloseAfterFewerThanSeven", "(abQXZ)", 1, 1},
        PnpCase{"CloseAmongIgnoredBytesDoesNotEnd", "())QXZ4702)", 1, 1},
        PnpCase{"WrongCharacterStopsAtOnce", "(abQXY4702)", 0, 6},
        PnpCase{"CaseMatters", "(abqXZ4702)", 0, 8},
        PnpCase{"AnythingAfterIdentifier", "(abQXZ4702" + std::string(200, 'Z') + ")", 1, 1},
        PnpCase{"ParenthesisAs256thByteAccepted", "(abQXZ4702" + std::string(245, 'Z') + ")", 1, 1},
        PnpCase{"No256thByteParenthesisFails", "(abQXZ4702" + std::string(246, 'Z') + ")", 0, 2},
        PnpCase{"ZeroAfterIdentifierIsSilence", std::string("(abQXZ4702\0)", 12), 0, 2}),
    [](const ::testing::TestParamInfo<PnpCase>& info) { return std::string(info.param.name); });

TEST_F(CommandPortTest, PnpSilenceAfterIdentifierFailsAfterOneReadTimeout)
{
    open_port_directly();
    fake_serial_receive_text("(abQXZ4702", 0);
    EXPECT_EQ(check_pnp_reply(), 0);
    EXPECT_EQ(fake_now_ms(), 1500u);
}

TEST_F(CommandPortTest, PnpSilenceInsideIdentifierFails)
{
    open_port_directly();
    fake_serial_receive_text("(abQX", 0);
    EXPECT_EQ(check_pnp_reply(), 0);
    EXPECT_EQ(fake_now_ms(), 1500u);
}

TEST_F(CommandPortTest, PnpSlowReplyWithinReadTimeoutsIsAccepted)
{
    open_port_directly();
    const char reply[] = "(abQXZ5830)";
    for (std::size_t i = 0; i < std::strlen(reply); ++i) {
        fake_serial_receive(&reply[i], 1, 1400 * (i + 1));  // each byte 1.4 s after the last
    }
    EXPECT_EQ(check_pnp_reply(), 1);
}

// ---------------------------------------------------------------------------
// Setup handshake

TEST_F(CommandPortTest, HandshakeStopsAtFirstDifferingByte)
{
    open_port_directly();
    fake_serial_receive_text("LUMA PXRT READY", 0);
    EXPECT_EQ(setup_handshake(), 0);
    EXPECT_EQ(count_of(FAKE_SERIAL_READ), 7);
    EXPECT_EQ(fake_serial_pending(), 8u);
}

TEST_F(CommandPortTest, HandshakeWithPartlyWrittenRequestStillChecksAnswer)
{
    open_port_directly();
    fake_serial_set_write_limit(5);
    fake_serial_receive_text("LUMA PORT READY", 0);
    EXPECT_EQ(setup_handshake(), 1);
    EXPECT_EQ(bytes_text(fake_serial_written()), "LUMA ");
    EXPECT_EQ(fake_serial_pending(), 0u);
}

TEST_F(CommandPortTest, HandshakeFailsWhenRequestWriteFails)
{
    open_port_directly();
    command_port_diagnostics = 1;
    fake_fail_call(FAKE_SERIAL_WRITE, 1, 1117);
    fake_serial_receive_text("LUMA PORT READY", 0);
    EXPECT_EQ(setup_handshake(), 0);
    EXPECT_EQ(count_of(FAKE_SERIAL_READ), 0);
    EXPECT_EQ(fake_console_output(), "Write Failed: 1117\nWrite Setup Request failed: 1117\n");
}

TEST_F(CommandPortTest, HandshakeSilenceFailsAtFirstByte)
{
    open_port_directly();
    EXPECT_EQ(setup_handshake(), 0);
    EXPECT_EQ(count_of(FAKE_SERIAL_READ), 1);
    EXPECT_EQ(fake_now_ms(), 1500u);
}

// ---------------------------------------------------------------------------
// Byte calls

TEST_F(CommandPortTest, ReadByteGivesZeroForNulTimeoutAndFailure)
{
    open_port_directly();
    command_port_diagnostics = 1;
    fake_serial_receive("\0", 1, 0);
    EXPECT_EQ(command_port_read_byte(), 0);  // a received NUL
    EXPECT_EQ(fake_now_ms(), 0u);
    EXPECT_EQ(command_port_read_byte(), 0);  // silence
    EXPECT_EQ(fake_now_ms(), 1500u);
    fake_fail_call(FAKE_SERIAL_READ, 3, 995);
    fake_serial_receive_text("A", 0);
    EXPECT_EQ(command_port_read_byte(), 0);  // a failed read; the byte stays
    EXPECT_EQ(command_port_read_byte(), 'A');
    EXPECT_EQ(fake_console_output(), "ReadChar failed\n");
    EXPECT_NE(command_port_handle, PLATFORM_INVALID_HANDLE);  // failures never close the port
}

TEST_F(CommandPortTest, WriteAndReadReportCountsAndFailures)
{
    open_port_directly();
    command_port_diagnostics = 1;
    EXPECT_EQ(command_port_write("abcd", 4), 4);
    fake_serial_set_write_limit(3);
    EXPECT_EQ(command_port_write("abcd", 4), 3);
    fake_fail_call(FAKE_SERIAL_WRITE, 3, 1117);
    EXPECT_EQ(command_port_write("abcd", 4), 0);

    fake_serial_receive_text("xyz", 0);
    char buffer[8] = {};
    EXPECT_EQ(command_port_read(buffer, 8), 3);  // the interval time-out ends it
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    fake_fail_call(FAKE_SERIAL_READ, 2, 995);
    EXPECT_EQ(command_port_read(buffer, 8), 0);
    EXPECT_EQ(fake_console_output(), "Write Failed: 1117\nRead Failed 995\n");
}

}  // namespace
