// Interrupt holds on POSIX with real signals, and a listening child's
// standard input. Dispositions, the input thread and the noted record belong
// to the whole process, so each case runs in a child process of its own: its
// standard error goes to a pipe, and its checks report to another.
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

namespace {

constexpr int CHILD_TIMEOUT_MS = 10000;
// How long a child waits for its input thread to take a line.
constexpr int RELAY_WAIT_MS = 2000;
const char NOTICE[] = "interrupted: finishing the key being written";

// In the child: a failed check goes to standard error, which each test
// compares whole, and ends the child.
void child_check(bool ok, const char* what, int line)
{
    if (!ok) {
        const std::string text = "failed: " + std::string(what) + " (line " + std::to_string(line) + ")\n";
        (void)!write(STDERR_FILENO, text.data(), text.size());
        _exit(1);
    }
}
#define CHILD_CHECK(condition) child_check((condition), #condition, __LINE__)

struct ChildResult {
    int status = -1;
    std::string errors;  // its standard error
};

// Runs body in a child whose standard error is a pipe (or stderr_fd when
// given), waits at most CHILD_TIMEOUT_MS for it, kills it after.
ChildResult run_child(const std::function<void()>& body, int stderr_fd = -1)
{
    ChildResult result;
    int errors[2];
    if (pipe(errors) != 0) {
        return result;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        (void)dup2(stderr_fd >= 0 ? stderr_fd : errors[1], STDERR_FILENO);
        body();
        _exit(0);
    }
    close(errors[1]);
    pid_t done = 0;
    for (int waited_ms = 0; done == 0 && waited_ms < CHILD_TIMEOUT_MS; waited_ms += 10) {
        done = waitpid(pid, &result.status, WNOHANG);
        usleep(done == 0 ? 10000 : 0);
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &result.status, 0);
    }
    char buffer[512];
    for (ssize_t n; (n = read(errors[0], buffer, sizeof buffer)) > 0;) {
        result.errors.append(buffer, static_cast<std::size_t>(n));
    }
    close(errors[0]);
    return result;
}

bool exited_with(const ChildResult& result, int status)
{
    return WIFEXITED(result.status) && WEXITSTATUS(result.status) == status;
}

bool killed_by(const ChildResult& result, int signal_number)
{
    return WIFSIGNALED(result.status) && WTERMSIG(result.status) == signal_number;
}

// Waits (bounded) for the input thread to note a relayed line.
bool noted_within(std::uint32_t count)
{
    const std::uint64_t end_ms = clock_ms() + RELAY_WAIT_MS;
    while (interrupt_record().count < count && clock_ms() < end_ms) {
        sleep_ms(5);
    }
    return interrupt_record().count >= count;
}

// Standard input from a pipe whose writing end the child keeps.
int child_input_pipe()
{
    int ends[2];
    CHILD_CHECK(pipe(ends) == 0 && dup2(ends[0], STDIN_FILENO) == STDIN_FILENO);
    return ends[1];
}

struct HeldSignal {
    const char* name;
    int signal_number;
    InterruptKind kind;
};

void PrintTo(const HeldSignal& held, std::ostream* out)
{
    *out << held.name;
}

class HeldSignalTest : public ::testing::TestWithParam<HeldSignal> {};

