// marrowlink update: the updater's whole update sequence (the same driver
// code, with its console lines) on the chosen port, ending in an exit status
// per outcome instead of the updater's fixed ones.
#include "tool/cmd_update.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <string>

#include "bccmd/bccmd.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"
#include "driver/update.h"
#include "tool/cmd_store.h"
#include "tool/download_tool.h"
#include "tool/port_auto.h"
#include "tool/reasons.h"

namespace {

struct UpdateOptions {
    bool no_wait = false;
    std::string backup;  // --backup FILE: the store kept before the update changes anything
};

void update_facts(const UpdateResult& result, Report& report)
{
    if (result.end != UPDATE_END_NO_TOOL_FOLDER && (command_port_report.failed_step == COMMAND_PORT_STEP_NONE ||
                                                     command_port_report.failed_step == COMMAND_PORT_STEP_HANDSHAKE)) {
        report.fact("pnp_id", reason_pnp_identifier());
    }
    if (identify_report.version_frame_seen) {
        report.fact("version", identify_report.version_text);
    }
    if (result.end == UPDATE_END_COMPLETED || result.end == UPDATE_END_RECOVERED) {
        report.fact("variant", ci_firmware ? "CI" : "standard");
        if (after_update_report.build_id_read) {
            report.fact("build_id", after_update_report.build_id);
        }
    }
    if (result.end == UPDATE_END_COMPLETED) {
        report.fact("download_exit_code", result.download_exit_code);
        report.fact("configuration", result.after_result ? "complete" : "incomplete");
    }
}

// The outcome of a completed run: 0 only when the download and every
// configuration step after it succeeded.
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
    if (!result.after_result) {
        ToolFailure failure = reason_chip(port, "restoring the chip's configuration after the download");
        failure.status = ExitStatus::later_step;
        failure.hint = "the new firmware is in place, but some settings were not written: power the adapter "
                       "off and on and run update again";
        throw failure;
    }
}

void update_run_command(const ToolContext& context, Report& report, const UpdateOptions& options)
{
    const ConsoleOutput lines(report.json() ? CONSOLE_OUTPUT_STDERR : CONSOLE_OUTPUT_STDOUT);
    // Before any port is touched: making Wine's prefix takes seconds.
    const DownloadToolReady tool = download_tool_prepare_for_update(*context.err);
    const ToolPort port = port_resolve(context.port, report, context.port_roots);
    report.fact("port", port.name);
    bcsp_open_failure_clear();
    bccmd_failure_clear();
    if (!options.backup.empty()) {
        // Whole: the update runs inside the DFUWizard folder.
        store_update_backup_arm(std::filesystem::absolute(options.backup).string(), port.name, &report);
    }

    const UpdateResult result = update_sequence(UpdatePort{port.device_path.c_str(), port.name.c_str()});
    const ToolFailure backup_failure = store_update_backup_disarm();
    update_facts(result, report);
    switch (result.end) {
    case UPDATE_END_STOPPED:
        throw backup_failure;
    case UPDATE_END_NO_TOOL_FOLDER:
        throw ToolFailure{ExitStatus::download, "finding the download tool",
                          std::string("there is no \"") + DOWNLOAD_TOOL_FOLDER + "\" folder in the current folder",
                          "run marrowlink update from the folder that holds the DFUWizard folder"};
    case UPDATE_END_NOT_FOUND:
        throw reason_contact(port, context.port_roots);
    case UPDATE_END_UNKNOWN_FIRMWARE:
        throw reason_identify();
    case UPDATE_END_RECOVERED: {
        ToolFailure failure = reason_chip(port, "preparing the chip for the download");
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
                        "back up the chip's store into FILE on the update's own link before anything is changed; "
                        "the update stops, unchanged, if the backup cannot be taken")
        ->type_name("FILE");
    command->callback([&context, options] {
        tool_command_run(context,
                         [&context, options](Report& report) { update_run_command(context, report, *options); });
        // A usage error comes from a command line just typed: nothing to keep on the screen.
        if (!options->no_wait && context.exit_status != static_cast<int>(ExitStatus::usage)) {
            update_wait_for_key(context);
        }
    });
}
