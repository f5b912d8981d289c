// The project's own small platform API: serial ports, folders, processes,
// sleeping and the clock, the console, process exit.
//
// The Win32 implementation (win32.cpp) passes each call straight to the Win32
// function named beside it, with the values given here (DCB fields,
// COMMTIMEOUTS, purge flags, escape codes). The POSIX implementation gives
// the same semantics with termios, poll() and waitpid(), one file per concern:
// posix_serial.cpp, posix_process.cpp, posix_console.cpp. Children watched
// while they run and the console of a live display have headers of their own
// (platform_children.h, platform_console.h), not in the tests' fake platform.
// Tests link a third implementation with a scripted port and a virtual clock.
// Only platform/ includes <windows.h>, <termios.h> or <unistd.h>.
//
// Error contract: a call that fails returns 0 (or PLATFORM_INVALID_HANDLE)
// and leaves the operating system's own error code for platform_last_error()
// (GetLastError() on Windows, errno on POSIX). A caller error (an invalid
// handle, a null pointer) fails the same way with PLATFORM_ERROR_INVALID_PARAMETER.
// Nothing here prints, and nothing here ends the process except process_exit().
#pragma once

#include <cstddef>
#include <cstdint>

// An opaque handle. -1 is the same bit pattern as Win32's INVALID_HANDLE_VALUE.
using PlatformHandle = std::intptr_t;
inline constexpr PlatformHandle PLATFORM_INVALID_HANDLE = -1;

// ERROR_INVALID_PARAMETER on Windows; POSIX reports EINVAL's value instead.
inline constexpr std::uint32_t PLATFORM_ERROR_INVALID_PARAMETER = 87;
// ERROR_INVALID_HANDLE on Windows; POSIX reports EBADF's value instead.
inline constexpr std::uint32_t PLATFORM_ERROR_INVALID_HANDLE = 6;

std::uint32_t platform_last_error();

// The system's own text for an error code from platform_last_error(), for
// people ("No such file or directory"), without a line end; cut to fit text.
inline constexpr std::size_t PLATFORM_ERROR_TEXT_BYTES = 256;
void platform_error_text(std::uint32_t error, char* text, std::size_t capacity);

// ---------------------------------------------------------------------------
// Serial ports

// The line settings, field for field those of the Win32 DCB. Fields that a
// platform has no place for are kept so that get-modify-set round-trips.
struct SerialState {
    std::uint32_t length;             // DCBlength: SERIAL_STATE_LENGTH
    std::uint32_t baud_rate;          // BaudRate
    std::uint8_t binary;              // fBinary
    std::uint8_t parity_check;        // fParity
    std::uint8_t outx_cts_flow;       // fOutxCtsFlow
    std::uint8_t outx_dsr_flow;       // fOutxDsrFlow
    std::uint8_t dtr_control;         // fDtrControl: SERIAL_DTR_CONTROL_*
    std::uint8_t dsr_sensitivity;     // fDsrSensitivity
    std::uint8_t tx_continue_on_xoff; // fTXContinueOnXoff
    std::uint8_t out_x;               // fOutX
    std::uint8_t in_x;                // fInX
    std::uint8_t error_char_replace;  // fErrorChar
    std::uint8_t null_discard;        // fNull
    std::uint8_t rts_control;         // fRtsControl: SERIAL_RTS_CONTROL_*
    std::uint8_t abort_on_error;      // fAbortOnError
    std::uint32_t dummy2;             // fDummy2 (reserved bits)
    std::uint16_t reserved;           // wReserved
    std::uint16_t xon_lim;            // XonLim
    std::uint16_t xoff_lim;           // XoffLim
    std::uint8_t byte_size;           // ByteSize
    std::uint8_t parity;              // Parity: SERIAL_*PARITY
    std::uint8_t stop_bits;           // StopBits: SERIAL_ONESTOPBIT...
    char xon_char;                    // XonChar
    char xoff_char;                   // XoffChar
    char error_char;                  // ErrorChar
    char eof_char;                    // EofChar
    char evt_char;                    // EvtChar
    std::uint16_t reserved1;          // wReserved1
};

