// The ports of an update of several adapters at once (marrowlink update
// --port A --port B ..., or --port all): each port once, its short name for
// file names ({port}), and each adapter's own trace and backup file.
#pragma once

#include <string>
#include <vector>

#include "tool/port_choice.h"

// --port all: every port where a Marrowlink answers.
inline constexpr char PORT_ALL[] = "all";
// What stands for a port's short name in --trace and --backup.
inline constexpr char FLEET_PORT_FIELD[] = "{port}";

// Whether the command line asks for several adapters (and so for the fleet's
// table, summary and JSON, however many answer): several --port, or all.
bool fleet_requested(const std::vector<std::string>& port_texts);

// A port's short name: its last path component ("ttyUSB0", "COM5").
std::string fleet_port_leaf(const ToolPort& port);

// Each port once: two names that lead to one device (a path and its
// /dev/serial/by-id link, COM5 and \\.\COM5), or give the same short name,
// are refused. Throws a usage ToolFailure.
void fleet_ports_check_distinct(const std::vector<ToolPort>& ports);

// A file named for each adapter: pattern with FLEET_PORT_FIELD replaced by
// leaf, made whole. option names the option for the refusal (usage
// ToolFailure) of a pattern without the field when there are several ports,
// and of a name Windows takes for a device ("{port}.txt" for COM5).
std::string fleet_file_for(const std::string& option, const std::string& pattern, const std::string& leaf);
void fleet_file_pattern_check(const std::string& option, const std::string& pattern);
