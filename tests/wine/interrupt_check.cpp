// interrupt_check.exe MODE: the Win32 interrupt hold, run under Wine by
// tests/e2e/test_win32_platform.py. Prints one line per failed check; exit
// status 0 when every check held.
//   relay     a listening child: an "interrupt" line on standard input (a pipe
//             made here) is noted inside a hold, its notice goes to standard error
//   outside   the same line outside a hold ends the process with status 130
//   console   Ctrl-C (GenerateConsoleCtrlEvent) inside a hold is noted, and
//             after the hold's end ends the process (status 0xC000013A)
#include "platform/interrupt.h"
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD WAIT_MS = 3000;
const char NOTICE[] = "interrupted: finishing";
int passed = 1;

void check(bool ok, const char* what)
{
    if (!ok) {
        std::printf("failed: %s\n", what);
        passed = 0;
    }
}

bool noted_within(std::uint32_t count)
{
    for (DWORD waited = 0; interrupt_record().count < count && waited < WAIT_MS; waited += 10) {
        Sleep(10);
    }
    return interrupt_record().count >= count;
}

// Standard input from a pipe whose writing end this program keeps.
HANDLE input_pipe()
{
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    check(CreatePipe(&read_end, &write_end, nullptr, 0) != 0, "CreatePipe");
    check(SetStdHandle(STD_INPUT_HANDLE, read_end) != 0, "SetStdHandle");
    return write_end;
}

void write_line(HANDLE pipe, const char* line)
{
    DWORD written = 0;
    check(WriteFile(pipe, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr) != 0, "WriteFile");
}

int relay()
{
    const HANDLE parent = input_pipe();
    check(interrupt_listen_on_input() == 1, "interrupt_listen_on_input");
    check(interrupt_hold_begin(NOTICE) == 1, "interrupt_hold_begin");
    write_line(parent, "status\r\ninterrupt\r\n");
    check(noted_within(1), "relayed line noted");
    check(interrupt_record().kind == INTERRUPT_RELAYED, "kind relayed");
    check(interrupt_hold_end() == 1, "interrupt_hold_end");
    return passed ? 0 : 1;
}

int outside()
{
    const HANDLE parent = input_pipe();
    check(interrupt_listen_on_input() == 1, "interrupt_listen_on_input");
    write_line(parent, "interrupt\n");
    Sleep(WAIT_MS);
    std::printf("failed: still running after an interrupt line outside a hold\n");
    return 1;
}

int console()
{
    if (GetConsoleWindow() == nullptr && !AllocConsole()) {
        std::printf("skipped: no console (error %lu)\n", GetLastError());
        return 77;
    }
    check(interrupt_hold_begin(NOTICE) == 1, "interrupt_hold_begin");
    check(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0, "GenerateConsoleCtrlEvent");
    check(noted_within(1), "Ctrl-C noted");
    check(interrupt_record().kind == INTERRUPT_CTRL_C, "kind Ctrl-C");
    check(interrupt_hold_end() == 1, "interrupt_hold_end");
    if (!passed) {
        return 1;
    }
    std::fflush(stdout);
    (void)GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    Sleep(WAIT_MS);
    std::printf("failed: still running after Ctrl-C outside a hold\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "relay") == 0) {
        return relay();
    }
    if (std::strcmp(mode, "outside") == 0) {
        return outside();
    }
    if (std::strcmp(mode, "console") == 0) {
        return console();
    }
    std::printf("usage: interrupt_check relay|outside|console\n");
    return 2;
}
