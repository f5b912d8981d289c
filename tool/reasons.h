// Why a step failed, in words: turns what the updater's layers returned about
// a failed step (the command port's report, the identification's, the BCSP
// open's result, a BCCMD transaction's result) into the step, the reason and
// the hint people read.
#pragma once

#include <string>

#include "bccmd/bccmd.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "platform/platform_ports.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"
#include "tool/wording.h"

// After command_port_open_path returned 0 with seen filled. roots: where to
// look for the process that holds a busy port (tests' fake trees).
ToolFailure reason_contact(const ToolPort& port, const PortRoots& roots, const CommandPortReport& seen);
// After identify_firmware returned 0 with seen filled.
ToolFailure reason_identify(const IdentifyReport& seen);
// After bcsp_port_open_path failed with link. step names what was being done.
ToolFailure reason_chip_link(const ToolPort& port, const std::string& step, const BcspOpenResult& link);
// After a chip command failed with command.
ToolFailure reason_chip_command(const std::string& step, const BccmdResult& command);

// The Plug-and-Play identifier in a contact's reply ("QXZ4702").
std::string reason_pnp_identifier(const CommandPortReport& seen);