inline constexpr std::uint32_t SERIAL_STATE_LENGTH = 28;  // sizeof(DCB) on Windows

inline constexpr std::uint8_t SERIAL_NOPARITY = 0;
inline constexpr std::uint8_t SERIAL_ODDPARITY = 1;
inline constexpr std::uint8_t SERIAL_EVENPARITY = 2;
inline constexpr std::uint8_t SERIAL_ONESTOPBIT = 0;
inline constexpr std::uint8_t SERIAL_TWOSTOPBITS = 2;
inline constexpr std::uint8_t SERIAL_DTR_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t SERIAL_DTR_CONTROL_ENABLE = 1;
inline constexpr std::uint8_t SERIAL_RTS_CONTROL_DISABLE = 0;
inline constexpr std::uint8_t SERIAL_RTS_CONTROL_ENABLE = 1;

// COMMTIMEOUTS, in milliseconds.
struct SerialTimeouts {
    std::uint32_t read_interval;           // ReadIntervalTimeout
    std::uint32_t read_total_multiplier;   // ReadTotalTimeoutMultiplier
    std::uint32_t read_total_constant;     // ReadTotalTimeoutConstant
    std::uint32_t write_total_multiplier;  // WriteTotalTimeoutMultiplier
    std::uint32_t write_total_constant;    // WriteTotalTimeoutConstant
};

// MAXDWORD as ReadIntervalTimeout with both read totals 0: a read returns at
// once with whatever is already waiting, possibly nothing.
inline constexpr std::uint32_t SERIAL_TIMEOUT_MAXDWORD = 0xFFFFFFFFu;

// PurgeComm flags.
inline constexpr std::uint32_t SERIAL_PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t SERIAL_PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t SERIAL_PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t SERIAL_PURGE_RXCLEAR = 0x0008;
inline constexpr std::uint32_t SERIAL_PURGE_ALL = 0x000F;

// EscapeCommFunction codes.
inline constexpr std::uint32_t SERIAL_SETRTS = 3;
inline constexpr std::uint32_t SERIAL_CLRRTS = 4;
inline constexpr std::uint32_t SERIAL_SETDTR = 5;
inline constexpr std::uint32_t SERIAL_CLRDTR = 6;

// The longest device path serial_open takes, its zero byte included (and, on
// POSIX, the longest path a COMn name resolves to). Room for any device path
// people name a port by, /dev/serial/by-id/... included.
inline constexpr std::size_t SERIAL_DEVICE_PATH_MAX_BYTES = 256;

// CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0 (exclusive), NULL,
// OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL). The path is a Win32 device name
// such as "\\\\.\\COM1"; on POSIX "\\\\.\\COMn" resolves to $COMn_DEVICE when
// that is set, else to /dev/ttyS<n-1>, and any other path (/dev/ttyUSB0) is
// opened as it is. A path of SERIAL_DEVICE_PATH_MAX_BYTES or more fails.
// Returns PLATFORM_INVALID_HANDLE on failure.
PlatformHandle serial_open(const char* device_path);
int serial_setup(PlatformHandle port, std::uint32_t input_queue, std::uint32_t output_queue);  // SetupComm
int serial_get_state(PlatformHandle port, SerialState* state);                                // GetCommState
int serial_set_state(PlatformHandle port, const SerialState* state);                          // SetCommState
int serial_set_timeouts(PlatformHandle port, const SerialTimeouts* timeouts);                 // SetCommTimeouts
int serial_purge(PlatformHandle port, std::uint32_t flags);                                   // PurgeComm
int serial_escape(PlatformHandle port, std::uint32_t function);                               // EscapeCommFunction
// ReadFile / WriteFile, blocking as the time-outs say. The count is set on
// every path (0 when nothing moved).
int serial_read(PlatformHandle port, void* buffer, std::uint32_t count, std::uint32_t* bytes_read);
int serial_write(PlatformHandle port, const void* buffer, std::uint32_t count, std::uint32_t* bytes_written);
int serial_close(PlatformHandle port);  // CloseHandle
// Waits until bytes are waiting to be read on the port, or timeout_ms has
// passed; reads nothing. 1: bytes are waiting. 0: the time passed (or the wait
// failed). Lets a polling caller that would otherwise sleep blindly wake for
// the first byte. Windows cannot wait on a port opened without OVERLAPPED with
// a time-out: there it is Sleep(timeout_ms) and reports 0.
int serial_wait_input(PlatformHandle port, std::uint32_t timeout_ms);

