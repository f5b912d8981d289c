// marrowlink trace show FILE [--raw] [--phase P], trace svg FILE OUT.svg: a
// wire trace (--trace) read back.
#pragma once

#include "tool/cli_fwd.h"
#include "tool/command.h"

void cmd_trace_register(CLI::App& app, ToolContext& context);
