// marrowlink ports: every serial port of the machine, one line each (its
// /dev/serial/by-id name, when it has one, on the line below), what it is and
// whether this user can open it now; --probe also wakes each free port and says
// whether a Marrowlink answers. A Bluetooth link port is never probed: opening
// it connects to its remote device, and a Marrowlink adapter is wired. Without
// --probe no port is opened: on Windows, where only an open tells a port's
// state, every wired port is then "not opened".
#include "tool/cmd_ports.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>

#include "tool/download_tool.h"
#include "tool/fleet_probe.h"
#include "tool/open_reason.h"
#include "tool/port_survey.h"

namespace {

// Blanks between the table's columns.
constexpr std::size_t PORTS_COLUMN_GAP = 2;

struct PortsOptions {
    bool probe = false;
    std::string probe_one;  // a probing child's one port (fleet_probe.h)
    PortRoots roots;  // the context's, when the command runs
};

std::string padded(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void ports_print(Report& report, std::vector<PortFinding>& findings, bool probe)
{
    std::size_t name_width = std::string("PORT").size();
    std::size_t device_width = std::string("DEVICE").size();
    std::size_t state_width = std::string("STATE").size();
    for (const PortFinding& finding : findings) {
        name_width = std::max(name_width, finding.info.name.size());
        device_width = std::max(device_width, port_device_text(finding.info).size());
        state_width = std::max(state_width, port_state_text(finding.state).size());
    }
    name_width += PORTS_COLUMN_GAP;
    device_width += PORTS_COLUMN_GAP;
    if (findings.empty()) {
        report.say("No serial ports found.");
        return;
    }
    // The probe's result follows Report::begin's " ... ".
    report.say(padded("PORT", name_width) + padded("DEVICE", device_width) +
               (probe ? padded("STATE", state_width) + "     ADAPTER" : "STATE"));
    for (PortFinding& finding : findings) {
        const std::string line = padded(finding.info.name, name_width) +
                                 padded(port_device_text(finding.info), device_width) +
                                 port_state_text(finding.state);
        if (!probe) {
            report.say(line);
        } else {
            // The probes have run (all at once): the row and its result together.
            report.say(padded(line, name_width + device_width + state_width) + " ... " +
                       (finding.probe.tried ? finding.probe.text : port_survey_skip_text(finding)));
        }
        if (!finding.info.by_id.empty()) {
            report.say(std::string(name_width, ' ') + finding.info.by_id);
        }
    }
}

// A probing child's one port: its probe as fleet_probe_all reads it.
void ports_probe_one(Report& report, const std::string& device_path, const PortRoots& roots)
{
    PortFinding finding;
    finding.info.name = device_path;
    finding.info.device_path = device_path;
    port_survey_probe(&finding, roots);
    const nlohmann::ordered_json result = fleet_probe_result_json(finding);
    for (const auto& [key, value] : result.items()) {
        report.fact(key, value);
    }
}

}  // namespace

void ports_show(Report& report, std::vector<PortFinding>& findings, bool probe, const PortRoots& roots,
                const std::string& program)
{
    if (probe) {
        const auto count = std::count_if(findings.begin(), findings.end(), port_survey_probeable);
        if (count > 1) {
            report.say("Probing " + std::to_string(count) + " ports at once ...");
        }
        fleet_probe_all(findings, roots, program);
    }
    if (!report.json()) {
        ports_print(report, findings, probe);
    }
    nlohmann::ordered_json ports = nlohmann::ordered_json::array();
    for (const PortFinding& finding : findings) {
        ports.push_back(port_finding_json(finding));
    }
    report.fact("ports", ports);
}

void cmd_ports_register(CLI::App& app, ToolContext& context)
{
    auto options = std::make_shared<PortsOptions>();
    CLI::App* command =
        tool_command_add(app, context, "ports",
                         "list the machine's serial ports, what each is and whether it can be opened now");
    command->add_flag("--probe", options->probe,
                      "also wake each free port and say whether a Marrowlink answers (takes about 3 s a port; "
                      "Bluetooth link ports are left alone)");
    command->add_option(FLEET_PROBE_ONE_OPTION, options->probe_one, "probe this device alone")->group("");
    command->callback([&context, options] {
        options->roots = context.port_roots;
        if (!options->probe_one.empty()) {
            tool_command_run(context, [&](Report& report) { ports_probe_one(report, options->probe_one, options->roots); });
            return;
        }
        tool_command_run(context, [&](Report& report) {
            // Without --probe no port is opened (Windows could tell a port's state only by opening it).
            std::vector<PortFinding> findings =
                port_survey(options->roots, options->probe ? PORT_CHECK_OPEN : PORT_CHECK_LOOK);
            ports_show(report, findings, options->probe, options->roots, context.program);
            download_tool_report(report);
        });
    });
}
