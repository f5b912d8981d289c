// The download tool as the field tool shows it: which one an update would
// start from the DFUWizard folder here (native, or a Windows one through
// Wine, with Wine's version), Wine made ready before an update contacts the
// adapter, and the reasons and hints for a tool that could not be started.
#pragma once

#include <iosfwd>
#include <string>

#include "platform/download_tool.h"
#include "tool/outcome.h"

// One line for people: "Download tool: DFUWizard/DFUWizard.exe through Wine
// (wine-8.0 ...)"; "" without a DFUWizard folder here.
std::string download_tool_line();

// update --help's footer: that line, when there is one, above the exit
// statuses. Set as the command's footer callback, with an empty footer text.
std::string download_tool_help_footer();

// marrowlink ports: the line and the fact "download_tool", when the current
// folder holds a DFUWizard folder (the folder an update runs from).
void download_tool_report(Report& report);

// What an update found before it contacted the adapter.
struct DownloadToolReady {
    DownloadToolChoice choice{};
    DownloadToolStatus status{};  // DOWNLOAD_TOOL_OK: nothing stands in the tool's way
};

// Before an update contacts the adapter: Wine made ready for a Windows tool,
// saying on err when its prefix is made (once: it takes seconds and several
// hundred megabytes).
DownloadToolReady download_tool_prepare_for_update(std::ostream& err);

// How many updates may run the tool at once: a Windows tool through Wine as
// many as the prefix has COM ports; 0 when there is no such bound.
int download_tool_at_once(const DownloadToolReady& prepared);

// Why the tool did not start (the update's download exit code was -1), from
// what download_tool_prepare_for_update found.
ToolFailure download_tool_start_failure(const DownloadToolReady& prepared);
