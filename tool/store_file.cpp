#include "tool/store_file.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>

#include "driver/profiles.h"
#include "tool/store_keys.h"

namespace {

constexpr std::string_view BLANKS = " \t\r";
constexpr std::string_view ABSENT_WORD = "absent";
// Comments start in this column when the key and its words leave room.
constexpr std::size_t COMMENT_COLUMN = 46;

std::string_view trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// The next blank-separated word of text, taken off its front.
std::string_view next_word(std::string_view* text)
{
    *text = trim(*text);
    const std::size_t end = std::min(text->find_first_of(BLANKS), text->size());
    const std::string_view word = text->substr(0, end);
    text->remove_prefix(end);
    return word;
}

// One line without its comment, not blank. Returns the reason it cannot be
// used, or nothing with *out filled.
std::optional<std::string> parse_line(std::string_view text, StoreLine* out)
{
    // The key runs up to '=' or a blank: "0x024b=48" is a key line too.
    const std::size_t key_end = std::min(text.find_first_of(" \t\r="), text.size());
    const std::string_view key_spec = text.substr(0, key_end);
    std::string_view rest = trim(text.substr(key_end));

    const std::size_t colon = key_spec.find(':');
    const std::optional<unsigned> key = store_parse_number(key_spec.substr(0, colon));
    if (!key || *key > 0xFFFF) {
        return "expected a key number (0x0108), found '" + std::string(key_spec) + "'";
    }
    out->key = static_cast<std::uint16_t>(*key);
    if (colon != std::string_view::npos) {
        const std::optional<unsigned> count = store_parse_number(key_spec.substr(colon + 1));
        if (!count || *count < STORE_KEY_MIN_WORDS || *count > STORE_KEY_MAX_WORDS) {
            return "the word count after ':' must be a number from 1 to 56";
        }
        out->declared_words = static_cast<int>(*count);
    }

    if (rest == ABSENT_WORD) {
        out->absent = true;
        if (out->declared_words == 0 && store_key_for(out->key).word_counts.empty()) {
            return "unknown key " + store_hex(out->key) + " without a word count: checking it needs one, write " +
                   store_hex(out->key) + ":WORDS absent";
        }
        return std::nullopt;
    }
    if (rest.empty() || rest.front() != '=') {
        return "expected '=' and value words, or \"absent\", after the key";
    }
    rest.remove_prefix(1);
    for (std::string_view word = next_word(&rest); !word.empty(); word = next_word(&rest)) {
        const std::optional<unsigned> value = store_parse_number(word);
        if (!value || *value > 0xFFFF) {
            return "value word " + std::to_string(out->words.size() + 1) + " ('" + std::string(word) +
                   "') is not a 16-bit number";
        }
        out->words.push_back(static_cast<std::uint16_t>(*value));
    }
    if (out->words.empty()) {
        return "key " + store_hex(out->key) + " has no value words";
    }
    if (out->words.size() > STORE_KEY_MAX_WORDS) {
        return "key " + store_hex(out->key) + " has " + std::to_string(out->words.size()) +
               " value words, more than the 56 a key holds";
    }
    if (out->declared_words != 0 && out->declared_words != static_cast<int>(out->words.size())) {
        return "key " + store_hex(out->key) + ":" + std::to_string(out->declared_words) + " has " +
               std::to_string(out->words.size()) + " value words";
    }
    // A key the update writes has its own length; another is written only as KEY:WORDS.
    const StoreKey known = store_key_for(out->key);
    const int count = static_cast<int>(out->words.size());
    if (out->declared_words == 0 && !known.length_varies && !known.word_counts.empty() &&
        std::find(known.word_counts.begin(), known.word_counts.end(), count) == known.word_counts.end()) {
        return store_key_label(known) + " holds " + std::to_string(known.word_counts.front()) + " words, the line gives " +
               std::to_string(count) + " (write " + store_hex(out->key) + ":" + std::to_string(count) +
               " to restore that many anyway)";
    }
    return std::nullopt;
}

// The header's second line: "# port P, firmware "F", build id N" (or "build
// id not read"), as store_file_render writes it.
std::optional<StoreOrigin> parse_origin(std::string_view comment)
{
    constexpr std::string_view PORT = "# port ";
    constexpr std::string_view FIRMWARE = ", firmware \"";
    constexpr std::string_view BUILD_ID = "\", build id ";
    const std::size_t firmware = comment.find(FIRMWARE);
    const std::size_t build_id = comment.rfind(BUILD_ID);
    if (!comment.starts_with(PORT) || firmware == std::string_view::npos || build_id == std::string_view::npos ||
        build_id < firmware + FIRMWARE.size()) {
        return std::nullopt;
    }
    StoreOrigin origin;
    origin.port = std::string(comment.substr(PORT.size(), firmware - PORT.size()));
    origin.firmware = std::string(comment.substr(firmware + FIRMWARE.size(), build_id - firmware - FIRMWARE.size()));
    const std::optional<unsigned> number = store_parse_number(trim(comment.substr(build_id + BUILD_ID.size())));
    origin.build_id = number && *number <= 0xFFFF ? static_cast<int>(*number) : -1;
    return origin;
}

std::string comment_for(const StoreLine& line)
{
    const StoreKey key = store_key_for(line.key);
    std::string comment = key.name;
    if (line.key == PSKEY_DEVICE_NAME && !line.absent) {
        comment += " \"" + store_device_name_text(line.words) + "\"";
    }
    return comment;
}

}  // namespace