// ---------------------------------------------------------------------------
// Folders and processes

int folder_change(const char* path);  // SetCurrentDirectoryA

struct ProcessInfo {  // PROCESS_INFORMATION
    PlatformHandle process;
    PlatformHandle thread;
    std::uint32_t process_id;
    std::uint32_t thread_id;
};

// How a child is started. The defaults are the updater's start of the
// download tool, exactly: its own process group, the program's standard
// input and output, no device of its own.
inline constexpr int PROCESS_STDIO_INHERIT = 0;  // the program's own
inline constexpr int PROCESS_STDIO_NULL = 1;     // /dev/null, NUL: the child reads end-of-file at once
inline constexpr int PROCESS_STDIO_STDERR = 2;   // standard output only: the program's standard error
// Only for process_start_argv (platform_children.h); process_start refuses them.
inline constexpr int PROCESS_STDIO_FILE = 3;     // output or error: the file the options name, created or emptied
inline constexpr int PROCESS_STDIO_PIPE = 4;     // input only: a pipe whose write end the caller keeps
struct ProcessOptions {
    // A process group of its own, so that a console interrupt meant for this
    // program does not reach the child (Windows: CREATE_NEW_PROCESS_GROUP,
    // which keeps Ctrl-C but not Ctrl-Break from a console program).
    bool new_process_group = false;
    int standard_input = PROCESS_STDIO_INHERIT;   // PROCESS_STDIO_INHERIT or _NULL (process_start_argv: or _PIPE)
    int standard_output = PROCESS_STDIO_INHERIT;  // PROCESS_STDIO_INHERIT, _NULL or _STDERR (process_start_argv: or _FILE)
    // The serial device the child's COM port must lead to (the download tool
    // under Wine on POSIX); null when the child opens the port by the name on
    // its command line. Windows ignores it.
    const char* port_device = nullptr;
    // process_start_argv only (process_start takes PROCESS_STDIO_INHERIT):
    int standard_error = PROCESS_STDIO_INHERIT;   // PROCESS_STDIO_INHERIT, _NULL or _FILE
    const char* standard_output_path = nullptr;   // the file for standard_output = PROCESS_STDIO_FILE
    const char* standard_error_path = nullptr;    // the file for standard_error = PROCESS_STDIO_FILE
    // The folder the child starts in (null: this program's current folder);
    // the program's path and the files above are then best given whole.
    const char* working_folder = nullptr;
};
inline constexpr ProcessOptions PROCESS_OPTIONS_DEFAULT = {};

// CreateProcessA(NULL, command_line, NULL, NULL, FALSE, 0, NULL, NULL, &si, info)
// with a STARTUPINFOA that is zero but for cb = 68 and lpDesktop = "". The
// program is the command line's first word, searched in the current folder
// first, then on the PATH. options (null: PROCESS_OPTIONS_DEFAULT) change the
// creation flags and the standard handles only when they differ from the
// defaults. Options that only process_start_argv takes fail with the
// invalid-parameter error.
// POSIX: with options->port_device set, a first word NAME for which the
// current folder holds no program NAME but a Windows program NAME.exe starts
// that one through Wine (platform/download_tool.h): the COM port of Wine's
// prefix that process_tool_port gave it (the port its command line must
// name) leads to the device, and the call returns once the program runs
// (Wine's start, and on first use the making of Wine's prefix, take
// seconds). Its exit code is the program's whole 32-bit code; Wine's output
// goes to Wine's log, whatever the standard handles asked for.
int process_start(const char* command_line, ProcessInfo* info, const ProcessOptions* options = nullptr);

