#include "tool/store_chip.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "bccmd/bccmd.h"
#include "bccmd/chip_commands.h"

namespace {

// The status a failed transaction answered with, or what stands for it.
int answer_of(const BccmdResult& result)
{
    switch (result.kind) {
    case BCCMD_FAILURE_STATUS:
        return result.status;
    case BCCMD_FAILURE_ANSWER:
        return STORE_ANSWER_UNFIT;
    default:
        return STORE_ANSWER_NONE;
    }
}

// A read the chip cannot fool: the request's n value words carry fill (never
// the value a caller expects back), and the answer must name the key and the
// count asked for. A chip or line that hands a request back as its answer
// then gives the fill or another key, never a value that passes for the key's.
int store_chip_ps_read(std::uint16_t key, int n, const std::uint16_t* fill, std::uint16_t* out, BccmdResult* result)
{
    std::array<std::uint16_t, PS_KEY_REQUEST_HEADER_WORDS + PS_KEY_MAX_VALUE_WORDS> request{};
    std::array<std::uint16_t, PS_KEY_REQUEST_HEADER_WORDS + PS_KEY_MAX_VALUE_WORDS> answer{};
    if (n < PS_KEY_MIN_VALUE_WORDS || n > PS_KEY_MAX_VALUE_WORDS) {
        *result = {BCCMD_FAILURE_REFUSED, VARID_PS, 0, 0};
        return 0;
    }
    request[0] = key;
    request[1] = static_cast<std::uint16_t>(n);
    std::copy_n(fill, n, request.begin() + PS_KEY_REQUEST_HEADER_WORDS);
    if (!bccmd_request(VARID_PS, 0, request.data(), result) ||
        !bccmd_get_response(VARID_PS, PS_KEY_REQUEST_HEADER_WORDS + n, answer.data(), result)) {
        return 0;
    }
    if (answer[0] != key || answer[1] != n) {
        *result = {BCCMD_FAILURE_ANSWER, VARID_PS, 0, 0};
        return 0;
    }
    std::copy_n(answer.begin() + PS_KEY_REQUEST_HEADER_WORDS, n, out);
    return 1;
}

// A read of a value not known beforehand: a value that equals the fill is
// read again with the opposite fill, and one that follows the fill is an
// echo, not the chip's value.
int store_chip_ps_read_unknown(std::uint16_t key, int n, std::uint16_t* out, BccmdResult* result)
{
    std::array<std::uint16_t, PS_KEY_MAX_VALUE_WORDS> fill;
    fill.fill(STORE_READ_FILL);
    if (!store_chip_ps_read(key, n, fill.data(), out, result)) {
        return 0;
    }
    if (!std::equal(out, out + n, fill.begin())) {
        return 1;
    }
    fill.fill(static_cast<std::uint16_t>(~STORE_READ_FILL));
    if (!store_chip_ps_read(key, n, fill.data(), out, result)) {
        return 0;
    }
    if (std::equal(out, out + n, fill.begin())) {
        *result = {BCCMD_FAILURE_ANSWER, VARID_PS, 0, 0};
        return 0;
    }
    return 1;
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
        BccmdResult result{};
        if (store_chip_ps_read_unknown(key.number, count, words.data(), &result)) {
            read.outcome = StoreReadOutcome::value;
            read.words = std::move(words);
            return read;
        }
        read.answer = answer_of(result);
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
    BccmdResult result{};
    if (!ps_write(key, count, words.data(), &result)) {
        write.answer = answer_of(result);
        write.outcome = write.answer < 0 ? StoreWriteOutcome::no_answer : StoreWriteOutcome::refused;
        return write;
    }
    // The read-back's request carries the complement of what was written.
    std::vector<std::uint16_t> fill(words.size());
    std::transform(words.begin(), words.end(), fill.begin(), [](std::uint16_t w) { return static_cast<std::uint16_t>(~w); });
    std::vector<std::uint16_t> back(words.size());
    if (!store_chip_ps_read(key, count, fill.data(), back.data(), &result)) {
        write.answer = answer_of(result);
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
        return "not verified: the chip took the write but gives back another value";
    case StoreWriteOutcome::unreadable:
        break;
    }
    return "written, but reading it back failed: " + status_text(write.answer);
}
