// marrowlink ports [--probe]
#pragma once

#include "tool/cli_fwd.h"
#include "tool/app.h"

void cmd_ports_register(CLI::App& app, ToolContext& context);
