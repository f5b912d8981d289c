// The store backup file on disk: checked before the adapter is contacted,
// written whole and never over another file unless asked, and the backup
// marrowlink update --backup takes on the update's own link before its first
// write.
#pragma once

#include <optional>
#include <string>

#include "driver/update.h"
#include "tool/outcome.h"

// Before the adapter is contacted: path must not exist (unless overwrite) and
// its folder must take a new file. Throws a usage ToolFailure saying which.
void store_backup_check(const std::string& path, bool overwrite);

// Writes text to path whole, never replacing a file that appeared meanwhile
// (unless overwrite; then the old file's permissions are kept). Throws a
// ToolFailure naming what failed; hint says what became of the chip.
void store_backup_write(const std::string& path, const std::string& text, bool overwrite, const std::string& hint);

// marrowlink update --backup FILE: every key the update writes, read on the
// pre-update link (UpdateSteps::before_writes) and written to the file; the
// update goes on only when the file is written.
class StoreUpdateBackup {
public:
    StoreUpdateBackup(std::string path, std::string port, bool overwrite, Report& report);
    // The step: 1 when the backup is written, 0 (with failure()) when not.
    int run(const UpdateResult& so_far);
    const std::optional<ToolFailure>& failure() const { return failure_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string port_;
    bool overwrite_;
    Report& report_;
    std::optional<ToolFailure> failure_;
};
