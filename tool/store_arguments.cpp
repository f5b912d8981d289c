#include "tool/store_arguments.h"

#include <optional>

#include "tool/outcome.h"

StoreKey store_argument_key(const std::string& key_text, bool count_needed)
{
    try {
        return store_key_parse(key_text, count_needed);
    } catch (const StoreKeyError& error) {
        throw ToolFailure{ExitStatus::usage, "reading the key " + key_text, error.what(),
                          count_needed ? "keys are numbers (0x01f9), KEY:WORDS for a key the update does not write, "
                                         "or names such as PSKEY_HOST_INTERFACE"
                                       : "keys are numbers (0x01f9) or names such as PSKEY_HOST_INTERFACE"};
    }
}

std::vector<StoreKey> store_argument_keys(const std::vector<std::string>& key_texts)
{
    std::vector<StoreKey> keys;
    for (const std::string& key_text : key_texts) {
        keys.push_back(store_argument_key(key_text));
    }
    return keys;
}

std::string store_words_text(int count)
{
    return std::to_string(count) + (count == 1 ? " word" : " words");
}

void store_refuse_unforced(const StoreKey& key, const std::string& detail)
{
    throw ToolFailure{ExitStatus::usage, "writing " + store_key_label(key),
                      std::string("this key changes how the host reaches the chip: ") + key.force_reason + detail,
                      "check the value, then add --force to write it"};
}

namespace {

std::uint16_t store_argument_word(const std::string& text)
{
    const std::optional<unsigned> value = store_parse_number(text);
    if (!value || *value > 0xFFFF) {
        throw ToolFailure{ExitStatus::usage, "reading the value", "'" + text + "' is not a 16-bit number",
                          "write each word as 0x0004 or 4"};
    }
    return static_cast<std::uint16_t>(*value);
}

}  // namespace

StoreSetRequest store_argument_set(const StoreArguments& arguments)
{
    StoreSetRequest request{store_argument_key(arguments.key, false), {}};
    for (const std::string& text : arguments.words) {
        request.words.push_back(store_argument_word(text));
    }
    const StoreKey& key = request.key;
    const int count = static_cast<int>(request.words.size());
    if (count > STORE_KEY_MAX_WORDS) {
        throw ToolFailure{ExitStatus::usage, "reading the value",
                          std::to_string(count) + " words: a key holds at most 56", ""};
    }
    // A fixed key's length is known: another count is a typing error unless asked for as KEY:WORDS.
    if (!key.length_varies && !key.word_counts.empty() && key.word_counts.front() != count) {
        throw ToolFailure{ExitStatus::usage, "reading the value",
                          store_key_label(key) + " holds " + store_words_text(key.word_counts.front()) + ", " +
                              std::to_string(count) + " given",
                          "give " + store_words_text(key.word_counts.front()) + ", or write " +
                              store_hex(key.number) + ":" + std::to_string(count) + " to write that many anyway"};
    }
    if (key.force_reason != nullptr && !arguments.force) {
        store_refuse_unforced(key);
    }
    return request;
}
