// presskey: presses one key in the console of a running program, for the
// end-to-end tests of the Windows build under Wine.
//
//   presskey.exe PROGRAM
//
// PROGRAM is a process id or an executable name such as
// "marrowlink-update.exe" (exactly one process of that name must be running).
// The helper attaches to that program's console and writes a key-down and a
// key-up event of the character key "k" into its input buffer, as a person at
// the keyboard would. Console programs under Wine only see a key press that
// arrives as a console input event: bytes typed on the terminal that Wine's
// console reads from stay in its line buffer until Enter.
//
// The key-up matters: Wine's _kbhit() looks at every queued event but the
// last, so a lone key-down is never reported.
//
// Exit status: 0 when both events are in the input buffer, else one of the
// PRESSKEY_EXIT_* codes below with a line on standard error.
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int PRESSKEY_EXIT_USAGE = 2;
constexpr int PRESSKEY_EXIT_NOT_FOUND = 3;
constexpr int PRESSKEY_EXIT_ATTACH_FAILED = 4;
constexpr int PRESSKEY_EXIT_WRITE_FAILED = 5;

constexpr WORD PRESSKEY_VIRTUAL_KEY = 'K';
constexpr char PRESSKEY_CHARACTER = 'k';

// A decimal process id, or 0 when the argument is not one.
DWORD presskey_parse_process_id(const char* text)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > 0xFFFFFFFFul) {
        return 0;
    }
    return static_cast<DWORD>(value);
}

// The id of the one running process with this executable name; 0 when there
// is none or more than one (pressing a key in the wrong console would let a
// test pass for the wrong reason).
DWORD presskey_find_process(const char* executable_name)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "presskey: CreateToolhelp32Snapshot failed %lu\n", GetLastError());
        return 0;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    int matches = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, executable_name) == 0) {
            found = entry.th32ProcessID;
            ++matches;
        }
    }
    CloseHandle(snapshot);
    if (matches != 1) {
        std::fprintf(stderr, "presskey: %d processes named %s\n", matches, executable_name);
        return 0;
    }
    return found;
}

void presskey_fill_event(INPUT_RECORD* record, BOOL key_down)
{
    *record = INPUT_RECORD{};
    record->EventType = KEY_EVENT;
    record->Event.KeyEvent.bKeyDown = key_down;
    record->Event.KeyEvent.wRepeatCount = 1;
    record->Event.KeyEvent.wVirtualKeyCode = PRESSKEY_VIRTUAL_KEY;
    record->Event.KeyEvent.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyA(PRESSKEY_VIRTUAL_KEY, MAPVK_VK_TO_VSC));
    record->Event.KeyEvent.uChar.AsciiChar = PRESSKEY_CHARACTER;
}

// Attaches to the console of process_id; 1 on success.
int presskey_attach(DWORD process_id)
{
    // A process belongs to at most one console; ours (if any) is left first.
    FreeConsole();
    if (!AttachConsole(process_id)) {
        std::fprintf(stderr, "presskey: AttachConsole(%lu) failed %lu\n", process_id, GetLastError());
        return 0;
    }
    return 1;
}

// Writes key down and key up in one call, so the program never sees half a press.
int presskey_write_key()
{
    const HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "presskey: opening CONIN$ failed %lu\n", GetLastError());
        return 0;
    }
    INPUT_RECORD events[2];
    presskey_fill_event(&events[0], TRUE);
    presskey_fill_event(&events[1], FALSE);
    DWORD written = 0;
    const BOOL ok = WriteConsoleInputA(input, events, 2, &written);
    const DWORD error = GetLastError();
    CloseHandle(input);
    if (!ok || written != 2) {
        std::fprintf(stderr, "presskey: WriteConsoleInputA wrote %lu of 2 events, error %lu\n", written,
                     ok ? 0ul : error);
        return 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: presskey.exe PROCESS-ID|EXECUTABLE-NAME\n");
        return PRESSKEY_EXIT_USAGE;
    }
    DWORD process_id = presskey_parse_process_id(argv[1]);
    if (process_id == 0) {
        process_id = presskey_find_process(argv[1]);
    }
    if (process_id == 0) {
        return PRESSKEY_EXIT_NOT_FOUND;
    }
    if (!presskey_attach(process_id)) {
        return PRESSKEY_EXIT_ATTACH_FAILED;
    }
    if (!presskey_write_key()) {
        return PRESSKEY_EXIT_WRITE_FAILED;
    }
    return 0;
}
