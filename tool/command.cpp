#include "tool/command.h"

#include <CLI/CLI.hpp>

#include <ostream>

#include "tool/port_auto.h"
#include "tool/trace_option.h"

void tool_global_options(CLI::App& app, ToolContext& context)
{
    // Each --port is kept, wherever it stands (before or after the command's
    // name): update takes several.
    app.add_option_function<std::string>(
           "--port", [&context](const std::string& port) { context.ports.push_back(port); },
           "the adapter's serial port: COMn, a device path such as /dev/ttyUSB0, or auto (default COM1); update "
           "takes several, or all")
        ->option_text("PORT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->trigger_on_parse();
    app.add_flag("--json", context.json, "print one JSON object with the outcome and the facts found, for scripts");
    port_roots_add_options(&app, &context.port_roots);
    app.add_option("--trace", context.trace,
                   "record every byte on the serial line, decoded, into FILE (one JSON object a line; "
                   "marrowlink trace show FILE reads it); for several ports FILE holds {port}")
        ->option_text("FILE");
}

CLI::App* tool_command_add(CLI::App& app, ToolContext& context, const std::string& name,
                           const std::string& description)
{
    CLI::App* command = app.add_subcommand(name, description);
    tool_global_options(*command, context);
    command->footer(exit_status_help());
    return command;
}

void tool_command_run(ToolContext& context, const std::function<void(Report&)>& body)
{
    Report report(context.json, *context.out, *context.err);
    if (context.ports.size() > 1) {
        context.exit_status = report.fail(ToolFailure{
            ExitStatus::usage, "--port", "given " + std::to_string(context.ports.size()) + " times",
            "only marrowlink update takes several ports; name one"});
        return;
    }
    context.port = context.ports.empty() ? TOOL_DEFAULT_PORT : context.ports.front();
    std::string trace_problem;
    try {
        TraceSession trace(TraceSession::Request{context.trace, context.command_line, context.port, context.files});
        try {
            body(report);
            context.exit_status = report.succeed();
        } catch (const ToolFailure& failure) {
            context.exit_status = report.fail(failure);
        }
        trace_problem = trace.finish();
    } catch (const ToolFailure& failure) {
        // The trace file could not be created: nothing has run yet.
        context.exit_status = report.fail(failure);
    }
    // The command's own outcome stands; the user learns that the trace they
    // will send is not whole.
    if (!trace_problem.empty()) {
        *context.err << "warning: the trace is cut short: " << trace_problem << "\n";
    }
}
