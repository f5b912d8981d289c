// interrupt.h on Windows: one console control handler (SetConsoleCtrlHandler),
// registered at the first hold or when listening and kept: outside a hold it
// declines every event, so the system's default handler ends the process at
// once, as without it. The system calls it on a thread of its own, where it
// may write and wait. A listening child reads standard input on a thread too.
#include "platform/interrupt.h"
#include "platform/interrupt_state.h"
#include "platform/platform.h"

#include <windows.h>

#include <atomic>

namespace {

constexpr DWORD INPUT_READ_BYTES = 256;

std::atomic<int> listening{0};  // read by the handler's thread
int handler_registered = 0;

void notice_write()
{
    char text[INTERRUPT_NOTICE_MAX_BYTES + 2];
    std::size_t length = interrupt_state_notice_copy(text, INTERRUPT_NOTICE_MAX_BYTES);
    if (length == 0) {
        return;
    }
    text[length++] = '\r';
    text[length++] = '\n';
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) {
        return;  // no standard error: nobody to tell
    }
    std::size_t done = 0;
    while (done < length) {
        DWORD written = 0;
        if (!WriteFile(error, text + done, static_cast<DWORD>(length - done), &written, nullptr) || written == 0) {
            return;
        }
        done += written;
    }
}

BOOL WINAPI on_console_event(DWORD event)
{
    InterruptKind kind = INTERRUPT_NONE;
    switch (event) {
    case CTRL_C_EVENT: kind = INTERRUPT_CTRL_C; break;
    case CTRL_BREAK_EVENT: kind = INTERRUPT_CTRL_BREAK; break;
    case CTRL_CLOSE_EVENT: kind = INTERRUPT_CLOSE; break;
    default: return FALSE;  // logoff and shutdown events reach services only
    }
    // A listening child's parent passes Ctrl-C and Ctrl-Break on.
    if (kind != INTERRUPT_CLOSE && listening.load()) {
        return TRUE;
    }
    if (interrupt_state_depth() == 0) {
        return FALSE;  // the default handler: ExitProcess at once
    }
    const std::uint64_t now_ms = clock_ms();
    if (kind == INTERRUPT_CLOSE) {
        interrupt_state_set_deadline(now_ms + INTERRUPT_CLOSE_GRACE_MS);
    }
    if (interrupt_state_note(kind, now_ms)) {
        notice_write();
    }
    // The system ends the process as soon as this handler returns after a
    // close: the wait is the time the main thread has to finish, and its own
    // exit ends the process (and this wait) earlier. Ending the hold does not
    // cut it short, so that the report after the hold still gets written.
    if (kind == INTERRUPT_CLOSE) {
        Sleep(INTERRUPT_CLOSE_GRACE_MS);
    }
    return TRUE;
}

int handler_register()
{
    if (handler_registered) {
        return 1;
    }
    if (!SetConsoleCtrlHandler(on_console_event, TRUE)) {
        return 0;
    }
    handler_registered = 1;
    return 1;
}

// A relayed interrupt outside a hold: the process ends at once, as the
// default handler ends it after a Ctrl-C.
void end_now()
{
    ExitProcess(INTERRUPT_EXIT_STATUS);
}

DWORD WINAPI input_listen(LPVOID input_handle)
{
    const HANDLE input = static_cast<HANDLE>(input_handle);
    InterruptInputLines lines{};
    char bytes[INPUT_READ_BYTES];
    for (;;) {
        DWORD n = 0;
        // End of input (a closed pipe fails with ERROR_BROKEN_PIPE) or a broken
        // one: the parent is gone, nothing more will come.
        if (!ReadFile(input, bytes, sizeof bytes, &n, nullptr) || n == 0) {
            return 0;
        }
        for (int found = interrupt_input_feed(&lines, bytes, n); found > 0; --found) {
            if (interrupt_state_relay(clock_ms(), end_now)) {
                notice_write();
            }
        }
    }
}

}  // namespace

int interrupt_hold_begin(const char* notice)
{
    interrupt_state_lock();
    if (interrupt_state_depth() >= INTERRUPT_HOLD_DEPTH_MAX) {
        interrupt_state_unlock();
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!handler_register()) {
        const DWORD error = GetLastError();
        interrupt_state_unlock();
        SetLastError(error);
        return 0;
    }
    (void)interrupt_state_push(notice);
    interrupt_state_unlock();
    return 1;
}

int interrupt_hold_notice(const char* notice)
{
    if (!interrupt_state_notice(notice)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return 1;
}

int interrupt_hold_end()
{
    interrupt_state_lock();
    const int ended = interrupt_state_pop();
    interrupt_state_unlock();
    if (!ended) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return ended;
}

int interrupt_listen_on_input()
{
    if (listening.load()) {
        return 1;
    }
    if (interrupt_state_depth() > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // listening starts before any hold, as on POSIX
        return 0;
    }
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!handler_register()) {
        return 0;
    }
    listening.store(1);
    const HANDLE thread = CreateThread(nullptr, 0, input_listen, input, 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        listening.store(0);
        SetLastError(error);
        return 0;
    }
    (void)CloseHandle(thread);  // the thread runs on, detached
    return 1;
}