// Each interrupt is noted, twice in quick succession insists, the notice is
// written once; the record stays readable after the hold, and the system's
// handling is back: the same signal then ends the process.
TEST_P(HeldSignalTest, NotedInsideHoldAndEndsTheProcessAfterIt)
{
    const HeldSignal held = GetParam();
    const ChildResult result = run_child([&] {
        CHILD_CHECK(interrupt_hold_begin(NOTICE) == 1);
        CHILD_CHECK(kill(getpid(), held.signal_number) == 0);
        CHILD_CHECK(interrupt_noted() == 1 && interrupt_insisted() == 0);
        CHILD_CHECK(kill(getpid(), held.signal_number) == 0);
        const InterruptRecord record = interrupt_record();
        CHILD_CHECK(record.count == 2 && record.kind == held.kind);
        CHILD_CHECK(record.last_ms >= record.previous_ms && record.previous_ms > 0);
        CHILD_CHECK(interrupt_insisted() == 1 && interrupt_deadline_ms() == INTERRUPT_NO_DEADLINE);
        CHILD_CHECK(interrupt_hold_end() == 1);
        CHILD_CHECK(interrupt_holding() == 0 && interrupt_record().count == 2);
        kill(getpid(), held.signal_number);
        CHILD_CHECK(!"still running after the signal outside the hold");
    });
    EXPECT_TRUE(killed_by(result, held.signal_number)) << result.status;
    EXPECT_EQ(result.errors, std::string(NOTICE) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Signals, HeldSignalTest,
                         ::testing::Values(HeldSignal{"Interrupt", SIGINT, INTERRUPT_CTRL_C},
                                           HeldSignal{"Terminate", SIGTERM, INTERRUPT_TERMINATE},
                                           HeldSignal{"HangUp", SIGHUP, INTERRUPT_CLOSE}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(InterruptHoldTest, BrokenPipeFailsTheWriteInsideHoldAndEndsTheProcessAfterIt)
{
    const ChildResult result = run_child([] {
        int ends[2];
        CHILD_CHECK(pipe(ends) == 0 && close(ends[0]) == 0);
        CHILD_CHECK(interrupt_hold_begin(NOTICE) == 1);
        CHILD_CHECK(write(ends[1], "x", 1) == -1 && errno == EPIPE);
        CHILD_CHECK(interrupt_noted() == 0 && interrupt_hold_end() == 1);
        (void)!write(ends[1], "x", 1);
        CHILD_CHECK(!"still running after a broken pipe outside the hold");
    });
    EXPECT_TRUE(killed_by(result, SIGPIPE)) << result.status;
    EXPECT_EQ(result.errors, "");
}

void own_handler(int)
{
}

// An inner hold's end leaves the outer one holding with its own notice; the
// outermost end puts back what the process had: its own handler, and an
// ignored SIGHUP (nohup) that the hold left ignored. Too deep a hold and an
// end without one are refused.
TEST(InterruptHoldTest, NestedHoldsKeepIgnoredSignalsAndRestoreHandlers)
{
    const ChildResult result = run_child([] {
        CHILD_CHECK(signal(SIGHUP, SIG_IGN) != SIG_ERR && signal(SIGTERM, own_handler) != SIG_ERR);
        for (int i = 0; i < INTERRUPT_HOLD_DEPTH_MAX; ++i) {
            CHILD_CHECK(interrupt_hold_begin(("hold " + std::to_string(i)).c_str()) == 1);
        }
        CHILD_CHECK(interrupt_hold_begin("one too deep") == 0 && errno == EINVAL);
        for (int i = 0; i < INTERRUPT_HOLD_DEPTH_MAX - 1; ++i) {
            CHILD_CHECK(interrupt_hold_end() == 1);
        }
        CHILD_CHECK(kill(getpid(), SIGHUP) == 0 && interrupt_noted() == 0);
        CHILD_CHECK(kill(getpid(), SIGINT) == 0 && interrupt_noted() == 1);
        CHILD_CHECK(interrupt_hold_end() == 1);
        CHILD_CHECK(interrupt_hold_end() == 0 && errno == EINVAL && interrupt_hold_notice("none") == 0);
        struct sigaction now{};
        CHILD_CHECK(sigaction(SIGHUP, nullptr, &now) == 0 && now.sa_handler == SIG_IGN);
        CHILD_CHECK(sigaction(SIGTERM, nullptr, &now) == 0 && now.sa_handler == own_handler);
        CHILD_CHECK(sigaction(SIGINT, nullptr, &now) == 0 && now.sa_handler == SIG_DFL);
    });
    EXPECT_TRUE(exited_with(result, 0)) << result.status;
    EXPECT_EQ(result.errors, "hold 0\n");
}

// The terminal echoes "^C" where the cursor is: the notice starts a new line.
TEST(InterruptHoldTest, NoticeOnATerminalStartsOnALineOfItsOwn)
{
    PseudoTerminal pty = pseudo_terminal_open();
    ASSERT_GE(pty.master, 0);
    const int terminal = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const ChildResult result = run_child(
        [] {
            CHILD_CHECK(interrupt_hold_begin(NOTICE) == 1 && kill(getpid(), SIGINT) == 0);
        },
        terminal);
    close(terminal);
    EXPECT_TRUE(exited_with(result, 0)) << result.status;
    const std::string expected = std::string("\r\n") + NOTICE + "\r\n";
    EXPECT_EQ(pseudo_terminal_read(pty, expected.size(), 1000), expected);
    pseudo_terminal_close(&pty);
}

// A listening child: an "interrupt" line (among others, one overlong, one
// ending in CR LF across two reads) is noted and announced inside a hold;
// Ctrl-C is the parent's, SIGTERM still the child's own.
TEST(InterruptListenTest, RelayedLineIsNotedInsideHoldAndCtrlCIsIgnored)
{
    const ChildResult result = run_child([] {
        const int parent = child_input_pipe();
        CHILD_CHECK(interrupt_listen_on_input() == 1 && interrupt_listen_on_input() == 1);
        CHILD_CHECK(interrupt_hold_begin(NOTICE) == 1);
        CHILD_CHECK(kill(getpid(), SIGINT) == 0);
        const std::string lines = "status\n" + std::string(100, 'x') + "interrupt\ninterrupt";
        CHILD_CHECK(write(parent, lines.data(), lines.size()) == static_cast<ssize_t>(lines.size()));
        CHILD_CHECK(write(parent, "\r\n", 2) == 2);
        CHILD_CHECK(noted_within(1));
        sleep_ms(100);
        CHILD_CHECK(interrupt_record().count == 1 && interrupt_record().kind == INTERRUPT_RELAYED);
        CHILD_CHECK(kill(getpid(), SIGTERM) == 0 && interrupt_record().kind == INTERRUPT_TERMINATE);
        CHILD_CHECK(interrupt_hold_end() == 1);
    });
    EXPECT_TRUE(exited_with(result, 0)) << result.status;
    EXPECT_EQ(result.errors, std::string(NOTICE) + "\n");
}

TEST(InterruptListenTest, RelayedLineOutsideHoldEndsTheProcessAtOnce)
{
    const ChildResult result = run_child([] {
        const int parent = child_input_pipe();
        CHILD_CHECK(interrupt_listen_on_input() == 1 && write(parent, "interrupt\n", 10) == 10);
        sleep_ms(RELAY_WAIT_MS);
        CHILD_CHECK(!"still running after an interrupt line outside a hold");
    });
    EXPECT_TRUE(exited_with(result, INTERRUPT_EXIT_STATUS)) << result.status << result.errors;
}

// A parent that is gone stops nothing: its closed pipe is no interrupt, and
// writes to its broken pipes fail instead of ending the child. Listening
// begins before any hold, and needs a standard input.
TEST(InterruptListenTest, EndOfInputIsNoInterruptAndListeningHasItsConditions)
{
    const ChildResult result = run_child([] {
        CHILD_CHECK(interrupt_hold_begin(NOTICE) == 1);
        CHILD_CHECK(interrupt_listen_on_input() == 0 && errno == EINVAL && interrupt_hold_end() == 1);
        CHILD_CHECK(close(STDIN_FILENO) == 0);
        CHILD_CHECK(interrupt_listen_on_input() == 0 && errno == EBADF);
        const int parent = child_input_pipe();
        CHILD_CHECK(interrupt_listen_on_input() == 1 && close(parent) == 0);
        sleep_ms(100);
        CHILD_CHECK(interrupt_noted() == 0);
        int output[2];
        CHILD_CHECK(pipe(output) == 0 && close(output[0]) == 0);
        CHILD_CHECK(write(output[1], "x", 1) == -1 && errno == EPIPE);
    });
    EXPECT_TRUE(exited_with(result, 0)) << result.status;
    EXPECT_EQ(result.errors, "");
}

}  // namespace
