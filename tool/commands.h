// The commands of marrowlink, one file each; app.cpp registers them.
#pragma once

#include <CLI/CLI.hpp>

#include "tool/app.h"

void cmd_probe_register(CLI::App& app, ToolContext& context);
void cmd_update_register(CLI::App& app, ToolContext& context);
void cmd_store_register(CLI::App& app, ToolContext& context);
