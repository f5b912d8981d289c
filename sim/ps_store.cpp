#include "sim/ps_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct PsDefault {
    std::uint16_t key;
    int length;
    std::uint16_t values[10];
};

constexpr PsDefault PS_DEFAULTS[] = {
    {0x024B, 1, {0x0020}},
    {0x03CC, 1, {0x0000}},
    {0x01F9, 1, {0x0001}},
    {0x025D, 1, {0x0001}},
    {0x01C2, 1, {0x08A8}},
    {0x0202, 1, {0x0000}},
    {0x0191, 10, {0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004, 0x0000, 0x0004, 0x001E, 0x0064, 0x000A}},
    {0x03CD, 1, {0x0001}},
    {0x04B1, 1, {0x0000}},
    {0x04F8, 1, {0x0000}},
    {0x0229, 1, {0x0001}},
};

constexpr const char* PS_DEFAULT_DEVICE_NAME = "Marrowlink Adapter";
// "0x0202 absent": the chip holds no value for the key.
constexpr const char* PS_ABSENT_WORD = "absent";
constexpr std::uint16_t PS_KEY_DEVICE_NAME = 0x0108;

const char* ps_skip_blanks(const char* p)
{
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    return p;
}

// Reads one 16-bit number: 0x followed by hex digits, or decimal digits.
// Returns the position after it, or null when there is no valid number.
const char* ps_parse_word(const char* p, std::uint16_t* value)
{
    unsigned long v = 0;
    int digits = 0;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        p += 2;
        for (;; ++p, ++digits) {
            int d;
            if (*p >= '0' && *p <= '9') {
                d = *p - '0';
            } else if (*p >= 'a' && *p <= 'f') {
                d = *p - 'a' + 10;
            } else if (*p >= 'A' && *p <= 'F') {
                d = *p - 'A' + 10;
            } else {
                break;
            }
            v = v * 16 + static_cast<unsigned long>(d);
            if (v > 0xFFFF) {
                return nullptr;
            }
        }
    } else {
        for (; *p >= '0' && *p <= '9'; ++p, ++digits) {
            v = v * 10 + static_cast<unsigned long>(*p - '0');
            if (v > 0xFFFF) {
                return nullptr;
            }
        }
    }
    if (digits == 0) {
        return nullptr;
    }
    // A number ends at a blank, a comment or the end of the line.
    if (*p != '\0' && *p != ' ' && *p != '\t' && *p != '#' && *p != '=' && *p != ':' && *p != '\r' &&
        *p != '\n') {
        return nullptr;
    }
    *value = static_cast<std::uint16_t>(v);
    return p;
}

int ps_line_is_empty(const char* p)
{
    p = ps_skip_blanks(p);
    return *p == '\0' || *p == '#' || *p == '\r' || *p == '\n';
}

// Parses one non-empty line into the store. Returns 1, or 0 with the reason.
int ps_parse_line(PsStore* store, const char* line, char* why, std::size_t why_size)
{
    std::uint16_t key = 0;
    std::uint16_t values[PS_STORE_MAX_WORDS];
    int length = 0;

    const char* p = ps_parse_word(ps_skip_blanks(line), &key);
    if (p == nullptr) {
        std::snprintf(why, why_size, "expected a key number");
        return 0;
    }
    std::uint16_t declared = 0;  // the key's word count written as KEY:WORDS, 0 when not given
    if (*p == ':') {
        p = ps_parse_word(p + 1, &declared);
        if (p == nullptr || declared == 0 || declared > PS_STORE_MAX_WORDS) {
            std::snprintf(why, why_size, "expected a word count from 1 to %d after ':'", PS_STORE_MAX_WORDS);
            return 0;
        }
    }
    p = ps_skip_blanks(p);
    const std::size_t absent_chars = std::strlen(PS_ABSENT_WORD);
    if (std::strncmp(p, PS_ABSENT_WORD, absent_chars) == 0 && ps_line_is_empty(p + absent_chars)) {
        ps_store_remove(store, key);  // the last line about a key holds, as for values
        return 1;
    }
    if (*p != '=') {
        std::snprintf(why, why_size, "expected '=' or \"%s\" after the key", PS_ABSENT_WORD);
        return 0;
    }
    p = ps_skip_blanks(p + 1);
    while (!ps_line_is_empty(p)) {
        if (length == PS_STORE_MAX_WORDS) {
            std::snprintf(why, why_size, "more than %d value words", PS_STORE_MAX_WORDS);
            return 0;
        }
        p = ps_parse_word(p, &values[length]);
        if (p == nullptr) {
            std::snprintf(why, why_size, "value word %d is not a 16-bit number", length + 1);
            return 0;
        }
        ++length;
        p = ps_skip_blanks(p);
    }
    if (length == 0) {
        std::snprintf(why, why_size, "key 0x%04x has no value", key);
        return 0;
    }
    if (declared != 0 && declared != length) {
        std::snprintf(why, why_size, "key 0x%04x:%d has %d value words", key, declared, length);
        return 0;
    }
    if (!ps_store_set(store, key, values, length)) {
        std::snprintf(why, why_size, "more than %d keys", PS_STORE_MAX_KEYS);
        return 0;
    }
    return 1;
}

