// Reaching the adapter as the updater does, with the updater's own code
// (update_contact, update_identify: the wake-up, Plug-and-Play check and setup
// handshake, then the identify command and the hand-over to the chip), for the
// commands that talk to it (probe, store). Each reports its steps on the
// Report in the tool's words and throws the ToolFailure that explains a
// failure; the updater's own lines are not shown.
#pragma once

#include <cstdint>
#include <string>

#include "bcsp/bcsp_port.h"
#include "platform/platform_ports.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"

// roots: where a failed open looks for the port's holder and group.
void contact_wake(const ToolPort& port, const PortRoots& roots, Report& report);
// Leaves the command port closed; on success the adapter listens to its chip.
// Returns the firmware's version text.
std::string contact_identify(Report& report);
// After the hand-over: the BCSP link with the chip, open on success.
void contact_link(const ToolPort& port, Report& report, std::uint32_t link_timeout_ms = BCSP_LINK_TIMEOUT_MS);
