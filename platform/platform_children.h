// Children that this program starts and watches while they run, several at
// once: started by path with an argument vector, their standard output and
// error in files the caller reads whenever it likes, their standard input
// through a pipe the caller writes; a bounded wait for any of them to end; and
// the program's own path, so that it can start copies of itself.
//
// The caller never waits for the end of a child's output: a program the child
// starts in turn (a download tool under Wine) may hold inherited handles long
// after the child ended. Files have no end to wait for; the child's end is
// what process_wait_any and process_has_ended report.
//
// Error contract as in platform.h: 0 (or PLATFORM_INVALID_HANDLE) on failure,
// the system's code in platform_last_error(). The process handle that
// process_start_argv gives is one of platform.h's: process_exit_code,
// process_has_ended, process_terminate and process_close take it.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>

// The longest command line Windows takes, its zero byte included.
inline constexpr std::size_t PROCESS_ARGV_COMMAND_LINE_MAX_BYTES = 32768;

// The Windows command line whose parsing by the C runtime (and by
// CommandLineToArgvW) gives back arguments exactly: arguments is argv,
// null-terminated, arguments[0] the program's name as the child sees it. An
// argument that is empty or holds a blank, tab, line end, vertical tab or
// quote is quoted; inside quotes a quote is escaped with a backslash and the
// backslashes before a quote or before the closing quote are doubled.
// Elsewhere backslashes stay as they are. The program's name is only quoted:
// the runtime takes it up to the next quote without escapes, so a name with a
// quote in it cannot be written. Pure: the same on every platform.
// *needed (may be null) is set to the bytes the line takes, its zero byte
// included, or 0 when an argument cannot be written. 1: written. 0: a null
// argument list, arguments[0] missing or unwritable, or capacity short of *needed.
int process_command_line_build(const char* const* arguments, char* command_line, std::size_t capacity,
                               std::size_t* needed);

// Starts program, a path (no search: relative to the current folder when it
// holds no separator), with the argument vector arguments (null-terminated;
// arguments[0] is the program's name as the child sees it, usually program),
// never split on blanks. Windows: CreateProcessA(program, the command line
// process_command_line_build makes, ...), with creation flags
// CREATE_NEW_PROCESS_GROUP when options ask for a group and nothing else the
// child could see; it inherits the standard handles made for it and no other
// handle of this program (PROC_THREAD_ATTRIBUTE_HANDLE_LIST; Windows 8 or
// later when a standard handle is the console's). POSIX: posix_spawn, the child
// keeps descriptors 0, 1 and 2 only.
//
// options (null: PROCESS_OPTIONS_DEFAULT) as for process_start, and besides:
// - standard_input PROCESS_STDIO_PIPE: the child reads a pipe whose write end
//   is returned in *input (which must then not be null) for process_input_write;
// - standard_output and standard_error PROCESS_STDIO_FILE: the files named by
//   standard_output_path and standard_error_path, created or emptied before
//   the child starts (POSIX: mode 0600, for this program's owner only), and
//   written at their end (append), so that both may name the same file
//   and the caller may read either while the child writes it;
// - working_folder: the folder the child starts in (POSIX: posix_spawn's
//   addchdir action; Windows: CreateProcessA's current directory), so that this
//   program's own folder never changes for a child's start;
// - standard_error PROCESS_STDIO_NULL: the null device.
// port_device must be null. *input (when not null) is PLATFORM_INVALID_HANDLE
// unless a pipe was made. On failure nothing is left open. POSIX tracks at
// most 64 children at once (with process_start's): EAGAIN beyond.
int process_start_argv(const char* program, const char* const* arguments, ProcessInfo* info,
                       const ProcessOptions* options, PlatformHandle* input = nullptr);

// Writes size bytes to a child's input pipe from process_start_argv, waiting
// at most timeout_ms for the child to make room; never longer, whatever the
// child does. *written is set on every path to the bytes that went in.
// 1: the pipe is open; *written < size when the child had not read enough in
// time (the caller may try the rest later). 0: failed; a child that ended (and
// every other holder of the pipe's read end) gives the broken-pipe error
// (EPIPE; ERROR_NO_DATA or ERROR_BROKEN_PIPE) and never ends this program
// (POSIX: SIGPIPE is held back for the write and taken back if it came, whatever
// this program does with SIGPIPE otherwise). A write of PIPE_BUF bytes or fewer
// (4096 on Linux) goes in whole or not at all on POSIX.
int process_input_write(PlatformHandle input, const void* bytes, std::size_t size, std::uint32_t timeout_ms,
                        std::size_t* written);
// Closes the write end: the child reads end-of-file once it has read the rest.
int process_input_close(PlatformHandle input);

// The running program's own executable file (POSIX: readlink /proc/self/exe,
// which ends in " (deleted)" when the file was replaced since; Windows:
// GetModuleFileNameA). 0 when it does not fit: PROCESS_SELF_PATH_MAX_BYTES is
// room enough.
inline constexpr std::size_t PROCESS_SELF_PATH_MAX_BYTES = 4096;
int process_self_path(char* path, std::size_t capacity);

// Waits at most timeout_ms (0: looks once) for any of count processes from
// process_start or process_start_argv to end. Returns the lowest index among
// those that have ended (the caller takes an ended child out of the list, or it
// is returned again at once), PROCESS_WAIT_TIMEOUT when none ended in time,
// PROCESS_WAIT_FAILED for no processes, a null list or a handle that is not a
// process's (platform_last_error()). Windows: WaitForMultipleObjects; with
// more than MAXIMUM_WAIT_OBJECTS (64) processes, each group of 64 is looked at
// in turn every PROCESS_WAIT_ANY_POLL_MS. POSIX: waitpid(WNOHANG) for each,
// then a sleep of PROCESS_WAIT_ANY_POLL_MS, so an end is seen that much late
// at most. Windows needs handles with SYNCHRONIZE access: process_open's have none.
inline constexpr int PROCESS_WAIT_TIMEOUT = -1;
inline constexpr int PROCESS_WAIT_FAILED = -2;
inline constexpr std::uint32_t PROCESS_WAIT_ANY_POLL_MS = 10;
int process_wait_any(const PlatformHandle* processes, int count, std::uint32_t timeout_ms);
