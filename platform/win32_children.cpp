// Children started by path with an argument vector on Windows
// (platform_children.h): CreateProcessA with the program named, a command
// line the C runtime parses back into the same arguments, and an explicit list
// of the only handles the child inherits. The caller's end of the input pipe
// is overlapped, so that a write can be given up at its bound.
#include "platform/platform_children.h"
#include "platform/process_options.h"

#include <windows.h>

#include <array>
#include <cstdio>
#include <vector>

namespace {

// The input pipe's buffer: lines to a child are short.
constexpr DWORD PROCESS_INPUT_PIPE_BUFFER_BYTES = 4096;
// Largest single WriteFile: its count is a DWORD.
constexpr std::size_t PROCESS_INPUT_WRITE_CHUNK_BYTES = 0x10000000u;
// WaitForMultipleObjects' INFINITE is no bound: the longest wait is one less.
constexpr DWORD PROCESS_WAIT_LONGEST_MS = INFINITE - 1;
constexpr int STANDARD_STREAMS = 3;
constexpr int WAIT_GROUP_HANDLES = MAXIMUM_WAIT_OBJECTS;

// CreateProcessA may write into its command line, so it gets a copy.
std::array<char, PROCESS_ARGV_COMMAND_LINE_MAX_BYTES> argv_command_line;
// Makes each input pipe's name unique within this program.
volatile LONG input_pipes_made = 0;

HANDLE handle_of(PlatformHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

PlatformHandle platform_handle_of(HANDLE handle)
{
    return reinterpret_cast<PlatformHandle>(handle);
}

int fail_with(DWORD error)
{
    SetLastError(error);
    return 0;
}

// What process_start_argv makes for one child: its standard handles
// (inheritable copies, closed once the child has its own) and the caller's
// end of the input pipe.
struct ChildHandles {
    std::array<HANDLE, STANDARD_STREAMS> child{nullptr, nullptr, nullptr};
    HANDLE input_write = nullptr;
};

void handle_close(HANDLE* handle)
{
    if (*handle != nullptr) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
}

void child_handles_close(ChildHandles* handles)
{
    for (HANDLE& handle : handles->child) {
        handle_close(&handle);
    }
    handle_close(&handles->input_write);
}

// Closes what was made and keeps the error that stopped the start.
int child_handles_fail(ChildHandles* handles)
{
    const DWORD error = GetLastError();
    child_handles_close(handles);
    return fail_with(error);
}

SECURITY_ATTRIBUTES inheritable()
{
    return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
}

// An inheritable copy of one of this program's standard handles; null when it
// has none (no console), and the child then has none either.
HANDLE standard_handle_copy(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

HANDLE null_device_open(DWORD access)
{
    SECURITY_ATTRIBUTES attributes = inheritable();
    const HANDLE device = CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return device != INVALID_HANDLE_VALUE ? device : nullptr;
}

// Emptied first, then opened to append only: a handle that may only append
// cannot empty the file itself, and two of them (output and error in one
// file) never overwrite each other. Every sharing mode, so that the caller
// reads it, and removes it, while the child writes.
HANDLE output_file_open(const char* path)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE emptied = CreateFileA(path, GENERIC_WRITE, share, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                       nullptr);
    if (emptied == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    CloseHandle(emptied);
    SECURITY_ATTRIBUTES attributes = inheritable();
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE, share, &attributes, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE ? file : nullptr;
}

// A named pipe, since an anonymous one cannot be overlapped: the caller's
// end overlapped and not inheritable, the child's end plain and inheritable.
int input_pipe_open(ChildHandles* handles)
{
    char name[96];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\marrowlink-input-%lu-%ld",
                  static_cast<unsigned long>(GetCurrentProcessId()),
                  static_cast<long>(InterlockedIncrement(&input_pipes_made)));
    const HANDLE write_end = CreateNamedPipeA(
        name, PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        PROCESS_INPUT_PIPE_BUFFER_BYTES, PROCESS_INPUT_PIPE_BUFFER_BYTES, 0, nullptr);
    if (write_end == INVALID_HANDLE_VALUE) {
        return 0;
    }
    handles->input_write = write_end;
    SECURITY_ATTRIBUTES attributes = inheritable();
    const HANDLE read_end = CreateFileA(name, GENERIC_READ, 0, &attributes, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                        nullptr);
    if (read_end == INVALID_HANDLE_VALUE) {
        return 0;
    }
    handles->child[0] = read_end;
    return 1;
}

int child_handles_open(const ProcessOptions& how, ChildHandles* handles)
{
    if (how.standard_input == PROCESS_STDIO_PIPE) {
        if (!input_pipe_open(handles)) {
            return 0;
        }
    } else if (how.standard_input == PROCESS_STDIO_NULL) {
        if ((handles->child[0] = null_device_open(GENERIC_READ)) == nullptr) {
            return 0;
        }
    } else {
        handles->child[0] = standard_handle_copy(STD_INPUT_HANDLE);
    }

    if (how.standard_output == PROCESS_STDIO_FILE) {
        handles->child[1] = output_file_open(how.standard_output_path);
    } else if (how.standard_output == PROCESS_STDIO_NULL) {
        handles->child[1] = null_device_open(GENERIC_WRITE);
    } else {
        handles->child[1] = standard_handle_copy(how.standard_output == PROCESS_STDIO_STDERR ? STD_ERROR_HANDLE
                                                                                             : STD_OUTPUT_HANDLE);
    }
    if (handles->child[1] == nullptr && how.standard_output != PROCESS_STDIO_INHERIT &&
        how.standard_output != PROCESS_STDIO_STDERR) {
        return 0;
    }

    if (how.standard_error == PROCESS_STDIO_FILE) {
        handles->child[2] = output_file_open(how.standard_error_path);
    } else if (how.standard_error == PROCESS_STDIO_NULL) {
        handles->child[2] = null_device_open(GENERIC_WRITE);
    } else {
        handles->child[2] = standard_handle_copy(STD_ERROR_HANDLE);
    }
    return handles->child[2] != nullptr || how.standard_error == PROCESS_STDIO_INHERIT;
}

// The child's list of handles to inherit, in memory the caller keeps until
// the start: only the child's standard handles, none of this program's others.
struct InheritList {
    std::vector<unsigned char> memory;
    std::array<HANDLE, STANDARD_STREAMS> handles{};
    std::size_t count = 0;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
};

int inherit_list_make(const ChildHandles& child, InheritList* inherit)
{
    for (HANDLE handle : child.child) {
        if (handle != nullptr) {
            inherit->handles[inherit->count++] = handle;
        }
    }
    if (inherit->count == 0) {
        return 1;  // nothing to inherit: no list, no inheritance
    }
    SIZE_T bytes = 0;
    // Asked with no memory, it fails and says how much it needs.
    InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
    if (bytes == 0) {
        return 0;
    }
    inherit->memory.resize(bytes);
    const LPPROC_THREAD_ATTRIBUTE_LIST list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(inherit->memory.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &bytes)) {
        return 0;
    }
    inherit->list = list;
    return UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit->handles.data(),
                                     inherit->count * sizeof(HANDLE), nullptr, nullptr)
               ? 1
               : 0;
}

