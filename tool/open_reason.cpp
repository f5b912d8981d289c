#include "tool/open_reason.h"

#include "tool/os_error.h"
#include "tool/wording.h"

namespace {

const char* const PORTS_COMMAND_HINT = "marrowlink ports lists the serial ports of this machine";

std::string holder_text(const PortState& state)
{
    return state.holder_name.empty() ? "process " + std::to_string(state.holder_pid)
                                     : state.holder_name + " (pid " + std::to_string(state.holder_pid) + ")";
}

// A group people may be added to: not root's own, which would make them root.
bool group_can_be_joined(const std::string& group)
{
    return !group.empty() && group != "root";
}

}  // namespace

OpenReason open_reason_of(const PortState& state)
{
    switch (state.access) {
    case PORT_FREE:
        return {"the port opened", ""};
    case PORT_MISSING:
        return {"there is no such port", std::string("is the adapter plugged in? ") + PORTS_COMMAND_HINT};
    case PORT_BUSY:
        if (state.holder_pid != 0) {
            return {"the port is in use by " + holder_text(state),
                    "close that program, or choose another port (marrowlink ports lists them)"};
        }
        return {"the port is in use by another program",
                "close the program that has it open (a terminal, another updater), or choose another port "
                "(marrowlink ports lists them)"};
    case PORT_DENIED:
        if (group_can_be_joined(state.group)) {
            return {"permission denied (the port belongs to the group " + state.group + ")",
                    "add yourself to that group with: sudo usermod -aG " + state.group +
                        " \"$USER\", then log out and in again"};
        }
        return {"permission denied", "this user may not open the port: run marrowlink as root, or ask the "
                                     "administrator for access to it"};
    case PORT_NOT_SERIAL:
        return {"this is not a serial port", std::string("name the adapter's serial port; ") + PORTS_COMMAND_HINT};
    case PORT_NOT_CHECKED:
        return {"not opened: opening a Bluetooth link port makes a Bluetooth connection to its remote device",
                std::string("a Marrowlink adapter is wired (USB or RS-232), never behind a Bluetooth link port; ") +
                    PORTS_COMMAND_HINT};
    case PORT_TIMED_OUT:
        return {"the system did not finish opening the port within " + reason_seconds(PORT_CHECK_OPEN_TIMEOUT_MS),
                "a port whose open hangs waits for a connection or for a device that stopped answering; if this "
                "is the adapter's port, unplug the adapter and plug it in again"};
    case PORT_NOT_OPENED:
        return {"not opened: on Windows only an open tells whether a port is free, and an open pulses DTR and RTS",
                "marrowlink ports --probe opens each port and says whether a Marrowlink answers"};
    case PORT_FAILED:
        break;
    }
    return {"the system refused to open it: " + os_error_text(state.os_error),
            "marrowlink ports shows every serial port and whether it can be opened"};
}

ToolFailure open_failure(const ToolPort& port, std::uint32_t os_error, const PortRoots& roots)
{
    PortState state;
    port_open_diagnose(roots, port.device_path.c_str(), os_error, &state);
    const OpenReason why = open_reason_of(state);
    return ToolFailure{ExitStatus::port, "opening " + port.name, why.reason, why.hint};
}

void open_refuse_if_held(const ToolPort& port, const PortRoots& roots)
{
    PortState state;
    if (port_holder_find(roots, port.device_path.c_str(), &state)) {
        const OpenReason why = open_reason_of(state);
        throw ToolFailure{ExitStatus::port, "opening " + port.name, why.reason, why.hint};
    }
}

std::string port_state_text(const PortState& state)
{
    switch (state.access) {
    case PORT_FREE:
        return "free";
    case PORT_BUSY:
        return state.holder_pid != 0 ? "busy: " + holder_text(state) : "busy";
    case PORT_DENIED:
        return group_can_be_joined(state.group) ? "permission denied (group " + state.group + ")"
                                                : "permission denied";
    case PORT_MISSING:
        return "no device node";
    case PORT_NOT_SERIAL:
        return "not a serial port";
    case PORT_NOT_CHECKED:
        return "not checked: Bluetooth link";
    case PORT_TIMED_OUT:
        return "did not open within " + reason_seconds(PORT_CHECK_OPEN_TIMEOUT_MS);
    case PORT_NOT_OPENED:
        return "not opened";
    case PORT_FAILED:
        break;
    }
    return "cannot open: " + os_error_text(state.os_error);
}

std::string port_state_name(PortAccess access)
{
    switch (access) {
    case PORT_FREE: return "free";
    case PORT_BUSY: return "busy";
    case PORT_DENIED: return "denied";
    case PORT_MISSING: return "missing";
    case PORT_NOT_SERIAL: return "not_serial";
    case PORT_NOT_CHECKED: return "not_checked";
    case PORT_TIMED_OUT: return "timed_out";
    case PORT_NOT_OPENED: return "not_opened";
    case PORT_FAILED: break;
    }
    return "failed";
}
