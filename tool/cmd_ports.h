// marrowlink ports [--probe]
#pragma once

#include <CLI/CLI.hpp>

#include "tool/app.h"

void cmd_ports_register(CLI::App& app, ToolContext& context);
