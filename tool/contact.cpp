#include "tool/contact.h"

#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"
#include "driver/update.h"
#include "tool/command.h"
#include "tool/reasons.h"

void contact_wake(const ToolPort& port, const PortRoots& roots, Report& report)
{
    report.begin("Waking the adapter on " + port.name);
    CommandPortReport seen{};
    int found = 0;
    {
        const ConsoleOutput quiet(CONSOLE_OUTPUT_NONE);
        found = update_contact(UpdatePort{port.device_path.c_str(), port.name.c_str()}, &seen);
    }
    if (!found) {
        if (seen.failed_step == COMMAND_PORT_STEP_HANDSHAKE) {
            report.done(reason_pnp_identifier(seen));
            report.begin("Setup handshake");
        }
        throw reason_contact(port, roots, seen);
    }
    const std::string identifier = reason_pnp_identifier(seen);
    report.done(identifier);
    report.fact("pnp_id", identifier);
    report.begin("Setup handshake");
    report.done(SETUP_ANSWER);
}

std::string contact_identify(Report& report)
{
    report.begin("Reading the firmware version");
    IdentifyReport seen{};
    int known = 0;
    {
        const ConsoleOutput quiet(CONSOLE_OUTPUT_NONE);
        known = update_identify(&seen);
    }
    if (seen.version_frame_seen) {
        report.fact("version", seen.version_text);
    }
    if (!known) {
        if (seen.version_frame_seen) {
            report.done(std::string("\"") + seen.version_text + "\"");
        }
        throw reason_identify(seen);
    }
    const std::string variant = ci_firmware ? "CI" : "standard";
    report.fact("variant", variant);
    report.done(std::string(seen.version_text) + " (" + variant + ")");
    return seen.version_text;
}

void contact_link(const ToolPort& port, Report& report, std::uint32_t link_timeout_ms)
{
    report.begin("BCSP link with the chip");
    BcspOpenResult link{};
    if (!bcsp_port_open_path(port.device_path.c_str(), BCSP_BAUD_RATE, link_timeout_ms, &link)) {
        throw reason_chip_link(port, "linking with the chip on " + port.name, link);
    }
    report.done("established");
}
