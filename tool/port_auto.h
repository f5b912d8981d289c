// --port auto: the one port of the machine where a Marrowlink answers.
#pragma once

#include <string>

#include "platform/platform_ports.h"
#include "tool/cli_fwd.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"
#include "tool/port_survey.h"

inline constexpr char PORT_AUTO[] = "auto";

// Where the port listing looks: hidden options --sys-root, --dev-root,
// --proc-root and --lock-root (UUCP lock folders, repeatable; given, it
// replaces /var/lock and /run/lock), so that tests can point it at a fake tree.
void port_roots_add_options(CLI::App* command, PortRoots* roots);
// The same roots as those options, for a child of this program, each made
// whole: a child may run in another folder.
std::vector<std::string> port_roots_arguments(const PortRoots& roots);

// Probes every serial port this user can open (as `marrowlink ports --probe`
// does: no Bluetooth link port, no port whose check timed out) and returns
// the one where a Marrowlink answered. Throws ToolFailure: no serial port, or
// none could be opened (status 3); none answered (4); several answered (2:
// the user must name one with --port).
ToolPort port_auto_find(Report& report, const PortRoots& roots, const std::string& program = "");

// The same on findings already made: probes each probeable one (free, and no
// Bluetooth link port) and chooses.
ToolPort port_auto_choose(Report& report, std::vector<PortFinding> findings, const PortRoots& roots,
                          const std::string& program = "");

// --port as given: "auto" found by probing, anything else parsed. Either way
// before any port is opened for the command: a named port that another
// program holds is refused (open_refuse_if_held), and --port auto leaves such
// ports alone.
// program: this program's file, for probing every port at once (empty: in turn).
ToolPort port_resolve(const std::string& text, Report& report, const PortRoots& roots,
                      const std::string& program = "");
