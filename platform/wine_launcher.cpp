// marrowlink-wine-launcher.exe: the Windows program through which the POSIX
// platform layer starts a Windows download tool under Wine (posix_wine.cpp).
// Wine's own exit status keeps only the low 8 bits of a program's exit code
// (256 would read as 0, success); this launcher records the whole 32-bit code
// in a file instead. Built for Windows (x86-64) by the Linux build, never run
// on Windows.
//
//     marrowlink-wine-launcher.exe STATUS GO TOOL COMMAND_LINE
//
// A file GO.stop appearing while the tool runs ends the tool at once
// (TerminateProcess): killing the launcher would leave the tool running.
//
// STATUS, GO and TOOL are Unix paths; COMMAND_LINE is the tool's whole
// command line as one argument ("DFUWizard /upload ... /serial COM1 ...").
// Lines appended to STATUS, each written and flushed on its own:
//     ready               Wine is up (its mount manager has set the prefix's
//                         COM links); the launcher now waits for GO to exist
//     started <pid>       the tool runs
//     exit <code>         the tool ended with this exit code (decimal, 0..4294967295)
//     failed <step> <error>  nothing was started: step "go" (GO did not appear
//                         within LAUNCHER_GO_TIMEOUT_MS), "path" (a path has no
//                         Windows name), "start" (CreateProcess failed, error is
//                         GetLastError()), "wait" (the tool's end could not be
//                         read)
// The launcher's own exit status: 0 after "exit", 1 after "failed".
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

// How long the launcher waits for the go-ahead after "ready": the platform
// checks one link in that time; a platform that died meanwhile leaves the
// launcher to end on its own instead of waiting for ever.
constexpr DWORD LAUNCHER_GO_TIMEOUT_MS = 30000;
constexpr DWORD LAUNCHER_GO_POLL_MS = 10;
// While the tool runs, how often the launcher looks for the stop file (GO
// with ".stop" added): the platform's process_terminate, when the person
// insisted that the download stop. The exit code a stopped tool gets: 128 +
// SIGKILL's number, as the platform reports a killed process everywhere.
constexpr DWORD LAUNCHER_STOP_POLL_MS = 100;
constexpr DWORD LAUNCHER_STOPPED_EXIT_CODE = 128 + 9;
constexpr int LAUNCHER_ARGUMENTS = 5;  // the program and four arguments

// Wine's own export: a Unix path's Windows name, allocated on the process heap.
using DosNameFunction = WCHAR*(CDECL*)(const char*);

WCHAR* launcher_dos_name(const wchar_t* unix_path)
{
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto convert =
        kernel != nullptr ? reinterpret_cast<DosNameFunction>(
                                reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")))
                          : nullptr;
    if (convert == nullptr) {
        return nullptr;
    }
    char bytes[MAX_PATH * 4];
    if (WideCharToMultiByte(CP_UTF8, 0, unix_path, -1, bytes, sizeof bytes, nullptr, nullptr) == 0) {
        return nullptr;
    }
    return convert(bytes);
}

void launcher_status(const WCHAR* status_path, const char* line)
{
    const HANDLE file = CreateFileW(status_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "marrowlink-wine-launcher: cannot write the status file (error %lu)\n",
                     GetLastError());
        return;
    }
    DWORD written = 0;
    char text[128];
    const int length = std::snprintf(text, sizeof text, "%s\n", line);
    if (length <= 0 || !WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) ||
        !FlushFileBuffers(file)) {
        std::fprintf(stderr, "marrowlink-wine-launcher: cannot write the status file (error %lu)\n",
                     GetLastError());
    }
    CloseHandle(file);
}

int launcher_failed(const WCHAR* status_path, const char* step, DWORD error)
{
    char line[96];
    std::snprintf(line, sizeof line, "failed %s %lu", step, error);
    launcher_status(status_path, line);
    return 1;
}

int launcher_wait_for_go(const WCHAR* go_path)
{
    const DWORD started = GetTickCount();
    while (GetFileAttributesW(go_path) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - started >= LAUNCHER_GO_TIMEOUT_MS) {
            return 0;
        }
        Sleep(LAUNCHER_GO_POLL_MS);
    }
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != LAUNCHER_ARGUMENTS) {
        std::fprintf(stderr, "usage: marrowlink-wine-launcher.exe STATUS GO TOOL COMMAND_LINE\n");
        return 1;
    }
    WCHAR* status_path = launcher_dos_name(argv[1]);
    if (status_path == nullptr) {
        std::fprintf(stderr, "marrowlink-wine-launcher: the status file has no Windows name\n");
        return 1;
    }
    WCHAR* go_path = launcher_dos_name(argv[2]);
    WCHAR* tool_path = launcher_dos_name(argv[3]);
    if (go_path == nullptr || tool_path == nullptr) {
        return launcher_failed(status_path, "path", ERROR_PATH_NOT_FOUND);
    }
    launcher_status(status_path, "ready");
    if (!launcher_wait_for_go(go_path)) {
        return launcher_failed(status_path, "go", ERROR_TIMEOUT);
    }

    // CreateProcessW may write into the command line: a copy of its own.
    const std::size_t length = std::wcslen(argv[4]);
    WCHAR* command_line = static_cast<WCHAR*>(HeapAlloc(GetProcessHeap(), 0, (length + 1) * sizeof(WCHAR)));
    if (command_line == nullptr) {
        return launcher_failed(status_path, "start", ERROR_NOT_ENOUGH_MEMORY);
    }
    std::wmemcpy(command_line, argv[4], length + 1);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(tool_path, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return launcher_failed(status_path, "start", GetLastError());
    }
    CloseHandle(process.hThread);
    char line[64];
    std::snprintf(line, sizeof line, "started %lu", process.dwProcessId);
    launcher_status(status_path, line);

    // No time limit, as the updater's own wait: the tool is writing the
    // adapter's firmware and must not be abandoned mid-download, unless the
    // stop file says the person insisted.
    const std::wstring stop_unix = std::wstring(argv[2]) + L".stop";
    WCHAR* stop_path = launcher_dos_name(stop_unix.c_str());
    DWORD waited = WAIT_TIMEOUT;
    while ((waited = WaitForSingleObject(process.hProcess, LAUNCHER_STOP_POLL_MS)) == WAIT_TIMEOUT) {
        if (stop_path != nullptr && GetFileAttributesW(stop_path) != INVALID_FILE_ATTRIBUTES) {
            TerminateProcess(process.hProcess, LAUNCHER_STOPPED_EXIT_CODE);
            stop_path = nullptr;  // asked once; the wait goes on for its end
        }
    }
    DWORD exit_code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &exit_code)) {
        const DWORD error = GetLastError();
        CloseHandle(process.hProcess);
        return launcher_failed(status_path, "wait", error);
    }
    CloseHandle(process.hProcess);
    std::snprintf(line, sizeof line, "exit %lu", exit_code);
    launcher_status(status_path, line);
    return 0;
}
