// marrowlink probe: contacts and identifies the adapter with the updater's own
// command-port code (wake-up, Plug-and-Play check, handshake, identify) and,
// with --chip, reads the chip's build id over the BCSP link. It writes nothing
// to the chip, and leaves the adapter as the updater would after the same
// steps: identified (it then listens to its chip until it is powered off and
// on) or told it was not recognised.
#include "tool/cmd_probe.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"
#include "driver/update.h"
#include "tool/contact.h"
#include "tool/port_auto.h"
#include "tool/reasons.h"

namespace {

const char* const PROBE_HANDED_OVER =
    "The adapter now listens to its Bluetooth chip: power it off and on before the next probe or update.";

}  // namespace

void probe_contact(const ToolPort& port, const PortRoots& roots, Report& report)
{
    report.begin("Waking the adapter on " + port.name);
    if (!command_port_open_path(port.device_path.c_str())) {
        if (command_port_report.failed_step == COMMAND_PORT_STEP_HANDSHAKE) {
            report.done(reason_pnp_identifier());
            report.begin("Setup handshake");
        }
        throw reason_contact(port, roots);
    }
    const std::string identifier = reason_pnp_identifier();
    report.done(identifier);
    report.fact("pnp_id", identifier);
    report.begin("Setup handshake");
    report.done(SETUP_ANSWER);
}

// As the updater: the identify command, then "identified" and the hand-over
// pause, or "not recognised"; the command port is closed either way.
void probe_identify(Report& report)
{
    report.begin("Reading the firmware version");
    send_adapter_command(CMD_IDENTIFY);
    const int known = identify_firmware();
    if (identify_report.version_frame_seen) {
        report.fact("version", identify_report.version_text);
    }
    if (!known) {
        if (identify_report.version_frame_seen) {
            report.done(std::string("\"") + identify_report.version_text + "\"");
        }
        send_adapter_command(CMD_UNRECOGNISED);
        command_port_close();
        throw reason_identify();
    }
    const std::string variant = ci_firmware ? "CI" : "standard";
    report.fact("variant", variant);
    report.done(std::string(identify_report.version_text) + " (" + variant + ")");
    send_adapter_command(CMD_IDENTIFIED);
    sleep_ms(HANDOVER_PAUSE_MS);
    command_port_close();
}

void probe_link(const ToolPort& port, Report& report)
{
    bcsp_open_failure_clear();
    bccmd_failure_clear();
    report.begin("BCSP link with the chip");
    if (!bcsp_port_open_path(port.device_path.c_str(), BCSP_BAUD_RATE)) {
        throw reason_chip(port, "linking with the chip on " + port.name);
    }
    report.done("established");
}

namespace {

void probe_chip(const ToolPort& port, Report& report)
{
    probe_link(port, report);
    report.begin("Reading the build id");
    std::uint16_t build_id = 0;
    const int read = read_build_id(&build_id);
    bcsp_port_close();
    if (!read) {
        throw reason_chip(port, "reading the chip's build id");
    }
    report.done(std::to_string(build_id));
    report.fact("build_id", build_id);
}

void probe_run(const ToolContext& context, Report& report, bool chip)
{
    // identify_firmware's version line is shown in the tool's own words.
    const ConsoleOutput quiet(CONSOLE_OUTPUT_NONE);
    const ToolPort port = port_resolve(context.port, report, context.port_roots);
    report.fact("port", port.name);
    probe_contact(port, context.port_roots, report);
    probe_identify(report);
    // From here on the adapter listens to its chip whatever follows.
    report.fact("next", "power the adapter off and on");
    if (chip) {
        probe_chip(port, report);
    }
    report.say(PROBE_HANDED_OVER);
}

}  // namespace

void cmd_probe_register(CLI::App& app, ToolContext& context)
{
    CLI::App* command = tool_command_add(app, context, "probe",
                                         "contact and identify the adapter without changing it");
    auto chip = std::make_shared<bool>(false);
    command->add_flag("--chip", *chip, "also link with the Bluetooth chip and read its build id");
    command->callback([&context, chip] {
        tool_command_run(context, [&context, chip](Report& report) { probe_run(context, report, *chip); });
    });
}
