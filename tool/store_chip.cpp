#include "tool/store_chip.h"

#include <algorithm>
#include <cstdio>

#include "bccmd/bccmd.h"
#include "bccmd/chip_commands.h"

namespace {

// The status of the last failed transaction (bccmd_failure is cleared
// before each), or what stands for it.
int last_answer()
{
    switch (bccmd_failure.kind) {
    case BCCMD_FAILURE_STATUS:
        return bccmd_failure.status;
    case BCCMD_FAILURE_ANSWER:
        return STORE_ANSWER_UNFIT;
    default:
        return STORE_ANSWER_NONE;
    }
}

bool refused_for_length(int answer)
{
    return answer == STORE_STATUS_TOO_BIG || answer == STORE_STATUS_BAD_REQUEST;
}

// The key's likely counts, then every other one from 1 to 56.
std::vector<int> counts_to_try(const StoreKey& key)
{
    std::vector<int> counts = key.word_counts;
    for (int count = STORE_KEY_MIN_WORDS; count <= STORE_KEY_MAX_WORDS; ++count) {
        if (std::find(counts.begin(), counts.end(), count) == counts.end()) {
            counts.push_back(count);
        }
    }
    if (counts.size() > static_cast<std::size_t>(STORE_LENGTH_SEARCH_MAX_READS)) {
        counts.resize(STORE_LENGTH_SEARCH_MAX_READS);
    }
    return counts;
}

std::string status_text(int answer)
{
    if (answer == STORE_ANSWER_UNFIT) {
        return "an answer that does not fit the request";
    }
    if (answer < 0) {
        return "no answer from the chip";
    }
    char text[48];
    std::snprintf(text, sizeof text, "refused by the chip (status 0x%04x)", static_cast<unsigned>(answer));
    return text;
}

}  // namespace

StoreRead store_chip_read(const StoreKey& key)
{
    StoreRead read;
    for (const int count : counts_to_try(key)) {
        std::vector<std::uint16_t> words(static_cast<std::size_t>(count));
        ++read.reads;
        bccmd_failure_clear();
        if (ps_read(key.number, count, words.data())) {
            read.outcome = StoreReadOutcome::value;
            read.words = std::move(words);
            return read;
        }
        read.answer = last_answer();
        if (read.answer == STORE_STATUS_NO_VALUE) {
            read.outcome = StoreReadOutcome::absent;
            return read;
        }
        if (read.answer < 0) {
            read.outcome = StoreReadOutcome::no_answer;
            return read;
        }
        if (!refused_for_length(read.answer)) {
            break;
        }
    }
    read.outcome = StoreReadOutcome::refused;
    return read;
}

StoreWrite store_chip_write(std::uint16_t key, const std::vector<std::uint16_t>& words)
{
    StoreWrite write;
    const int count = static_cast<int>(words.size());
    bccmd_failure_clear();
    if (!ps_write(key, count, words.data())) {
        write.answer = last_answer();
        write.outcome = write.answer < 0 ? StoreWriteOutcome::no_answer : StoreWriteOutcome::refused;
        return write;
    }
    std::vector<std::uint16_t> back(words.size());
    bccmd_failure_clear();
    if (!ps_read(key, count, back.data())) {
        write.answer = last_answer();
        write.outcome = StoreWriteOutcome::unreadable;
        return write;
    }
    if (back != words) {
        write.outcome = StoreWriteOutcome::differs;
        write.read_back = std::move(back);
        return write;
    }
    write.outcome = StoreWriteOutcome::verified;
    return write;
}

std::string store_read_text(const StoreRead& read)
{
    switch (read.outcome) {
    case StoreReadOutcome::value:
        return "read";
    case StoreReadOutcome::absent:
        return "absent (the chip holds no value for it)";
    case StoreReadOutcome::refused:
        if (refused_for_length(read.answer)) {
            return "refused by the chip: it took no word count from 1 to 56";
        }
        return status_text(read.answer);
    case StoreReadOutcome::no_answer:
        break;
    }
    return status_text(read.answer);
}

std::string store_write_text(const StoreWrite& write)
{
    switch (write.outcome) {
    case StoreWriteOutcome::verified:
        return "written and verified";
    case StoreWriteOutcome::refused:
        return "not written: " + status_text(write.answer);
    case StoreWriteOutcome::no_answer:
        return "not confirmed: " + status_text(write.answer) + " to the write";
    case StoreWriteOutcome::differs:
        return "written, but the chip gives back another value";
    case StoreWriteOutcome::unreadable:
        break;
    }
    return "written, but reading it back failed: " + status_text(write.answer);
}
