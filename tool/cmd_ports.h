// marrowlink ports [--probe]
#pragma once

#include "tool/cli_fwd.h"
#include "tool/command.h"
#include "tool/port_survey.h"

void cmd_ports_register(CLI::App& app, ToolContext& context);

// The findings for people (the table, probing each probeable port as it goes
// when asked) or for scripts (the "ports" fact).
void ports_show(Report& report, std::vector<PortFinding>& findings, bool probe, const PortRoots& roots,
                const std::string& program = "");