StoreFileContents store_file_parse(std::string_view text)
{
    StoreFileContents contents;
    std::map<std::uint16_t, int> first_line_of_key;
    int number = 0;
    const bool cut_short = !text.empty() && text.back() != '\n';
    while (!text.empty()) {
        ++number;
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));

        if (!contents.origin && trim(line).starts_with("# port ")) {
            contents.origin = parse_origin(trim(line));
        }
        line = trim(line.substr(0, std::min(line.find('#'), line.size())));
        if (line.empty()) {
            continue;
        }
        StoreLine parsed;
        parsed.line = number;
        if (const std::optional<std::string> reason = parse_line(line, &parsed)) {
            contents.problems.push_back({number, *reason});
            continue;
        }
        const auto [seen, added] = first_line_of_key.emplace(parsed.key, number);
        if (!added) {
            contents.problems.push_back(
                {number, "key " + store_hex(parsed.key) + " is already given on line " + std::to_string(seen->second)});
            continue;
        }
        contents.lines.push_back(std::move(parsed));
    }
    if (cut_short) {
        // One reason a line: a last line that is wrong as well says both.
        const std::string reason = "the file ends without a line end: it may have been cut short (a whole backup "
                                   "ends with one)";
        if (!contents.problems.empty() && contents.problems.back().line == number) {
            contents.problems.back().reason += "; " + reason;
        } else {
            contents.problems.push_back({number, reason});
        }
    }
    return contents;
}

std::string store_file_line(const StoreLine& line)
{
    std::string entry = store_hex(line.key);
    if (line.declared_words != 0) {
        entry += ':';
        entry += std::to_string(line.declared_words);
    }
    if (line.absent) {
        entry += " absent";
    } else {
        entry += " =";
        for (std::uint16_t word : line.words) {
            entry += ' ';
            entry += store_hex(word);
        }
    }
    const std::string comment = comment_for(line);
    if (!comment.empty()) {
        entry.resize(std::max(entry.size() + 2, COMMENT_COLUMN), ' ');
        entry += "# " + comment;
    }
    return entry;
}

std::string store_file_render(const StoreOrigin& origin, const std::vector<StoreLine>& lines)
{
    std::string text = "# marrowlink store backup, " + store_text_escape(origin.date) + "\n";
    text += "# port " + store_text_escape(origin.port) + ", firmware \"" + store_text_escape(origin.firmware) + "\"";
    text += origin.build_id >= 0 ? ", build id " + std::to_string(origin.build_id) : ", build id not read";
    text += "\n";
    for (const StoreLine& line : lines) {
        text += store_file_line(line) + "\n";
    }
    return text;
}
