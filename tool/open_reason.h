// Why a port could not be opened, said so that people know what to do next:
// the reason after "error: opening PORT:" and the hint below it. Shared by every
// command that opens a port and by `marrowlink ports`, which shows the same
// states in short.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform_ports.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"

struct OpenReason {
    std::string reason;  // "the port is in use by minicom (pid 4121)"
    std::string hint;    // "close that program, or choose another port (marrowlink ports lists them)"
};

OpenReason open_reason_of(const PortState& state);

// The failure of opening port, which serial_open (or command_port_open_path)
// refused with os_error just now: exit status 3, step "opening NAME". roots
// says where to look for the process that holds a busy port.
ToolFailure open_failure(const ToolPort& port, std::uint32_t os_error, const PortRoots& roots = PortRoots{});

// Before the adapter is woken: throws the failure of opening port (exit
// status 3, "the port is in use by minicom (pid 4121)") when another program
// has it open or holds its UUCP lock (port_holder_find). An open beside such a
// program would succeed when it took no lock, and the wake-up's line pulses
// and bytes would go into its session.
void open_refuse_if_held(const ToolPort& port, const PortRoots& roots);

// The state in a few words, for the ports table: "free", "busy: minicom (pid
// 4121)", "permission denied (group dialout)".
std::string port_state_text(const PortState& state);
// The state's name for scripts: "free", "busy", "denied", "missing", "not_serial",
// "not_checked" (a Bluetooth link port, not opened), "timed_out", "not_opened"
// (Windows, a plain listing), "failed".
std::string port_state_name(PortAccess access);
