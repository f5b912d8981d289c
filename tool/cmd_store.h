// marrowlink store get|set|backup|restore.
#pragma once

#include "tool/cli_fwd.h"
#include "tool/command.h"

void cmd_store_register(CLI::App& app, ToolContext& context);
