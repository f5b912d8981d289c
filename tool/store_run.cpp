#include "tool/store_run.h"

#include <algorithm>

namespace {

constexpr const char* NOT_TRIED = "not tried: the chip had stopped answering";
constexpr const char* NOT_TRIED_STOPPED = "not tried: the run was interrupted; as it was";

StoreKeyResult result_for(const StoreKey& key)
{
    StoreKeyResult result;
    result.key = key.number;
    result.label = store_key_label(key);
    return result;
}

StoreKeyResult backup_key(const StoreKey& key)
{
    StoreKeyResult result = result_for(key);
    const StoreRead read = store_chip_read(key);
    result.reads = read.reads;
    result.text = store_read_text(read);
    result.chip_silent = read.outcome == StoreReadOutcome::no_answer;
    result.done = read.outcome == StoreReadOutcome::value || read.outcome == StoreReadOutcome::absent;
    result.line.key = key.number;
    result.line.absent = read.outcome == StoreReadOutcome::absent;
    result.line.words = read.words;
    // A restore checks an absent key by reading it, and a key the table does
    // not know needs its count for that: keep the one it was asked with.
    const StoreKey known = store_key_for(key.number);
    if (result.line.absent && known.word_counts.empty()) {
        result.line.declared_words = key.word_counts.front();
    }
    // A key the update writes that this chip holds at another length than
    // the update's: the line says so, and a restore accepts it.
    const int count = static_cast<int>(read.words.size());
    if (!result.line.absent && result.done && !known.length_varies && !known.word_counts.empty() &&
        std::find(known.word_counts.begin(), known.word_counts.end(), count) == known.word_counts.end()) {
        result.line.declared_words = count;
    }
    return result;
}

StoreKeyResult restore_line(const StoreLine& line)
{
    StoreKey key = store_key_for(line.key);
    StoreKeyResult result = result_for(key);
    if (!line.absent) {
        const StoreWrite write = store_chip_write(line.key, line.words);
        result.done = write.outcome == StoreWriteOutcome::verified;
        result.chip_silent = write.outcome == StoreWriteOutcome::no_answer ||
                             (write.outcome == StoreWriteOutcome::unreadable && write.answer < 0);
        result.text = store_write_text(write);
        return result;
    }
    if (line.declared_words != 0) {
        key.word_counts = {line.declared_words};
    }
    const StoreRead read = store_chip_read(key);
    result.reads = read.reads;
    result.chip_silent = read.outcome == StoreReadOutcome::no_answer;
    result.done = read.outcome == StoreReadOutcome::absent;
    if (read.outcome == StoreReadOutcome::value) {
        result.text = "holds a value the backup does not have; left as it is (a key cannot be removed)";
    } else {
        result.text = read.outcome == StoreReadOutcome::absent ? "absent, as in the backup" : store_read_text(read);
    }
    return result;
}

template <typename Item, typename Run, typename Key>
std::vector<StoreKeyResult> store_run_each(const std::vector<Item>& items, const StoreKeyReport& report,
                                           const StoreRunStop& stop, Run run, Key key_of)
{
    std::vector<StoreKeyResult> results;
    bool silent = false;
    bool stopped = false;
    for (const Item& item : items) {
        StoreKeyResult result;
        if (silent || stopped) {
            result = result_for(store_key_for(key_of(item)));
            result.text = silent ? NOT_TRIED : NOT_TRIED_STOPPED;
        } else {
            result = run(item);
            result.tried = true;
            silent = result.chip_silent;
            stopped = stop && stop();
        }
        if (report) {
            report(result);
        }
        results.push_back(std::move(result));
    }
    return results;
}

}  // namespace

std::vector<StoreKeyResult> store_run_backup(const std::vector<StoreKey>& keys, const StoreKeyReport& report,
                                             const StoreRunStop& stop)
{
    return store_run_each(keys, report, stop, backup_key, [](const StoreKey& key) { return key.number; });
}

std::vector<StoreKeyResult> store_run_restore(const std::vector<StoreLine>& lines, const StoreKeyReport& report,
                                              const StoreRunStop& stop)
{
    return store_run_each(lines, report, stop, restore_line, [](const StoreLine& line) { return line.key; });
}

int store_run_tried(const std::vector<StoreKeyResult>& results)
{
    return static_cast<int>(std::count_if(results.begin(), results.end(), [](const StoreKeyResult& r) { return r.tried; }));
}

bool store_run_all_done(const std::vector<StoreKeyResult>& results)
{
    return std::all_of(results.begin(), results.end(), [](const StoreKeyResult& r) { return r.done; });
}
