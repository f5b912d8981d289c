// CLI11's application class, declared for the headers that only pass it on.
// The library is header-only and costs some 6 s of compiling in every file
// that includes it, so only the files that add options include <CLI/CLI.hpp>.
#pragma once

namespace CLI {
class App;
}
