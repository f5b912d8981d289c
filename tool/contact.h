// Reaching the adapter as the updater does (tool/cmd_probe.cpp), shared by
// the commands that talk to it (probe, store): the wake-up, Plug-and-Play
// check and setup handshake, then the identify command and the hand-over to
// the chip. Each reports its steps on the Report and throws the ToolFailure
// that explains a failure.
#pragma once

#include "platform/platform_ports.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"

// roots: where a failed open looks for the port's holder and group.
void probe_contact(const ToolPort& port, const PortRoots& roots, Report& report);
// Leaves the command port closed; on success the adapter listens to its chip.
void probe_identify(Report& report);
// After the hand-over: the BCSP link with the chip, open on success.
void probe_link(const ToolPort& port, Report& report);
