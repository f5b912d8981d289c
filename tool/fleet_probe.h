// Probing many ports at once: each probe (the wake-up's fixed pauses, mostly
// waiting) runs in a child process of its own, since the command port's
// layer is one port at a time, so that a machine with sixteen ports does not
// take sixteen probes' time. The child is this program:
// marrowlink ports --probe-one DEVICE --json, which probes that port alone.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform_ports.h"
#include "tool/port_survey.h"

// The hidden option a probing child is started with.
inline constexpr char FLEET_PROBE_ONE_OPTION[] = "--probe-one";

// Probes every probeable finding, all at once; each gets its probe and, when
// its open failed, the state that says why. Where children cannot be started,
// the findings are probed one after another here.
// program: this program's file (empty: every probe here, in turn).
void fleet_probe_all(std::vector<PortFinding>& findings, const PortRoots& roots, const std::string& program);

// The child's side: what it found on its one port, and the parent's reading of it.
nlohmann::ordered_json fleet_probe_result_json(const PortFinding& finding);
bool fleet_probe_result_read(const nlohmann::json& result, PortFinding* finding);
