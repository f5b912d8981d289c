// How the store commands report their keys: a line for people as each key is
// done, one object per key for --json, and the failure a run ends with when
// not every key succeeded.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tool/outcome.h"
#include "tool/store_run.h"

// Runs run (a backup or restore of keys), saying each key's line as it is
// done (the file's own line when reading) and adding the "keys" fact.
std::vector<StoreKeyResult> store_report_keys(Report& report, bool reading,
                                              const std::function<std::vector<StoreKeyResult>(const StoreKeyReport&)>& run);

// Ends a run whose keys did not all succeed: the chip's silence first (exit
// 6: it explains the rest), else the first key that failed (exit 8).
void store_report_fail_on_keys(const std::vector<StoreKeyResult>& results, const std::string& step,
                               const std::string& hint);

inline constexpr const char* STORE_CHIP_SILENT_HINT =
    "is the adapter still powered and connected? Power-cycle it and run the command again";