int ps_store_load(PsStore* store, std::FILE* file, const char* path, char* why, std::size_t why_size)
{
    char line[PS_STORE_MAX_LINE_CHARS + 2];
    char reason[128];
    int number = 0;
    store->count = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        ++number;
        std::size_t n = std::strlen(line);
        if (n > PS_STORE_MAX_LINE_CHARS && line[n - 1] != '\n') {
            std::snprintf(why, why_size, "%s line %d: longer than %d characters", path, number,
                          PS_STORE_MAX_LINE_CHARS);
            return 0;
        }
        if (ps_line_is_empty(line)) {
            continue;
        }
        if (!ps_parse_line(store, line, reason, sizeof reason)) {
            std::snprintf(why, why_size, "%s line %d: %s", path, number, reason);
            return 0;
        }
    }
    if (std::ferror(file)) {
        std::snprintf(why, why_size, "%s: read error", path);
        return 0;
    }
    return 1;
}

}  // namespace

int ps_store_pack_text(const char* text, std::uint16_t* words, int max_words)
{
    std::size_t length = std::strlen(text);
    int count = static_cast<int>((length + 2) / 2);
    if (count > max_words) {
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        std::size_t at = static_cast<std::size_t>(i) * 2;
        unsigned low = at < length ? static_cast<unsigned char>(text[at]) : 0u;
        unsigned high = at + 1 < length ? static_cast<unsigned char>(text[at + 1]) : 0u;
        words[i] = static_cast<std::uint16_t>(low | (high << 8));
    }
    return count;
}

void ps_store_set_defaults(PsStore* store)
{
    store->count = 0;
    for (const PsDefault& d : PS_DEFAULTS) {
        ps_store_set(store, d.key, d.values, d.length);
    }
    std::uint16_t name[PS_STORE_MAX_WORDS];
    int words = ps_store_pack_text(PS_DEFAULT_DEVICE_NAME, name, PS_STORE_MAX_WORDS);
    ps_store_set(store, PS_KEY_DEVICE_NAME, name, words);
}

const PsEntry* ps_store_find(const PsStore* store, std::uint16_t key)
{
    for (int i = 0; i < store->count; ++i) {
        if (store->entries[i].key == key) {
            return &store->entries[i];
        }
    }
    return nullptr;
}

int ps_store_set(PsStore* store, std::uint16_t key, const std::uint16_t* values, int length)
{
    if (length < 1 || length > PS_STORE_MAX_WORDS) {
        return 0;
    }
    int at = 0;
    while (at < store->count && store->entries[at].key < key) {
        ++at;
    }
    if (at == store->count || store->entries[at].key != key) {
        if (store->count == PS_STORE_MAX_KEYS) {
            return 0;
        }
        for (int i = store->count; i > at; --i) {
            store->entries[i] = store->entries[i - 1];
        }
        ++store->count;
    }
    PsEntry* entry = &store->entries[at];
    entry->key = key;
    entry->length = static_cast<std::uint16_t>(length);
    std::memcpy(entry->values, values, static_cast<std::size_t>(length) * sizeof values[0]);
    return 1;
}

void ps_store_remove(PsStore* store, std::uint16_t key)
{
    for (int i = 0; i < store->count; ++i) {
        if (store->entries[i].key == key) {
            for (int j = i + 1; j < store->count; ++j) {
                store->entries[j - 1] = store->entries[j];
            }
            --store->count;
            return;
        }
    }
}

int ps_store_save(const PsStore* store, const char* path)
{
    char temp[4096];
    int n = std::snprintf(temp, sizeof temp, "%s.tmp", path);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temp) {
        return 0;
    }
    std::FILE* file = std::fopen(temp, "w");
    if (file == nullptr) {
        return 0;
    }
    std::fprintf(file,
                 "# Persistent store of the simulated Marrowlink Bluetooth chip.\n"
                 "# One key per line: key = value words. Edit only while the simulator is stopped.\n");
    for (int i = 0; i < store->count; ++i) {
        const PsEntry* entry = &store->entries[i];
        std::fprintf(file, "0x%04x =", entry->key);
        for (int w = 0; w < entry->length; ++w) {
            std::fprintf(file, " 0x%04x", entry->values[w]);
        }
        std::fputc('\n', file);
    }
    int ok = std::fflush(file) == 0 && !std::ferror(file);
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temp, path) != 0) {
        std::remove(temp);
        return 0;
    }
    return 1;
}

int ps_store_open(PsStore* store, const char* path, int* created, char* why, std::size_t why_size)
{
    *created = 0;
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        if (errno != ENOENT) {
            std::snprintf(why, why_size, "%s: %s", path, std::strerror(errno));
            return 0;
        }
        ps_store_set_defaults(store);
        if (!ps_store_save(store, path)) {
            std::snprintf(why, why_size, "%s: cannot create the store file", path);
            return 0;
        }
        *created = 1;
        return 1;
    }
    int ok = ps_store_load(store, file, path, why, why_size);
    std::fclose(file);
    return ok;
}
