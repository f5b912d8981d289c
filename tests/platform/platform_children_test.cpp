// Children started by path with an argument vector on POSIX: arguments that
// reach /bin/sh unchanged, output and error in their files, input through the
// pipe and its bounded writes, a broken pipe that fails instead of killing
// the test, descriptors that stay the parent's, the program's own path, the
// bounded wait for any child, and the console checks of a live display.
#include "platform/platform.h"
#include "platform/platform_children.h"
#include "platform/platform_console.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The longest any child here may take to end.
constexpr std::uint32_t CHILD_END_LIMIT_MS = 3000;
// How late a bounded call may return on a machine shared with other builds.
constexpr std::uint64_t BOUND_SLACK_MS = 400;

class ChildrenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder_template[] = "/tmp/platform_children_test.XXXXXX";
        ASSERT_NE(mkdtemp(folder_template), nullptr);
        folder = folder_template;
    }

    void TearDown() override
    {
        for (PlatformHandle process : started) {
            process_terminate(process);
            process_wait_any(&process, 1, CHILD_END_LIMIT_MS);
            process_close(process);
        }
        ASSERT_EQ(system(("rm -rf '" + folder + "'").c_str()), 0);
    }

    // Starts /bin/sh -c script with the extra arguments as $1...; with input,
    // its standard input is a pipe whose writing end is *input. The handle is
    // closed (and the child killed if need be) at the test's end.
    PlatformHandle start_shell(const std::string& script, const std::vector<std::string>& extra = {},
                               ProcessOptions options = {}, PlatformHandle* input = nullptr)
    {
        if (input != nullptr) {
            options.standard_input = PROCESS_STDIO_PIPE;
        }
        std::vector<const char*> argv{"sh", "-c", script.c_str(), "sh"};
        for (const std::string& argument : extra) {
            argv.push_back(argument.c_str());
        }
        argv.push_back(nullptr);
        ProcessInfo info{};
        EXPECT_EQ(process_start_argv("/bin/sh", argv.data(), &info, &options, input), 1)
            << script << ": errno " << platform_last_error();
        if (info.process != PLATFORM_INVALID_HANDLE) {
            started.push_back(info.process);
        }
        return info.process;
    }

    static std::uint32_t end_of(PlatformHandle process)
    {
        EXPECT_EQ(process_wait_any(&process, 1, CHILD_END_LIMIT_MS), 0);
        std::uint32_t code = 0xDEAD;
        EXPECT_EQ(process_exit_code(process, &code), 1);
        return code;
    }

    static std::string read_file(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    ProcessOptions to_files(const char* output = "out", const char* error = "err")
    {
        output_path = folder + "/" + output;
        error_path = folder + "/" + error;
        ProcessOptions options{};
        options.standard_output = PROCESS_STDIO_FILE;
        options.standard_output_path = output_path.c_str();
        options.standard_error = PROCESS_STDIO_FILE;
        options.standard_error_path = error_path.c_str();
        return options;
    }

    std::string folder;
    std::string output_path;
    std::string error_path;
    std::vector<PlatformHandle> started;
};

TEST_F(ChildrenTest, ArgumentsReachTheChildUnchanged)
{
    const std::vector<std::vector<std::string>> cases = {
        {"two words", "a\"quote", "'single'", ""},
        {"back\\slash\\", "\\\"", "$HOME", "*", "a\nb", " "},
        {"--port", "/dev/ttyUSB0", "--json"},
    };
    for (const auto& arguments : cases) {
        const PlatformHandle child = start_shell("printf '%s\\0' \"$@\"", arguments, to_files());
        EXPECT_EQ(end_of(child), 0u);
        std::string expected;
        for (const std::string& argument : arguments) {
            expected += argument + '\0';
        }
        EXPECT_EQ(read_file(output_path), expected);
    }
    // A program whose path holds a blank is started by that path.
    const std::string program_folder = folder + "/with blank";
    ASSERT_EQ(mkdir(program_folder.c_str(), 0700), 0);
    ASSERT_EQ(symlink("/bin/sh", (program_folder + "/sh copy").c_str()), 0);
    const std::string program = program_folder + "/sh copy";
    const char* argv[] = {"sh copy", "-c", "exit 7", nullptr};
    ProcessInfo info{};
    ASSERT_EQ(process_start_argv(program.c_str(), argv, &info, nullptr), 1);
    started.push_back(info.process);
    EXPECT_EQ(end_of(info.process), 7u);
}

