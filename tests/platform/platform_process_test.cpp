// Child processes on POSIX: program search, exit codes as GetExitCodeProcess
// gives them, telling a finished child from a running one, and that a child
// does not inherit an open serial port.
#include "platform/platform.h"
#include "platform/platform_files.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

namespace {

// The longest any child here may take to end.
constexpr std::uint64_t CHILD_END_LIMIT_MS = 3000;

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder_template[] = "/tmp/platform_process_test.XXXXXX";
        ASSERT_NE(mkdtemp(folder_template), nullptr);
        folder = folder_template;
        ASSERT_NE(getcwd(start_folder, sizeof start_folder), nullptr);
        const char* path = getenv("PATH");
        saved_path = path != nullptr ? path : "";
        ASSERT_EQ(chdir(folder.c_str()), 0);
    }

    void TearDown() override
    {
        ASSERT_EQ(chdir(start_folder), 0);
        setenv("PATH", saved_path.c_str(), 1);
        const std::string remove = "rm -rf '" + folder + "'";
        ASSERT_EQ(system(remove.c_str()), 0);
    }

    static void write_script(const std::string& path, const std::string& body, mode_t mode = 0755)
    {
        std::ofstream file(path);
        file << "#!/bin/sh\n" << body << "\n";
        file.close();
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }

    // Starts the command line and waits (bounded) for the child's end.
    static std::uint32_t run_to_end(const char* command_line)
    {
        ProcessInfo info{};
        EXPECT_EQ(process_start(command_line, &info), 1) << command_line << ": errno " << platform_last_error();
        const std::uint64_t start = clock_ms();
        while (!process_has_ended(info.process) && clock_ms() - start < CHILD_END_LIMIT_MS) {
            sleep_ms(5);
        }
        EXPECT_EQ(process_has_ended(info.process), 1) << command_line;
        std::uint32_t code = 0xDEAD;
        EXPECT_EQ(process_exit_code(info.process, &code), 1);
        EXPECT_EQ(process_close(info.process), 1);
        return code;
    }

    std::string folder;
    char start_folder[PATH_MAX] = {};
    std::string saved_path;
};

TEST_F(ProcessTest, ExitCodesAreReportedAsTheChildGaveThem)
{
    write_script(folder + "/exit_with", "exit $1");
    EXPECT_EQ(run_to_end("exit_with 0"), 0u);
    EXPECT_EQ(run_to_end("exit_with 3"), 3u);
    // POSIX keeps 8 bits of an exit status: 259 arrives as 3, and a real exit
    // can never be mistaken for PROCESS_STILL_ACTIVE here.
    EXPECT_EQ(run_to_end("exit_with 259"), 3u);
}

TEST_F(ProcessTest, KilledChildReports128PlusTheSignal)
{
    write_script(folder + "/kill_self", "kill -$1 $$\nsleep 5");
    EXPECT_EQ(run_to_end("kill_self 9"), 128u + 9u);
    EXPECT_EQ(run_to_end("kill_self 15"), 128u + 15u);
}

