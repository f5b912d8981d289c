// Reading and writing persistent-store keys on the chip over an open BCSP
// link (bcsp_port_open), through the chip commands ps_read and ps_write.
//
// The chip answers a read only when its word count is the key's own length,
// and says why it refuses one in the response's status. So a read tries the
// key's likely counts first and then every other count from 1 to 56 until the
// chip hands over the value, says it holds no value for the key (absent),
// refuses it for a reason other than its length (refused), or stops
// answering. A backup therefore never cuts a renamed adapter's name short.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/store_keys.h"

// Statuses of a refused persistent-store read that the store commands act on.
inline constexpr std::uint16_t STORE_STATUS_NO_VALUE = 0x0003;     // the chip holds no value for the key
inline constexpr std::uint16_t STORE_STATUS_TOO_BIG = 0x0002;      // the value is longer than the count asked
inline constexpr std::uint16_t STORE_STATUS_BAD_REQUEST = 0x0004;  // ... or shorter: the count is not the key's
// What stands for the status when no response of the chip carried one.
inline constexpr int STORE_ANSWER_NONE = -1;   // not sent, not acknowledged, or no answer came
inline constexpr int STORE_ANSWER_UNFIT = -2;  // an answer of another type or varid, or too short
// The value words of a read request: a value the chip hands back equal to
// them is read again with their complement, so that an echoed request is told
// from a value (0xFFFF words are rarer in a store than 0x0000 ones).
inline constexpr std::uint16_t STORE_READ_FILL = 0xFFFF;
// Counts a read tries at most before it gives a key up as refused: every
// length a key can have.
inline constexpr int STORE_LENGTH_SEARCH_MAX_READS = STORE_KEY_MAX_WORDS;

enum class StoreReadOutcome { value, absent, refused, no_answer };

struct StoreRead {
    StoreReadOutcome outcome = StoreReadOutcome::no_answer;
    std::vector<std::uint16_t> words;  // the value, when there is one
    int answer = 0;                    // the refusal's status, or STORE_ANSWER_NONE / _UNFIT without one
    int reads = 0;                     // read requests sent
};

// Reads key from the chip, finding its length as above.
StoreRead store_chip_read(const StoreKey& key);

enum class StoreWriteOutcome { verified, refused, no_answer, differs, unreadable };

struct StoreWrite {
    StoreWriteOutcome outcome = StoreWriteOutcome::no_answer;
    int answer = 0;                       // the refusal's status, or STORE_ANSWER_NONE / _UNFIT
    std::vector<std::uint16_t> read_back; // what the chip gave back, when it differs
};

// Writes the words to key, then reads the key back with that count and
// compares. The read-back's request carries the complement of the words and
// its answer must name the key and count: an echo never passes for a value.
StoreWrite store_chip_write(std::uint16_t key, const std::vector<std::uint16_t>& words);

// What an outcome means, for a person: "absent (the chip holds no value)",
// "refused by the chip (status 0x0008)", "no answer from the chip".
std::string store_read_text(const StoreRead& read);
std::string store_write_text(const StoreWrite& write);
