#include "tool/download_tool.h"

#include <filesystem>
#include <ostream>

#include "driver/update.h"
#include "tool/reasons.h"

namespace {

constexpr char DOWNLOAD_STEP[] = "starting the download tool";
constexpr char AFTER_FAILED_DOWNLOAD[] =
    "; the chip was set back to its configuration after a failed download: power the adapter off and on before "
    "the next update";
constexpr double BYTES_PER_MEGABYTE = 1e6;

std::string megabytes(std::uint64_t bytes)
{
    return std::to_string(static_cast<unsigned long long>(static_cast<double>(bytes) / BYTES_PER_MEGABYTE + 0.5)) +
           " MB";
}

int tool_folder_here()
{
    std::error_code error;
    return std::filesystem::is_directory(DOWNLOAD_TOOL_FOLDER, error) ? 1 : 0;
}

std::string through_wine_text(const DownloadToolFacts& facts)
{
    std::string text = std::string(facts.choice.path) + " through Wine";
    if (facts.wine_version[0] != '\0') {
        text += std::string(" (") + facts.wine_version + ")";
    }
    return text;
}

std::string choice_text(const DownloadToolFacts& facts, const DownloadToolStatus& status)
{
    switch (facts.choice.kind) {
    case DOWNLOAD_TOOL_NATIVE_FOLDER:
        return std::string(facts.choice.path) + " (native)";
    case DOWNLOAD_TOOL_NATIVE_PATH:
        return std::string(facts.choice.path) + " (native, on the PATH)";
    case DOWNLOAD_TOOL_WINE_FOLDER:
        if (status.code != DOWNLOAD_TOOL_OK) {
            return through_wine_text(facts) + ", which cannot start now: " + status.text;
        }
        return through_wine_text(facts) + ", a " + std::to_string(facts.tool_bits) + "-bit program, in the prefix " +
               facts.prefix + (facts.prefix_ready ? "" : " (made at the first update, about 700 MB)");
    default:
        return std::string("none: the ") + DOWNLOAD_TOOL_FOLDER + " folder holds neither " + DOWNLOAD_TOOL_PROGRAM +
               " nor " + DOWNLOAD_TOOL_PROGRAM + ".exe, and there is no " + DOWNLOAD_TOOL_PROGRAM + " on the PATH";
    }
}

nlohmann::ordered_json choice_json(const DownloadToolFacts& facts, const DownloadToolStatus& status)
{
    static constexpr const char* KINDS[] = {"none", "native", "wine", "native_on_path"};
    nlohmann::ordered_json tool = {{"kind", KINDS[facts.choice.kind]}, {"path", facts.choice.path}};
    if (facts.choice.kind == DOWNLOAD_TOOL_WINE_FOLDER) {
        tool["wine_version"] = facts.wine_version;
        tool["bits"] = facts.tool_bits;
        tool["prefix"] = facts.prefix;
        tool["prefix_ready"] = facts.prefix_ready != 0;
        tool["can_start"] = status.code == DOWNLOAD_TOOL_OK;
        if (status.code != DOWNLOAD_TOOL_OK) {
            tool["reason"] = status.text;
        }
    }
    return tool;
}

// What to try for each reason a Windows tool cannot run through Wine.
std::string wine_hint(const DownloadToolStatus& status)
{
    switch (status.code) {
    case DOWNLOAD_TOOL_NO_WINE:
        return "install Wine (sudo apt install wine), or put a native DFUWizard into the DFUWizard folder";
    case DOWNLOAD_TOOL_NO_WINE32:
        return "install 32-bit Wine: sudo dpkg --add-architecture i386 && sudo apt update && "
               "sudo apt install wine32:i386";
    case DOWNLOAD_TOOL_NO_LAUNCHER:
        return "build marrowlink with the mingw-w64 compiler installed (sudo apt install g++-mingw-w64-x86-64), or "
               "use a native DFUWizard";
    case DOWNLOAD_TOOL_NO_DISPLAY:
        return "run marrowlink update from a desktop session (or over ssh -X), where the tool can open its window";
    case DOWNLOAD_TOOL_NOT_A_PROGRAM:
        return "copy the DFUWizard folder again from the firmware package";
    case DOWNLOAD_TOOL_NO_STATE_FOLDER:
        return "set HOME (or XDG_STATE_HOME) to a folder of yours";
    case DOWNLOAD_TOOL_BUSY:
        return "wait until the other update has ended, then run update again";
    default:
        return std::string("see Wine's log ") + status.log + "; removing the prefix makes marrowlink make it afresh";
    }
}

// Where the prefix's notice goes, and whether its line waits for its end.
struct NoticeLine {
    std::ostream* err;
    bool open;
};

void prefix_notice(void* context, const char* prefix, std::uint64_t estimated_bytes)
{
    NoticeLine* line = static_cast<NoticeLine*>(context);
    *line->err << "Preparing Wine for the Windows download tool: making the Wine prefix " << prefix
               << " (once; about " << megabytes(estimated_bytes) << ") ... " << std::flush;
    line->open = true;
}

}  // namespace

