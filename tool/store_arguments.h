// What the store commands take from their command lines, read into keys and
// words, with the usage failures people get for what cannot be used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tool/store_keys.h"

struct StoreArguments {
    std::string key;                 // set
    std::vector<std::string> keys;   // get, backup
    std::vector<std::string> words;  // set
    std::string file;                // backup, restore
    bool force = false;              // set, restore: keys that change how the host reaches the chip
    bool overwrite = false;          // backup: replace an existing file
};

// A key typed by a person (see store_key_parse); throws a usage ToolFailure.
StoreKey store_argument_key(const std::string& key_text, bool count_needed = true);
std::vector<StoreKey> store_argument_keys(const std::vector<std::string>& key_texts);

// set's key and words, checked: a 16-bit number each, at most 56, a fixed
// key's own count unless asked for as KEY:WORDS, and --force for a key that
// changes how the host reaches the chip. Throws a usage ToolFailure.
struct StoreSetRequest {
    StoreKey key;
    std::vector<std::uint16_t> words;
};
StoreSetRequest store_argument_set(const StoreArguments& arguments);

// The sentence a key that changes how the host reaches the chip is refused
// with without --force ("writing NAME: this key changes how the host reaches
// the chip: ..."), the same for set and restore.
[[noreturn]] void store_refuse_unforced(const StoreKey& key, const std::string& detail = "");

// "1 word", "6 words".
std::string store_words_text(int count);
