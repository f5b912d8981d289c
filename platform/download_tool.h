// The download tool: which program an update would start, and getting Wine
// ready when that program is a Windows one run from Linux.
//
// process_start searches a bare program name NAME in this order: NAME in the
// current folder (a program of this system), NAME.exe in the current folder
// through Wine (POSIX only, and only when the start names the device the
// program's COM port must lead to: ProcessOptions::port_device), NAME on the
// PATH. The calls here make the same choice for a folder given by name, so
// that the field tool can say what would run and prepare Wine before it
// contacts the adapter.
//
// Through Wine the tool runs in a Wine prefix of its own, never the user's
// default one: $XDG_STATE_HOME/marrowlink/wine, or ~/.local/state/marrowlink/wine
// without XDG_STATE_HOME. Wine's output goes to wine.log beside the prefix.
// The Windows build always runs the program itself (there is no Wine).
//
// Nothing here prints. A failure is reported in a DownloadToolStatus: a code
// for the caller to choose its words and hint by, and a text with the facts.
#pragma once

#include <cstddef>
#include <cstdint>

// How a program would be started.
inline constexpr int DOWNLOAD_TOOL_NONE = 0;           // no such program
inline constexpr int DOWNLOAD_TOOL_NATIVE_FOLDER = 1;  // NAME in the folder, a program of this system
inline constexpr int DOWNLOAD_TOOL_WINE_FOLDER = 2;    // NAME.exe in the folder, through Wine
inline constexpr int DOWNLOAD_TOOL_NATIVE_PATH = 3;    // NAME on the PATH

inline constexpr std::size_t DOWNLOAD_TOOL_PATH_BYTES = 4096;
inline constexpr std::size_t DOWNLOAD_TOOL_TEXT_BYTES = 1024;
inline constexpr std::size_t DOWNLOAD_TOOL_VERSION_BYTES = 128;

struct DownloadToolChoice {
    int kind;                             // DOWNLOAD_TOOL_*
    char path[DOWNLOAD_TOOL_PATH_BYTES];  // the program found, as the search found it; "" for NONE
};

// The choice for program (a bare name such as "DFUWizard") in folder (null:
// the current folder). Always 1; choice->kind says what was found.
int download_tool_choose(const char* folder, const char* program, DownloadToolChoice* choice);

// Why a Windows tool cannot be run through Wine (DOWNLOAD_TOOL_OK: it can,
// or no Wine is needed).
inline constexpr int DOWNLOAD_TOOL_OK = 0;
inline constexpr int DOWNLOAD_TOOL_NO_WINE = 1;          // no wine on the PATH
inline constexpr int DOWNLOAD_TOOL_NO_WINE32 = 2;        // a 32-bit tool, and Wine runs 64-bit programs only
inline constexpr int DOWNLOAD_TOOL_NO_LAUNCHER = 3;      // this build has no marrowlink-wine-launcher.exe
inline constexpr int DOWNLOAD_TOOL_NO_DISPLAY = 4;       // a windowed tool, and DISPLAY is not set
inline constexpr int DOWNLOAD_TOOL_NOT_A_PROGRAM = 5;    // the .exe is no Windows program Wine can start
inline constexpr int DOWNLOAD_TOOL_PREFIX_FAILED = 6;    // the prefix could not be made, or its lock had
inline constexpr int DOWNLOAD_TOOL_NO_STATE_FOLDER = 7;  // neither XDG_STATE_HOME nor HOME is set
inline constexpr int DOWNLOAD_TOOL_BUSY = 8;             // downloads through Wine have every COM port of the prefix now

struct DownloadToolStatus {
    int code;                              // DOWNLOAD_TOOL_OK or one of the reasons above
    char text[DOWNLOAD_TOOL_TEXT_BYTES];   // the facts behind a failure, for people; "" when OK
    char log[DOWNLOAD_TOOL_PATH_BYTES];    // Wine's log file, where it has one; else ""
    int prefix_created;                    // download_tool_prepare made the prefix just now
    std::uint64_t prefix_bytes;            // its size on disk then
    std::uint64_t prefix_ms;               // how long making it took
    int wine_ports;                        // COM ports of the prefix, so downloads through Wine at once; 0 without
};

// What download_tool_describe finds, for people to check before an update.
struct DownloadToolFacts {
    DownloadToolChoice choice;
    char wine_version[DOWNLOAD_TOOL_VERSION_BYTES];  // "wine-8.0 (Debian 8.0~repack-4)"; "" when not asked or unknown
    int tool_bits;                                   // a Windows tool's 32 or 64; 0 otherwise
    char prefix[DOWNLOAD_TOOL_PATH_BYTES];           // the Wine prefix; "" without Wine
    int prefix_ready;                                // the prefix has been made
};

// The choice in folder and, for a Windows tool, the Wine facts and whether
// it could run now (status; the prefix's absence is no failure). Creates
// nothing. Returns 1 when status->code is DOWNLOAD_TOOL_OK.
int download_tool_describe(const char* folder, const char* program, DownloadToolFacts* facts,
                           DownloadToolStatus* status);

// Called once, under the prefix's lock, just before a prefix is made (it takes
// seconds and several hundred megabytes), so that the caller can say so.
using DownloadToolNotice = void (*)(void* context, const char* prefix, std::uint64_t estimated_bytes);

// Gets Wine ready for the tool in folder when it is a Windows one: checks
// that Wine can run it and makes the prefix when it is missing (under a lock
// that a second run waits for), gives a prefix of an older marrowlink the
// COM ports it lacks when no download through Wine runs, and says in
// status->wine_ports how many downloads through Wine may run at once.
// Nothing to do for a native tool or none. Returns 1 when status->code is
// DOWNLOAD_TOOL_OK (DOWNLOAD_TOOL_BUSY: other runs have every COM port now).
// notice may be null.
int download_tool_prepare(const char* folder, const char* program, DownloadToolNotice notice, void* context,
                          DownloadToolStatus* status);
