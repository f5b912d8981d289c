// marrowlink update [--no-wait]
#pragma once

#include "tool/cli_fwd.h"
#include "tool/app.h"

void cmd_update_register(CLI::App& app, ToolContext& context);
