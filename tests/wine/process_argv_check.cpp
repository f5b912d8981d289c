// process_argv_check.exe: the Win32 children calls (platform_children.h)
// under Wine, run by tests/e2e/test_win32_platform.py. Without arguments it
// is the parent: it copies itself into a folder whose name holds a blank,
// starts the copy with awkward arguments, output and error in files and
// input through a pipe, and checks what the copy received and wrote, that it
// inherited no other handle, the bounded waits and writes, and the console
// checks with standard output a pipe. With "child" first it is that copy.
// Prints one line per fault; exit status 0 when there was none.
#include "platform/platform.h"
#include "platform/platform_children.h"
#include "platform/platform_console.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t CHILD_LIMIT_MS = 10000;
constexpr std::uint32_t SHORT_WAIT_MS = 300;
// How late a bounded call may return on a machine shared with other builds.
constexpr std::uint64_t BOUND_SLACK_MS = 1000;

int faults = 0;

void check(bool holds, const char* what, const std::string& detail = "")
{
    if (!holds) {
        std::printf("%s%s%s (error %lu)\n", what, detail.empty() ? "" : ": ", detail.c_str(),
                    static_cast<unsigned long>(platform_last_error()));
        ++faults;
    }
}

std::string hex_of(const std::string& text)
{
    std::string hex;
    char pair[3];
    for (unsigned char c : text) {
        std::snprintf(pair, sizeof pair, "%02x", c);
        hex += pair;
    }
    return hex;
}

std::string read_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string contents = text.str();
    std::string plain;
    for (char c : contents) {
        if (c != '\r') {
            plain += c;
        }
    }
    return plain;
}

// The copy: its arguments in hex, a line on standard error, then "echo X"
// lines answered and "exit N" obeyed; "deaf" reads nothing and sleeps.
int child_main(int argc, char** argv)
{
    if (argc > 2 && std::strcmp(argv[2], "deaf") == 0) {
        Sleep(CHILD_LIMIT_MS);
        return 0;
    }
    for (int i = 2; i < argc; ++i) {
        std::printf("arg %s\n", hex_of(argv[i]).c_str());
    }
    std::fputs("error line\n", stderr);
    std::fflush(stdout);
    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        if (std::strncmp(line, "exit ", 5) == 0) {
            return std::atoi(line + 5);
        }
        std::printf("got %s\n", line + 5);
        std::fflush(stdout);
    }
    return 0;
}

std::string wait_for_text(const std::string& path, const std::string& text)
{
    std::string contents;
    for (ULONGLONG start = GetTickCount64(); GetTickCount64() - start < CHILD_LIMIT_MS; Sleep(20)) {
        contents = read_file(path);
        if (contents.find(text) != std::string::npos) {
            break;
        }
    }
    return contents;
}

