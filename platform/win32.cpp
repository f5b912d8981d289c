// The platform API on Windows: each call goes straight to the Win32 function
// named in platform.h, with the values named there.
#include "platform/platform.h"
#include "platform/process_options.h"
#include "platform/serial_native.h"

#include <windows.h>

#include <conio.h>
#include <timeapi.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// CreateProcessA may write into its command line, so it gets a copy; 32767
// characters is the longest command line Windows takes.
constexpr std::size_t PROCESS_COMMAND_LINE_MAX_BYTES = 32768;
std::array<char, PROCESS_COMMAND_LINE_MAX_BYTES> process_command_line;

// STARTUPINFOA.cb as the tool launch has always passed it: the size of the
// 32-bit structure. Every field past it is zero, so a 64-bit build loses nothing.
constexpr DWORD PROCESS_STARTUP_INFO_SIZE = 68;
// lpDesktop must point at an empty string (inherit the caller's desktop), not be null.
char process_desktop_name[] = "";

HANDLE handle_of(PlatformHandle handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

PlatformHandle platform_handle_of(HANDLE handle)
{
    return reinterpret_cast<PlatformHandle>(handle);
}

int fail_invalid_parameter()
{
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
}

// The process calls' answer to PLATFORM_INVALID_HANDLE, which Windows would
// otherwise take for GetCurrentProcess().
int fail_invalid_handle()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
}

void dcb_from_state(const SerialState* state, DCB* dcb)
{
    dcb->DCBlength = state->length;
    dcb->BaudRate = state->baud_rate;
    dcb->fBinary = state->binary;
    dcb->fParity = state->parity_check;
    dcb->fOutxCtsFlow = state->outx_cts_flow;
    dcb->fOutxDsrFlow = state->outx_dsr_flow;
    dcb->fDtrControl = state->dtr_control;
    dcb->fDsrSensitivity = state->dsr_sensitivity;
    dcb->fTXContinueOnXoff = state->tx_continue_on_xoff;
    dcb->fOutX = state->out_x;
    dcb->fInX = state->in_x;
    dcb->fErrorChar = state->error_char_replace;
    dcb->fNull = state->null_discard;
    dcb->fRtsControl = state->rts_control;
    dcb->fAbortOnError = state->abort_on_error;
    dcb->fDummy2 = state->dummy2;
    dcb->wReserved = state->reserved;
    dcb->XonLim = state->xon_lim;
    dcb->XoffLim = state->xoff_lim;
    dcb->ByteSize = state->byte_size;
    dcb->Parity = state->parity;
    dcb->StopBits = state->stop_bits;
    dcb->XonChar = state->xon_char;
    dcb->XoffChar = state->xoff_char;
    dcb->ErrorChar = state->error_char;
    dcb->EofChar = state->eof_char;
    dcb->EvtChar = state->evt_char;
    dcb->wReserved1 = state->reserved1;
}

void state_from_dcb(const DCB* dcb, SerialState* state)
{
    state->length = dcb->DCBlength;
    state->baud_rate = dcb->BaudRate;
    state->binary = static_cast<std::uint8_t>(dcb->fBinary);
    state->parity_check = static_cast<std::uint8_t>(dcb->fParity);
    state->outx_cts_flow = static_cast<std::uint8_t>(dcb->fOutxCtsFlow);
    state->outx_dsr_flow = static_cast<std::uint8_t>(dcb->fOutxDsrFlow);
    state->dtr_control = static_cast<std::uint8_t>(dcb->fDtrControl);
    state->dsr_sensitivity = static_cast<std::uint8_t>(dcb->fDsrSensitivity);
    state->tx_continue_on_xoff = static_cast<std::uint8_t>(dcb->fTXContinueOnXoff);
    state->out_x = static_cast<std::uint8_t>(dcb->fOutX);
    state->in_x = static_cast<std::uint8_t>(dcb->fInX);
    state->error_char_replace = static_cast<std::uint8_t>(dcb->fErrorChar);
    state->null_discard = static_cast<std::uint8_t>(dcb->fNull);
    state->rts_control = static_cast<std::uint8_t>(dcb->fRtsControl);
    state->abort_on_error = static_cast<std::uint8_t>(dcb->fAbortOnError);
    state->dummy2 = dcb->fDummy2;
    state->reserved = dcb->wReserved;
    state->xon_lim = dcb->XonLim;
    state->xoff_lim = dcb->XoffLim;
    state->byte_size = dcb->ByteSize;
    state->parity = dcb->Parity;
    state->stop_bits = dcb->StopBits;
    state->xon_char = dcb->XonChar;
    state->xoff_char = dcb->XoffChar;
    state->error_char = dcb->ErrorChar;
    state->eof_char = dcb->EofChar;
    state->evt_char = dcb->EvtChar;
    state->reserved1 = dcb->wReserved1;
}

}  // namespace

