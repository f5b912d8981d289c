#include "driver/update.h"

#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"
#include "platform/platform.h"

namespace {

// Finds, wakes and identifies the adapter, then hands the port back: on return
// the command port is closed and ci_firmware names the variant. Every failure
// here aborts the run.
void update_contact_adapter()
{
    console_printf("Contacting Marrowlink\n");
    if (!command_port_open(ADAPTER_COM_PORT)) {
        console_printf("Marrowlink not found on COM1.\n");
        abort_update();
    }
    console_printf("Success\n");

    send_adapter_command(CMD_IDENTIFY);
    if (!identify_firmware()) {
        console_printf("Unknown Device.\n");
        send_adapter_command(CMD_UNRECOGNISED);
        command_port_close();
        abort_update();
    }
    send_adapter_command(CMD_IDENTIFIED);
    sleep_ms(HANDOVER_PAUSE_MS);
    command_port_close();
}

// The chip could not be prepared: restore its configuration as after a failed
// download and end at once, without starting the tool and without a key wait.
// No new image has been written, so the chip boots no longer than after any
// reset: the link gets the usual bound (and a chip that has just failed to link
// is not waited for four times as long).
[[noreturn]] void update_recover()
{
    console_printf("Pre-Update Configuration failed !\n");
    console_printf("Trying to recover..\n");
    console_printf(configure_after_update(1, BCSP_LINK_TIMEOUT_MS) ? "SUCCESS\n" : "FAILED\n");
    process_exit(0);
}

void download_report(std::int32_t exit_code)
{
    if (exit_code == 0) {
        console_printf("Update successful !\n");
    } else {
        console_printf("Update Wizard terminated with error:%d\n", static_cast<int>(exit_code));
    }
}

}  // namespace

int update_run()
{
    if (!folder_change(DOWNLOAD_TOOL_FOLDER)) {
        console_printf("Failed to locate the update wizard.\n");
        abort_update();
    }
    update_contact_adapter();
    if (!configure_before_update()) {
        update_recover();
    }
    const std::int32_t download_exit_code = run_download_tool();
    folder_change("..");  // failure ignored: nothing later depends on the folder
    configure_after_update(download_exit_code != 0 ? 1 : 0, POST_DOWNLOAD_LINK_TIMEOUT_MS);

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
std::int32_t run_download_tool()
{
    std::int32_t download_exit_code = -1;
    const char* command_line = ci_firmware ? CI_IMAGE_COMMAND_LINE : STANDARD_IMAGE_COMMAND_LINE;
    ProcessInfo info{};
    if (!process_start(command_line, &info)) {
        console_printf("Failed to start update Wizard\n");
        return download_exit_code;
    }
    console_printf("Update Wizard started succefully\n");
    const PlatformHandle query = process_open(info.process_id);

    for (;;) {
        sleep_ms(TOOL_POLL_INTERVAL_MS);
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
