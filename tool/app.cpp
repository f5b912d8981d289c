#include "tool/app.h"

#include "tool/command.h"

#include <CLI/CLI.hpp>

#include <exception>
#include <ostream>

#include "tool/cmd_ports.h"
#include "tool/cmd_probe.h"
#include "tool/cmd_store.h"
#include "tool/cmd_trace.h"
#include "tool/cmd_update.h"
#include "tool/trace_option.h"
#include "tool/version.h"

namespace {

int tool_main_checked(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                      const std::string& program)
{
    ToolContext context;
    context.program = program;
    context.out = &out;
    context.err = &err;
    context.command_line = trace_command_line(argc, argv);

    CLI::App app{"marrowlink: finds, probes and updates the Marrowlink Bluetooth serial adapter", "marrowlink"};
    app.set_version_flag("--version", std::string("marrowlink ") + tool_version());
    app.require_subcommand(1);
    app.footer(exit_status_help());
    tool_global_options(app, context);

    // One line per command.
    cmd_ports_register(app, context);
    cmd_probe_register(app, context);
    cmd_store_register(app, context);
    cmd_update_register(app, context);
    cmd_trace_register(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int cli_status = app.exit(error, out, err);
        return cli_status == 0 ? 0 : static_cast<int>(ExitStatus::usage);
    }
    return context.exit_status;
}

}  // namespace

int tool_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err, const std::string& program)
{
    // A library's exception that no command turned into a failure is a fault
    // of this program: one line and a status of its own, never an abort.
    try {
        return tool_main_checked(argc, argv, out, err, program);
    } catch (const std::exception& fault) {
        err << "error: an internal error: please send the trace (--trace FILE) and this line: " << fault.what()
            << "\n";
    } catch (...) {
        err << "error: an internal error: please send the trace (--trace FILE)\n";
    }
    return static_cast<int>(ExitStatus::internal);
}
