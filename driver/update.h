// The update sequence: the whole of one run, from entering the download
// tool's folder to the last key press.
#pragma once

#include <cstdint>

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

// Runs the update. Returns 1 after a completed run (whatever the download's
// result); the abort and recovery paths end the process with status 0.
int update_run();

// "Update Aborted, press any key to exit", a key wait, exit status 0.
[[noreturn]] void abort_update();

// Waits until a key press is waiting in the console input (or standard input
// has ended); the key is left unread.
void wait_for_key();

// Starts DFUWizard with the command line for the firmware variant and polls
// it until it ends. Returns its exit code, or -1 when it could not be started
// or no exit code could be read.
std::int32_t run_download_tool();
