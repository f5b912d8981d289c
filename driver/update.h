// The update sequence: the whole of one run, from entering the download
// tool's folder to the last key press.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"
#include "platform/platform.h"

inline constexpr int ADAPTER_COM_PORT = 1;  // COM1; messages and command lines say "COM1" as fixed text
inline constexpr char DOWNLOAD_TOOL_FOLDER[] = "DFUWizard";
// The download tool: the first word of its command line.
inline constexpr char DOWNLOAD_TOOL_PROGRAM[] = "DFUWizard";
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
inline constexpr int UPDATE_END_STOPPED = 5;           // a caller's step stopped it before a phase (UpdateSteps)
inline constexpr int UPDATE_END_NO_LINK = 6;           // the first link failed and no recovery was asked for

// The phases of an update, in order, as UpdateSteps::phase_begins sees them.
inline constexpr int UPDATE_PHASE_CONTACT = 1;   // the command port: wake-up, identification, hand-over
inline constexpr int UPDATE_PHASE_PREPARE = 2;   // the pre-update profile, from the link's open
inline constexpr int UPDATE_PHASE_DOWNLOAD = 3;  // the download tool
inline constexpr int UPDATE_PHASE_RESTORE = 4;   // the post-update profile after the download
inline constexpr int UPDATE_PHASE_RECOVER = 5;   // the post-update profile after a failed preparation
inline constexpr int UPDATE_PHASE_DONE = 6;      // nothing more touches the port or the chip

// How the download tool's run went.
struct DownloadReport {
    int started;       // the tool was started
    int stopped;       // it was ended on request (tool_stop_requested) while it still ran
    std::uint32_t os_error;  // the start failed: platform_last_error()
};

struct UpdateResult {
    int end;                          // UPDATE_END_*
    std::int32_t download_exit_code;  // UPDATE_END_COMPLETED: the tool's exit code, -1 if it did not start
    int after_result;                 // configure_after_update's result (completed and recovered runs)
    int stopped_before;               // UPDATE_END_STOPPED: the phase it stopped before, 0 after a failed before_writes
    int before_ran;                   // the pre-update profile wrote to the chip (its writes were started)
    int before_result;                // ... and its result
    CommandPortReport contact;
    IdentifyReport identify;
    ProfileReport before;             // the pre-update profile (its link's open at least)
    ProfileReport after;              // the post-update or recovery profile
    DownloadReport download;
};

// What a caller adds to an update (the field tool); the updater passes none.
// Every member may be left empty.
struct UpdateSteps {
    void* context = nullptr;
    // Called as each phase begins, with what the update has found so far. 0
    // stops the update there, before anything of the phase is done, with
    // UPDATE_END_STOPPED; honoured before CONTACT, PREPARE, DOWNLOAD and
    // RECOVER only: once the download has run, the chip's configuration is
    // always restored. DONE is always called last, also after a stop.
    int (*phase_begins)(void* context, int phase, const UpdateResult& so_far) = nullptr;
    // Run on the pre-update link before its first write. 0 stops the update
    // with nothing written (UPDATE_END_STOPPED); the link is closed.
    int (*before_writes)(void* context, const UpdateResult& so_far) = nullptr;
    // Asked at each poll of the running download tool: 1 ends the tool now.
    int (*tool_stop_requested)(void* context) = nullptr;
    // The pre-update link could not be opened: 0 ends the update there with
    // nothing written to the chip (UPDATE_END_NO_LINK) instead of the recovery.
    int recover_without_link = 1;
    // How the download tool is started (null: as the updater starts it).
    const ProcessOptions* tool_options = nullptr;
};

// The command port's part of an update on port, with the updater's lines
// ("Contacting Marrowlink", "Success" or "Marrowlink not found on NAME."): 1
// when the adapter was found and the command port is open.
int update_contact(const UpdatePort& port, CommandPortReport* report = nullptr);
// Then the identify command and the hand-over: 1 for a known variant
// (ci_firmware set; CMD_IDENTIFIED, the hand-over pause, the port closed); 0
// after "Unknown Device." (CMD_UNRECOGNISED, the port closed).
int update_identify(IdentifyReport* report = nullptr);

// The steps of one update on port, with the updater's console lines, up to
// (not including) its closing lines: no abort prompt, no key wait, no exit.
// The command port is closed on every end; the folder is changed back only
// after the download, as in the updater. steps (may be null) adds the
// caller's steps; the result says what each step did.
UpdateResult update_sequence(const UpdatePort& port, const UpdateSteps* steps = nullptr);

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
// when it could not be started or no exit code could be read. steps and
// report (may be null): how to start it, when to stop it, what happened.
std::int32_t run_download_tool(const UpdateSteps* steps = nullptr, DownloadReport* report = nullptr);
