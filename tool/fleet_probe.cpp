#include "tool/fleet_probe.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "platform/platform_children.h"
#include "tool/child_run.h"
#include "tool/port_auto.h"

namespace {

// How long the parent waits for all probes: one probe's worst case (the
// wake-up, a silent first read, a reply byte by byte, the handshake's reads)
// is under 30 s; a child that takes far longer hangs, and its port is given up.
constexpr std::uint64_t FLEET_PROBE_WAIT_MS = 120000;
constexpr std::uint32_t FLEET_PROBE_POLL_MS = 50;
constexpr char FLEET_PROBE_FOLDER_PREFIX[] = "marrowlink-probe-";

}  // namespace

nlohmann::ordered_json fleet_probe_result_json(const PortFinding& finding)
{
    const PortProbe& probe = finding.probe;
    const PortState& state = finding.state;
    return {{"probe", {{"tried", probe.tried}, {"answered", probe.answered}, {"marrowlink", probe.marrowlink},
                       {"pnp_id", probe.pnp_id}, {"text", probe.text}}},
            {"state", {{"access", static_cast<int>(state.access)}, {"os_error", state.os_error},
                       {"holder_pid", state.holder_pid}, {"holder_name", state.holder_name}, {"group", state.group}}}};
}

bool fleet_probe_result_read(const nlohmann::json& result, PortFinding* finding)
{
    try {
        const nlohmann::json& probe = result.at("probe");
        const nlohmann::json& state = result.at("state");
        finding->probe.tried = probe.at("tried").get<bool>();
        finding->probe.answered = probe.at("answered").get<bool>();
        finding->probe.marrowlink = probe.at("marrowlink").get<bool>();
        finding->probe.pnp_id = probe.at("pnp_id").get<std::string>();
        finding->probe.text = probe.at("text").get<std::string>();
        const int access = state.at("access").get<int>();
        if (access < PORT_FREE || access > PORT_NOT_OPENED) {
            return false;
        }
        finding->state.access = static_cast<PortAccess>(access);
        finding->state.os_error = state.at("os_error").get<std::uint32_t>();
        finding->state.holder_pid = state.at("holder_pid").get<std::uint32_t>();
        finding->state.holder_name = state.at("holder_name").get<std::string>();
        finding->state.group = state.at("group").get<std::string>();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

void fleet_probe_all(std::vector<PortFinding>& findings, const PortRoots& roots, const std::string& program)
{
    std::string folder;
    try {
        folder = program.empty() ? std::string() : child_run_workspace(FLEET_PROBE_FOLDER_PREFIX);
    } catch (const ToolFailure&) {
        folder.clear();  // no folder for children: every probe here, in turn
    }
    std::vector<std::unique_ptr<ChildRun>> children(findings.size());
    std::vector<PlatformHandle> running;
    for (std::size_t i = 0; i < findings.size(); ++i) {
        if (!port_survey_probeable(findings[i])) {
            continue;
        }
        std::vector<std::string> arguments = {"ports", FLEET_PROBE_ONE_OPTION, findings[i].info.device_path,
                                              "--json"};
        for (std::string& argument : port_roots_arguments(roots)) {
            arguments.push_back(std::move(argument));
        }
        // In this folder: the port's and the roots' names may be relative to it.
        auto child = std::make_unique<ChildRun>(program, arguments, folder + "/" + std::to_string(i), false);
        std::string why;
        if (!folder.empty() && child->start(&why)) {
            children[i] = std::move(child);
        } else {
            port_survey_probe(&findings[i], roots);  // no child: here, in turn
        }
    }
    const Deadline deadline = deadline_after_ms(FLEET_PROBE_WAIT_MS);
    for (;;) {
        running.clear();
        for (const auto& child : children) {
            if (child && !child->ended()) {
                running.push_back(child->process());
            }
        }
        if (running.empty() || deadline_expired(deadline)) {
            break;
        }
        process_wait_any(running.data(), static_cast<int>(running.size()), FLEET_PROBE_POLL_MS);
    }
    for (std::size_t i = 0; i < findings.size(); ++i) {
        if (!children[i]) {
            continue;
        }
        PortFinding& finding = findings[i];
        const nlohmann::json answer = nlohmann::json::parse(children[i]->output(), nullptr, false);
        if (!children[i]->ended() || !answer.is_object() || !fleet_probe_result_read(answer, &finding)) {
            finding.probe = PortProbe{};
            finding.probe.tried = true;
            finding.probe.text = children[i]->ended() ? "the probe ended without a result"
                                                      : "the probe did not end in time";
        }
    }
    children.clear();
    if (!folder.empty()) {
        std::error_code error;
        std::filesystem::remove_all(folder, error);
    }
}