std::string download_tool_line()
{
    if (!tool_folder_here()) {
        return "";
    }
    DownloadToolFacts facts{};
    DownloadToolStatus status{};
    download_tool_describe(DOWNLOAD_TOOL_FOLDER, DOWNLOAD_TOOL_PROGRAM, &facts, &status);
    return "Download tool: " + choice_text(facts, status);
}

std::string download_tool_help_footer()
{
    // CLI11 puts a line end after the callback's text and another after the
    // footer: without the tool's line the help ends as with the footer alone.
    std::string footer = exit_status_help();
    footer.pop_back();
    const std::string line = download_tool_line();
    return line.empty() ? footer : line + "\n\n" + footer;
}

void download_tool_report(Report& report)
{
    if (!tool_folder_here()) {
        return;
    }
    DownloadToolFacts facts{};
    DownloadToolStatus status{};
    download_tool_describe(DOWNLOAD_TOOL_FOLDER, DOWNLOAD_TOOL_PROGRAM, &facts, &status);
    report.say("Download tool: " + choice_text(facts, status));
    report.fact("download_tool", choice_json(facts, status));
}

DownloadToolReady download_tool_prepare_for_update(std::ostream& err)
{
    DownloadToolReady ready;
    download_tool_choose(DOWNLOAD_TOOL_FOLDER, DOWNLOAD_TOOL_PROGRAM, &ready.choice);
    NoticeLine line{&err, false};
    download_tool_prepare(DOWNLOAD_TOOL_FOLDER, DOWNLOAD_TOOL_PROGRAM, prefix_notice, &line, &ready.status);
    if (line.open && ready.status.prefix_created) {
        err << "done in " << reason_seconds(static_cast<std::uint32_t>(ready.status.prefix_ms)) << ", "
            << megabytes(ready.status.prefix_bytes) << "\n"
            << std::flush;
    } else if (line.open) {
        err << "failed\n" << std::flush;
    }
    return ready;
}

int download_tool_at_once(const DownloadToolReady& prepared)
{
    return prepared.choice.kind == DOWNLOAD_TOOL_WINE_FOLDER ? prepared.status.wine_ports : 0;
}

ToolFailure download_tool_start_failure(const DownloadToolReady& prepared)
{
    if (prepared.status.code == DOWNLOAD_TOOL_NO_WINE) {
        return ToolFailure{ExitStatus::download, DOWNLOAD_STEP,
                           std::string(prepared.choice.path) + " is a Windows program, and " + prepared.status.text,
                           wine_hint(prepared.status) + AFTER_FAILED_DOWNLOAD};
    }
    if (prepared.status.code != DOWNLOAD_TOOL_OK) {
        return ToolFailure{ExitStatus::download, DOWNLOAD_STEP, prepared.status.text,
                           wine_hint(prepared.status) + AFTER_FAILED_DOWNLOAD};
    }
    if (prepared.choice.kind == DOWNLOAD_TOOL_WINE_FOLDER) {
        return ToolFailure{ExitStatus::download, DOWNLOAD_STEP,
                           std::string(prepared.choice.path) +
                               " could not be started through Wine, or its exit code could not be read",
                           std::string("see Wine's log ") + prepared.status.log + AFTER_FAILED_DOWNLOAD};
    }
    return ToolFailure{ExitStatus::download, "running the download tool",
                       "DFUWizard could not be started, or its exit code could not be read",
                       "check that the DFUWizard folder holds the download tool; the chip was set back "
                       "to its configuration after a failed download"};
}