std::uint32_t platform_last_error()
{
    return GetLastError();
}

void platform_last_error_set(std::uint32_t code)
{
    SetLastError(code);
}

void platform_error_text(std::uint32_t error, char* text, std::size_t capacity)
{
    if (text == nullptr || capacity == 0) {
        return;
    }
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                        0, text, static_cast<DWORD>(capacity), nullptr);
    if (length == 0) {
        std::snprintf(text, capacity, "system error %lu", static_cast<unsigned long>(error));
        return;
    }
    // The system's texts end with ".\r\n".
    std::size_t end = length < capacity ? length : capacity - 1;
    while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == '.')) {
        --end;
    }
    text[end] = '\0';
}

// ---------------------------------------------------------------------------
// Serial ports

PlatformHandle serial_native_open(const char* device_path)
{
    if (device_path == nullptr) {
        fail_invalid_parameter();
        return PLATFORM_INVALID_HANDLE;
    }
    if (std::strlen(device_path) >= SERIAL_DEVICE_PATH_MAX_BYTES) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return PLATFORM_INVALID_HANDLE;
    }
    // "\\.\COMn" names the port in the Win32 device namespace, the only form
    // that reaches COM10 and above. Share mode 0: no one else may open it.
    const HANDLE port = CreateFileA(device_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return platform_handle_of(port);
}

int serial_native_setup(PlatformHandle port, std::uint32_t input_queue, std::uint32_t output_queue)
{
    return SetupComm(handle_of(port), input_queue, output_queue) ? 1 : 0;
}

int serial_native_get_state(PlatformHandle port, SerialState* state)
{
    if (state == nullptr) {
        return fail_invalid_parameter();
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_of(port), &dcb)) {
        return 0;
    }
    state_from_dcb(&dcb, state);
    return 1;
}

int serial_native_set_state(PlatformHandle port, const SerialState* state)
{
    if (state == nullptr) {
        return fail_invalid_parameter();
    }
    DCB dcb{};
    dcb_from_state(state, &dcb);
    return SetCommState(handle_of(port), &dcb) ? 1 : 0;
}

int serial_native_set_timeouts(PlatformHandle port, const SerialTimeouts* timeouts)
{
    if (timeouts == nullptr) {
        return fail_invalid_parameter();
    }
    COMMTIMEOUTS comm{};
    comm.ReadIntervalTimeout = timeouts->read_interval;
    comm.ReadTotalTimeoutMultiplier = timeouts->read_total_multiplier;
    comm.ReadTotalTimeoutConstant = timeouts->read_total_constant;
    comm.WriteTotalTimeoutMultiplier = timeouts->write_total_multiplier;
    comm.WriteTotalTimeoutConstant = timeouts->write_total_constant;
    return SetCommTimeouts(handle_of(port), &comm) ? 1 : 0;
}

int serial_native_purge(PlatformHandle port, std::uint32_t flags)
{
    return PurgeComm(handle_of(port), flags) ? 1 : 0;
}

int serial_native_escape(PlatformHandle port, std::uint32_t function)
{
    return EscapeCommFunction(handle_of(port), function) ? 1 : 0;
}

int serial_native_read(PlatformHandle port, void* buffer, std::uint32_t count, std::uint32_t* bytes_read)
{
    if (bytes_read == nullptr) {
        return fail_invalid_parameter();
    }
    DWORD got = 0;
    // No OVERLAPPED: the port was opened for plain blocking I/O.
    const BOOL ok = ReadFile(handle_of(port), buffer, count, &got, nullptr);
    *bytes_read = got;
    return ok ? 1 : 0;
}

