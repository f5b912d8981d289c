// The whole program run in the test's process, its output captured.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tool/app.h"

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

inline ToolRun run_tool(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), "marrowlink");
    std::ostringstream out;
    std::ostringstream err;
    const int status = tool_main(static_cast<int>(arguments.size()), arguments.data(), out, err);
    return {status, out.str(), err.str()};
}