TEST_F(ProcessTest, RunningChildReportsStillActiveUntilItEnds)
{
    write_script(folder + "/slow_exit", "sleep 0.3\nexit 4");
    ProcessInfo info{};
    ASSERT_EQ(process_start("slow_exit", &info), 1);
    EXPECT_EQ(info.thread, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(info.process, static_cast<PlatformHandle>(info.process_id));

    // The caller's query handle, opened by process id as OpenProcess does.
    const PlatformHandle query = process_open(info.process_id);
    ASSERT_NE(query, PLATFORM_INVALID_HANDLE);
    std::uint32_t code = 0;
    ASSERT_EQ(process_exit_code(query, &code), 1);
    EXPECT_EQ(code, PROCESS_STILL_ACTIVE);
    EXPECT_EQ(process_has_ended(info.process), 0);

    const std::uint64_t start = clock_ms();
    while (code == PROCESS_STILL_ACTIVE && clock_ms() - start < CHILD_END_LIMIT_MS) {
        sleep_ms(10);
        ASSERT_EQ(process_exit_code(query, &code), 1);
    }
    EXPECT_EQ(code, 4u);
    EXPECT_EQ(process_has_ended(info.process), 1);
    // Every handle still reads the cached code after the child was reaped.
    ASSERT_EQ(process_exit_code(info.process, &code), 1);
    EXPECT_EQ(code, 4u);

    EXPECT_EQ(process_close(query), 1);
    EXPECT_EQ(process_close(info.thread), 0);  // no thread handle on POSIX: harmless
    EXPECT_EQ(process_close(info.process), 1);
    EXPECT_EQ(process_close(info.process), 0);  // all handles closed
    EXPECT_EQ(process_open(info.process_id), PLATFORM_INVALID_HANDLE);
}

TEST_F(ProcessTest, ProgramInTheCurrentFolderComesBeforePath)
{
    const std::string on_path = folder + "/on_path";
    const std::string elsewhere = folder + "/elsewhere";
    ASSERT_EQ(mkdir(on_path.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    write_script(folder + "/tool", "exit 5");
    write_script(on_path + "/tool", "exit 6");
    setenv("PATH", (on_path + ":" + saved_path).c_str(), 1);

    EXPECT_EQ(run_to_end("tool"), 5u);
    ASSERT_EQ(chdir(elsewhere.c_str()), 0);
    EXPECT_EQ(run_to_end("tool"), 6u);
    // A file that is not executable is no program.
    write_script(elsewhere + "/tool", "exit 7", 0644);
    EXPECT_EQ(run_to_end("tool"), 6u);
}

TEST_F(ProcessTest, CommandLineIsSplitOnBlanks)
{
    write_script(folder + "/args_check", "[ $# -eq 3 ] && [ \"$1\" = a ] && [ \"$2\" = /serial ] && [ \"$3\" = COM1 ]");
    EXPECT_EQ(run_to_end("args_check a  /serial\tCOM1 "), 0u);
    EXPECT_EQ(run_to_end("args_check a b"), 1u);  // the check itself can fail
}

TEST_F(ProcessTest, StartFailuresAreReported)
{
    ProcessInfo info{};
    EXPECT_EQ(process_start("no_such_program_here /x", &info), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(info.process, PLATFORM_INVALID_HANDLE);

    EXPECT_EQ(process_start("  \t ", &info), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EINVAL));

    const std::string too_long(5000, 'x');
    EXPECT_EQ(process_start(too_long.c_str(), &info), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(E2BIG));

    // Not a child of this process: nothing to wait for.
    EXPECT_EQ(process_open(static_cast<std::uint32_t>(getppid())), PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(process_open(0), PLATFORM_INVALID_HANDLE);
    std::uint32_t code = 0;
    EXPECT_EQ(process_exit_code(PLATFORM_INVALID_HANDLE, &code), 0);
    EXPECT_EQ(process_has_ended(PLATFORM_INVALID_HANDLE), 0);
}

// What process_open returns when it fails is refused by every process call
// with the invalid-handle error, never taken for a process.
TEST_F(ProcessTest, InvalidHandleIsRefusedByEveryProcessCall)
{
    std::uint32_t code = 0;
    const struct {
        const char* call;
        int (*make)(std::uint32_t*);
    } calls[] = {
        {"process_exit_code", [](std::uint32_t* c) { return process_exit_code(PLATFORM_INVALID_HANDLE, c); }},
        {"process_has_ended", [](std::uint32_t*) { return process_has_ended(PLATFORM_INVALID_HANDLE); }},
        {"process_close", [](std::uint32_t*) { return process_close(PLATFORM_INVALID_HANDLE); }},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.call);
        errno = 0;
        EXPECT_EQ(c.make(&code), 0);
        EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(EBADF));
    }
}

TEST_F(ProcessTest, ChildDoesNotInheritAnOpenSerialPortOrTraceFile)
{
    // fd_open N: exit 0 when the child has descriptor N open, 1 when not.
    write_script(folder + "/fd_open", "[ -e /proc/$$/fd/$1 ]");
    PseudoTerminal pty = pseudo_terminal_open();
    ASSERT_GE(pty.master, 0);
    const PlatformHandle port = serial_open(pty.slave_path.c_str());
    ASSERT_NE(port, PLATFORM_INVALID_HANDLE);
    const int inherited = dup(pty.master);  // no close-on-exec: the check's control
    ASSERT_GE(inherited, 0);

    EXPECT_EQ(run_to_end(("fd_open " + std::to_string(inherited)).c_str()), 0u);
    EXPECT_EQ(run_to_end(("fd_open " + std::to_string(port)).c_str()), 1u);
    // Nor the field tool's trace file, opened private.
    std::FILE* trace = file_open_private((folder + "/trace.jsonl").c_str(), "wb");
    ASSERT_NE(trace, nullptr);
    EXPECT_EQ(run_to_end(("fd_open " + std::to_string(fileno(trace))).c_str()), 1u);
    std::fclose(trace);

    close(inherited);
    serial_close(port);
    pseudo_terminal_close(&pty);
}

// The options change only what they name: the default start leaves the
// child in this program's group with its standard input; the others give it a
// group of its own, /dev/null to read, or standard error as its output.
TEST_F(ProcessTest, OptionsSetTheChildsGroupAndStandardHandles)
{
    // Each check exits 0 when it holds in the child.
    write_script(folder + "/own_group", "read -r _ _ _ _ group _ < /proc/$$/stat\n[ \"$group\" = \"$$\" ]");
    write_script(folder + "/stdin_null", "[ \"$(readlink /proc/$$/fd/0)\" = /dev/null ]");
    write_script(folder + "/stdout_is_stderr", "[ \"$(readlink /proc/$$/fd/1)\" = \"$(readlink /proc/$$/fd/2)\" ]");
    ProcessOptions group{};
    group.new_process_group = true;
    ProcessOptions input{};
    input.standard_input = PROCESS_STDIO_NULL;
    ProcessOptions output{};
    output.standard_output = PROCESS_STDIO_STDERR;
    // Standard input and output lead to a pipe (not /dev/null, not standard
    // error), so that each check can fail by default.
    const int saved_stdin = dup(STDIN_FILENO);
    const int saved_stdout = dup(STDOUT_FILENO);
    ASSERT_GE(saved_stdin, 0);
    ASSERT_GE(saved_stdout, 0);
    int pipe_ends[2] = {-1, -1};
    ASSERT_EQ(pipe(pipe_ends), 0);
    ASSERT_EQ(dup2(pipe_ends[0], STDIN_FILENO), STDIN_FILENO);
    ASSERT_EQ(dup2(pipe_ends[1], STDOUT_FILENO), STDOUT_FILENO);
    const struct {
        const char* check;
        const ProcessOptions* options;
        std::uint32_t code;
    } cases[] = {
        {"own_group", nullptr, 1}, {"own_group", &group, 0},
        {"stdin_null", nullptr, 1}, {"stdin_null", &input, 0},
        {"stdout_is_stderr", nullptr, 1}, {"stdout_is_stderr", &output, 0},
    };
    // The codes are compared once standard output is back: a failure's message goes there.
    std::vector<std::uint32_t> codes;
    for (const auto& c : cases) {
        ProcessInfo info{};
        std::uint32_t code = 0xDEAD;
        if (process_start(c.check, &info, c.options)) {
            const std::uint64_t start = clock_ms();
            while (!process_has_ended(info.process) && clock_ms() - start < CHILD_END_LIMIT_MS) {
                sleep_ms(5);
            }
            process_exit_code(info.process, &code);
            process_close(info.process);
        }
        codes.push_back(code);
    }
    dup2(saved_stdin, STDIN_FILENO);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdin);
    close(saved_stdout);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(codes[i], cases[i].code) << cases[i].check
                                           << (cases[i].options != nullptr ? " with its option" : " by default");
    }
}

TEST_F(ProcessTest, FolderChangeReportsTheSystemError)
{
    ASSERT_EQ(mkdir((folder + "/DFUWizard").c_str(), 0755), 0);
    EXPECT_EQ(folder_change("DFUWizard"), 1);
    EXPECT_EQ(folder_change("no_such_folder"), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(folder_change(".."), 1);
    char now[PATH_MAX];
    ASSERT_NE(getcwd(now, sizeof now), nullptr);
    char expected[PATH_MAX];
    ASSERT_NE(realpath(folder.c_str(), expected), nullptr);
    EXPECT_STREQ(now, expected);
}

}  // namespace
