// POSIX only: the pieces of running a Windows download tool through Wine,
// declared here so that process_start can use them and the platform tests can
// check each without Wine.
//
// How a run goes (posix_wine.cpp):
// - The prefix's Ports registry value COM1 names a link of the prefix's own,
//   <prefix>/marrowlink-com1, set once when the prefix is made. Wine's mount
//   manager rewrites dosdevices/com1 from that value whenever its server
//   starts, so each run only points the link at its device: no registry
//   change, and so no server restart, between runs.
// - The tool starts through marrowlink-wine-launcher.exe, which says "ready"
//   once Wine is up (its mount manager has set the links), waits for the
//   go-ahead, starts the tool and records the tool's whole exit code.
// - Between "ready" and the go-ahead the realpath of dosdevices/com1 must be
//   the device: in a new prefix Wine maps /dev/ttyS0, on some machines the
//   console, to COM1 by itself, and a firmware download must never go there.
// - When the launcher has ended the link is removed: COM1 of the prefix then
//   leads nowhere until the next run.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/download_tool.h"
#include "platform/platform.h"

// The COM port of the prefix a Windows tool is given, and its name on the
// tool's command line.
inline constexpr int WINE_TOOL_COM_PORT = 1;
inline constexpr char WINE_TOOL_PORT_NAME[] = "COM1";
inline constexpr char WINE_LAUNCHER_NAME[] = "marrowlink-wine-launcher.exe";

// ---------------------------------------------------------------------------
// Programs

// The program search CreateProcessA makes for a bare name: the current folder
// first, then each PATH entry (an empty entry is the current folder); a name
// with a slash is taken as it is. 1: an executable regular file, path set.
// 0: none (ENOENT), or the path does not fit (ENAMETOOLONG).
int posix_program_find(const char* name, char* path, std::size_t capacity);
// The same search on the PATH alone.
int posix_program_find_on_path(const char* name, char* path, std::size_t capacity);

// ---------------------------------------------------------------------------
// Windows program headers

inline constexpr std::uint16_t PE_MACHINE_I386 = 0x014c;
inline constexpr std::uint16_t PE_MACHINE_AMD64 = 0x8664;
inline constexpr std::uint16_t PE_SUBSYSTEM_WINDOWS_GUI = 2;  // a windowed program
inline constexpr std::uint16_t PE_SUBSYSTEM_WINDOWS_CUI = 3;  // a console program
// How much of a file pe_header_read looks at: the DOS header's pointer to the
// PE header is a 32-bit offset, but real programs keep it within the first
// few hundred bytes.
inline constexpr std::size_t PE_HEADER_READ_BYTES = 4096;

struct PeFacts {
    std::uint16_t machine;    // PE_MACHINE_*
    int bits;                 // 32 or 64
    std::uint16_t subsystem;  // PE_SUBSYSTEM_*, or another Windows subsystem number
};

// 1: bytes (the start of a file) are the headers of a Windows program (not a
// DLL) for x86 or x86-64, facts set. 0: why says what it is not.
int pe_header_parse(const unsigned char* bytes, std::size_t count, PeFacts* facts, char* why,
                    std::size_t why_capacity);
int pe_header_read(const char* path, PeFacts* facts, char* why, std::size_t why_capacity);

// ---------------------------------------------------------------------------
// Where Wine's files go

// The folder of marrowlink's own state: "<xdg_state_home>/marrowlink" when
// xdg_state_home is an absolute path, else "<home>/.local/state/marrowlink"
// when home is one (an empty or relative value counts as unset). 1: written.
// 0: neither is usable (ENOENT), or it does not fit (ENAMETOOLONG).
int wine_state_folder(const char* xdg_state_home, const char* home, char* folder, std::size_t capacity);

// What a Wine run needs, found on this machine.
struct WineInstall {
    char wine[DOWNLOAD_TOOL_PATH_BYTES];        // wine on the PATH
    char wineserver[DOWNLOAD_TOOL_PATH_BYTES];  // beside it, else on the PATH
    char launcher[DOWNLOAD_TOOL_PATH_BYTES];    // marrowlink-wine-launcher.exe
    char state[DOWNLOAD_TOOL_PATH_BYTES];       // wine_state_folder()
    char prefix[DOWNLOAD_TOOL_PATH_BYTES];      // <state>/wine
    char log[DOWNLOAD_TOOL_PATH_BYTES];         // <state>/wine.log
};

// The launcher beside the running program, else in ../libexec/marrowlink
// from it (an installed program). 1: found.
int wine_launcher_find(const char* program_folder, char* path, std::size_t capacity);

// Fills install from the environment and the machine. 1, or 0 with
// status->code DOWNLOAD_TOOL_NO_STATE_FOLDER, _NO_WINE or _NO_LAUNCHER.
int wine_install_find(WineInstall* install, DownloadToolStatus* status);

