#include "tool/fleet_summary.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <system_error>

#include "platform/platform.h"
#include "tool/outcome.h"

namespace {

std::string firmware_before(const nlohmann::ordered_json& result)
{
    if (!result.contains("version") || !result["version"].is_string()) {
        return "-";
    }
    const std::string version = result["version"];
    const std::size_t blank = version.find_last_of(' ');
    std::string text = blank == std::string::npos ? version : version.substr(blank + 1);
    if (result.contains("variant") && result["variant"].is_string()) {
        text += " " + result["variant"].get<std::string>();
    }
    return text;
}

std::string build_id_after(const nlohmann::ordered_json& result)
{
    return result.contains("build_id") && result["build_id"].is_number_unsigned()
               ? std::to_string(result["build_id"].get<unsigned>())
               : "-";
}

std::vector<std::string> adapter_files(const FleetAdapter& adapter)
{
    std::vector<std::string> files;
    std::error_code error;
    for (const std::string& file : {adapter.backup, adapter.trace}) {
        if (!file.empty() && std::filesystem::exists(file, error)) {
            const std::filesystem::path relative = std::filesystem::proximate(file, error);
            files.push_back(!error && !relative.string().starts_with("..") ? relative.string() : file);
        }
    }
    return files;
}

}  // namespace

std::string fleet_outcome_word(const FleetAdapter& adapter)
{
    if (adapter.state == AdapterState::not_started) {
        return "not started";
    }
    switch (adapter.exit_status) {
    case 0: return "updated";
    case static_cast<int>(ExitStatus::usage): return "refused";
    case static_cast<int>(ExitStatus::port): return "port not opened";
    case static_cast<int>(ExitStatus::no_adapter): return "no reply";
    case static_cast<int>(ExitStatus::unknown_firmware): return "unknown firmware";
    case static_cast<int>(ExitStatus::chip): return "chip not reached";
    case static_cast<int>(ExitStatus::download): return "download failed";
    case static_cast<int>(ExitStatus::later_step): return "incomplete";
    case static_cast<int>(ExitStatus::interrupted): return "interrupted in " + adapter.row.phase;
    default: return "failed";
    }
}

// "1.2.9 standard": the version text's last word and the variant.
std::uint64_t fleet_adapter_seconds(const FleetAdapter& adapter)
{
    return adapter.ended_ms > adapter.started_ms ? (adapter.ended_ms - adapter.started_ms + 500) / 1000 : 0;
}

void fleet_summary(const Adapters& adapters, std::ostream& out)
{
    const std::vector<std::string> header = {"PORT", "FIRMWARE BEFORE", "OUTCOME", "BUILD ID", "EXIT", "TIME", "FILES"};
    std::vector<std::vector<std::string>> rows = {header};
    for (const FleetAdapter& adapter : adapters) {
        std::string files;
        for (const std::string& file : adapter_files(adapter)) {
            files += (files.empty() ? "" : ", ") + file;
        }
        rows.push_back({adapter.leaf, firmware_before(adapter.result), fleet_outcome_word(adapter),
                        build_id_after(adapter.result),
                        adapter.state == AdapterState::ended ? std::to_string(adapter.exit_status) : "-",
                        std::to_string(fleet_adapter_seconds(adapter)) + " s", files.empty() ? "-" : files});
    }
    std::vector<std::size_t> widths(header.size(), 0);
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            const bool last = column + 1 == row.size();
            line += last ? row[column] : row[column] + std::string(widths[column] + 2 - row[column].size(), ' ');
        }
        out << line << "\n";
    }
    out << std::flush;
}

// For people: each adapter not updated, with its own step, reason and hint.
void fleet_failures(const Adapters& adapters, std::ostream& err, const std::string& step)
{
    for (const FleetAdapter& adapter : adapters) {
        const nlohmann::ordered_json& result = adapter.result;
        if (adapter.state == AdapterState::not_started) {
            err << adapter.leaf << ": " << adapter.not_started_why << "\n";
        } else if (adapter.exit_status != 0 && result.contains("reason") && result["reason"].is_string()) {
            err << adapter.leaf << ": error: " << result.value("step", step) << ": "
                << result["reason"].get<std::string>() << "\n";
            if (result.contains("hint") && result["hint"].is_string() && !result["hint"].get<std::string>().empty()) {
                err << adapter.leaf << ": hint: " << result["hint"].get<std::string>() << "\n";
            }
        }
    }
    err << std::flush;
}

nlohmann::ordered_json fleet_json(const Adapters& adapters)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const FleetAdapter& adapter : adapters) {
        nlohmann::ordered_json object = {{"port", adapter.port.name}, {"short_name", adapter.leaf},
                                         {"outcome", fleet_outcome_word(adapter)}};
        for (const auto& [key, value] : adapter.result.items()) {
            if (key != "port" && key != "exit_status" && key != "outcome") {
                object[key] = value;
            }
        }
        if (adapter.state == AdapterState::not_started && !adapter.not_started_why.empty()) {
            object["reason"] = adapter.not_started_why;
        }
        object["exit_status"] = adapter.state == AdapterState::ended ? nlohmann::ordered_json(adapter.exit_status)
                                                                     : nlohmann::ordered_json(nullptr);
        object["seconds"] = fleet_adapter_seconds(adapter);
        const auto file_or_null = [](const std::string& file) {
            return file.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(file);
        };
        object["files"] = {{"trace", file_or_null(adapter.trace)}, {"backup", file_or_null(adapter.backup)}};
        list.push_back(object);
    }
    return list;
}

std::vector<FleetRow> fleet_rows(const Adapters& adapters)
{
    std::vector<FleetRow> rows;
    for (const FleetAdapter& adapter : adapters) {
        FleetRow row = adapter.row;
        if (adapter.state == AdapterState::ended) {
            // An adapter done shows its outcome and its whole time, which no longer grows.
            row.phase = fleet_outcome_word(adapter);
            row.phase_since_ms = clock_ms() - fleet_adapter_seconds(adapter) * 1000;  // as the summary rounds it
        }
        rows.push_back(row);
    }
    return rows;
}