// Output and error each in their file, or both in one without either
// overwriting the other; an old file is emptied; the parent reads the output
// while the child runs and waits for input lines, whose end ends its reading.
TEST_F(ChildrenTest, OutputAndErrorLandInTheirFilesAndInputLinesReachTheChild)
{
    std::ofstream(folder + "/out") << "old contents, longer than the new ones\n";
    PlatformHandle input = PLATFORM_INVALID_HANDLE;
    const PlatformHandle child = start_shell(
        "echo first; echo oops >&2; while read -r line; do echo \"got $line\"; done; echo end", {}, to_files(), &input);
    std::string seen;
    for (std::uint64_t start = clock_ms(); seen != "first\n" && clock_ms() - start < CHILD_END_LIMIT_MS;) {
        sleep_ms(10);
        seen = read_file(output_path);
    }
    EXPECT_EQ(seen, "first\n");
    EXPECT_EQ(process_has_ended(child), 0);
    for (const char* line : {"interrupt\n", "two words\n"}) {
        std::size_t written = 0;
        EXPECT_EQ(process_input_write(input, line, std::strlen(line), CHILD_END_LIMIT_MS, &written), 1);
        EXPECT_EQ(written, std::strlen(line));
    }
    EXPECT_EQ(process_input_close(input), 1);
    EXPECT_EQ(end_of(child), 0u);
    EXPECT_EQ(read_file(output_path), "first\ngot interrupt\ngot two words\nend\n");
    EXPECT_EQ(read_file(error_path), "oops\n");

    const PlatformHandle both = start_shell("echo one; echo two >&2; echo three", {}, to_files("log", "log"));
    EXPECT_EQ(end_of(both), 0u);
    EXPECT_EQ(read_file(output_path), "one\ntwo\nthree\n");
    struct stat info{};
    ASSERT_EQ(stat(output_path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// A child that ended leaves a broken pipe: the write fails with EPIPE, and
// neither kills the test nor leaves SIGPIPE pending, whether SIGPIPE is
// handled by default or ignored (as while interrupts are held).
TEST_F(ChildrenTest, WritingToAnEndedChildFailsWithoutSigpipe)
{
    for (const auto disposition : {SIG_DFL, SIG_IGN}) {
        struct sigaction chosen{};
        chosen.sa_handler = disposition;
        struct sigaction previous{};
        ASSERT_EQ(sigaction(SIGPIPE, &chosen, &previous), 0);
        PlatformHandle input = PLATFORM_INVALID_HANDLE;
        const PlatformHandle child = start_shell("exit 0", {}, {}, &input);
        EXPECT_EQ(end_of(child), 0u);
        std::size_t written = 99;
        errno = 0;
        EXPECT_EQ(process_input_write(input, "interrupt\n", 10, CHILD_END_LIMIT_MS, &written), 0);
        EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EPIPE));
        EXPECT_EQ(written, 0u);
        sigset_t pending;
        ASSERT_EQ(sigpending(&pending), 0);
        EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
        EXPECT_EQ(process_input_close(input), 1);
        ASSERT_EQ(sigaction(SIGPIPE, &previous, nullptr), 0);
    }
}

TEST_F(ChildrenTest, WritingToAChildThatStoppedReadingReturnsAtItsBound)
{
    constexpr std::uint32_t WRITE_BOUND_MS = 200;
    PlatformHandle input = PLATFORM_INVALID_HANDLE;
    start_shell("exec sleep 10", {}, {}, &input);
    const std::string flood(1 << 20, 'x');  // more than any pipe holds
    std::size_t written = 0;
    const std::uint64_t start = clock_ms();
    EXPECT_EQ(process_input_write(input, flood.data(), flood.size(), WRITE_BOUND_MS, &written), 1);
    const std::uint64_t took = clock_ms() - start;
    EXPECT_GE(took, WRITE_BOUND_MS);
    EXPECT_LT(took, WRITE_BOUND_MS + BOUND_SLACK_MS);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, flood.size());
    EXPECT_EQ(process_input_close(input), 1);
}

