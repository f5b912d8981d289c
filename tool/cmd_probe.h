// marrowlink probe [--chip]
#pragma once

#include "tool/cli_fwd.h"
#include "tool/app.h"

void cmd_probe_register(CLI::App& app, ToolContext& context);
