// The commands of marrowlink, one file each; app.cpp registers them.
#pragma once

#include <CLI/CLI.hpp>

#include "tool/app.h"

void cmd_probe_register(CLI::App& app, ToolContext& context);
void cmd_update_register(CLI::App& app, ToolContext& context);
// trace show FILE [--raw] [--phase P], trace svg FILE OUT.svg: a wire trace (--trace) read.
void cmd_trace_register(CLI::App& app, ToolContext& context);
