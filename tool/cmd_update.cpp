// marrowlink update: the updater's whole update sequence (the same driver
// code, with its console lines) on the chosen port, ending in an exit status
// per outcome instead of the updater's fixed ones.
#include "tool/cmd_update.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "driver/profiles.h"
#include "driver/update.h"
#include "platform/interrupt.h"
#include "tool/download_tool.h"
#include "tool/fleet_ports.h"
#include "tool/fleet_progress.h"
#include "tool/fleet_update.h"
#include "tool/hold.h"
#include "tool/port_auto.h"
#include "tool/reasons.h"
#include "tool/store_backup.h"

namespace {

struct UpdateOptions {
    bool no_wait = false;
    std::string backup;  // --backup FILE: the store kept before the update changes anything
    bool overwrite = false;
    int jobs = 0;  // --jobs N: with several ports
    // One adapter of several (the parent's own options for its children):
    std::string progress;  // --progress FILE: each phase as it begins
    bool fleet_child = false;  // --fleet-child: interrupts come from the parent, on standard input
};

// What marrowlink adds to the update: the backup on the pre-update link (and
// with it no recovery when that link fails: nothing may be written to a chip
// that was not backed up), and interrupts held from the pre-update link's
// open to the end of the configuration after the download.
struct UpdateAdditions {
    UpdateAdditions(Report& r, const std::string& progress_file) : report(r), progress(progress_file) {}
    Report& report;
    FleetProgressWriter progress;
    std::optional<StoreUpdateBackup> backup;
    std::optional<InterruptHold> hold;
    bool tool_stop_said = false;
};

UpdateAdditions& additions_of(void* context)
{
    return *static_cast<UpdateAdditions*>(context);
}

// What each phase that follows the pre-update link's open changes: whether an
// interrupt that came stops the update before it (the download, the
// recovery; never the configuration after a download), the line the hold
// shows from then on, and the phase the fleet's parent is told.
struct HeldPhase {
    int phase;
    bool stops_on_interrupt;
    std::string (*notice)();
    const char* progress;
};
constexpr HeldPhase HELD_PHASES[] = {
    {UPDATE_PHASE_DOWNLOAD, true, hold_notice_download, FLEET_PHASE_DOWNLOAD},
    {UPDATE_PHASE_RECOVER, true, hold_notice_restore, FLEET_PHASE_RECOVERING},
    {UPDATE_PHASE_RESTORE, false, hold_notice_restore, FLEET_PHASE_RESTORING},
};

// The hold begins at the pre-update link's open and ends with the update.
int update_phase(void* context, int phase, const UpdateResult&)
{
    UpdateAdditions& additions = additions_of(context);
    if (phase == UPDATE_PHASE_CONTACT) {
        additions.progress.phase(FLEET_PHASE_CONTACTING);
    } else if (phase == UPDATE_PHASE_PREPARE) {
        additions.hold.emplace(hold_notice_prepare());
        additions.progress.phase(FLEET_PHASE_PREPARING);
    } else if (phase == UPDATE_PHASE_DONE) {
        additions.hold.reset();
    }
    for (const HeldPhase& held : HELD_PHASES) {
        if (held.phase != phase) {
            continue;
        }
        if (held.stops_on_interrupt && hold_interrupted()) {
            return 0;
        }
        additions.hold->notice(held.notice());
        additions.progress.phase(held.progress);
    }
    return 1;
}

// On the pre-update link, before its first write: the backup when asked, and
// an interrupt that came meanwhile stops the update with nothing written.
int update_before_writes(void* context, const UpdateResult& so_far)
{
    UpdateAdditions& additions = additions_of(context);
    if (additions.backup) {
        additions.progress.phase(FLEET_PHASE_BACKING_UP);
        if (!additions.backup->run(so_far)) {
            return 0;
        }
        additions.progress.phase(FLEET_PHASE_PREPARING);
    }
    return hold_interrupted() ? 0 : 1;
}

// A second interrupt within the insist window, while the download tool runs,
// ends the tool.
int update_tool_stop(void* context)
{
    UpdateAdditions& additions = additions_of(context);
    if (!interrupt_insisted()) {
        return 0;
    }
    if (!additions.tool_stop_said) {
        additions.tool_stop_said = true;
        additions.report.warn("stopping the download tool as asked: the adapter may be left without firmware");
    }
    return 1;
}

void update_facts(const UpdateResult& result, Report& report)
{
    const std::string pnp_id = reason_pnp_identifier(result.contact);
    if (!pnp_id.empty() && (result.contact.failed_step == COMMAND_PORT_STEP_NONE ||
                            result.contact.failed_step == COMMAND_PORT_STEP_HANDSHAKE)) {
        report.fact("pnp_id", pnp_id);
    }
    if (result.identify.version_frame_seen) {
        report.fact("version", result.identify.version_text);
    }
    const bool identified = result.identify.version_frame_seen && result.end != UPDATE_END_UNKNOWN_FIRMWARE &&
                            result.end != UPDATE_END_NOT_FOUND && result.end != UPDATE_END_NO_TOOL_FOLDER;
    if (identified) {
        report.fact("variant", ci_firmware ? "CI" : "standard");
    }
    if ((result.end == UPDATE_END_COMPLETED || result.end == UPDATE_END_RECOVERED) && result.after.build_id_read) {
        report.fact("build_id", result.after.build_id);
    }
    if (result.end == UPDATE_END_COMPLETED) {
        report.fact("download_exit_code", result.download_exit_code);
        const bool linked = result.after.link.failed_step == BCSP_OPEN_STEP_NONE;
        const bool complete = result.after_result && !result.after.deep_sleep_failed && !result.after.reset_failed;
        report.fact("configuration", complete ? "complete" : "incomplete");
        if (linked && result.download_exit_code == 0) {
            report.fact("deep_sleep_state", result.after.deep_sleep_failed ? "not written" : "written");
        }
        if (linked) {
            report.fact("cold_reset", result.after.reset_failed ? "not sent" : "sent");
        }
    }
}

// Why the chip's part of a profile failed: its link, or its first failed command.
ToolFailure update_chip_reason(const ToolPort& port, const std::string& step, const ProfileReport& profile)
{
    if (profile.link.failed_step != BCSP_OPEN_STEP_NONE) {
        return reason_chip_link(port, step, profile.link);
    }
    return reason_chip_command(step, profile.first_failure);
}

// The outcome of a completed run: 0 only when the download and every
// configuration step after it succeeded, the deep-sleep key and the cold
// reset included.
void update_check_completed(const ToolPort& port, const UpdateResult& result, const DownloadToolReady& tool)
{
    if (result.download_exit_code == -1) {
        throw download_tool_start_failure(tool);
    }
    if (result.download_exit_code != 0) {
        throw ToolFailure{ExitStatus::download, "running the download tool",
                          "DFUWizard ended with exit code " + std::to_string(result.download_exit_code),
                          "see the download tool's own messages; the chip was set back to its configuration "
                          "after a failed download: power the adapter off and on and run update again"};
    }
    const std::string step = "restoring the chip's configuration after the download";
    const std::string hint = "the new firmware is in place, but some settings were not written: power the adapter "
                             "off and on and run update again";
    if (!result.after_result) {
        ToolFailure failure = update_chip_reason(port, step, result.after);
        failure.status = ExitStatus::later_step;
        failure.hint = hint;
        throw failure;
    }
    if (result.after.deep_sleep_failed) {
        throw ToolFailure{ExitStatus::later_step, step, "PSKEY_DEEP_SLEEP_STATE was not written", hint};
    }
    if (result.after.reset_failed) {
        throw ToolFailure{ExitStatus::later_step, step,
                          "the cold reset was not acknowledged: the chip has not restarted from its new configuration",
                          "power the adapter off and on: it then starts from the configuration written"};
    }
}

// An interrupt that stopped the update early ends it with status 130 and
// what was done; one that skipped nothing (it came while the download tool or
// the configuration after it ran) leaves the update's own outcome.
void update_check_interrupted(const UpdateResult& result, const StoreUpdateBackup* backup, Report& report)
{
    const std::string step = "updating the adapter";
    const std::string again = "the adapter listens to its chip now: power it off and on, then run update again";
    const std::string restore = backup != nullptr && result.stopped_before == UPDATE_PHASE_DOWNLOAD
                                    ? "; marrowlink store restore " + backup->path() + " puts the store back as it was"
                                    : "";
    if (result.end == UPDATE_END_STOPPED) {
        switch (result.stopped_before) {
        case UPDATE_PHASE_DOWNLOAD:
            throw ToolFailure{ExitStatus::interrupted, step,
                              "interrupted after the chip was prepared for the download (its crystal amplitude key "
                              "written, its store defragmented); the download tool was not started and the firmware "
                              "is as it was",
                              again + restore};
        case UPDATE_PHASE_RECOVER:
            throw ToolFailure{ExitStatus::interrupted, step,
                              "interrupted after the chip's preparation failed; the recovery was not run", again};
        default:
            throw ToolFailure{ExitStatus::interrupted, step, "interrupted before anything was written to the chip",
                              again};
        }
    }
    // A tool that ended with 0 just as it was stopped finished its download: its own code stands.
    if (result.end == UPDATE_END_COMPLETED && result.download.stopped && result.download_exit_code != 0) {
        throw ToolFailure{ExitStatus::interrupted, step,
                          "the download tool was stopped as asked (it reported exit code " +
                              std::to_string(result.download_exit_code) +
                              "); the chip was then set back to its configuration after a failed download",
                          "the adapter may be without firmware: power it off and on and run update again"};
    }
    report.warn("an interrupt came while the chip was being written or the download tool ran; nothing was skipped");
}

void update_run_command(const ToolContext& context, Report& report, const UpdateOptions& options)
{
    const ConsoleOutput lines(report.json() ? CONSOLE_OUTPUT_STDERR : CONSOLE_OUTPUT_STDOUT);
    // Before any port is touched: making Wine's prefix takes seconds.
    const DownloadToolReady tool = download_tool_prepare_for_update(*context.err);
    const ToolPort port = port_resolve(context.port, report, context.port_roots, context.program);
    report.fact("port", port.name);

    UpdateAdditions additions(report, options.progress);
    UpdateSteps steps;
    steps.context = &additions;
    steps.phase_begins = update_phase;
    steps.before_writes = update_before_writes;
    steps.tool_stop_requested = update_tool_stop;
    if (!options.backup.empty()) {
        // Whole: the update runs inside the DFUWizard folder.
        const std::string path = std::filesystem::absolute(options.backup).string();
        store_backup_check(path, options.overwrite);
        additions.backup.emplace(path, port.name, options.overwrite, report);
        steps.recover_without_link = 0;
    }
    // The download tool in a process group of its own, so that a Ctrl-C
    // meant for this program does not reach it, reading end-of-file (a
    // background group that touched the terminal would be stopped, and its
    // poll would wait for ever). Its lines go beside the updater's: under
    // --json standard output carries the one JSON document.
    ProcessOptions tool_options;
    tool_options.new_process_group = true;
    tool_options.standard_input = PROCESS_STDIO_NULL;
    tool_options.standard_output = report.json() ? PROCESS_STDIO_STDERR : PROCESS_STDIO_INHERIT;
    steps.tool_options = &tool_options;

    const UpdateResult result = update_sequence(UpdatePort{port.device_path.c_str(), port.name.c_str()}, &steps);
    update_facts(result, report);
    if (hold_interrupted()) {
        report.fact("interrupted", true);
        update_check_interrupted(result, additions.backup ? &*additions.backup : nullptr, report);
    }
    switch (result.end) {
    case UPDATE_END_STOPPED:
        if (additions.backup && additions.backup->failure()) {
            throw *additions.backup->failure();
        }
        throw ToolFailure{ExitStatus::chip, "backing up the chip's store before the update", "the backup was not taken",
                          "nothing was changed on the chip"};
    case UPDATE_END_NO_LINK: {
        ToolFailure failure = reason_chip_link(port, "preparing the chip for the download", result.before.link);
        failure.reason += "; nothing was written to the chip and no backup was taken";
        failure.hint = "the adapter now listens to its chip: power it off and on before the next try";
        throw failure;
    }
    case UPDATE_END_NO_TOOL_FOLDER:
        throw ToolFailure{ExitStatus::download, "finding the download tool",
                          std::string("there is no \"") + DOWNLOAD_TOOL_FOLDER + "\" folder in the current folder",
                          "run marrowlink update from the folder that holds the DFUWizard folder"};
    case UPDATE_END_NOT_FOUND:
        throw reason_contact(port, context.port_roots, result.contact);
    case UPDATE_END_UNKNOWN_FIRMWARE:
        throw reason_identify(result.identify);
    case UPDATE_END_RECOVERED: {
        ToolFailure failure = update_chip_reason(port, "preparing the chip for the download", result.before);
        failure.reason += result.after_result ? "; the chip's configuration was restored"
                                              : "; restoring the chip's configuration failed too";
        throw failure;
    }
    default:
        break;
    }
    console_printf("Update done\n");
    console_printf("Please power off and on Marrowlink Device\n");
    update_check_completed(port, result, tool);
}

// The final key press, unless --no-wait: the console window of a program
// started by a double click would close before its lines could be read.
void update_wait_for_key(const ToolContext& context)
{
    const ConsoleOutput prompt(context.json ? CONSOLE_OUTPUT_STDERR : CONSOLE_OUTPUT_STDOUT);
    console_printf("Press any key to exit\n");
    wait_for_key();
}

}  // namespace

