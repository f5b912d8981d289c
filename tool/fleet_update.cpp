#include "tool/fleet_update.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <ostream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "driver/update.h"
#include "platform/interrupt.h"
#include "platform/platform_children.h"
#include "platform/platform_console.h"
#include "tool/child_run.h"
#include "tool/download_tool.h"
#include "tool/fleet_ports.h"
#include "tool/fleet_probe.h"
#include "tool/fleet_summary.h"
#include "tool/fleet_view.h"
#include "tool/hold.h"
#include "tool/open_reason.h"
#include "tool/port_survey.h"
#include "tool/store_backup.h"
#include "tool/wording.h"

namespace {

// How often the parent looks at its children: their new lines, their ends,
// interrupts to pass on. Also the table's redraw rate.
constexpr std::uint32_t FLEET_POLL_MS = 1000 / FLEET_REDRAW_PER_SECOND;
constexpr char FLEET_STEP[] = "updating the adapters";
constexpr char FLEET_FOLDER_PREFIX[] = "marrowlink-update-";
constexpr char FLEET_CHILD_FOLDER_PREFIX[] = "port-";


// --port all: every port where a Marrowlink answers, all probed at once.
std::vector<ToolPort> fleet_find_all(Report& report, const PortRoots& roots, const std::string& program)
{
    std::vector<PortFinding> findings = port_survey(roots, PORT_CHECK_OPEN);
    fleet_probe_all(findings, roots, program);
    std::vector<ToolPort> found;
    for (const PortFinding& finding : findings) {
        if (finding.probe.tried) {
            report.say("Probing " + finding.info.name + " ... " + finding.probe.text);
        }
        if (finding.probe.marrowlink) {
            found.push_back(ToolPort{finding.info.device_path, finding.info.name});
        }
    }
    if (found.empty()) {
        throw ToolFailure{ExitStatus::no_adapter, "finding the adapters (--port all)",
                          findings.empty() ? "this machine has no serial ports" : "no Marrowlink answered",
                          "are the adapters plugged in and powered? marrowlink ports --probe shows what each port "
                          "answers"};
    }
    return found;
}

// The ports named, each once; "all" is found later, by probing.
std::vector<ToolPort> fleet_named_ports(const ToolContext& context, bool* all)
{
    *all = std::find(context.ports.begin(), context.ports.end(), PORT_ALL) != context.ports.end();
    if (*all && context.ports.size() > 1) {
        throw ToolFailure{ExitStatus::usage, "--port all", "names every adapter: no other --port goes with it",
                          "give --port all alone, or name each port"};
    }
    std::vector<ToolPort> ports;
    if (!*all) {
        for (const std::string& text : context.ports) {
            ports.push_back(port_choice_parse(text));
        }
        fleet_ports_check_distinct(ports);
    }
    return ports;
}

Adapters fleet_adapters(const std::vector<ToolPort>& ports, const ToolContext& context, const FleetOptions& options)
{
    Adapters adapters(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        FleetAdapter& adapter = adapters[i];
        adapter.port = ports[i];
        adapter.leaf = fleet_port_leaf(ports[i]);
        adapter.trace = fleet_file_for("--trace", context.trace, adapter.leaf);
        adapter.backup = fleet_file_for("--backup", options.backup, adapter.leaf);
        if (!adapter.backup.empty()) {
            store_backup_check(adapter.backup, options.overwrite);
        }
        adapter.row.port = adapter.leaf;
        adapter.row.phase = FLEET_PHASE_WAITING;
    }
    return adapters;
}

// Each adapter runs from a copy of the DFUWizard folder of its own: a real
// download tool may write into its folder, lock its image, or refuse a second
// instance in one folder.
void fleet_copy_tool_folder(const std::filesystem::path& folder)
{
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    std::filesystem::copy(DOWNLOAD_TOOL_FOLDER, folder / DOWNLOAD_TOOL_FOLDER,
                          std::filesystem::copy_options::recursive, error);
    if (error) {
        throw ToolFailure{ExitStatus::download, "copying the DFUWizard folder for each adapter",
                          (folder / DOWNLOAD_TOOL_FOLDER).string() + ": " + error.message(),
                          "free some space in the temporary folder, or set TMPDIR (TEMP on Windows) to another"};
    }
}

std::vector<std::string> child_arguments(const FleetAdapter& adapter, const ToolContext& context,
                                         const FleetOptions& options, const std::string& progress)
{
    std::vector<std::string> arguments = {"update", "--port", adapter.port.name, "--json", "--no-wait",
                                          "--fleet-child", "--progress", progress};
    if (!adapter.trace.empty()) {
        arguments.insert(arguments.end(), {"--trace", adapter.trace});
    }
    if (!adapter.backup.empty()) {
        arguments.insert(arguments.end(), {"--backup", adapter.backup});
        if (options.overwrite) {
            arguments.push_back("--overwrite");
        }
    }
    for (std::string& argument : port_roots_arguments(context.port_roots)) {
        arguments.push_back(std::move(argument));
    }
    return arguments;
}

void adapter_phase(FleetAdapter& adapter, const std::string& phase)
{
    if (!phase.empty() && phase != adapter.row.phase) {
        adapter.row.phase = phase;
        adapter.row.phase_since_ms = clock_ms();
    }
}

void adapter_start(FleetAdapter& adapter, const std::filesystem::path& workspace, const ToolContext& context,
                   const FleetOptions& options, FleetView& view)
{
    // Not the bare port name: on Windows a path whose last part is COM5 names the device.
    const std::filesystem::path folder = workspace / (FLEET_CHILD_FOLDER_PREFIX + adapter.leaf);
    fleet_copy_tool_folder(folder);
    const std::string progress = child_run_progress_path(folder.string());
    adapter.child = std::make_unique<ChildRun>(context.program, child_arguments(adapter, context, options, progress),
                                               folder.string());
    std::string why;
    adapter.started_ms = clock_ms();
    adapter_phase(adapter, FLEET_PHASE_STARTING);
    if (!adapter.child->start(&why)) {
        adapter.state = AdapterState::not_started;
        adapter.not_started_why = why;
        adapter.row.last_line = why;
        view.line(adapter.leaf, why);
        return;
    }
    adapter.state = AdapterState::running;
}

// What a child has written since the last look: its phases and its lines.
void adapter_follow(FleetAdapter& adapter, FleetView& view)
{
    if (!adapter.child || !adapter.child->started()) {
        return;
    }
    for (const std::string& line : adapter.child->new_progress_lines()) {
        adapter_phase(adapter, fleet_progress_phase(line));
    }
    for (const std::string& line : adapter.child->new_error_lines()) {
        if (!line.empty()) {
            adapter.row.last_line = line;
            view.line(adapter.leaf, line);
        }
    }
}

// A child's end: its status and its document (or what stands for one).
void adapter_end(FleetAdapter& adapter, FleetView& view)
{
    adapter_follow(adapter, view);
    adapter.state = AdapterState::ended;
    adapter.ended_ms = clock_ms();
    adapter.exit_status = adapter.child->exit_status();
    const nlohmann::ordered_json document = nlohmann::ordered_json::parse(adapter.child->output(), nullptr, false);
    if (document.is_object()) {
        adapter.result = document;
    } else {
        adapter.result = {{"outcome", "failed"},
                          {"reason", "the update of this adapter ended without a result (exit status " +
                                         std::to_string(adapter.exit_status) + ")"}};
    }
}

std::string fleet_interrupt_notice()
{
    return "interrupted: each adapter finishes the step it is in (a key, a profile with its reset) and no other "
           "adapter is started; a download tool goes on unless Ctrl-C comes again within " +
           reason_seconds(static_cast<std::uint32_t>(INTERRUPT_INSIST_WINDOW_MS));
}

// Starts the adapters (at most jobs at once), follows them until every one
// has ended, passes each interrupt on to the running ones and starts no more
// after one. Returns whether an interrupt came.
bool fleet_run(Adapters& adapters, int jobs, const ToolContext& context, const FleetOptions& options,
               FleetView& view)
{
    const std::filesystem::path workspace = child_run_workspace(FLEET_FOLDER_PREFIX);
    bool interrupted = false;
    std::uint32_t relayed = 0;
    {
        const InterruptHold hold(fleet_interrupt_notice());
        for (;;) {
            const InterruptRecord interrupts = interrupt_record();
            if (interrupts.count > relayed) {
                interrupted = true;
                for (; relayed < interrupts.count; ++relayed) {
                    for (FleetAdapter& adapter : adapters) {
                        if (adapter.state == AdapterState::running) {
                            adapter.child->relay_interrupt();
                        }
                    }
                }
                view.detach();  // the notice went below the table
            }
            int running = 0;
            for (FleetAdapter& adapter : adapters) {
                if (adapter.state == AdapterState::running) {
                    adapter_follow(adapter, view);
                    if (adapter.child->ended()) {
                        adapter_end(adapter, view);
                    } else {
                        ++running;
                    }
                }
            }
            for (FleetAdapter& adapter : adapters) {
                if (adapter.state != AdapterState::waiting) {
                    continue;
                }
                if (interrupted) {
                    adapter.state = AdapterState::not_started;
                    adapter.not_started_why = "not started: the run was interrupted";
                } else if (jobs == 0 || running < jobs) {
                    adapter_start(adapter, workspace, context, options, view);
                    running += adapter.state == AdapterState::running ? 1 : 0;
                }
            }
            view.draw(fleet_rows(adapters), clock_ms());
            std::vector<PlatformHandle> processes;
            for (const FleetAdapter& adapter : adapters) {
                if (adapter.state == AdapterState::running) {
                    processes.push_back(adapter.child->process());
                }
            }
            const bool waiting = std::any_of(adapters.begin(), adapters.end(),
                                             [](const FleetAdapter& a) { return a.state == AdapterState::waiting; });
            if (processes.empty() && !waiting) {
                break;
            }
            if (!processes.empty()) {
                process_wait_any(processes.data(), static_cast<int>(processes.size()), FLEET_POLL_MS);
            }
        }
        view.draw(fleet_rows(adapters), clock_ms(), true);
    }
    for (FleetAdapter& adapter : adapters) {
        adapter.child.reset();
    }
    std::error_code error;
    std::filesystem::remove_all(workspace, error);
    return interrupted;
}

FleetView::Mode fleet_view_mode(const ToolContext& context)
{
    if (context.json) {
        return FleetView::QUIET;
    }
    return console_is_terminal(CONSOLE_OUTPUT_STDOUT) && console_enable_escapes() ? FleetView::TABLE
                                                                                   : FleetView::LINES;
}

void fleet_wait_for_key(const ToolContext& context)
{
    *(context.json ? context.err : context.out) << "Press any key to exit\n" << std::flush;
    wait_for_key();
}

}  // namespace

