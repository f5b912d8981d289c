// marrowlink store get|set|backup|restore, and the store backup that
// marrowlink update --backup takes before the update changes anything.
#pragma once

#include <string>

#include "tool/cli_fwd.h"
#include "tool/app.h"
#include "tool/outcome.h"

void cmd_store_register(CLI::App& app, ToolContext& context);

// Arms the pre-update profile's hook (configure_before_update_hook): once the
// update's BCSP link is open, before its first write, every key the update
// writes is backed up into path (give it whole: the update runs in the
// DFUWizard folder); a backup that cannot be taken or written stops the
// update with nothing changed (UPDATE_END_STOPPED). port and the identified
// firmware go into the file's header.
void store_update_backup_arm(const std::string& path, const std::string& port, Report* report);
// Disarms the hook. After UPDATE_END_STOPPED: why the backup failed.
ToolFailure store_update_backup_disarm();
