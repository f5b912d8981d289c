// What every command of marrowlink shares: the global options it was given,
// how it is added to the command line, and how its run ends. Each command's
// file (cmd_*.cpp) builds on this alone; app.cpp puts the commands together.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_ports.h"
#include "tool/cli_fwd.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"

// What every command gets: the global options and where its output goes.
struct ToolContext {
    std::vector<std::string> ports;        // every --port, in order (only update takes several)
    std::string port = TOOL_DEFAULT_PORT;  // the one --port (TOOL_DEFAULT_PORT when none), set by tool_command_run
    bool json = false;                     // --json
    PortRoots port_roots;                  // hidden --sys-root, --dev-root, --proc-root: tests' fake trees
    std::string trace;                     // --trace FILE: record the serial line there
    std::string command_line;              // the arguments, for the trace's header
    std::vector<std::string> files;        // the files the command reads or writes: --trace may name none
    std::string program;                   // this program's file, for starting copies of it; empty: none
    std::ostream* out;
    std::ostream* err;
    int exit_status = static_cast<int>(ExitStatus::ok);
};

// The options every command takes (--port, --json, --trace, the hidden
// roots), on the program and on each command, so that they may come before or
// after the command's name.
void tool_global_options(CLI::App& app, ToolContext& context);

// A command with the global options on it.
CLI::App* tool_command_add(CLI::App& app, ToolContext& context, const std::string& name,
                           const std::string& description);

// Runs body with a fresh Report; a ToolFailure it throws is reported there
// (stderr, or the JSON object) and its status becomes the program's.
void tool_command_run(ToolContext& context, const std::function<void(Report&)>& body);

// Where the updater's layers print (console_printf) while a command runs:
// standard output for people, standard error beside --json's object, or
// nowhere when the command shows their findings in its own words.
class ConsoleOutput {
public:
    explicit ConsoleOutput(int where) { console_set_output(where); }
    ~ConsoleOutput() { console_set_output(CONSOLE_OUTPUT_STDOUT); }
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;
};
