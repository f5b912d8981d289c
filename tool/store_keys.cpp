#include "tool/store_keys.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <optional>

#include "driver/profile_keys.h"

namespace {

constexpr const char* UART_REASON =
    "it sets the chip's UART speed and framing: a wrong value leaves the chip on settings the host does not "
    "use, and neither this tool nor the updater can reach it again";
constexpr const char* HOST_INTERFACE_REASON =
    "it chooses how the chip talks to the host: a wrong value takes the chip off BCSP on its UART, and neither "
    "this tool nor the updater can reach it again";
constexpr const char* BOOT_MODE_REASON =
    "it chooses the settings the chip starts with: a wrong value can start it on a UART configuration the host "
    "does not use, and it no longer answers";

// The keys that change how the host reaches the chip.
const char* store_key_force_reason(std::uint16_t number)
{
    switch (number) {
    case PSKEY_UART_CONFIG:
    case PSKEY_UART_CONFIG_USR:
        return UART_REASON;
    case PSKEY_HOST_INTERFACE:
        return HOST_INTERFACE_REASON;
    case PSKEY_INITIAL_BOOTMODE:
    case PSKBOOTMODE_KEY_LIST_0_PLUS_1:
    case PSKBOOTMODE_KEY_TABLE_1:
        return BOOT_MODE_REASON;
    default:
        return nullptr;
    }
}

StoreKey store_key_from_table(const ProfileKey& entry)
{
    StoreKey key;
    key.number = entry.key;
    key.name = entry.name;
    key.word_counts.push_back(entry.standard_words);
    if (entry.ci_words != entry.standard_words) {
        key.word_counts.push_back(entry.ci_words);
    }
    // A renamed adapter's name has any length; the update's own are only the likeliest.
    key.length_varies = entry.key == PSKEY_DEVICE_NAME;
    key.force_reason = store_key_force_reason(entry.key);
    return key;
}

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::optional<unsigned> store_parse_number(std::string_view text)
{
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    // A decimal number with a leading zero is refused: 0108 is read as 108
    // by some and as octal 0108 by others, and a key is usually meant in hex.
    if (base == 10 && text.size() > 1 && text[0] == '0') {
        return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::string store_hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value & 0xFFFFu);
    return text;
}

StoreKey store_key_for(std::uint16_t number)
{
    for (const ProfileKey& entry : PROFILE_KEYS) {
        if (entry.key == number) {
            return store_key_from_table(entry);
        }
    }
    StoreKey key;
    key.number = number;
    key.force_reason = store_key_force_reason(number);
    return key;
}

StoreKey store_key_parse(std::string_view key_text, bool count_needed)
{
    const std::size_t colon = key_text.find(':');
    const std::string_view head = key_text.substr(0, colon);

    StoreKey key;
    if (const std::optional<unsigned> number = store_parse_number(head)) {
        if (*number > 0xFFFF) {
            throw StoreKeyError("key " + std::string(head) + " is beyond 0xffff");
        }
        key = store_key_for(static_cast<std::uint16_t>(*number));
    } else {
        const auto entry = std::find_if(std::begin(PROFILE_KEYS), std::end(PROFILE_KEYS),
                                        [&](const ProfileKey& k) { return same_name(k.name, head); });
        if (entry == std::end(PROFILE_KEYS)) {
            throw StoreKeyError("unknown key " + std::string(head) +
                                ": give its number (0x01f9) or a name the update uses (PSKEY_HOST_INTERFACE)");
        }
        key = store_key_from_table(*entry);
    }

    if (colon != std::string_view::npos) {
        const std::string_view count_text = key_text.substr(colon + 1);
        const std::optional<unsigned> count = store_parse_number(count_text);
        if (!count || *count < STORE_KEY_MIN_WORDS || *count > STORE_KEY_MAX_WORDS) {
            throw StoreKeyError("word count '" + std::string(count_text) + "' of key " + std::string(head) +
                                " is not a number from 1 to 56");
        }
        key.word_counts = {static_cast<int>(*count)};
    } else if (key.word_counts.empty() && count_needed) {
        throw StoreKeyError("key " + store_hex(key.number) + " is not one the update writes: give its word count, as " +
                            store_hex(key.number) + ":WORDS");
    }
    return key;
}

std::vector<StoreKey> store_keys_default()
{
    std::vector<StoreKey> keys;
    for (const ProfileKey& entry : PROFILE_KEYS) {
        keys.push_back(store_key_from_table(entry));
    }
    std::sort(keys.begin(), keys.end(), [](const StoreKey& a, const StoreKey& b) { return a.number < b.number; });
    return keys;
}

std::string store_key_label(const StoreKey& key)
{
    return key.name.empty() ? store_hex(key.number) : key.name;
}

std::string store_text_escape(std::string_view bytes)
{
    std::string text;
    for (const char c : bytes) {
        const unsigned byte = static_cast<unsigned char>(c);
        if (byte == '"' || byte == '\\') {
            text += '\\';
            text += c;
        } else if (byte >= 0x20 && byte < 0x7F) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            text += escaped;
        }
    }
    return text;
}

std::string store_device_name_text(const std::vector<std::uint16_t>& words)
{
    std::string bytes;
    for (std::uint16_t word : words) {
        for (const unsigned byte : {word & 0xFFu, static_cast<unsigned>(word >> 8)}) {
            if (byte == 0) {
                return store_text_escape(bytes);
            }
            bytes += static_cast<char>(byte);
        }
    }
    return store_text_escape(bytes);
}