void cmd_update_register(CLI::App& app, ToolContext& context)
{
    CLI::App* command = tool_command_add(app, context, "update",
                                         "update the adapter's firmware (run it from the folder that holds DFUWizard)");
    auto options = std::make_shared<UpdateOptions>();
    command->footer("");
    command->footer(download_tool_help_footer);
    command->add_flag("--no-wait", options->no_wait, "end without waiting for a key press");
    command->add_option("--backup", options->backup,
                        "back up the chip's store into FILE (a new file) on the update's own link before anything is "
                        "changed; the update stops, unchanged, if the backup cannot be taken; with several ports "
                        "FILE holds {port}, the port's short name")
        ->type_name("FILE");
    command->add_flag("--overwrite", options->overwrite, "let --backup replace FILE when it exists");
    command->add_option("--jobs", options->jobs,
                        "with several ports: update at most N adapters at once (default: all)")
        ->check(CLI::Range(1, FLEET_JOBS_MAX))
        ->option_text("N");
    // Group "": left out of --help; the options a fleet's parent gives each child.
    command->add_option("--progress", options->progress, "append each phase to FILE as it begins")->group("");
    command->add_flag("--fleet-child", options->fleet_child, "take interrupts from standard input")->group("");
    command->callback([&context, options] {
        if (options->fleet_child) {
            interrupt_listen_on_input();
        }
        if (fleet_requested(context.ports)) {
            context.exit_status = fleet_update_run(
                context, FleetOptions{options->jobs, options->no_wait, options->backup, options->overwrite});
            return;
        }
        if (!options->backup.empty()) {
            context.files = {options->backup};
        }
        tool_command_run(context,
                         [&context, options](Report& report) { update_run_command(context, report, *options); });
        // A usage error comes from a command line just typed: nothing to keep on the screen.
        if (!options->no_wait && context.exit_status != static_cast<int>(ExitStatus::usage)) {
            update_wait_for_key(context);
        }
    });
}
