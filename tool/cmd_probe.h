// marrowlink probe [--chip]
#pragma once

#include "tool/cli_fwd.h"
#include "tool/command.h"

void cmd_probe_register(CLI::App& app, ToolContext& context);
