// Persistent-store keys as the store commands name them: a number (0x0108 or
// 264), a name from the update's key table (PSKEY_HOST_INTERFACE), either
// with a word count (0x0777:3). The chip refuses a read whose word count is
// not the key's, so every key carries the counts to try first.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "bccmd/chip_commands.h"

// Value words of one key: what one BCCMD message carries (1 to 56).
inline constexpr int STORE_KEY_MIN_WORDS = PS_KEY_MIN_VALUE_WORDS;
inline constexpr int STORE_KEY_MAX_WORDS = PS_KEY_MAX_VALUE_WORDS;

struct StoreKey {
    std::uint16_t number = 0;
    std::string name;                // the update's name for it; empty for a key it does not write
    std::vector<int> word_counts;    // lengths to try first, the likeliest first
    bool length_varies = false;      // the device name: any length from 1 to 56 words
    const char* force_reason = nullptr;  // set: writing it needs --force; what a wrong value does
};

// A key key_text that cannot be used: the text says why and what to write instead.
struct StoreKeyError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The key for a key_text typed by a person: "0x01f9", "505", "PSKEY_HOST_INTERFACE"
// (any case), each optionally ":WORDS". A key the update's table does not
// list needs its word count to be read (count_needed); a write's count is its
// words. Throws StoreKeyError.
StoreKey store_key_parse(std::string_view key_text, bool count_needed = true);

// The table's key for number with its counts, or a key of unknown length
// (no counts, no name) when the table does not list it.
StoreKey store_key_for(std::uint16_t number);

// Every key the update writes (both profiles, both firmware variants, both
// outcomes), ascending by number: what a backup holds by default.
std::vector<StoreKey> store_keys_default();

// "PSKEY_HOST_INTERFACE", or "0x0777" for a key without a name.
std::string store_key_label(const StoreKey& key);

// A whole number as the store commands and files write it: 0x and hex
// digits, or decimal digits without a leading zero (0108 is refused, not
// taken for 108), and nothing else.
std::optional<unsigned> store_parse_number(std::string_view text);

// A key or word as the files write it: "0x01f9".
std::string store_hex(unsigned value);

// Text for a line of its own: printable ASCII as it is, '"' and '\' escaped,
// other bytes (line ends among them) as \xNN.
std::string store_text_escape(std::string_view bytes);

// A device name as the chip keeps it (two characters a word, the first in
// the low byte, up to the first zero byte), escaped as above.
std::string store_device_name_text(const std::vector<std::uint16_t>& words);
