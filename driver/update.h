// The update sequence: the whole of one run, from entering the download
// tool's folder to the last key press.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr int ADAPTER_COM_PORT = 1;  // COM1; messages and command lines say "COM1" as fixed text
inline constexpr char DOWNLOAD_TOOL_FOLDER[] = "DFUWizard";
inline constexpr char STANDARD_IMAGE_COMMAND_LINE[] =
    "DFUWizard /upload /download Marrowlink_1_2_10.dfu /serial COM1 /auto /exit";
inline constexpr char CI_IMAGE_COMMAND_LINE[] =
    "DFUWizard /upload /download Skerrymod_1_2_10.dfu /serial COM1 /auto /exit";
inline constexpr std::uint32_t HANDOVER_PAUSE_MS = 500;       // last adapter command to port close
inline constexpr std::uint32_t TOOL_POLL_INTERVAL_MS = 1000;  // before each exit-code query
inline constexpr std::uint32_t STILL_ACTIVE = 259;            // the exit code of a running process
// Between two key tests of a key wait: short enough that a key press ends the
// wait without a noticeable delay, long enough that the wait does not keep a
// processor core busy.
inline constexpr std::uint32_t KEY_POLL_INTERVAL_MS = 10;

// ---------------------------------------------------------------------------
// The port an update runs on

// What serial_open gets, and what the messages and the download tool's
// command line ("/serial NAME") call the port.
struct UpdatePort {
    const char* device_path;
    const char* name;
};

// The updater's own port: COM1 (ADAPTER_COM_PORT) under its Win32 device name.
inline constexpr char ADAPTER_DEVICE_PATH[] = "\\\\.\\COM1";
inline constexpr char ADAPTER_PORT_NAME[] = "COM1";
inline constexpr UpdatePort ADAPTER_PORT = {ADAPTER_DEVICE_PATH, ADAPTER_PORT_NAME};

// The port of the run under way: set by update_sequence, opened by the chip
// configuration profiles for their BCSP link.
extern UpdatePort update_port;

// The download tool's command line: the image for the variant and the port.
// For ADAPTER_PORT_NAME it is STANDARD_IMAGE_COMMAND_LINE or CI_IMAGE_COMMAND_LINE.
inline constexpr char DOWNLOAD_COMMAND_LINE_FORMAT[] = "DFUWizard /upload /download %s /serial %s /auto /exit";
inline constexpr char STANDARD_IMAGE_FILE[] = "Marrowlink_1_2_10.dfu";
inline constexpr char CI_IMAGE_FILE[] = "Skerrymod_1_2_10.dfu";
inline constexpr std::size_t DOWNLOAD_COMMAND_LINE_MAX_BYTES = sizeof DOWNLOAD_COMMAND_LINE_FORMAT +
                                                               sizeof STANDARD_IMAGE_FILE + SERIAL_DEVICE_PATH_MAX_BYTES;
// 1: written into command_line. 0: it does not fit (a port name of
// SERIAL_DEVICE_PATH_MAX_BYTES or more).
int download_command_line(int ci, const char* port_name, char* command_line, std::size_t capacity);

// ---------------------------------------------------------------------------
// The sequence

// How update_sequence ended.
inline constexpr int UPDATE_END_COMPLETED = 0;         // the download was tried and the chip restored
inline constexpr int UPDATE_END_NO_TOOL_FOLDER = 1;    // "DFUWizard" could not be made current
inline constexpr int UPDATE_END_NOT_FOUND = 2;         // no adapter answered on the port
inline constexpr int UPDATE_END_UNKNOWN_FIRMWARE = 3;  // the firmware variant was not recognised
inline constexpr int UPDATE_END_RECOVERED = 4;         // the chip could not be prepared; recovery tried

struct UpdateResult {
    int end;                          // UPDATE_END_*
    std::int32_t download_exit_code;  // UPDATE_END_COMPLETED: the tool's exit code, -1 if it did not start
    int after_result;                 // configure_after_update's result (completed and recovered runs)
};

// The steps of one update on port, with the updater's console lines, up to
// (not including) its closing lines: no abort prompt, no key wait, no exit.
// The command port is closed on every end; the folder is changed back only
// after the download, as in the updater.
UpdateResult update_sequence(const UpdatePort& port);

// Runs the updater's update on COM1. Returns 1 after a completed run
// (whatever the download's result); the abort and recovery paths end the
// process with status 0.
int update_run();

// "Update Aborted, press any key to exit", a key wait, exit status 0.
[[noreturn]] void abort_update();

// Waits until a key press is waiting in the console input (or standard input
// has ended); the key is left unread.
void wait_for_key();

// Starts DFUWizard with the command line for the firmware variant and
// update_port's name and polls it until it ends. Returns its exit code, or -1
// when it could not be started or no exit code could be read.
std::int32_t run_download_tool();
