// One child of this program, started to do one adapter's part of a command
// that takes several (marrowlink update --port A --port B, ports --probe):
// its standard output and error go to files in a folder of its own, which the
// parent reads as they grow and once the child has ended (it never waits for
// the end of a child's output: a download tool the child starts under Wine
// may keep inherited handles long after), and its standard input is a pipe
// on which the parent passes each interrupt on as a line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tool/fleet_progress.h"

// The exit status of a child whose end could not be read: an internal error.
inline constexpr int CHILD_EXIT_STATUS_UNREAD = 1;

// Where a child in folder writes its phases (--progress).
inline std::string child_run_progress_path(const std::string& folder)
{
    return folder + "/progress.jsonl";
}

class ChildRun {
public:
    // program: the file to start (this program's own); arguments: after the
    // program's name. folder: where its files go (made when missing); the
    // child runs in folder when run_in_folder, else in the current folder.
    ChildRun(std::string program, std::vector<std::string> arguments, std::string folder, bool run_in_folder = true);
    ~ChildRun();
    ChildRun(const ChildRun&) = delete;
    ChildRun& operator=(const ChildRun&) = delete;

    // 1: running. 0: why says why it could not start.
    bool start(std::string* why);
    bool started() const { return process_ != PLATFORM_INVALID_HANDLE; }
    PlatformHandle process() const { return process_; }
    // Once it has ended: its exit status (a process killed by a signal: 128 + N).
    bool ended();
    int exit_status() const { return exit_status_; }
    // Passes an interrupt on (a line on its standard input); false once it cannot hear it.
    bool relay_interrupt();

    std::string output_path() const { return folder_ + "/output.json"; }
    std::string errors_path() const { return folder_ + "/errors.txt"; }
    std::string progress_path() const { return child_run_progress_path(folder_); }
    const std::string& folder() const { return folder_; }
    // Its standard output as a whole (read after its end).
    std::string output() const;
    // The lines of its standard error and progress file since the last call.
    std::vector<std::string> new_error_lines() { return errors_.next(); }
    std::vector<std::string> new_progress_lines() { return progress_.next(); }

private:
    std::string program_;
    std::vector<std::string> arguments_;
    std::string folder_;
    bool run_in_folder_;
    PlatformHandle process_ = PLATFORM_INVALID_HANDLE;
    PlatformHandle input_ = PLATFORM_INVALID_HANDLE;
    int exit_status_ = -1;
    FileLines errors_;
    FileLines progress_;
};

// The program's own path, for starting copies of itself ("" when unknown).
std::string child_run_self();

// A new folder of this run's own in the system's temporary folder, for its
// children's files: prefix, then a number no other run (of this program or
// another at the same moment) has. Throws a ToolFailure when none can be made.
std::string child_run_workspace(const std::string& prefix);
