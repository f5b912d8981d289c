// marrowlink probe [--chip]
#pragma once

#include <CLI/CLI.hpp>

#include "tool/app.h"

void cmd_probe_register(CLI::App& app, ToolContext& context);