int fleet_jobs_at_once(int asked, int tool_at_once)
{
    return tool_at_once > 0 && (asked == 0 || asked > tool_at_once) ? tool_at_once : asked;
}

int fleet_update_run(ToolContext& context, const FleetOptions& options)
{
    Report report(context.json, *context.out, *context.err);
    int status = static_cast<int>(ExitStatus::ok);
    bool started = false;
    try {
        std::error_code error;
        if (!std::filesystem::is_directory(DOWNLOAD_TOOL_FOLDER, error)) {
            throw ToolFailure{ExitStatus::download, "finding the download tool",
                              std::string("there is no \"") + DOWNLOAD_TOOL_FOLDER + "\" folder in the current folder",
                              "run marrowlink update from the folder that holds the DFUWizard folder"};
        }
        // Everything that can be refused is refused before any port is touched.
        fleet_file_pattern_check("--trace", context.trace);
        fleet_file_pattern_check("--backup", options.backup);
        bool all = false;
        std::vector<ToolPort> ports = fleet_named_ports(context, &all);
        // Once for all, before any adapter is contacted: making Wine's prefix
        // takes seconds. Through Wine at most one adapter per COM port of its
        // prefix runs at once; the others wait for a port.
        const int jobs =
            fleet_jobs_at_once(options.jobs, download_tool_at_once(download_tool_prepare_for_update(*context.err)));
        if (all) {
            ports = fleet_find_all(report, context.port_roots, context.program);
            fleet_ports_check_distinct(ports);
        }
        Adapters adapters = fleet_adapters(ports, context, options);
        FleetView view(*context.out, fleet_view_mode(context), console_width(CONSOLE_OUTPUT_STDOUT));
        started = true;
        const bool interrupted = fleet_run(adapters, jobs, context, options, view);
        report.fact("adapters", fleet_json(adapters));
        const auto updated = std::count_if(adapters.begin(), adapters.end(), [](const FleetAdapter& a) {
            return a.state == AdapterState::ended && a.exit_status == 0;
        });
        const bool cut_short = std::any_of(adapters.begin(), adapters.end(), [](const FleetAdapter& a) {
            return a.state == AdapterState::not_started ||
                   a.exit_status == static_cast<int>(ExitStatus::interrupted);
        });
        if (!context.json) {
            fleet_summary(adapters, *context.out);
            fleet_failures(adapters, *context.err, FLEET_STEP);
        }
        const std::string counted =
            std::to_string(updated) + " of " + std::to_string(adapters.size()) + " adapters updated";
        if (interrupted && cut_short) {
            report.fact("interrupted", true);
            throw ToolFailure{ExitStatus::interrupted, FLEET_STEP, "interrupted: " + counted,
                              "the summary says where each adapter stood; power each one off and on and run "
                              "update again for those not updated"};
        }
        if (updated != static_cast<long>(adapters.size())) {
            throw ToolFailure{ExitStatus::fleet, FLEET_STEP,
                              counted + (context.json ? " (exit status 9: see each adapter's exit_status)"
                                                      : " (exit status 9: see each port's status above)"),
                              context.json ? "each adapter's own status, step and reason are in \"adapters\""
                                           : "each port's own status, step and reason are in the lines above and "
                                             "in --json"};
        }
        report.say("All " + std::to_string(adapters.size()) + " adapters updated.");
        status = report.succeed();
    } catch (const ToolFailure& failure) {
        status = report.fail(failure);
    }
    if (started && !options.no_wait) {
        fleet_wait_for_key(context);
    }
    return status;
}
