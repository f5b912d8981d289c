// What `marrowlink ports` and `--port auto` find on the machine: every serial
// port, whether this user can open it now, and, when asked, whether a
// Marrowlink answers on it.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform_ports.h"

struct PortProbe {
    bool tried = false;
    bool answered = false;    // something sent a Plug-and-Play reply
    bool marrowlink = false;  // ... that the command port accepted as a Marrowlink's
    std::string pnp_id;       // the identifier as it came (others than printable characters as \xNN)
    std::string text;         // for people: "Marrowlink QXZ4702", "no answer"
};

struct PortFinding {
    PortInfo info;
    PortState state;
    PortProbe probe;
};

// Every serial port and its state (mode: whether a port may be opened to
// learn it, which only Windows needs). Throws ToolFailure (usage: the roots
// are options) when the system's port list cannot be read.
std::vector<PortFinding> port_survey(const PortRoots& roots, PortCheckMode mode);

// Whether a probe may open the port: it is free, and it is no Bluetooth link
// port (opening one connects to its remote device, and an adapter is wired).
bool port_survey_probeable(const PortFinding& finding);
// What the probe column says of a port it left alone: "not probed", or why
// not when the state does not tell ("not probed: a Bluetooth link port, not a
// wired adapter").
std::string port_survey_skip_text(const PortFinding& finding);

// Wakes the adapter on a free port with the command port's own open (wake-up,
// Plug-and-Play check, setup handshake) and closes it again. A port that
// turns out not to open gets its state from the failure.
void port_survey_probe(PortFinding* finding, const PortRoots& roots);

// What the port is, for people: "FTDI FT232R USB UART (0403:6001, A10K2F3Q)".
std::string port_device_text(const PortInfo& info);

// The finding for scripts: the port's facts, "state", and "adapter" once probed.
nlohmann::ordered_json port_finding_json(const PortFinding& finding);
