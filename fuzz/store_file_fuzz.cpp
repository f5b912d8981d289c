// libFuzzer harness for the store backup file parser: people edit these
// files by hand, so any text must give lines or reasons, never a crash.
//
// Not part of the default build; scripts/fuzz builds and runs it
// (scripts/fuzz 60 store_file_fuzz).
//
// Checks: every reason names a line of the input, in order; every line taken
// is a key once, absent or with 1 to 56 value words (as many as a KEY:WORDS
// count says); and the lines taken, written out as a backup, parse back to
// the same lines without a reason.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "tool/store_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    int line_count = 0;
    for (std::size_t at = 0; at < text.size(); at = std::min(text.find('\n', at), text.size()) + 1) {
        ++line_count;
    }

    const StoreFileContents contents = store_file_parse(text);
    int last_problem = 0;
    for (const StoreProblem& problem : contents.problems) {
        FUZZ_REQUIRE(problem.line > last_problem && problem.line <= line_count);
        FUZZ_REQUIRE(!problem.reason.empty());
        last_problem = problem.line;
    }
    std::set<std::uint16_t> keys;
    int last_line = 0;
    for (const StoreLine& line : contents.lines) {
        FUZZ_REQUIRE(line.line > last_line && line.line <= line_count);
        last_line = line.line;
        FUZZ_REQUIRE(keys.insert(line.key).second);
        if (line.absent) {
            FUZZ_REQUIRE(line.words.empty());
        } else {
            FUZZ_REQUIRE(!line.words.empty() && line.words.size() <= 56);
            FUZZ_REQUIRE(line.declared_words == 0 || line.declared_words == static_cast<int>(line.words.size()));
        }
    }

    const StoreOrigin origin{"date", "port", std::string(text.substr(0, 64)), 1};
    const StoreFileContents again = store_file_parse(store_file_render(origin, contents.lines));
    FUZZ_REQUIRE(again.problems.empty());
    FUZZ_REQUIRE(again.lines.size() == contents.lines.size());
    for (std::size_t i = 0; i < again.lines.size(); ++i) {
        FUZZ_REQUIRE(again.lines[i].key == contents.lines[i].key);
        FUZZ_REQUIRE(again.lines[i].absent == contents.lines[i].absent);
        FUZZ_REQUIRE(again.lines[i].words == contents.lines[i].words);
        FUZZ_REQUIRE(again.lines[i].declared_words == contents.lines[i].declared_words ||
                     !contents.lines[i].absent);
    }
    return 0;
}
