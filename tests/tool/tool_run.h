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

// The machine's own processes and lock files are not looked at: a port that
// something on the test machine holds (a getty on ttyS0) must not decide a test.
inline constexpr const char* TOOL_RUN_NO_ROOTS[] = {"--proc-root", "/nonexistent/proc", "--lock-root",
                                                   "/nonexistent/lock"};

inline ToolRun run_tool(std::vector<const char*> arguments)
{
    arguments.insert(arguments.begin(), std::begin(TOOL_RUN_NO_ROOTS), std::end(TOOL_RUN_NO_ROOTS));
    arguments.insert(arguments.begin(), "marrowlink");
    std::ostringstream out;
    std::ostringstream err;
    const int status = tool_main(static_cast<int>(arguments.size()), arguments.data(), out, err);
    return {status, out.str(), err.str()};
}
