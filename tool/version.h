// The tool's version, as --version and the JSON output show it.
#pragma once

// "1.1.0"; set in tool/CMakeLists.txt (MARROWLINK_TOOL_VERSION) and nowhere else.
const char* tool_version();