// Whether Wine can run a 32-bit program: Wine's 32-bit libraries are
// installed (an i386-windows/ntdll.dll in one of library_folders, a list
// ending in a null; null: WINE_LIBRARY_FOLDERS and the folders beside the wine
// found). 1: they are.
int wine_has_32_bit(const char* wine, const char* const* library_folders);

// Checks that Wine can start tool (a Windows program) and makes or updates
// the prefix as needed, under the prefix's lock. notice (may be null) is
// called just before a prefix is made. 1, or 0 with status filled.
int wine_tool_ready(const WineInstall& install, const char* tool, DownloadToolNotice notice, void* context,
                    DownloadToolStatus* status);

// The Ports registry command that makes COMn of a prefix name its link, as
// the arguments after "wine": reg add HKLM\Software\Wine\Ports /v COMn
// /t REG_SZ /d <link> /f. words point into command and at link.
inline constexpr std::size_t WINE_PORTS_COMMAND_WORDS = 10;
struct WinePortsCommand {
    char port[16];                                     // "COMn"
    const char* words[WINE_PORTS_COMMAND_WORDS + 1];  // null-terminated
};
void wine_ports_command(const char* link, int com, WinePortsCommand* command);

// ---------------------------------------------------------------------------
// The COM port mapping

// <state>/wine-com<com>.lock: held by the run whose tool has the prefix's COM
// port, from its mapping to its removal.
int wine_port_lock_path(const char* state, int com, char* path, std::size_t capacity);
// 1: another run holds that lock now.
int wine_port_busy(const char* state, int com);
// <prefix>/marrowlink-com<com>, the link the Ports value names.
int wine_port_link(const char* prefix, int com, char* path, std::size_t capacity);
// <prefix>/dosdevices/com<com>, Wine's own link.
int wine_port_dos_link(const char* prefix, int com, char* path, std::size_t capacity);
// Points the prefix's link for com at device (resolved to its real path).
// 1, or 0 with why.
int wine_port_map(const char* prefix, int com, const char* device, char* why, std::size_t why_capacity);
// Removes the link: com then leads nowhere. 1 (also when there was none).
int wine_port_unmap(const char* prefix, int com);
// 1: the realpath of the prefix's dosdevices/com<com> is the realpath of
// device. 0: why names where it leads instead (or why it leads nowhere).
int wine_port_check(const char* prefix, int com, const char* device, char* why, std::size_t why_capacity);

// ---------------------------------------------------------------------------
// Running Wine commands

// The system's monotonic clock and a sleep, for the waits on Wine: the real
// ones also where the tests' fake platform stands in for clock_ms and sleep_ms.
std::uint64_t wine_clock_ms();
void wine_pause_ms(std::uint32_t milliseconds);

// Starts argv (argv[0] a path) with Wine's environment for prefix (creating:
// the prefix is being made, so no display and no offers to install Mono or
// Gecko), standard input from /dev/null and standard output and error
// appended to log, every other descriptor closed. 1, pid set; 0 with errno.
int wine_command_start(const char* const* argv, const char* prefix, int creating, const char* log,
                       int new_process_group, pid_t* pid);
// Waits up to timeout_ms for pid to end; kills it when it has not.
// 1: it ended by itself, *status its waitpid status. 0: killed, or the wait failed.
int wine_command_wait(pid_t pid, std::uint32_t timeout_ms, int* status);
// Both, for a command that must exit 0. 1: it did; 0: why says what happened.
int wine_command_run(const char* const* argv, const char* prefix, int creating, const char* log,
                     std::uint32_t timeout_ms, char* why, std::size_t why_capacity);
// "wine --version"'s line. 1: written.
int wine_version(const char* wine, char* version, std::size_t capacity);
// Appends "marrowlink: <line>" to log (errors ignored: the log is for people).
void wine_log_line(const char* log, const char* line);

// ---------------------------------------------------------------------------
// A tool's run

// Starts tool_path (a Windows program) through the launcher with command_line
// as its whole command line, its COM1 leading to port_device; returns once
// the tool runs. 1: *pid is the launcher's process, *run the run's record for
// wine_run_end. 0 with errno: nothing runs and nothing is left mapped (the
// reason is in Wine's log).
int wine_run_start(const char* tool_path, const char* command_line, const char* port_device,
                   const ProcessOptions& options, pid_t* pid, int* run);
// After the launcher's process has ended: removes the mapping, gives up the
// run's record and reads the tool's exit code. 1: *exit_code set. 0: the
// launcher recorded none (EIO).
// Asks the launcher of a run to end its tool at once (the stop file beside
// the go-ahead). 1: asked.
int wine_run_stop(int run_index);
int wine_run_end(int run, std::uint32_t* exit_code);
