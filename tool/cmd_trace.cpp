// marrowlink trace show FILE [--raw] [--phase P]: a wire trace (--trace) as a
// readable timeline. marrowlink trace svg FILE OUT.svg: as a picture.
#include "tool/cmd_trace.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "trace/trace_show.h"

namespace {

struct TraceCommandOptions {
    std::string file;
    std::string picture;
    TraceShowOptions show;
};

constexpr const char* TRACE_STEP = "reading the trace";
constexpr const char* TRACE_FORMAT_HINT =
    "a trace is one JSON object a line, as marrowlink --trace FILE writes it; the lines before the fault are shown";

TraceFile trace_load(const std::string& file)
{
    try {
        return trace_read_file(file);
    } catch (const std::runtime_error& failure) {
        throw ToolFailure{ExitStatus::usage, TRACE_STEP, failure.what(), "check the file's name"};
    }
}

// A line that is not a trace event ends the reading; a last line cut short
// is what a run that died leaves, and is no failure.
void trace_check(const TraceFile& trace, const std::string& file)
{
    if (trace.problem_line != 0 && !trace.cut) {
        throw ToolFailure{ExitStatus::usage, TRACE_STEP, file + " " + trace_problem_text(trace), TRACE_FORMAT_HINT};
    }
}

void trace_facts(Report& report, const TraceFile& trace, const std::string& file)
{
    report.fact("file", file);
    report.fact("header", trace.header);
    report.fact("events", trace.events.size());
    if (trace.problem_line != 0) {
        report.fact("problem", trace_problem_text(trace));
    }
}

void trace_show_run(ToolContext& context, const TraceCommandOptions& options, Report& report)
{
    const TraceFile trace = trace_load(options.file);
    trace_facts(report, trace, options.file);
    if (!report.json()) {
        trace_show(trace, options.show, *context.out);
        context.out->flush();
    }
    trace_check(trace, options.file);
}

void trace_svg_run(const TraceCommandOptions& options, Report& report)
{
    const TraceFile trace = trace_load(options.file);
    trace_facts(report, trace, options.file);
    trace_check(trace, options.file);
    // Written beside the picture and renamed: OUT is never left half written.
    const std::string temporary = options.picture + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (out) {
            trace_svg(trace, out);
        }
        if (!out || !out.flush()) {
            const std::string reason = std::strerror(errno);
            std::remove(temporary.c_str());
            throw ToolFailure{ExitStatus::usage, "drawing the trace", "cannot write " + options.picture + ": " + reason,
                              "name a file in a folder you can write to"};
        }
    }
    if (std::rename(temporary.c_str(), options.picture.c_str()) != 0) {
        const std::string reason = std::strerror(errno);
        std::remove(temporary.c_str());
        throw ToolFailure{ExitStatus::usage, "drawing the trace", "cannot write " + options.picture + ": " + reason,
                          "name a file in a folder you can write to"};
    }
    report.fact("picture", options.picture);
    report.say("Wrote " + options.picture + " (" + std::to_string(trace.events.size()) + " events)");
}

}  // namespace

void cmd_trace_register(CLI::App& app, ToolContext& context)
{
    auto options = std::make_shared<TraceCommandOptions>();
    CLI::App* trace = tool_command_add(app, context, "trace", "show or draw a wire trace recorded with --trace FILE");
    trace->require_subcommand(1);

    CLI::App* show = tool_command_add(*trace, context, "show",
                                      "the trace as a timeline: time (s), direction (-> to the adapter, <- from it), "
                                      "phase, what the bytes mean, the bytes in hex");
    show->add_option("FILE", options->file, "the trace file")->required();
    show->add_flag("--raw", options->show.raw, "every serial call with its bytes, nothing decoded");
    show->add_option("--phase", options->show.phase, "only this phase: pnp, command or bcsp")
        ->check(CLI::IsMember({"pnp", "command", "bcsp"}));
    show->callback([&context, options] {
        context.files = {options->file};
        tool_command_run(context, [&](Report& report) { trace_show_run(context, *options, report); });
    });

    CLI::App* svg = tool_command_add(*trace, context, "svg",
                                     "the trace as an SVG picture: the phases as lanes, each frame a mark, "
                                     "repeats and errors in their own colours");
    svg->add_option("FILE", options->file, "the trace file")->required();
    svg->add_option("OUT", options->picture, "the picture to write (.svg)")->required();
    svg->callback([&context, options] {
        context.files = {options->file, options->picture};
        tool_command_run(context, [&](Report& report) { trace_svg_run(*options, report); });
    });
}
