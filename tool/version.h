// The tool's version, as --version and the JSON output show it.
#pragma once

// "1.1.0", or "1.1.0+g1a2b3c4" between releases: the build's version
// (cmake/version.cmake, from VERSION and git describe).
const char* tool_version();
