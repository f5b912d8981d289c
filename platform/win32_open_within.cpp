#include "platform/win32_open_within.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <string>

#include "platform/deadline.h"

namespace {

// How often the cancel is repeated while waiting: the first may come before
// the open has reached the driver, and then there is nothing yet to cancel.
constexpr std::uint32_t OPEN_CANCEL_REPEAT_MS = 50;

enum : LONG { OPEN_WORK_RUNNING, OPEN_WORK_DONE, OPEN_WORK_LEFT };

// Shared by the waiting caller and the thread that opens; whichever of the two
// lets go last frees it. state moves once, from running to done (the thread
// finished first) or to left (the caller gave up first).
struct OpenWork {
    PortOpenCall open = nullptr;
    std::string path;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    LONG state = OPEN_WORK_RUNNING;
    LONG holders = 2;
};

void open_work_release(OpenWork* work)
{
    if (InterlockedDecrement(&work->holders) == 0) {
        delete work;
    }
}

DWORD WINAPI open_work_run(void* parameter)
{
    OpenWork* work = static_cast<OpenWork*>(parameter);
    const HANDLE handle = reinterpret_cast<HANDLE>(work->open(work->path.c_str()));
    work->error = GetLastError();
    work->handle = handle;
    // The caller has given up: the handle is nobody's but this thread's.
    if (InterlockedCompareExchange(&work->state, OPEN_WORK_DONE, OPEN_WORK_RUNNING) == OPEN_WORK_LEFT &&
        handle != INVALID_HANDLE_VALUE) {
        (void)CloseHandle(handle);
    }
    open_work_release(work);
    return 0;
}

// Cancels the thread's pending I/O until the thread ends or the cancel wait
// is over.
void open_work_cancel(HANDLE thread)
{
    const Deadline deadline = deadline_after_ms(PORT_OPEN_CANCEL_WAIT_MS);
    do {
        // ERROR_NOT_FOUND while nothing is pending yet: tried again.
        (void)CancelSynchronousIo(thread);
    } while (WaitForSingleObject(thread, std::min(OPEN_CANCEL_REPEAT_MS, deadline_remaining_ms(deadline))) ==
                 WAIT_TIMEOUT &&
             !deadline_expired(deadline));
}

}  // namespace

int port_open_within(PortOpenCall open, const char* path, std::uint32_t timeout_ms, PlatformHandle* handle,
                     int* timed_out)
{
    *handle = PLATFORM_INVALID_HANDLE;
    *timed_out = 0;
    OpenWork* work = new (std::nothrow) OpenWork;
    if (work == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    work->open = open;
    work->path = path;
    const HANDLE thread = CreateThread(nullptr, 0, open_work_run, work, 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        delete work;
        SetLastError(error);
        return 0;
    }
    const bool cancelled = WaitForSingleObject(thread, timeout_ms) != WAIT_OBJECT_0;
    if (cancelled) {
        open_work_cancel(thread);
    }
    const LONG state = InterlockedCompareExchange(&work->state, OPEN_WORK_LEFT, OPEN_WORK_RUNNING);
    // The thread runs on without its handle: it ends by itself.
    (void)CloseHandle(thread);
    DWORD error = ERROR_TIMEOUT;
    if (state == OPEN_WORK_DONE && work->handle != INVALID_HANDLE_VALUE) {
        // Late, within the cancel wait, but open: the caller's like any other.
        *handle = reinterpret_cast<PlatformHandle>(work->handle);
    } else if (state == OPEN_WORK_DONE && !(cancelled && work->error == ERROR_OPERATION_ABORTED)) {
        error = work->error;
    } else {
        *timed_out = 1;
    }
    open_work_release(work);
    if (*handle != PLATFORM_INVALID_HANDLE) {
        return 1;
    }
    SetLastError(error);
    return 0;
}
