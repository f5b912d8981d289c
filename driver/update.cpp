#include "driver/update.h"

#include <cstdio>

#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"
#include "platform/platform.h"

UpdatePort update_port = ADAPTER_PORT;

namespace {

// Whether the caller lets phase begin; a phase that must run (the restore
// after a download, the end) is announced but cannot be refused.
int update_phase_begins(const UpdateSteps* steps, int phase, const UpdateResult& so_far)
{
    if (steps == nullptr || steps->phase_begins == nullptr) {
        return 1;
    }
    const int go_on = steps->phase_begins(steps->context, phase, so_far);
    const int refusable = phase == UPDATE_PHASE_CONTACT || phase == UPDATE_PHASE_PREPARE ||
                          phase == UPDATE_PHASE_DOWNLOAD || phase == UPDATE_PHASE_RECOVER;
    return go_on || !refusable ? 1 : 0;
}

// The end of the sequence: the caller hears that nothing more touches the
// port or the chip.
UpdateResult update_end(UpdateResult result, int end, const UpdateSteps* steps)
{
    result.end = end;
    update_phase_begins(steps, UPDATE_PHASE_DONE, result);
    return result;
}

UpdateResult update_stopped(UpdateResult result, int phase, const UpdateSteps* steps)
{
    result.stopped_before = phase;
    return update_end(result, UPDATE_END_STOPPED, steps);
}

// The chip could not be prepared: restore its configuration as after a failed
// download, without starting the tool. No new image has been written, so the
// chip boots no longer than after any reset: the link gets the usual bound (and
// a chip that has just failed to link is not waited for four times as long).
UpdateResult update_recover(UpdateResult result, const UpdateSteps* steps)
{
    console_printf("Pre-Update Configuration failed !\n");
    if (!update_phase_begins(steps, UPDATE_PHASE_RECOVER, result)) {
        return update_stopped(result, UPDATE_PHASE_RECOVER, steps);
    }
    console_printf("Trying to recover..\n");
    result.after_result = configure_after_update(1, BCSP_LINK_TIMEOUT_MS, &result.after);
    console_printf(result.after_result ? "SUCCESS\n" : "FAILED\n");
    return update_end(result, UPDATE_END_RECOVERED, steps);
}

void download_report(std::int32_t exit_code)
{
    if (exit_code == 0) {
        console_printf("Update successful !\n");
    } else {
        console_printf("Update Wizard terminated with error:%d\n", static_cast<int>(exit_code));
    }
}

int download_stop_requested(const UpdateSteps* steps)
{
    return steps != nullptr && steps->tool_stop_requested != nullptr && steps->tool_stop_requested(steps->context);
}

}  // namespace

int download_command_line(int ci, const char* port_name, char* command_line, std::size_t capacity)
{
    const int length = std::snprintf(command_line, capacity, DOWNLOAD_COMMAND_LINE_FORMAT,
                                     ci ? CI_IMAGE_FILE : STANDARD_IMAGE_FILE, port_name);
    return length >= 0 && static_cast<std::size_t>(length) < capacity ? 1 : 0;
}

int update_contact(const UpdatePort& port, CommandPortReport* report)
{
    console_printf("Contacting Marrowlink\n");
    if (!command_port_open_path(port.device_path, report)) {
        console_printf("Marrowlink not found on %s.\n", port.name);
        return 0;
    }
    console_printf("Success\n");
    return 1;
}

int update_identify(IdentifyReport* report)
{
    send_adapter_command(CMD_IDENTIFY);
    if (!identify_firmware(report)) {
        console_printf("Unknown Device.\n");
        send_adapter_command(CMD_UNRECOGNISED);
        command_port_close();
        return 0;
    }
    send_adapter_command(CMD_IDENTIFIED);
    sleep_ms(HANDOVER_PAUSE_MS);
    command_port_close();
    return 1;
}

UpdateResult update_sequence(const UpdatePort& port, const UpdateSteps* steps)
{
    UpdateResult result{};
    result.download_exit_code = -1;
    update_port = port;
    if (!folder_change(DOWNLOAD_TOOL_FOLDER)) {
        console_printf("Failed to locate the update wizard.\n");
        return update_end(result, UPDATE_END_NO_TOOL_FOLDER, steps);
    }
    if (!update_phase_begins(steps, UPDATE_PHASE_CONTACT, result)) {
        return update_stopped(result, UPDATE_PHASE_CONTACT, steps);
    }
    if (!update_contact(port, &result.contact)) {
        return update_end(result, UPDATE_END_NOT_FOUND, steps);
    }
    if (!update_identify(&result.identify)) {
        return update_end(result, UPDATE_END_UNKNOWN_FIRMWARE, steps);
    }
    if (!update_phase_begins(steps, UPDATE_PHASE_PREPARE, result)) {
        return update_stopped(result, UPDATE_PHASE_PREPARE, steps);
    }
    if (!configure_before_update_open(&result.before)) {
        if (steps != nullptr && !steps->recover_without_link) {
            return update_end(result, UPDATE_END_NO_LINK, steps);  // nothing was written: nothing to recover
        }
        return update_recover(result, steps);
    }
    if (steps != nullptr && steps->before_writes != nullptr && !steps->before_writes(steps->context, result)) {
        configure_before_update_close();  // the chip is as it was: there is nothing to recover
        return update_stopped(result, 0, steps);
    }
    result.before_ran = 1;
    result.before_result = configure_before_update_write(&result.before);
    if (!result.before_result) {
        return update_recover(result, steps);
    }
    if (!update_phase_begins(steps, UPDATE_PHASE_DOWNLOAD, result)) {
        return update_stopped(result, UPDATE_PHASE_DOWNLOAD, steps);
    }
    result.download_exit_code = run_download_tool(steps, &result.download);
    folder_change("..");  // failure ignored: nothing later depends on the folder
    update_phase_begins(steps, UPDATE_PHASE_RESTORE, result);
    result.after_result = configure_after_update(result.download_exit_code != 0 ? 1 : 0,
                                                 POST_DOWNLOAD_LINK_TIMEOUT_MS, &result.after);
    return update_end(result, UPDATE_END_COMPLETED, steps);
}

