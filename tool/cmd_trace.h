// marrowlink trace show FILE [--raw] [--phase P]: a wire trace (--trace) as a
// readable timeline. marrowlink trace svg FILE OUT.svg: as a picture.
#pragma once

#include <CLI/CLI.hpp>

#include "tool/app.h"

void cmd_trace_register(CLI::App& app, ToolContext& context);
