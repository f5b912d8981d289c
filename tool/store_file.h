// The store backup file: text that is easy to read and diff, and the very
// format of marrowlink-sim's store file, so that a backup of a real chip can
// seed the simulator (marrowlink-sim --store FILE):
//
//     # marrowlink store backup, 2026-12-08 14:02 UTC
//     # port /dev/ttyUSB0, firmware "Veltrane_Tools Marrowlink Firmware 1.2.9", build id 4321
//     0x0108 = 0x694b 0x6374 0x6568 0x006e   # PSKEY_DEVICE_NAME "Kitchen"
//     0x01f9 = 0x0001                        # PSKEY_HOST_INTERFACE
//     0x0202 absent                          # PSKEY_PIO_PROTECT_MASK
//     0x0777:3 absent
//
// One key a line: its number (0x hex or decimal), optionally with its word
// count as KEY:WORDS, then '=' and its value words, or "absent" for a key the
// chip did not hold. Text after '#' and blank lines are ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct StoreLine {
    std::uint16_t key = 0;
    bool absent = false;
    int declared_words = 0;             // the KEY:WORDS count; 0 when the line gives none
    std::vector<std::uint16_t> words;   // the value (empty when absent)
    int line = 0;                       // where it stands in the file, from 1
};

struct StoreProblem {
    int line;
    std::string reason;
};

// What the header comment says about where a backup came from.
struct StoreOrigin {
    std::string date;      // "2026-12-08 14:02 UTC"
    std::string port;
    std::string firmware;  // the version text
    int build_id = -1;     // -1: not read
};

struct StoreFileContents {
    std::vector<StoreLine> lines;        // in file order
    std::vector<StoreProblem> problems;  // every line that cannot be used, in file order
    std::optional<StoreOrigin> origin;   // the header's port, firmware (as escaped there) and build id, when it has them
};

// Reads a whole file's text. Reasons: a malformed line, a key absent without
// a word count that the update's table does not know (a read to check it
// needs one), more than 56 value words, a known key with another count than
// it holds (unless the line says KEY:WORDS), a key given twice, a last line
// without its line end (a file cut short).
StoreFileContents store_file_parse(std::string_view text);

// One key's line, without its line end: "0x01f9 = 0x0001" (with :WORDS when
// the line declares its count), then the key's name and, for the device
// name, its text as a comment.
std::string store_file_line(const StoreLine& line);

// The file for these lines, in the order given, after the header comment.
std::string store_file_render(const StoreOrigin& origin, const std::vector<StoreLine>& lines);
