// port_open_within_check.exe: the port listing's bounded open
// (platform/win32_open_within.h) given an open that returns at once, one that
// fails, one that blocks past the deadline and opens later, and one blocked
// in I/O that the cancel ends. Run under Wine by
// tests/e2e/test_win32_platform.py. Prints a line per case (WRONG when it
// misbehaved); exit status 0 when none did.
#include "platform/win32_open_within.h"

#include <windows.h>

#include <cstdio>

namespace {

constexpr std::uint32_t CHECK_TIMEOUT_MS = 300;
// How late past its bound a return still counts: Wine on a busy machine.
constexpr std::uint32_t CHECK_SLACK_MS = 700;
// How long a blocked open or a late close is waited for before the check fails.
constexpr DWORD CHECK_WAIT_MS = 5000;
constexpr DWORD CHECK_POLL_MS = 10;

HANDLE release;        // the late open waits for it
HANDLE late_made;      // set by the late open once its handle exists
HANDLE cancel_seen;    // set by the blocked read when the cancel ended it
HANDLE pipe_read_end;  // nothing is ever written to it
HANDLE pipe_write_end;
char late_name[64];    // the late open's named event: gone once its one handle is closed

PlatformHandle open_at_once(const char*)
{
    return reinterpret_cast<PlatformHandle>(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

PlatformHandle open_failing(const char*)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    return PLATFORM_INVALID_HANDLE;
}

// Blind to the cancel: a wait is no I/O.
PlatformHandle open_late(const char*)
{
    if (WaitForSingleObject(release, CHECK_WAIT_MS) != WAIT_OBJECT_0) {
        return PLATFORM_INVALID_HANDLE;
    }
    const HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, late_name);
    (void)SetEvent(late_made);
    return reinterpret_cast<PlatformHandle>(handle);
}

PlatformHandle open_reading(const char*)
{
    char byte = 0;
    DWORD got = 0;
    if (!ReadFile(pipe_read_end, &byte, 1, &got, nullptr)) {
        const DWORD error = GetLastError();
        if (error == ERROR_OPERATION_ABORTED) {
            (void)SetEvent(cancel_seen);
        }
        SetLastError(error);
    }
    return PLATFORM_INVALID_HANDLE;
}

// Whether the late open's handle was closed: its named event no longer exists.
bool late_handle_closed()
{
    for (DWORD waited = 0; waited < CHECK_WAIT_MS; waited += CHECK_POLL_MS) {
        const HANDLE handle = OpenEventA(SYNCHRONIZE, FALSE, late_name);
        if (handle == nullptr || !CloseHandle(handle)) {
            return handle == nullptr;
        }
        Sleep(CHECK_POLL_MS);
    }
    return false;
}

struct Case {
    const char* what;
    PortOpenCall open;
    int result;
    int timed_out;
    DWORD error;          // when the result is 0
    std::uint32_t least_ms;
    std::uint32_t most_ms;
};

int check(const Case& c)
{
    PlatformHandle handle = PLATFORM_INVALID_HANDLE;
    int timed_out = -1;
    const ULONGLONG start = GetTickCount64();
    const int result = port_open_within(c.open, "\\\\.\\COM9", CHECK_TIMEOUT_MS, &handle, &timed_out);
    const DWORD error = GetLastError();
    const ULONGLONG took = GetTickCount64() - start;
    const bool right = result == c.result && timed_out == c.timed_out && (result == 1 || error == c.error) &&
                       (result == 1) == (handle != PLATFORM_INVALID_HANDLE) && took >= c.least_ms &&
                       took <= c.most_ms;
    std::printf("%s%s: result %d, timed out %d, error %lu, handle %s, after %llu ms (bound %u..%u ms)\n",
                right ? "" : "WRONG ", c.what, result, timed_out, static_cast<unsigned long>(error),
                handle != PLATFORM_INVALID_HANDLE ? "open" : "none", static_cast<unsigned long long>(took), c.least_ms,
                c.most_ms);
    if (handle != PLATFORM_INVALID_HANDLE) {
        (void)CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
    return right ? 1 : 0;
}

}  // namespace

int main()
{
    std::snprintf(late_name, sizeof late_name, "marrowlink-late-open-%lu", GetCurrentProcessId());
    release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    late_made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    cancel_seen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (release == nullptr || late_made == nullptr || cancel_seen == nullptr ||
        !CreatePipe(&pipe_read_end, &pipe_write_end, nullptr, 0)) {
        std::printf("cannot make the check's events and pipe: error %lu\n", GetLastError());
        return 1;
    }
    const std::uint32_t bound = CHECK_TIMEOUT_MS + PORT_OPEN_CANCEL_WAIT_MS + CHECK_SLACK_MS;
    const Case cases[] = {
        {"opens at once", open_at_once, 1, 0, 0, 0, CHECK_TIMEOUT_MS},
        {"fails at once", open_failing, 0, 0, ERROR_FILE_NOT_FOUND, 0, CHECK_TIMEOUT_MS},
        {"blocks past the deadline", open_late, 0, 1, ERROR_TIMEOUT, CHECK_TIMEOUT_MS, bound},
        {"blocks in a read", open_reading, 0, 1, ERROR_TIMEOUT, CHECK_TIMEOUT_MS, bound},
    };
    int passed = 1;
    for (const Case& c : cases) {
        passed &= check(c);
    }
    // The late open still arrives: its thread, left alone, closes the handle.
    (void)SetEvent(release);
    if (WaitForSingleObject(late_made, CHECK_WAIT_MS) != WAIT_OBJECT_0 || !late_handle_closed()) {
        std::printf("blocks past the deadline: the handle that came late was not closed\n");
        passed = 0;
    }
    // The read was cancelled, not left behind.
    if (WaitForSingleObject(cancel_seen, 0) != WAIT_OBJECT_0) {
        std::printf("blocks in a read: the cancel did not end the read\n");
        passed = 0;
    }
    (void)CloseHandle(pipe_write_end);
    std::fflush(stdout);
    return passed ? 0 : 1;
}
