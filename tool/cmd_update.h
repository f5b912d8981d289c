// marrowlink update [--no-wait]
#pragma once

#include <CLI/CLI.hpp>

#include "tool/app.h"

void cmd_update_register(CLI::App& app, ToolContext& context);
