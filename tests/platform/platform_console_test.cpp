// The console key test and the key-wait terminal mode on POSIX, with standard
// input redirected to each kind of source; and sleep_ms under signals.
#include "platform/platform.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Puts another descriptor on standard input for one test and restores it.
class StandardInputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_stdin = dup(STDIN_FILENO);
        ASSERT_GE(saved_stdin, 0);
    }

    void TearDown() override
    {
        console_key_wait_end();
        ASSERT_EQ(dup2(saved_stdin, STDIN_FILENO), STDIN_FILENO);
        close(saved_stdin);
    }

    static void redirect(int fd)
    {
        ASSERT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
        close(fd);
    }

    int saved_stdin = -1;
};

TEST_F(StandardInputTest, NullDeviceCountsAsEndedInput)
{
    const int null_device = open("/dev/null", O_RDONLY);
    ASSERT_GE(null_device, 0);
    redirect(null_device);
    EXPECT_EQ(console_key_waiting(), 1);
}

TEST_F(StandardInputTest, ClosedStandardInputCountsAsEndedInput)
{
    close(STDIN_FILENO);
    EXPECT_EQ(console_key_waiting(), 1);
}

TEST_F(StandardInputTest, PipeWaitsForDataOrItsEndAndNothingIsRead)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    redirect(ends[0]);
    EXPECT_EQ(console_key_waiting(), 0);

    ASSERT_EQ(write(ends[1], "k", 1), 1);
    EXPECT_EQ(console_key_waiting(), 1);
    EXPECT_EQ(console_key_waiting(), 1);
    char key = 0;
    ASSERT_EQ(read(STDIN_FILENO, &key, 1), 1);  // the byte is still there
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(console_key_waiting(), 0);

    close(ends[1]);
    EXPECT_EQ(console_key_waiting(), 1);
}

class TerminalInputTest : public StandardInputTest {
protected:
    void SetUp() override
    {
        StandardInputTest::SetUp();
        pty = pseudo_terminal_open();
        ASSERT_GE(pty.master, 0);
        const int slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        redirect(slave);
        ASSERT_EQ(tcgetattr(STDIN_FILENO, &cooked), 0);
        ASSERT_TRUE(cooked.c_lflag & ICANON);
        ASSERT_TRUE(cooked.c_lflag & ECHO);
    }

    void TearDown() override
    {
        StandardInputTest::TearDown();
        pseudo_terminal_close(&pty);
    }

    tcflag_t local_flags() const
    {
        termios t{};
        EXPECT_EQ(tcgetattr(pty.master, &t), 0);
        return t.c_lflag;
    }

    PseudoTerminal pty;
    termios cooked{};
};

TEST_F(TerminalInputTest, KeyWaitSeesASingleKeyWithoutEnterAndRestoresTheTerminal)
{
    EXPECT_EQ(console_key_waiting(), 0);
    console_key_wait_begin();
    EXPECT_EQ(local_flags() & (ICANON | ECHO), 0u);
    EXPECT_EQ(console_key_waiting(), 0);

    ASSERT_TRUE(pseudo_terminal_write(pty, "x"));
    const std::uint64_t start = clock_ms();
    while (!console_key_waiting() && clock_ms() - start < 1000) {
        sleep_ms(5);
    }
    EXPECT_EQ(console_key_waiting(), 1);

    console_key_wait_end();
    EXPECT_EQ(local_flags(), cooked.c_lflag);
    EXPECT_EQ(pseudo_terminal_read(pty, 1, 100), "");  // no echo of the key
}

TEST_F(TerminalInputTest, KeyPressedBeforeTheWaitEndsItAtOnce)
{
    ASSERT_TRUE(pseudo_terminal_write(pty, "x"));
    sleep_ms(50);
    EXPECT_EQ(console_key_waiting(), 0);  // a cooked terminal holds it until Enter
    console_key_wait_begin();
    EXPECT_EQ(console_key_waiting(), 1);
    console_key_wait_end();
}

TEST_F(TerminalInputTest, ProcessExitRestoresTheTerminalOfAnUnfinishedKeyWait)
{
    EXPECT_EXIT(
        {
            console_key_wait_begin();
            process_exit(7);
        },
        ::testing::ExitedWithCode(7), "");
    EXPECT_EQ(local_flags(), cooked.c_lflag);
}

TEST_F(TerminalInputTest, TerminatingSignalRestoresTheTerminal)
{
    EXPECT_EXIT(
        {
            console_key_wait_begin();
            raise(SIGTERM);
            sleep_ms(1000);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(local_flags(), cooked.c_lflag);
}

void count_alarm(int)
{
}

TEST(SleepTest, SleepsTheFullTimeThroughSignals)
{
    struct sigaction alarm_action{};
    alarm_action.sa_handler = count_alarm;  // no SA_RESTART: nanosleep is cut short
    sigemptyset(&alarm_action.sa_mask);
    struct sigaction previous{};
    ASSERT_EQ(sigaction(SIGALRM, &alarm_action, &previous), 0);
    itimerval every_10_ms{{0, 10000}, {0, 10000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every_10_ms, nullptr), 0);

    const std::uint64_t start = clock_ms();
    sleep_ms(100);
    const std::uint64_t elapsed = clock_ms() - start;

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 250u);
}

}  // namespace
