// How a run of marrowlink ends: its exit status, the failure people read
// (which step, why, what to try), and the Report that carries a run's lines
// and facts to people or, with --json, to scripts.
#pragma once

#include <iosfwd>
#include <string>

#include <nlohmann/json.hpp>

// One status per outcome, documented in --help and the README.
enum class ExitStatus : int {
    ok = 0,
    internal = 1,          // an internal error: a fault of this program, reported with a request for the trace
    usage = 2,             // unknown option, bad port name, unreadable file
    port = 3,              // the port could not be opened (missing, busy, denied, not a serial port)
    no_adapter = 4,        // no adapter answered (Plug-and-Play or handshake)
    unknown_firmware = 5,  // the firmware was not recognised (or sent no version)
    chip = 6,              // the chip could not be reached or prepared (BCSP link, BCCMD)
    download = 7,          // the download tool failed or could not be started
    later_step = 8,        // the update finished but a later step failed; a store key not read or verified
    fleet = 9,             // several adapters: at least one was not updated (each one's own status in the summary)
    interrupted = 130,     // an interrupt stopped the command early (the unit under way was finished)
};

// The exit statuses as a table for --help.
std::string exit_status_help();

// A failed step, thrown inside tool/ only and reported once by tool_command_run.
struct ToolFailure {
    ExitStatus status;
    std::string step;    // "contacting the adapter on COM4"
    std::string reason;  // "no Plug-and-Play reply within 2.8 s"
    std::string hint;    // "is the adapter powered and plugged into this port? ..."
};

// A run's output. Without --json: people's lines on out as they happen, and
// on failure "error: STEP: REASON" and "hint: HINT" on err. With --json:
// nothing as it happens, and at the end one JSON object on out:
// {"outcome": "ok"|"failed", facts..., "step", "reason", "hint", "exit_status"}.
class Report {
public:
    Report(bool json, std::ostream& out, std::ostream& err);

    bool json() const { return json_; }
    // A whole line for people.
    void say(const std::string& line);
    // A step that takes a while: "TEXT ... " now, its result later with done().
    void begin(const std::string& text);
    void done(const std::string& result);
    // A fact found, for --json (people see it in the lines).
    void fact(const std::string& key, const nlohmann::ordered_json& value);
    // Something people should know that does not fail the run: "warning:
    // LINE" on standard error, or in --json's "warnings".
    void warn(const std::string& line);

    // Ends the run: returns the exit status.
    int succeed();
    int fail(const ToolFailure& failure);

private:
    void end_open_line(const std::string& result);
    void print_json(const nlohmann::ordered_json& object);

    bool json_;
    std::ostream& out_;
    std::ostream& err_;
    bool line_open_ = false;
    nlohmann::ordered_json facts_ = nlohmann::ordered_json::object();
    nlohmann::ordered_json warnings_ = nlohmann::ordered_json::array();
};