void inherit_list_free(InheritList* inherit)
{
    if (inherit->list != nullptr) {
        DeleteProcThreadAttributeList(inherit->list);
        inherit->list = nullptr;
    }
}

// The index that WaitForMultipleObjects says ended, PROCESS_WAIT_TIMEOUT, or
// PROCESS_WAIT_FAILED.
int wait_result_index(DWORD result, DWORD count, int first)
{
    if (result < WAIT_OBJECT_0 + count) {
        return first + static_cast<int>(result - WAIT_OBJECT_0);
    }
    if (result == WAIT_TIMEOUT) {
        return PROCESS_WAIT_TIMEOUT;
    }
    if (result != WAIT_FAILED) {
        SetLastError(ERROR_INVALID_HANDLE);  // abandoned: a mutex, not a process
    }
    return PROCESS_WAIT_FAILED;
}

}  // namespace

int process_start_argv(const char* program, const char* const* arguments, ProcessInfo* info,
                       const ProcessOptions* options, PlatformHandle* input)
{
    if (info != nullptr) {
        *info = ProcessInfo{PLATFORM_INVALID_HANDLE, PLATFORM_INVALID_HANDLE, 0, 0};
    }
    if (input != nullptr) {
        *input = PLATFORM_INVALID_HANDLE;
    }
    const ProcessOptions& how = options != nullptr ? *options : PROCESS_OPTIONS_DEFAULT;
    if (program == nullptr || program[0] == '\0' || info == nullptr || !process_options_argv_valid(how) ||
        (how.standard_input == PROCESS_STDIO_PIPE && input == nullptr)) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    std::size_t needed = 0;
    if (!process_command_line_build(arguments, argv_command_line.data(), argv_command_line.size(), &needed)) {
        return fail_with(needed > argv_command_line.size() ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_PARAMETER);
    }
    ChildHandles handles;
    if (!child_handles_open(how, &handles)) {
        return child_handles_fail(&handles);
    }
    InheritList inherit;
    if (!inherit_list_make(handles, &inherit)) {
        inherit_list_free(&inherit);
        return child_handles_fail(&handles);
    }
    STARTUPINFOEXA startup{};
    // The larger structure only with its list: without one, the plain one.
    startup.StartupInfo.cb = inherit.list != nullptr ? sizeof(STARTUPINFOEXA) : sizeof(STARTUPINFOA);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = handles.child[0];
    startup.StartupInfo.hStdOutput = handles.child[1];
    startup.StartupInfo.hStdError = handles.child[2];
    startup.lpAttributeList = inherit.list;
    DWORD flags = how.new_process_group ? CREATE_NEW_PROCESS_GROUP : 0;
    if (inherit.list != nullptr) {
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION process{};
    // The program named: no search, and a blank in its path is no word break.
    const BOOL started = CreateProcessA(program, argv_command_line.data(), nullptr, nullptr,
                                        inherit.list != nullptr ? TRUE : FALSE, flags, nullptr, how.working_folder,
                                        &startup.StartupInfo, &process);
    const DWORD error = GetLastError();
    inherit_list_free(&inherit);
    if (!started) {
        child_handles_close(&handles);
        return fail_with(error);
    }
    // The child has its own copies now; only the caller's end of the pipe stays.
    for (HANDLE& handle : handles.child) {
        handle_close(&handle);
    }
    info->process = platform_handle_of(process.hProcess);
    info->thread = platform_handle_of(process.hThread);
    info->process_id = process.dwProcessId;
    info->thread_id = process.dwThreadId;
    if (handles.input_write != nullptr) {
        *input = platform_handle_of(handles.input_write);
    }
    return 1;
}

int process_input_write(PlatformHandle input, const void* bytes, std::size_t size, std::uint32_t timeout_ms,
                        std::size_t* written)
{
    if (written != nullptr) {
        *written = 0;
    }
    if (input == PLATFORM_INVALID_HANDLE || input == 0) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    if (written == nullptr || (bytes == nullptr && size > 0)) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    const HANDLE pipe = handle_of(input);
    const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (done == nullptr) {
        return 0;
    }
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    const char* data = static_cast<const char*>(bytes);
    int result = 1;
    while (*written < size) {
        const std::size_t rest = size - *written;
        const DWORD chunk = static_cast<DWORD>(rest < PROCESS_INPUT_WRITE_CHUNK_BYTES ? rest
                                                                                       : PROCESS_INPUT_WRITE_CHUNK_BYTES);
        OVERLAPPED overlapped{};
        overlapped.hEvent = done;
        if (!ResetEvent(done)) {
            result = 0;
            break;
        }
        if (!WriteFile(pipe, data + *written, chunk, nullptr, &overlapped)) {
            const DWORD error = GetLastError();
            if (error != ERROR_IO_PENDING) {
                SetLastError(error);  // ERROR_NO_DATA, ERROR_BROKEN_PIPE: the child's end is closed
                result = 0;
                break;
            }
            const ULONGLONG now = GetTickCount64();
            const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
            if (WaitForSingleObject(done, left) != WAIT_OBJECT_0) {
                // The child has not made room in time: the rest is given up.
                CancelIoEx(pipe, &overlapped);
            }
        }
        DWORD sent = 0;
        // Waits only for a write that is complete or cancelled: at once.
        const BOOL finished = GetOverlappedResult(pipe, &overlapped, &sent, TRUE);
        const DWORD error = GetLastError();
        *written += sent;
        if (!finished) {
            if (error != ERROR_OPERATION_ABORTED) {
                SetLastError(error);
                result = 0;
            }
            break;
        }
        if (sent == 0 || GetTickCount64() >= deadline) {
            break;
        }
    }
    CloseHandle(done);
    return result;
}

int process_input_close(PlatformHandle input)
{
    if (input == PLATFORM_INVALID_HANDLE || input == 0) {
        return fail_with(ERROR_INVALID_HANDLE);
    }
    return CloseHandle(handle_of(input)) ? 1 : 0;
}

int process_self_path(char* path, std::size_t capacity)
{
    if (path == nullptr || capacity == 0) {
        return fail_with(ERROR_INVALID_PARAMETER);
    }
    const DWORD room = capacity < MAXDWORD ? static_cast<DWORD>(capacity) : MAXDWORD;
    const DWORD length = GetModuleFileNameA(nullptr, path, room);
    if (length == 0) {
        path[0] = '\0';
        return 0;
    }
    // A path cut to fit fills the buffer (and Windows XP leaves it unended).
    if (length >= room) {
        path[0] = '\0';
        return fail_with(ERROR_INSUFFICIENT_BUFFER);
    }
    return 1;
}

int process_wait_any(const PlatformHandle* processes, int count, std::uint32_t timeout_ms)
{
    if (processes == nullptr || count <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return PROCESS_WAIT_FAILED;
    }
    std::vector<HANDLE> handles(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        if (processes[i] == PLATFORM_INVALID_HANDLE) {
            SetLastError(ERROR_INVALID_HANDLE);
            return PROCESS_WAIT_FAILED;
        }
        handles[static_cast<std::size_t>(i)] = handle_of(processes[i]);
    }
    const DWORD timeout = timeout_ms < PROCESS_WAIT_LONGEST_MS ? timeout_ms : PROCESS_WAIT_LONGEST_MS;
    if (count <= WAIT_GROUP_HANDLES) {
        return wait_result_index(WaitForMultipleObjects(static_cast<DWORD>(count), handles.data(), FALSE, timeout),
                                 static_cast<DWORD>(count), 0);
    }
    // More than one wait takes: each group looked at in turn, then a short sleep.
    const ULONGLONG deadline = GetTickCount64() + timeout;
    for (;;) {
        for (int first = 0; first < count; first += WAIT_GROUP_HANDLES) {
            const DWORD group = static_cast<DWORD>(count - first < WAIT_GROUP_HANDLES ? count - first
                                                                                      : WAIT_GROUP_HANDLES);
            const int index =
                wait_result_index(WaitForMultipleObjects(group, handles.data() + first, FALSE, 0), group, first);
            if (index != PROCESS_WAIT_TIMEOUT) {
                return index;
            }
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            SetLastError(WAIT_TIMEOUT);
            return PROCESS_WAIT_TIMEOUT;
        }
        const ULONGLONG left = deadline - now;
        Sleep(static_cast<DWORD>(left < PROCESS_WAIT_ANY_POLL_MS ? left : PROCESS_WAIT_ANY_POLL_MS));
    }
}
