#include "tool/port_survey.h"

#include <algorithm>
#include <cctype>

#include "cmdport/command_port.h"
#include "tool/open_reason.h"
#include "tool/os_error.h"
#include "tool/outcome.h"
#include "tool/reasons.h"

namespace {

// The manufacturer's first word, without the brackets some add ("Arduino (www.arduino.cc)").
std::string first_word(const std::string& text)
{
    std::string word = text.substr(0, text.find(' '));
    while (!word.empty() && !std::isalnum(static_cast<unsigned char>(word.back()))) {
        word.pop_back();
    }
    return word;
}

bool contains_word(const std::string& text, const std::string& word)
{
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s;
    };
    return lower(text).find(lower(word)) != std::string::npos;
}

std::string product_text(const PortInfo& info)
{
    const std::string maker = first_word(info.manufacturer);
    if (info.product.empty()) {
        return info.manufacturer;
    }
    if (maker.empty() || contains_word(info.product, maker)) {
        return info.product;
    }
    return maker + " " + info.product;
}

}  // namespace

std::vector<PortFinding> port_survey(const PortRoots& roots, PortCheckMode mode)
{
    std::vector<PortInfo> ports;
    if (!ports_list(roots, &ports)) {
        const std::uint32_t error = platform_last_error();
        throw ToolFailure{ExitStatus::usage, "listing the serial ports",
                          "the system's port list (" + roots.sys + "/class/tty) cannot be read: " +
                              os_error_text(error),
                          "is " + roots.sys + " mounted?"};
    }
    std::vector<PortState> states;
    (void)ports_check(roots, ports, mode, &states);
    std::vector<PortFinding> findings;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        findings.push_back(PortFinding{ports[i], i < states.size() ? states[i] : PortState{}, PortProbe{}});
    }
    return findings;
}

bool port_survey_probeable(const PortFinding& finding)
{
    return finding.state.access == PORT_FREE && !finding.info.bluetooth_link;
}

std::string port_survey_skip_text(const PortFinding& finding)
{
    return finding.info.bluetooth_link ? "not probed: a Bluetooth link port, not a wired adapter" : "not probed";
}

void port_survey_probe(PortFinding* finding, const PortRoots& roots)
{
    PortProbe& probe = finding->probe;
    probe = PortProbe{};
    probe.tried = true;
    CommandPortReport report{};
    const int opened = command_port_open_path(finding->info.device_path.c_str(), &report);
    probe.answered = report.pnp_reply_length > 0;
    probe.pnp_id = reason_pnp_identifier(report);
    if (opened) {
        command_port_close();
    }
    const std::string adapter = "Marrowlink " + probe.pnp_id;
    switch (opened ? COMMAND_PORT_STEP_NONE : report.failed_step) {
    case COMMAND_PORT_STEP_NONE:
        probe.marrowlink = true;
        probe.text = adapter;
        return;
    case COMMAND_PORT_STEP_OPEN:
        port_open_diagnose(roots, finding->info.device_path.c_str(), report.os_error, &finding->state);
        probe.text = "cannot open: " + port_state_text(finding->state);
        return;
    case COMMAND_PORT_STEP_SETTINGS:
        probe.text = "the port refused the adapter's line settings";
        return;
    case COMMAND_PORT_STEP_PNP_REPLY:
        if (!probe.answered) {
            probe.text = "no answer";
        } else if (probe.pnp_id == PNP_IDENTIFIER_FIRST || probe.pnp_id == PNP_IDENTIFIER_SECOND) {
            probe.text = probe.pnp_id + " answered, but its Plug-and-Play reply was not whole";
        } else if (probe.pnp_id.empty()) {
            probe.text = "something answered, not a Marrowlink";
        } else {
            // The check stops reading at the first byte that differs.
            const bool cut = report.pnp_reply_length < 1 + PNP_IGNORED_BYTES + PNP_IDENTIFIER_LENGTH;
            probe.text = probe.pnp_id + (cut ? "..." : "") + " answered, not a Marrowlink";
        }
        return;
    case COMMAND_PORT_STEP_HANDSHAKE_SPEED:
        probe.marrowlink = true;
        probe.text = adapter + ", but the port refused 115200 baud";
        return;
    default:
        probe.marrowlink = true;
        probe.text = adapter + ", no setup handshake";
        return;
    }
}

std::string port_device_text(const PortInfo& info)
{
    std::string what = info.description.empty() ? product_text(info) : info.description;
    if (what.empty() && info.bluetooth_link) {
        what = "Bluetooth link";
    }
    if (what.empty()) {
        what = info.driver.empty() ? "serial port" : "serial port (" + info.driver + ")";
    }
    std::string details = info.usb_id;
    if (!info.serial_number.empty()) {
        details += (details.empty() ? "" : ", ") + info.serial_number;
    }
    return details.empty() ? what : what + " (" + details + ")";
}

nlohmann::ordered_json port_finding_json(const PortFinding& finding)
{
    const PortInfo& info = finding.info;
    nlohmann::ordered_json object = {
        {"port", info.name},
        {"device", port_device_text(info)},
        {"driver", info.driver},
        {"usb_id", info.usb_id},
        {"manufacturer", info.manufacturer},
        {"product", info.product},
        {"serial_number", info.serial_number},
        {"by_id", info.by_id},
        {"bluetooth_link", info.bluetooth_link},
        {"state", port_state_name(finding.state.access)},
    };
    if (finding.state.access == PORT_BUSY && finding.state.holder_pid != 0) {
        object["holder"] = {{"pid", finding.state.holder_pid}, {"name", finding.state.holder_name}};
    }
    if (finding.state.access == PORT_DENIED) {
        object["group"] = finding.state.group;
    }
    if (finding.state.access != PORT_FREE) {
        object["reason"] = open_reason_of(finding.state).reason;
    }
    if (finding.probe.tried) {
        object["adapter"] = {{"answered", finding.probe.answered},
                             {"marrowlink", finding.probe.marrowlink},
                             {"pnp_id", finding.probe.pnp_id},
                             {"text", finding.probe.text}};
    }
    return object;
}
