// marrowlink update [--no-wait]
#pragma once

#include "tool/cli_fwd.h"
#include "tool/command.h"

void cmd_update_register(CLI::App& app, ToolContext& context);
