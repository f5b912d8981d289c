// Interrupts on the fake platform: the holding rules the real platforms share
// (interrupt_state.cpp) on the virtual clock, and the fake's delivery at a
// time and on a call that the tool's tests build on.
#include <string>
#include <utility>
#include <vector>

#include "fake_fixture.h"

namespace {

struct InterruptCase {
    const char* name;
    bool listening;
    std::vector<std::pair<std::uint64_t, InterruptKind>> interrupts;
    InterruptKind ended_by;  // INTERRUPT_NONE: the program ran to its end
    std::uint64_t ended_at_ms;
    std::uint32_t noted;
    const char* errors;  // what standard error shows
    int insisted;
};

void PrintTo(const InterruptCase& c, std::ostream* out)
{
    *out << c.name;
}

class FakeInterruptTest : public FakePlatformTest, public ::testing::WithParamInterface<InterruptCase> {};

void sleep_until(std::uint64_t time_ms)
{
    while (fake_now_ms() < time_ms) {
        sleep_ms(100);
    }
}

// A program that holds from 100 to 5000 ms, with another notice from 500 on
// (the download tool starts), and runs on to 9000 ms.
TEST_P(FakeInterruptTest, HeldWindowNotesAndTheRestEndsAtOnce)
{
    const InterruptCase c = GetParam();
    for (const auto& [at_ms, kind] : c.interrupts) {
        fake_interrupt_at(at_ms, kind);
    }
    InterruptKind ended_by = INTERRUPT_NONE;
    std::uint64_t ended_at_ms = 0;
    try {
        if (c.listening) {
            ASSERT_EQ(interrupt_listen_on_input(), 1);
        }
        sleep_until(100);
        ASSERT_EQ(interrupt_hold_begin("finishing the key"), 1);
        sleep_until(500);
        ASSERT_EQ(interrupt_hold_notice("the download tool is writing"), 1);
        sleep_until(5000);
        ASSERT_EQ(interrupt_hold_end(), 1);
        sleep_until(9000);
    } catch (const FakeInterruptEnd& end) {
        ended_by = end.kind;
        ended_at_ms = end.at_ms;
    }
    EXPECT_EQ(ended_by, c.ended_by);
    EXPECT_EQ(ended_at_ms, c.ended_at_ms);
    EXPECT_EQ(interrupt_record().count, c.noted);
    EXPECT_EQ(fake_console_errors(), c.errors);
    EXPECT_EQ(interrupt_insisted(), c.insisted);
}

INSTANTIATE_TEST_SUITE_P(
    Schedules, FakeInterruptTest,
    ::testing::Values(
        InterruptCase{"CtrlCBeforeTheHoldEndsAtOnce", false, {{50, INTERRUPT_CTRL_C}}, INTERRUPT_CTRL_C, 50, 0, "", 0},
        InterruptCase{"RepeatWithinTheWindowInsistsAndIsNotAnnouncedAgain", false,
                      {{150, INTERRUPT_CTRL_C}, {150 + INTERRUPT_INSIST_WINDOW_MS, INTERRUPT_CTRL_BREAK}},
                      INTERRUPT_NONE, 0, 2, "finishing the key\n", 1},
        InterruptCase{"RepeatAfterAPauseIsAnnouncedWithTheCurrentNotice", false,
                      {{150, INTERRUPT_CTRL_C}, {151 + INTERRUPT_INSIST_WINDOW_MS, INTERRUPT_TERMINATE}},
                      INTERRUPT_NONE, 0, 2, "finishing the key\nthe download tool is writing\n", 0},
        InterruptCase{"CtrlCAfterTheHoldEndsAtOnce", false, {{5500, INTERRUPT_CTRL_C}}, INTERRUPT_CTRL_C, 5500, 0, "",
                      0},
        InterruptCase{"ClosedConsoleEndsTheProcessAfterTheGrace", false, {{300, INTERRUPT_CLOSE}}, INTERRUPT_CLOSE,
                      300 + INTERRUPT_CLOSE_GRACE_MS, 1, "finishing the key\n", 0},
        InterruptCase{"ListeningChildTakesRelayedLinesNotCtrlC", true,
                      {{150, INTERRUPT_CTRL_C}, {160, INTERRUPT_CTRL_BREAK}, {200, INTERRUPT_RELAYED}},
                      INTERRUPT_NONE, 0, 1, "finishing the key\n", 0},
        InterruptCase{"ListeningChildEndsOnARelayedLineOutsideTheHold", true, {{5200, INTERRUPT_RELAYED}},
                      INTERRUPT_RELAYED, 5200, 0, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

using FakeInterruptCallTest = FakePlatformTest;

// On a call: logged, then delivered before the call acts. Outside a hold the
// second write never happens; inside one both do.
TEST_F(FakeInterruptCallTest, DeliveredAsTheCallBeginsBeforeItActs)
{
    for (const bool holding : {false, true}) {
        fake_reset();
        fake_interrupt_on_call(FAKE_SERIAL_WRITE, 2);
        const PlatformHandle port = serial_open(FAKE_SERIAL_DEVICE_PATH);
        if (holding) {
            ASSERT_EQ(interrupt_hold_begin("finishing"), 1);
        }
        std::uint32_t moved = 0;
        bool ended = false;
        try {
            serial_write(port, "ab", 2, &moved);
            serial_write(port, "cd", 2, &moved);
        } catch (const FakeInterruptEnd& end) {
            ended = end.kind == INTERRUPT_CTRL_C;
        }
        EXPECT_EQ(ended, !holding);
        EXPECT_EQ(fake_serial_written().size(), holding ? 4u : 2u);
        EXPECT_EQ(interrupt_noted(), holding ? 1 : 0);
        const auto delivered = fake_calls_of(FAKE_INTERRUPT);
        ASSERT_EQ(delivered.size(), 1u);
        EXPECT_EQ(delivered[0].result, holding ? 1 : 0);
        serial_close(port);
    }
}

// A close in a hold tells when the system ends the process; a notice longer
// than the bound is cut to fit; misuse is refused.
TEST_F(FakeInterruptCallTest, CloseDeadlineNoticeBoundAndMisuse)
{
    const std::string long_notice(INTERRUPT_NOTICE_MAX_BYTES + 20, 'n');
    ASSERT_EQ(interrupt_hold_begin(long_notice.c_str()), 1);
    EXPECT_EQ(interrupt_deadline_ms(), INTERRUPT_NO_DEADLINE);
    fake_interrupt_at(1000, INTERRUPT_CLOSE);
    fake_advance_ms(1000);
    EXPECT_EQ(interrupt_deadline_ms(), 1000 + INTERRUPT_CLOSE_GRACE_MS);
    EXPECT_EQ(interrupt_record().kind, INTERRUPT_CLOSE);
    EXPECT_EQ(fake_console_errors(), long_notice.substr(0, INTERRUPT_NOTICE_MAX_BYTES - 1) + "\n");
    EXPECT_EQ(interrupt_listen_on_input(), 0);
    ASSERT_EQ(interrupt_hold_end(), 1);
    interrupt_clear();
    EXPECT_EQ(interrupt_noted(), 0);
    EXPECT_EQ(interrupt_hold_notice("none"), 0);
    EXPECT_THROW(fake_advance_ms(INTERRUPT_CLOSE_GRACE_MS), FakeInterruptEnd);
}

}  // namespace