int update_run()
{
    const UpdateResult result = update_sequence(ADAPTER_PORT);
    if (result.end == UPDATE_END_RECOVERED) {
        process_exit(0);  // at once: no key wait
    }
    if (result.end != UPDATE_END_COMPLETED) {
        abort_update();
    }
    console_printf("Update done\n");
    console_printf("Please power off and on Marrowlink Device\n");
    console_printf("Press any key to exit the update program\n");
    wait_for_key();
    return 1;
}

void abort_update()
{
    console_printf("Update Aborted, press any key to exit\n");
    wait_for_key();
    process_exit(0);
}

// The key is tested, not read, so it stays in the console input. The wait
// has no time limit on purpose: it ends when the user presses a key (or
// standard input ends). It sleeps between tests rather than spinning.
void wait_for_key()
{
    console_key_wait_begin();
    while (!console_key_waiting()) {
        sleep_ms(KEY_POLL_INTERVAL_MS);
    }
    console_key_wait_end();
}

// The tool is polled once a second until it reports an exit code. The poll
// has no time limit on purpose: the tool is writing the adapter's firmware,
// and stopping to wait for it mid-download would leave the device unusable;
// the user sees the tool's own window and can end it.
//
// A real exit code of 259 reads the same as "still running", so on 259 the
// process handle from the start is asked whether the tool has ended; if it
// has, one more query gives its final code, reported like any other failure.
std::int32_t run_download_tool(const UpdateSteps* steps, DownloadReport* caller_report)
{
    DownloadReport scratch;
    DownloadReport& report = caller_report != nullptr ? *caller_report : scratch;
    report = {};
    std::int32_t download_exit_code = -1;
    char command_line[DOWNLOAD_COMMAND_LINE_MAX_BYTES];
    ProcessInfo info{};
    // The platform says what the tool calls the port (COM1 for a Windows tool
    // under Wine, which must lead to the port's device) and starts it so.
    ProcessToolPort tool_port{};
    ProcessOptions options = steps != nullptr && steps->tool_options != nullptr ? *steps->tool_options
                                                                                 : PROCESS_OPTIONS_DEFAULT;
    const int port_named = process_tool_port(DOWNLOAD_TOOL_PROGRAM, update_port.device_path, update_port.name,
                                             &tool_port);
    options.port_device = tool_port.device[0] != '\0' ? tool_port.device : nullptr;
    if (!port_named || !download_command_line(ci_firmware, tool_port.name, command_line, sizeof command_line) ||
        !process_start(command_line, &info, &options)) {
        report.os_error = platform_last_error();
        console_printf("Failed to start update Wizard\n");
        return download_exit_code;
    }
    report.started = 1;
    console_printf("Update Wizard started succefully\n");
    const PlatformHandle query = process_open(info.process_id);

    for (;;) {
        sleep_ms(TOOL_POLL_INTERVAL_MS);
        // Asked before each query, so that the query after the tool was ended
        // reads the code it ended with. A tool that has ended by itself
        // meanwhile is not stopped: its own code stands.
        if (!report.stopped && download_stop_requested(steps) && !process_has_ended(info.process) &&
            process_terminate(info.process)) {
            report.stopped = 1;
        }
        std::uint32_t exit_code = 0;
        if (!process_exit_code(query, &exit_code)) {
            console_printf("GetExitCode failed !!\n");
            break;
        }
        download_exit_code = static_cast<std::int32_t>(exit_code);
        if (exit_code == STILL_ACTIVE) {
            if (!process_has_ended(info.process)) {
                continue;
            }
            if (!process_exit_code(query, &exit_code)) {
                console_printf("GetExitCode failed !!\n");
                break;
            }
            download_exit_code = static_cast<std::int32_t>(exit_code);
        }
        download_report(download_exit_code);
        break;
    }

    if (query != PLATFORM_INVALID_HANDLE) {
        process_close(query);
    }
    process_close(info.process);
    process_close(info.thread);
    return download_exit_code;
}