int serial_native_write(PlatformHandle port, const void* buffer, std::uint32_t count, std::uint32_t* bytes_written)
{
    if (bytes_written == nullptr) {
        return fail_invalid_parameter();
    }
    DWORD sent = 0;
    const BOOL ok = WriteFile(handle_of(port), buffer, count, &sent, nullptr);
    *bytes_written = sent;
    return ok ? 1 : 0;
}

int serial_native_close(PlatformHandle port)
{
    return CloseHandle(handle_of(port)) ? 1 : 0;
}

int serial_wait_input(PlatformHandle, std::uint32_t timeout_ms)
{
    // WaitCommEvent on a non-overlapped handle cannot time out: sleep instead.
    Sleep(timeout_ms);
    return 0;
}

// ---------------------------------------------------------------------------
// Folders and processes

namespace {

// Inheritable copies of the handles a child gets as its standard input,
// output and error when the options ask for other than the program's own.
struct StandardHandles {
    HANDLE null_input = nullptr;
    HANDLE null_output = nullptr;
    HANDLE input = nullptr;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
};

HANDLE handle_inheritable_copy(HANDLE handle)
{
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return copy;
}

HANDLE handle_null_device(DWORD access)
{
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE device = CreateFileA("NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return device != INVALID_HANDLE_VALUE ? device : nullptr;
}

void standard_handles_close(StandardHandles* handles)
{
    for (HANDLE handle : {handles->null_input, handles->null_output, handles->input, handles->output, handles->error}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    *handles = StandardHandles{};
}

// Fills startup's standard handles when the options ask for any; 0 with the
// error left for GetLastError() when one cannot be made.
int standard_handles_open(const ProcessOptions& how, StandardHandles* handles, STARTUPINFOA* startup)
{
    if (how.standard_input == PROCESS_STDIO_INHERIT && how.standard_output == PROCESS_STDIO_INHERIT) {
        return 1;
    }
    handles->input = how.standard_input == PROCESS_STDIO_NULL
                         ? (handles->null_input = handle_null_device(GENERIC_READ))
                         : handle_inheritable_copy(GetStdHandle(STD_INPUT_HANDLE));
    handles->error = handle_inheritable_copy(GetStdHandle(STD_ERROR_HANDLE));
    if (how.standard_output == PROCESS_STDIO_NULL) {
        handles->output = handles->null_output = handle_null_device(GENERIC_WRITE);
    } else {
        handles->output = handle_inheritable_copy(
            GetStdHandle(how.standard_output == PROCESS_STDIO_STDERR ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE));
    }
    if (how.standard_input == PROCESS_STDIO_NULL && handles->null_input == nullptr) {
        const DWORD error = GetLastError();
        standard_handles_close(handles);
        SetLastError(error);
        return 0;
    }
    // A program without a console has no standard handles to pass on: the
    // child then has none either, as it would have had.
    startup->dwFlags |= STARTF_USESTDHANDLES;
    startup->hStdInput = handles->input;
    startup->hStdOutput = handles->output;
    startup->hStdError = handles->error;
    return 1;
}

}  // namespace

int folder_change(const char* path)
{
    return SetCurrentDirectoryA(path) ? 1 : 0;
}

int process_start(const char* command_line, ProcessInfo* info, const ProcessOptions* options)
{
    if (command_line == nullptr || info == nullptr) {
        return fail_invalid_parameter();
    }
    const ProcessOptions& how = options != nullptr ? *options : PROCESS_OPTIONS_DEFAULT;
    *info = ProcessInfo{PLATFORM_INVALID_HANDLE, PLATFORM_INVALID_HANDLE, 0, 0};
    if (!process_options_plain(how)) {
        return fail_invalid_parameter();  // process_start_argv's options
    }
    const std::size_t length = std::strlen(command_line);
    if (length >= process_command_line.size()) {
        return fail_invalid_parameter();
    }
    std::memcpy(process_command_line.data(), command_line, length + 1);
    STARTUPINFOA startup{};
    startup.cb = PROCESS_STARTUP_INFO_SIZE;
    startup.lpDesktop = process_desktop_name;
    PROCESS_INFORMATION process{};
    StandardHandles handles;
    if (!standard_handles_open(how, &handles, &startup)) {
        return 0;
    }
    // CREATE_NEW_PROCESS_GROUP keeps this console's Ctrl-C from the child;
    // Ctrl-Break still reaches a console program.
    const DWORD flags = how.new_process_group ? CREATE_NEW_PROCESS_GROUP : 0;
    // Handles are inherited only when the child is given standard handles of
    // its own choosing; the default start inherits nothing, as it always has.
    const BOOL inherit = (startup.dwFlags & STARTF_USESTDHANDLES) != 0 ? TRUE : FALSE;
    // No application name: the program is the command line's first word, found
    // by CreateProcessA's own search (which includes the current folder).
    const BOOL started = CreateProcessA(nullptr, process_command_line.data(), nullptr, nullptr, inherit, flags,
                                        nullptr, nullptr, &startup, &process);
    const DWORD error = GetLastError();
    standard_handles_close(&handles);
    if (!started) {
        SetLastError(error);
        return 0;
    }
    info->process = platform_handle_of(process.hProcess);
    info->thread = platform_handle_of(process.hThread);
    info->process_id = process.dwProcessId;
    info->thread_id = process.dwThreadId;
    return 1;
}

PlatformHandle process_open(std::uint32_t process_id)
{
    // OpenProcess fails with a null handle, not INVALID_HANDLE_VALUE.
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process_id);
    return process != nullptr ? platform_handle_of(process) : PLATFORM_INVALID_HANDLE;
}

int process_exit_code(PlatformHandle process, std::uint32_t* exit_code)
{
    if (process == PLATFORM_INVALID_HANDLE) {
        return fail_invalid_handle();
    }
    if (exit_code == nullptr) {
        return fail_invalid_parameter();
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(handle_of(process), &code)) {
        return 0;
    }
    *exit_code = code;
    return 1;
}

int process_has_ended(PlatformHandle process)
{
    if (process == PLATFORM_INVALID_HANDLE) {
        return fail_invalid_handle();
    }
    // Needs SYNCHRONIZE access: the handle from CreateProcessA has it, a
    // PROCESS_QUERY_INFORMATION handle from OpenProcess does not.
    return WaitForSingleObject(handle_of(process), 0) == WAIT_OBJECT_0 ? 1 : 0;
}

int process_close(PlatformHandle process)
{
    if (process == PLATFORM_INVALID_HANDLE) {
        return fail_invalid_handle();
    }
    return CloseHandle(handle_of(process)) ? 1 : 0;
}

int process_terminate(PlatformHandle process)
{
    if (process == PLATFORM_INVALID_HANDLE) {
        return fail_invalid_handle();
    }
    return TerminateProcess(handle_of(process), PROCESS_TERMINATED_EXIT_CODE) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Time

void sleep_ms(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

std::uint64_t clock_ms()
{
    // GetTickCount64: monotonic and free of GetTickCount's 49-day wrap.
    return GetTickCount64();
}

void timer_precise_begin()
{
    // Sleep(1) otherwise lasts a whole 15.6 ms scheduler tick.
    timeBeginPeriod(1);
}

void timer_precise_end()
{
    timeEndPeriod(1);
}

// ---------------------------------------------------------------------------
// Console and process

void console_key_wait_begin()
{
    // The console delivers single key presses already.
}

void console_key_wait_end()
{
}

int console_key_waiting()
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return 1;  // no standard input at all: nothing to wait for
    }
    DWORD mode = 0;
    if (GetConsoleMode(input, &mode)) {
        return _kbhit() ? 1 : 0;
    }
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        // _kbhit() only knows console input. A pipe holds data, or has ended
        // when PeekNamedPipe fails (ERROR_BROKEN_PIPE once the writer has gone;
        // Wine cannot peek a Unix pipe at all): then there is nothing to wait for.
        DWORD waiting = 0;
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr)) {
            return 1;
        }
        return waiting > 0 ? 1 : 0;
    }
    // A file or NUL: input that has ended or holds data; a run with no
    // console must not wait for ever.
    return 1;
}

void process_exit(int status)
{
    std::fflush(stdout);
    std::exit(status);
}