// A child keeps 0, 1 and 2 only: not a descriptor this program opened without
// close-on-exec, nor another child's input pipe.
TEST_F(ChildrenTest, ChildInheritsNoOtherDescriptor)
{
    const int plain = open("/dev/null", O_RDONLY);  // no close-on-exec
    ASSERT_GE(plain, 0);
    PlatformHandle other_input = PLATFORM_INVALID_HANDLE;
    start_shell("exec sleep 10", {}, {}, &other_input);
    const std::string check = "for fd in \"$@\"; do [ -e /proc/$$/fd/$fd ] && exit 1; done; exit 0";
    const PlatformHandle child =
        start_shell(check, {std::to_string(plain), std::to_string(other_input), "3", "4", "5"}, to_files());
    EXPECT_EQ(end_of(child), 0u);
    close(plain);
    EXPECT_EQ(process_input_close(other_input), 1);
}

TEST_F(ChildrenTest, SelfPathNamesTheTestProgram)
{
    char path[PROCESS_SELF_PATH_MAX_BYTES];
    ASSERT_EQ(process_self_path(path, sizeof path), 1);
    const std::string self = path;
    EXPECT_EQ(self.substr(self.rfind('/') + 1), "platform_posix_tests");
    EXPECT_EQ(access(path, X_OK), 0);
    char short_room[4];
    EXPECT_EQ(process_self_path(short_room, sizeof short_room), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(ENAMETOOLONG));
    EXPECT_STREQ(short_room, "");
}

// One child per adapter, 64 watched at once: the one that ends (the last)
// is found within its bound, and again at once; without it none ends in time;
// a 65th is refused. Nothing to wait for is a failure, not a time-out.
TEST_F(ChildrenTest, WaitAnyFindsTheEndedOneOfSixtyFourChildrenWithinItsBoundOrTimesOut)
{
    constexpr int CHILDREN_AT_ONCE = 64;
    constexpr std::uint64_t CHILD_RUN_MS = 200;
    constexpr std::uint32_t TIMEOUT_MS = 150;
    std::vector<PlatformHandle> children;
    for (int i = 0; i < CHILDREN_AT_ONCE; ++i) {
        children.push_back(start_shell(i + 1 < CHILDREN_AT_ONCE ? "exec sleep 10" : "sleep 0.2; exit 3"));
    }
    std::uint64_t start = clock_ms();
    EXPECT_EQ(process_wait_any(children.data(), CHILDREN_AT_ONCE, CHILD_END_LIMIT_MS), CHILDREN_AT_ONCE - 1);
    const std::uint64_t took = clock_ms() - start;
    EXPECT_GE(took, CHILD_RUN_MS - 50);
    EXPECT_LT(took, CHILD_RUN_MS + BOUND_SLACK_MS);
    std::uint32_t code = 0;
    EXPECT_EQ(process_exit_code(children.back(), &code), 1);
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(process_wait_any(children.data(), CHILDREN_AT_ONCE, 0), CHILDREN_AT_ONCE - 1);
    const char* argv[] = {"sh", "-c", "exit 0", nullptr};
    ProcessInfo info{};
    EXPECT_EQ(process_start_argv("/bin/sh", argv, &info, nullptr), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EAGAIN));
    children.pop_back();
    start = clock_ms();
    EXPECT_EQ(process_wait_any(children.data(), CHILDREN_AT_ONCE - 1, TIMEOUT_MS), PROCESS_WAIT_TIMEOUT);
    EXPECT_GE(clock_ms() - start, TIMEOUT_MS);
    EXPECT_LT(clock_ms() - start, TIMEOUT_MS + BOUND_SLACK_MS);
    const PlatformHandle unknown[] = {children[0], PLATFORM_INVALID_HANDLE};
    EXPECT_EQ(process_wait_any(unknown, 2, TIMEOUT_MS), PROCESS_WAIT_FAILED);
    EXPECT_EQ(process_wait_any(nullptr, 1, TIMEOUT_MS), PROCESS_WAIT_FAILED);
    EXPECT_EQ(process_wait_any(children.data(), 0, TIMEOUT_MS), PROCESS_WAIT_FAILED);
}