// What a program about to be started calls its serial port on its command
// line, and the device that port must lead to (ProcessOptions::port_device).
struct ProcessToolPort {
    char name[SERIAL_DEVICE_PATH_MAX_BYTES];    // for "/serial NAME"
    char device[SERIAL_DEVICE_PATH_MAX_BYTES];  // "" when the program opens the port by its name
};
// For program (a bare name, searched as process_start searches it) that is
// to use the port serial_open knows as device_path and people as port_name:
// a Windows program run through Wine on POSIX gets a COM port of Wine's
// prefix of its own ("COM1" for a lone run, the lowest one no other run has),
// which must lead to the device device_path resolves to; this process holds
// that port until the program started with it has ended. Any other program
// gets port_name and no device. 1, or 0: ENAMETOOLONG when a name does not
// fit, EBUSY when other runs have every COM port of the prefix.
int process_tool_port(const char* program, const char* device_path, const char* port_name, ProcessToolPort* port);
// OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, process_id);
// PLATFORM_INVALID_HANDLE when it fails. Every process call below refuses
// PLATFORM_INVALID_HANDLE with the invalid-handle error: on Windows -1 is also
// the pseudo-handle of the calling process, and a failed open must not turn
// into questions about the updater itself.
PlatformHandle process_open(std::uint32_t process_id);
// GetExitCodeProcess: PROCESS_STILL_ACTIVE while the process runs, else its
// exit code (128 + N on POSIX for a process killed by signal N).
int process_exit_code(PlatformHandle process, std::uint32_t* exit_code);
// WaitForSingleObject(process, 0) on a handle from process_start: 1 once the
// process has ended, so that a real exit code of 259 can be told from "running".
int process_has_ended(PlatformHandle process);
int process_close(PlatformHandle process);  // CloseHandle
// Ends a process from process_start at once (TerminateProcess; SIGKILL on
// POSIX, to its whole process group when it leads one). It then reports
// PROCESS_TERMINATED_EXIT_CODE: 128 + SIGKILL's number, as a shell reports a
// killed child, on both platforms.
int process_terminate(PlatformHandle process);
inline constexpr std::uint32_t PROCESS_TERMINATED_EXIT_CODE = 128 + 9;

inline constexpr std::uint32_t PROCESS_STILL_ACTIVE = 259;

// ---------------------------------------------------------------------------
// Time

void sleep_ms(std::uint32_t milliseconds);  // Sleep
std::uint64_t clock_ms();                   // monotonic milliseconds, for deadlines
// While a BCSP port is open the 1 ms sleeps of its wait loop must be 1 ms:
// Windows raises the timer resolution (timeBeginPeriod(1)) until the matching
// end call. Nothing to do on POSIX.
void timer_precise_begin();
void timer_precise_end();

// ---------------------------------------------------------------------------
// Console and process

// printf to standard output, flushed at once so each line shows as it happens.
int console_printf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Where console_printf writes: standard output (the default), standard error
// (a program whose standard output carries data for scripts), or nowhere.
inline constexpr int CONSOLE_OUTPUT_STDOUT = 0;
inline constexpr int CONSOLE_OUTPUT_STDERR = 1;
inline constexpr int CONSOLE_OUTPUT_NONE = 2;
void console_set_output(int where);

// Bracket a key wait: when standard input is a terminal it is put in
// non-canonical, no-echo mode between these two calls and restored after.
void console_key_wait_begin();
void console_key_wait_end();
// Non-blocking: 1 when a key press is waiting, or when standard input has
// ended (no console, nothing to wait for). The key is never read.
int console_key_waiting();

[[noreturn]] void process_exit(int status);