int parent_main()
{
    char self[PROCESS_SELF_PATH_MAX_BYTES];
    check(process_self_path(self, sizeof self) == 1, "process_self_path");
    const std::string self_path = self;
    check(self_path.size() > 23 && self_path.substr(self_path.size() - 23) == "\\process_argv_check.exe",
          "process_self_path names this program", self_path);

    char temporary[MAX_PATH];
    check(GetTempPathA(sizeof temporary, temporary) > 0, "GetTempPathA");
    const std::string folder = std::string(temporary) + "argv check " + std::to_string(GetCurrentProcessId());
    const std::string copy = folder + "\\check copy.exe";
    const std::string out = folder + "\\out.txt";
    const std::string err = folder + "\\err.txt";
    const std::string marker = folder + "\\marker";
    check(CreateDirectoryA(folder.c_str(), nullptr) != 0, "CreateDirectoryA", folder);
    check(CopyFileA(self, copy.c_str(), FALSE) != 0, "CopyFileA", copy);

    // An inheritable handle the child must not get: a file open without sharing.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE held = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    check(held != INVALID_HANDLE_VALUE, "marker file");

    const std::vector<std::string> awkward = {"two words", "a\"b", "", "back\\slash\\", "\\\"", "tab\tx", "C:\\dir\\"};
    std::vector<const char*> argv{copy.c_str(), "child"};
    for (const std::string& argument : awkward) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    ProcessOptions options{};
    options.standard_input = PROCESS_STDIO_PIPE;
    options.standard_output = PROCESS_STDIO_FILE;
    options.standard_output_path = out.c_str();
    options.standard_error = PROCESS_STDIO_FILE;
    options.standard_error_path = err.c_str();
    ProcessInfo info{};
    PlatformHandle input = PLATFORM_INVALID_HANDLE;
    check(process_start_argv(copy.c_str(), argv.data(), &info, &options, &input) == 1, "process_start_argv");

    CloseHandle(held);
    held = CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    check(held != INVALID_HANDLE_VALUE, "the child inherited a handle outside its list");
    CloseHandle(held);

    ULONGLONG start = GetTickCount64();
    check(process_wait_any(&info.process, 1, SHORT_WAIT_MS) == PROCESS_WAIT_TIMEOUT, "wait for a waiting child");
    check(GetTickCount64() - start >= SHORT_WAIT_MS - 20, "wait_any returned before its time-out");
    std::size_t written = 0;
    check(process_input_write(input, "echo hello\n", 11, CHILD_LIMIT_MS, &written) == 1 && written == 11,
          "input line");
    std::string expected;
    for (const std::string& argument : awkward) {
        expected += "arg " + hex_of(argument) + "\n";
    }
    expected += "got hello\n";
    check(wait_for_text(out, "got hello") == expected, "output read while the child runs", read_file(out));
    check(process_input_write(input, "exit 5\n", 7, CHILD_LIMIT_MS, &written) == 1, "exit line");
    check(process_wait_any(&info.process, 1, CHILD_LIMIT_MS) == 0, "wait for the ending child");
    std::uint32_t code = 0;
    check(process_exit_code(info.process, &code) == 1 && code == 5, "exit code", std::to_string(code));
    check(read_file(err) == "error line\n", "error file", read_file(err));
    const int broken = process_input_write(input, "late\n", 5, CHILD_LIMIT_MS, &written);
    const std::uint32_t error = platform_last_error();
    check(broken == 0 && (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE), "write to an ended child",
          std::to_string(broken));
    check(process_input_close(input) == 1, "process_input_close");

    // More than one wait takes: 65 handles of this running program, the last
    // one then replaced by the ended child.
    std::vector<PlatformHandle> many;
    for (int i = 0; i <= MAXIMUM_WAIT_OBJECTS; ++i) {
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0);
        many.push_back(reinterpret_cast<PlatformHandle>(copy));
    }
    start = GetTickCount64();
    check(process_wait_any(many.data(), static_cast<int>(many.size()), SHORT_WAIT_MS) == PROCESS_WAIT_TIMEOUT,
          "wait for 65 running");
    const ULONGLONG waited = GetTickCount64() - start;
    check(waited + 20 >= SHORT_WAIT_MS && waited < SHORT_WAIT_MS + BOUND_SLACK_MS, "wait for 65 took",
          std::to_string(waited));
    CloseHandle(reinterpret_cast<HANDLE>(many.back()));
    many.back() = info.process;
    check(process_wait_any(many.data(), static_cast<int>(many.size()), SHORT_WAIT_MS) == MAXIMUM_WAIT_OBJECTS,
          "the ended 65th found");
    for (int i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) {
        CloseHandle(reinterpret_cast<HANDLE>(many[static_cast<std::size_t>(i)]));
    }
    process_close(info.thread);
    process_close(info.process);

    // A child that reads nothing: the write gives up at its bound.
    const char* deaf_argv[] = {copy.c_str(), "child", "deaf", nullptr};
    check(process_start_argv(copy.c_str(), deaf_argv, &info, &options, &input) == 1, "deaf child");
    const std::string flood(1 << 20, 'x');
    start = GetTickCount64();
    check(process_input_write(input, flood.data(), flood.size(), SHORT_WAIT_MS, &written) == 1 && written < flood.size(),
          "write to a child that reads nothing", std::to_string(written));
    const ULONGLONG took = GetTickCount64() - start;
    check(took + 20 >= SHORT_WAIT_MS && took < SHORT_WAIT_MS + BOUND_SLACK_MS, "bounded write took",
          std::to_string(took));
    process_terminate(info.process);
    check(process_wait_any(&info.process, 1, CHILD_LIMIT_MS) == 0, "terminated child ends");
    process_input_close(input);
    process_close(info.thread);
    process_close(info.process);

    // Standard output is the test's pipe: no terminal, the default width, no escapes.
    check(console_is_terminal(CONSOLE_OUTPUT_STDOUT) == 0, "pipe taken for a terminal");
    check(console_width(CONSOLE_OUTPUT_STDOUT) == CONSOLE_WIDTH_DEFAULT_COLUMNS, "width of a pipe");
    check(console_enable_escapes() == 0, "escapes on a pipe");

    for (const std::string& file : {copy, out, err, marker}) {
        DeleteFileA(file.c_str());
    }
    RemoveDirectoryA(folder.c_str());
    std::fflush(stdout);
    return faults == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "child") == 0) {
        return child_main(argc, argv);
    }
    return parent_main();
}
