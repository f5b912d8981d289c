#include "tool/fleet_ports.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "platform/platform_ports.h"
#include "tool/outcome.h"

namespace {

// Where a port leads: the device itself for a path (its links followed), the
// platform's resolution for a COM name.
std::string fleet_port_identity(const ToolPort& port)
{
    char identity[SERIAL_DEVICE_PATH_MAX_BYTES] = "";
    if (port_device_identity(port.device_path.c_str(), identity, sizeof identity)) {
        return identity;
    }
    return port.device_path;
}

// Whether a file name is one of the names Windows keeps for devices (CON,
// NUL, COM1 to COM9 ...), whatever follows its first dot: "COM5.txt" opens the
// serial port COM5 there, and a backup written to it would go to the adapter.
bool fleet_device_file_name(const std::string& file)
{
    static constexpr const char* DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL"};
    static constexpr const char* NUMBERED_DEVICES[] = {"COM", "LPT"};
    std::string stem = std::filesystem::path(file).filename().string();
    stem = stem.substr(0, stem.find('.'));
    std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    for (const char* name : DEVICE_NAMES) {
        if (stem == name) {
            return true;
        }
    }
    for (const char* name : NUMBERED_DEVICES) {
        if (stem.size() == 4 && stem.compare(0, 3, name) == 0 && stem[3] >= '1' && stem[3] <= '9') {
            return true;
        }
    }
    return false;
}

}  // namespace

bool fleet_requested(const std::vector<std::string>& port_texts)
{
    return port_texts.size() > 1 || (port_texts.size() == 1 && port_texts.front() == PORT_ALL);
}

std::string fleet_port_leaf(const ToolPort& port)
{
    const std::size_t slash = port.name.find_last_of("/\\");
    return slash == std::string::npos ? port.name : port.name.substr(slash + 1);
}

void fleet_ports_check_distinct(const std::vector<ToolPort>& ports)
{
    for (std::size_t i = 0; i < ports.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            const bool same_device = fleet_port_identity(ports[i]) == fleet_port_identity(ports[j]);
            if (same_device || fleet_port_leaf(ports[i]) == fleet_port_leaf(ports[j])) {
                throw ToolFailure{ExitStatus::usage, "--port " + ports[i].name,
                                  same_device ? "leads to the same device as --port " + ports[j].name
                                              : "has the same short name, " + fleet_port_leaf(ports[i]) +
                                                    ", as --port " + ports[j].name,
                                  same_device ? "name each adapter's port once"
                                              : "name one of them by another path (the short name tells the "
                                                "adapters' files and lines apart)"};
            }
        }
    }
}

void fleet_file_pattern_check(const std::string& option, const std::string& pattern)
{
    if (!pattern.empty() && pattern.find(FLEET_PORT_FIELD) == std::string::npos) {
        throw ToolFailure{ExitStatus::usage, option + " " + pattern,
                          std::string("with several ports each adapter needs a file of its own: the name must hold ") +
                              FLEET_PORT_FIELD,
                          "for example " + option + " 'before-" + FLEET_PORT_FIELD + ".txt'"};
    }
}

std::string fleet_file_for(const std::string& option, const std::string& pattern, const std::string& leaf)
{
    if (pattern.empty()) {
        return pattern;
    }
    fleet_file_pattern_check(option, pattern);
    std::string name = pattern;
    const std::string field = FLEET_PORT_FIELD;
    for (std::size_t at = name.find(field); at != std::string::npos; at = name.find(field, at + leaf.size())) {
        name.replace(at, field.size(), leaf);
    }
    if (fleet_device_file_name(name)) {
        throw ToolFailure{ExitStatus::usage, option + " " + pattern,
                          "for the port " + leaf + " it names " + std::filesystem::path(name).filename().string() +
                              ", which Windows takes for a device, not a file",
                          "put something before {port}, for example " + option + " 'before-{port}.txt'"};
    }
    std::error_code error;
    const std::filesystem::path whole = std::filesystem::absolute(name, error);
    return error ? name : whole.string();
}
