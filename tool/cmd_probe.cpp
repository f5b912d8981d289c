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
#include "tool/contact.h"
#include "tool/port_auto.h"
#include "tool/reasons.h"

namespace {

const char* const PROBE_HANDED_OVER =
    "The adapter now listens to its Bluetooth chip: power it off and on before the next probe or update.";

void probe_chip(const ToolPort& port, Report& report)
{
    contact_link(port, report);
    report.begin("Reading the build id");
    std::uint16_t build_id = 0;
    BccmdResult result{};
    const int read = read_build_id(&build_id, &result);
    bcsp_port_close();
    if (!read) {
        throw reason_chip_command("reading the chip's build id", result);
    }
    report.done(std::to_string(build_id));
    report.fact("build_id", build_id);
}

void probe_run(const ToolContext& context, Report& report, bool chip)
{
    const ToolPort port = port_resolve(context.port, report, context.port_roots, context.program);
    report.fact("port", port.name);
    contact_wake(port, context.port_roots, report);
    contact_identify(report);
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
