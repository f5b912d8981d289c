// Reading a wire trace file (trace_record.h): the header and the events, each
// with its line number. A file that people send is checked line by line; the
// first line that is not a well-formed trace event ends the reading with its
// line number and the reason, and what came before it is kept.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using TraceJson = nlohmann::ordered_json;

struct TraceEvent {
    std::size_t line;
    TraceJson object;
};

struct TraceFile {
    TraceJson header;                // the header object (empty when missing)
    std::vector<TraceEvent> events;  // in file order
    std::size_t problem_line = 0;    // 0: the whole file was read
    std::string problem;             // why reading stopped there
    bool cut = false;                // the problem is a last line cut short (a run that died)
};

// A line longer than this is refused, and not read on: no event comes near
// it (the longest, a read of a whole BCSP frame with its decoded units, is a
// few tens of kilobytes).
inline constexpr std::size_t TRACE_LINE_MAX_BYTES = 1 << 20;
// Objects and lists inside each other on one line: a trace event goes six
// deep (event, decoded, unit, bccmd, ps, words); deeper is refused before it
// is parsed.
inline constexpr std::size_t TRACE_JSON_DEPTH_MAX = 16;

TraceFile trace_read(std::istream& input);
// Throws std::runtime_error when the file cannot be opened.
TraceFile trace_read_file(const std::string& path);
// "line N: REASON", or "" when the file was read whole.
std::string trace_problem_text(const TraceFile& trace);
