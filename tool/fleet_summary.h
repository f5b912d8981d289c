// One adapter of several updated at once, as the parent follows it, and what
// it came to: the summary people read, the JSON document, the table's rows.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tool/child_run.h"
#include "tool/fleet_view.h"
#include "tool/port_choice.h"

enum class AdapterState { waiting, running, ended, not_started };

struct FleetAdapter {
    ToolPort port;
    std::string leaf;
    std::string trace;   // whole, {port} filled in; empty: none
    std::string backup;  // the same
    std::unique_ptr<ChildRun> child;
    AdapterState state = AdapterState::waiting;
    std::string not_started_why;
    FleetRow row;
    std::uint64_t started_ms = 0;
    std::uint64_t ended_ms = 0;
    int exit_status = -1;
    nlohmann::ordered_json result = nlohmann::ordered_json::object();  // the child's document
};

using Adapters = std::vector<FleetAdapter>;

// The outcome in a few words: "updated", "no reply", "interrupted in download tool running".
std::string fleet_outcome_word(const FleetAdapter& adapter);
// Its time from start to end, in whole seconds (rounded).
std::uint64_t fleet_adapter_seconds(const FleetAdapter& adapter);
// The table's rows now: an adapter done shows its outcome and its whole time.
std::vector<FleetRow> fleet_rows(const Adapters& adapters);
// The summary table, and each adapter not updated with its own error and hint.
void fleet_summary(const Adapters& adapters, std::ostream& out);
void fleet_failures(const Adapters& adapters, std::ostream& err, const std::string& step);
// "adapters" of the JSON document.
nlohmann::ordered_json fleet_json(const Adapters& adapters);
