#include "tool/store_backup.h"

#include <utility>
#include <vector>

#include "platform/platform_files.h"
#include "tool/hold.h"
#include "tool/store_file.h"
#include "tool/store_keys.h"
#include "tool/store_report.h"
#include "tool/store_session.h"

namespace {

// Room for a one-line reason from the platform's file calls.
constexpr std::size_t STORE_FILE_WHY_BYTES = 512;

}  // namespace

void store_backup_check(const std::string& path, bool overwrite)
{
    char why[STORE_FILE_WHY_BYTES] = "";
    FileProblem problem = FILE_PROBLEM_NONE;
    if (!file_target_check(path.c_str(), overwrite ? FILE_REPLACE_EXISTING : FILE_KEEP_EXISTING, &problem, why,
                           sizeof why)) {
        throw ToolFailure{ExitStatus::usage, "checking the backup file " + path, why,
                          problem == FILE_PROBLEM_EXISTS
                              ? "choose a new name, or add --overwrite to replace it (a backup taken before an update "
                                "may be the only copy of the chip's first store); the adapter was not contacted"
                              : "choose a file in a folder you can write to; the adapter was not contacted"};
    }
}

void store_backup_write(const std::string& path, const std::string& text, bool overwrite, const std::string& hint)
{
    char why[STORE_FILE_WHY_BYTES] = "";
    if (!file_write_whole(path.c_str(), text.data(), text.size(),
                          overwrite ? FILE_REPLACE_EXISTING : FILE_KEEP_EXISTING, nullptr, why, sizeof why)) {
        throw ToolFailure{ExitStatus::usage, "writing the backup", why, hint};
    }
}

StoreUpdateBackup::StoreUpdateBackup(std::string path, std::string port, bool overwrite, Report& report)
    : path_(std::move(path)), port_(std::move(port)), overwrite_(overwrite), report_(report)
{
}

int StoreUpdateBackup::run(const UpdateResult& so_far)
{
    try {
        std::uint16_t build_id = 0;
        const int build_id_read = read_build_id(&build_id);
        report_.say("Backing up the chip's store to " + path_ + " before the update:");
        // An interrupt ends the reading at the key under way: a backup cut short is no backup.
        const std::vector<StoreKeyResult> results = store_report_keys(report_, true, [](const StoreKeyReport& each) {
            return store_run_backup(store_keys_default(), each, [] { return hold_interrupted(); });
        });
        store_report_fail_on_keys(results, "backing up the chip's store before the update", "");
        std::vector<StoreLine> lines;
        for (const StoreKeyResult& result : results) {
            lines.push_back(result.line);
        }
        const StoreOrigin origin{store_utc_date(), port_, so_far.identify.version_text, build_id_read ? build_id : -1};
        store_backup_write(path_, store_file_render(origin, lines), overwrite_, "");
        report_.fact("backup", path_);
        report_.say("Backup written to " + path_ + ".");
        return 1;
    } catch (const ToolFailure& failure) {
        failure_ = failure;
        // A key refused stops the update as surely as silence: the chip could not be backed up.
        if (failure.status == ExitStatus::later_step) {
            failure_->status = ExitStatus::chip;
        }
        failure_->hint = "nothing was changed on the chip and the firmware was not touched; " +
                         (failure.hint.empty() ? std::string("power the adapter off and on and try again")
                                               : failure.hint);
        return 0;
    }
}
