#include "tool/store_restore_check.h"

#include <vector>

#include "tool/store_arguments.h"
#include "tool/store_chip.h"
#include "tool/store_keys.h"
#include "tool/store_session.h"

namespace {

constexpr const char* NOTHING_WRITTEN_HANDED_OVER =
    "nothing was written; the adapter listens to its chip now: power it off and on before the next command";

std::string origin_text(const std::string& firmware, int build_id)
{
    return "firmware \"" + firmware + "\", " + (build_id >= 0 ? "build id " + std::to_string(build_id)
                                                               : std::string("build id not read"));
}

}  // namespace

void store_restore_check_file(Report& report, const std::string& file, const StoreFileContents& contents)
{
    if (!contents.problems.empty()) {
        nlohmann::ordered_json problems = nlohmann::ordered_json::array();
        for (const StoreProblem& problem : contents.problems) {
            report.say(file + ":" + std::to_string(problem.line) + ": " + problem.reason);
            problems.push_back({{"line", problem.line}, {"reason", problem.reason}});
        }
        report.fact("problems", problems);
        const StoreProblem& first = contents.problems.front();
        throw ToolFailure{ExitStatus::usage, "checking " + file,
                          "line " + std::to_string(first.line) + ": " + first.reason +
                              (contents.problems.size() > 1
                                   ? " (and " + std::to_string(contents.problems.size() - 1) + " more lines)"
                                   : ""),
                          "mend the lines named; nothing was written to the chip"};
    }
    if (contents.lines.empty()) {
        throw ToolFailure{ExitStatus::usage, "checking " + file, "the file holds no keys",
                          "marrowlink store backup FILE writes a file to restore"};
    }
}

void store_restore_check_chip(Report& report, const std::string& file, const StoreFileContents& contents,
                              const StoreSession& session, bool force)
{
    // The header keeps the firmware's text escaped: compare it so.
    if (contents.origin && (contents.origin->firmware != store_text_escape(session.firmware()) ||
                            contents.origin->build_id != session.build_id())) {
        report.warn(file + " was taken from " + origin_text(contents.origin->firmware, contents.origin->build_id) +
                    "; this chip has " + origin_text(session.firmware(), session.build_id()));
    }
    std::vector<StoreKey> unforced;
    for (const StoreLine& line : contents.lines) {
        const StoreKey key = store_key_for(line.key);
        if (line.absent || key.force_reason == nullptr || force) {
            continue;
        }
        const StoreRead now = store_chip_read(key);
        if (now.outcome == StoreReadOutcome::no_answer) {
            throw ToolFailure{ExitStatus::chip, "checking " + file + " against the chip",
                              store_key_label(key) + ": " + store_read_text(now), STORE_CHIP_SILENT_HINT};
        }
        if (now.outcome != StoreReadOutcome::value || now.words != line.words) {
            unforced.push_back(key);
        }
    }
    if (!unforced.empty()) {
        const std::string more = unforced.size() > 1 ? " (and " + std::to_string(unforced.size() - 1) +
                                                           " more keys of the same kind in " + file + ")"
                                                     : "";
        try {
            store_refuse_unforced(unforced.front(), more);
        } catch (ToolFailure& failure) {
            failure.hint = "check the file's value, then add --force to restore it; " +
                           std::string(NOTHING_WRITTEN_HANDED_OVER);
            throw;
        }
    }
}