// Options the call cannot honour are refused before anything starts, and a
// start that fails leaves no descriptor open.
TEST_F(ChildrenTest, StartRefusesWhatItCannotDoAndLeavesNothingOpen)
{
    const std::string missing_folder = folder + "/missing/out";
    const char* shell_argv[] = {"sh", "-c", "exit 0", nullptr};
    const struct {
        const char* name;
        const char* program;
        ProcessOptions options;
        bool give_input;
        std::uint32_t error;
    } cases[] = {
        {"file without a path", "/bin/sh", {.standard_output = PROCESS_STDIO_FILE}, false, EINVAL},
        {"pipe without a place for it", "/bin/sh", {.standard_input = PROCESS_STDIO_PIPE}, false, EINVAL},
        {"a port device", "/bin/sh", {.port_device = "/dev/null"}, false, EINVAL},
        {"no search for a bare name", "sh", {}, false, ENOENT},
        {"output in a missing folder", "/bin/sh",
         {.standard_input = PROCESS_STDIO_PIPE, .standard_output = PROCESS_STDIO_FILE,
          .standard_output_path = missing_folder.c_str()},
         true, ENOENT},
    };
    const int first_free = dup(0);
    close(first_free);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ProcessInfo info{};
        PlatformHandle input = 12345;
        EXPECT_EQ(process_start_argv(c.program, shell_argv, &info, &c.options, c.give_input ? &input : nullptr), 0);
        EXPECT_EQ(platform_last_error(), c.error);
        EXPECT_EQ(info.process, PLATFORM_INVALID_HANDLE);
        if (c.give_input) {
            EXPECT_EQ(input, PLATFORM_INVALID_HANDLE);
        }
        const int next_free = dup(0);
        EXPECT_EQ(next_free, first_free);
        close(next_free);
    }
    // process_start takes none of the new options, so it starts as it always did.
    ProcessInfo info{};
    const ProcessOptions piped{.standard_input = PROCESS_STDIO_PIPE};
    EXPECT_EQ(process_start("/bin/true", &info, &piped), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));
}

// Standard output on a terminal of a known size, on one that never had a
// size, and on a file; the display uses escapes only on a capable terminal.
TEST(ConsoleDisplayTest, TerminalWidthAndEscapesFollowStandardOutput)
{
    PseudoTerminal pty = pseudo_terminal_open();
    ASSERT_GE(pty.master, 0);
    const int terminal = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    const int file = open("/dev/null", O_WRONLY);
    const char* term = getenv("TERM");
    const bool had_term = term != nullptr;
    const std::string saved_term = had_term ? term : "";
    const winsize size{40, 123, 0, 0};
    const struct {
        const char* name;
        bool sized;
        int fd;
        const char* term;
        int is_terminal, width, escapes;
    } cases[] = {
        {"terminal", true, terminal, "xterm", 1, 123, 1},
        {"dumb terminal", true, terminal, "dumb", 1, 123, 0},
        {"terminal without a size", false, terminal, "xterm", 1, CONSOLE_WIDTH_DEFAULT_COLUMNS, 1},
        {"file", true, file, "xterm", 0, CONSOLE_WIDTH_DEFAULT_COLUMNS, 0},
    };
    const int saved_stdout = dup(STDOUT_FILENO);
    std::vector<std::vector<int>> results;
    for (const auto& c : cases) {
        const winsize none{};
        ioctl(terminal, TIOCSWINSZ, c.sized ? &size : &none);
        setenv("TERM", c.term, 1);
        dup2(c.fd, STDOUT_FILENO);
        results.push_back({console_is_terminal(CONSOLE_OUTPUT_STDOUT), console_width(CONSOLE_OUTPUT_STDOUT),
                           console_enable_escapes()});
        dup2(saved_stdout, STDOUT_FILENO);
    }
    if (had_term) {
        setenv("TERM", saved_term.c_str(), 1);
    } else {
        unsetenv("TERM");
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i], (std::vector<int>{cases[i].is_terminal, cases[i].width, cases[i].escapes}))
            << cases[i].name;
    }
    // Any other stream is no terminal.
    EXPECT_EQ(console_is_terminal(CONSOLE_OUTPUT_NONE), 0);
    EXPECT_EQ(console_width(CONSOLE_OUTPUT_NONE), CONSOLE_WIDTH_DEFAULT_COLUMNS);
    close(saved_stdout);
    close(file);
    close(terminal);
    pseudo_terminal_close(&pty);
}

}  // namespace
