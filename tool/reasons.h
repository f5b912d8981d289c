// Why a step failed, in words: turns what the updater's layers noted about a
// failed step (cmdport's, identify's, the BCSP open's and BCCMD's records)
// into the step, the reason and the hint people read.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform_ports.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"

// After command_port_open_path returned 0. roots: where to look for the
// process that holds a busy port (tests' fake trees).
ToolFailure reason_contact(const ToolPort& port, const PortRoots& roots);
// After identify_firmware returned 0.
ToolFailure reason_identify();
// After a chip step failed: the BCSP open's or BCCMD's first noted failure,
// whichever came first. step names what was being done.
ToolFailure reason_chip(const ToolPort& port, const std::string& step);

// The Plug-and-Play identifier in the last contact's reply ("QXZ4702").
std::string reason_pnp_identifier();
// Bytes from the line as text people can read: printable characters as they
// are, others as \xNN.
std::string reason_shown_bytes(const std::uint8_t* bytes, int count);
// A time for people: "2.8 s".
std::string reason_seconds(std::uint32_t milliseconds);
// A BCCMD status and varid by name ("ERROR (0x0008)", "BUILD_ID (0x2819)").
std::string reason_bccmd_status(std::uint16_t status);
std::string reason_varid(std::uint16_t varid);
