// A whole backup or restore over an open BCSP link: the keys in order, one
// result each, reported as each key is done. A chip that stops answering
// ends the run (every further key would wait out its own time limit); the
// keys not tried are reported as such.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tool/store_chip.h"
#include "tool/store_file.h"
#include "tool/store_keys.h"

struct StoreKeyResult {
    std::uint16_t key = 0;
    std::string label;          // PSKEY_HOST_INTERFACE, or 0x0777
    bool done = false;          // backup: read, or found absent; restore: written and verified, or still absent
    bool chip_silent = false;   // no answer: the run stopped here
    bool tried = false;         // false: not tried (the chip had stopped answering, or the run was stopped)
    std::string text;           // what happened, for a person
    int reads = 0;              // read requests it took (a key's length is found by trying)
    StoreLine line;             // backup: the file's line for the key (when done)
};

using StoreKeyReport = std::function<void(const StoreKeyResult&)>;
// Asked after each key: true stops the run there (an interrupt); the keys
// after it are reported as not tried.
using StoreRunStop = std::function<bool()>;

// Reads every key; a key the chip holds no value for becomes an absent line.
std::vector<StoreKeyResult> store_run_backup(const std::vector<StoreKey>& keys, const StoreKeyReport& report,
                                             const StoreRunStop& stop = nullptr);

// Writes every value line and reads it back; checks that every absent line's
// key is still absent (a key cannot be removed, so one that now holds a value
// is reported, not done).
std::vector<StoreKeyResult> store_run_restore(const std::vector<StoreLine>& lines, const StoreKeyReport& report,
                                              const StoreRunStop& stop = nullptr);

// How many keys were tried (done or not).
int store_run_tried(const std::vector<StoreKeyResult>& results);

// 1 when every result is done.
bool store_run_all_done(const std::vector<StoreKeyResult>& results);
