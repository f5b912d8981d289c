#include "tool/port_auto.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "tool/fleet_probe.h"
#include "tool/open_reason.h"
#include "tool/port_survey.h"

namespace {

std::string names_of(const std::vector<const PortFinding*>& findings, bool with_id)
{
    std::string text;
    for (const PortFinding* finding : findings) {
        text += (text.empty() ? "" : ", ") + finding->info.name;
        if (with_id) {
            text += " (" + finding->probe.pnp_id + ")";
        }
    }
    return text;
}

// "/dev/ttyUSB0: no answer; /dev/ttyUSB1: busy: minicom (pid 4121)"
std::string found_text(const std::vector<PortFinding>& findings)
{
    std::string text;
    for (const PortFinding& finding : findings) {
        const std::string said = finding.probe.tried            ? finding.probe.text
                                 : finding.info.bluetooth_link ? port_survey_skip_text(finding)
                                                               : port_state_text(finding.state);
        text += (text.empty() ? "" : "; ") + finding.info.name + ": " + said;
    }
    return text;
}

}  // namespace

void port_roots_add_options(CLI::App* command, PortRoots* roots)
{
    // Group "": left out of --help; they exist for the tests' fake trees.
    command->add_option("--sys-root", roots->sys, "where sysfs is")->group("");
    command->add_option("--dev-root", roots->dev, "where the device nodes are")->group("");
    command->add_option("--proc-root", roots->proc, "where procfs is")->group("");
    command->add_option("--lock-root", roots->locks, "a folder of UUCP lock files (LCK..ttyUSB0); repeatable")
        ->group("");
}

std::vector<std::string> port_roots_arguments(const PortRoots& roots)
{
    const auto whole = [](const std::string& path) {
        std::error_code error;
        const std::filesystem::path absolute = std::filesystem::absolute(path, error);
        return error ? path : absolute.string();
    };
    std::vector<std::string> arguments = {"--sys-root", whole(roots.sys), "--dev-root", whole(roots.dev),
                                          "--proc-root", whole(roots.proc)};
    for (const std::string& lock : roots.locks) {
        arguments.insert(arguments.end(), {"--lock-root", whole(lock)});
    }
    return arguments;
}

ToolPort port_auto_find(Report& report, const PortRoots& roots, const std::string& program)
{
    return port_auto_choose(report, port_survey(roots, PORT_CHECK_OPEN), roots, program);
}

ToolPort port_auto_choose(Report& report, std::vector<PortFinding> findings, const PortRoots& roots,
                          const std::string& program)
{
    const std::string step = "finding the adapter (--port auto)";
    if (findings.empty()) {
        throw ToolFailure{ExitStatus::port, step, "this machine has no serial ports",
                          "plug the adapter in; marrowlink ports lists the serial ports"};
    }
    std::vector<const PortFinding*> tried;
    std::vector<const PortFinding*> answering;
    fleet_probe_all(findings, roots, program);  // all at once
    for (PortFinding& finding : findings) {
        if (!port_survey_probeable(finding) && !finding.probe.tried) {
            continue;
        }
        report.say("Probing " + finding.info.name + " ... " + finding.probe.text);
        if (finding.state.access == PORT_FREE) {
            tried.push_back(&finding);
        }
        if (finding.probe.marrowlink) {
            answering.push_back(&finding);
        }
    }
    nlohmann::ordered_json json_findings = nlohmann::ordered_json::array();
    for (const PortFinding& finding : findings) {
        json_findings.push_back(port_finding_json(finding));
    }
    report.fact("ports", json_findings);
    if (answering.size() == 1) {
        const PortFinding& found = *answering.front();
        report.say("Found a Marrowlink (" + found.probe.pnp_id + ") on " + found.info.name);
        return ToolPort{found.info.device_path, found.info.name};
    }
    if (answering.size() > 1) {
        throw ToolFailure{ExitStatus::usage, step, "a Marrowlink answered on " + names_of(answering, true),
                          "choose one with --port"};
    }
    if (tried.empty()) {
        throw ToolFailure{ExitStatus::port, step, "no serial port could be opened: " + found_text(findings),
                          "marrowlink ports says why each port cannot be opened"};
    }
    throw ToolFailure{ExitStatus::no_adapter, step, "no Marrowlink answered: " + found_text(findings),
                      "is the adapter plugged in and powered? marrowlink ports --probe shows what each port answers"};
}

ToolPort port_resolve(const std::string& text, Report& report, const PortRoots& roots, const std::string& program)
{
    if (text == PORT_AUTO) {
        // The survey found the held ports busy and left them alone.
        return port_auto_find(report, roots, program);
    }
    const ToolPort port = port_choice_parse(text);
    open_refuse_if_held(port, roots);
    return port;
}
