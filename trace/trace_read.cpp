// The wire trace reader.
#include "trace/trace_read.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

bool trace_is_hex(const std::string& text)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

// The fields that the timeline, the picture and the simulator read from a
// trace, with the type each must have when present, and for a number the
// whole numbers it may be (what the recorder writes there): those who read
// it convert it to an int or an unsigned, and a number out of their range
// (3e46, -1 for an unsigned) would convert with undefined behaviour or show
// as something else. A field of another type or out of range (a hand-edited
// or damaged trace) is refused here with its line, so that what reads the
// events later can take them as they are.
enum class TraceType { text, flag, number, object, list };

struct TraceField {
    const char* name;
    TraceType type;
    std::int64_t low = 0;  // a number: the whole numbers from low to high
    std::int64_t high = 0;
};

// A modem line's level; a time-out in ms (a Win32 DWORD); a BCSP channel (4
// bits); a unit's length (a reply frame's 16-bit length, a BCSP payload's 12
// bits); a persistent-store word.
constexpr std::int64_t TRACE_LEVEL_MAX = 1;
constexpr std::int64_t TRACE_TIMEOUT_MS_MAX = 0xFFFFFFFF;
constexpr std::int64_t TRACE_CHANNEL_MAX = 15;
constexpr std::int64_t TRACE_UNIT_LENGTH_MAX = 0xFFFF;
constexpr std::int64_t TRACE_WORD_MAX = 0xFFFF;

constexpr TraceField TRACE_EVENT_FIELDS[] = {
    {"phase", TraceType::text},
    {"ok", TraceType::flag},
    {"rx", TraceType::flag},
    {"tx", TraceType::flag},
    {"level", TraceType::number, 0, TRACE_LEVEL_MAX},
    {"read_interval_ms", TraceType::number, 0, TRACE_TIMEOUT_MS_MAX},
    {"read_multiplier_ms", TraceType::number, 0, TRACE_TIMEOUT_MS_MAX},
    {"read_constant_ms", TraceType::number, 0, TRACE_TIMEOUT_MS_MAX},
};
constexpr TraceField TRACE_UNIT_FIELDS[] = {
    {"dir", TraceType::text},
    {"check", TraceType::text},
    {"complete", TraceType::flag},
    {"known", TraceType::flag},
    {"ok", TraceType::flag},
    {"reliable", TraceType::flag},
    {"retransmission", TraceType::flag},
    {"channel", TraceType::number, 0, TRACE_CHANNEL_MAX},
    {"length", TraceType::number, 0, TRACE_UNIT_LENGTH_MAX},
    {"bccmd", TraceType::object},
};
constexpr TraceField TRACE_BCCMD_FIELDS[] = {{"short", TraceType::flag}, {"ps", TraceType::object}};
constexpr TraceField TRACE_PS_FIELDS[] = {{"words", TraceType::list}};

bool trace_number_within(const TraceJson& value, std::int64_t low, std::int64_t high)
{
    if (value.is_number_unsigned()) {
        const std::uint64_t number = value.get<std::uint64_t>();
        return high >= 0 && number <= static_cast<std::uint64_t>(high) &&
               (low <= 0 || number >= static_cast<std::uint64_t>(low));
    }
    if (value.is_number_integer()) {
        const std::int64_t number = value.get<std::int64_t>();
        return number >= low && number <= high;
    }
    return false;  // a fraction or an exponent: no whole number the recorder writes
}

bool trace_has_type(const TraceJson& value, const TraceField& field)
{
    switch (field.type) {
    case TraceType::text: return value.is_string();
    case TraceType::flag: return value.is_boolean();
    case TraceType::number: return trace_number_within(value, field.low, field.high);
    case TraceType::object: return value.is_object();
    case TraceType::list: return value.is_array();
    }
    return false;
}

std::string trace_type_name(const TraceField& field)
{
    switch (field.type) {
    case TraceType::text: return "text";
    case TraceType::flag: return "true or false";
    case TraceType::number:
        return "a whole number from " + std::to_string(field.low) + " to " + std::to_string(field.high);
    case TraceType::object: return "an object";
    case TraceType::list: return "a list";
    }
    return "";
}

template <std::size_t N>
std::string trace_fields_problem(const TraceJson& object, const TraceField (&fields)[N], const std::string& whose)
{
    for (const TraceField& field : fields) {
        const auto value = object.find(field.name);
        if (value != object.end() && !trace_has_type(*value, field)) {
            return whose + "\"" + field.name + "\" is not " + trace_type_name(field);
        }
    }
    return "";
}

// The items of a persistent-store key's "words": each a 16-bit word.
std::string trace_words_problem(const TraceJson& words)
{
    for (const TraceJson& word : words) {
        if (!trace_number_within(word, 0, TRACE_WORD_MAX)) {
            return "a persistent-store key's \"words\" are not all whole numbers from 0 to " +
                   std::to_string(TRACE_WORD_MAX);
        }
    }
    return "";
}

// Why a decoded unit cannot be taken ("" when it can).
std::string trace_unit_problem(const TraceJson& unit)
{
    const auto kind = unit.is_object() ? unit.find("kind") : unit.end();
    if (kind == unit.end() || !kind->is_string()) {
        return "a decoded unit without \"kind\"";
    }
    for (const char* field : {"bytes", "payload"}) {
        const auto hex = unit.find(field);
        if (hex != unit.end() && (!hex->is_string() || !trace_is_hex(hex->get<std::string>()))) {
            return std::string("a decoded unit's \"") + field + "\" is not hex";
        }
    }
    std::string problem = trace_fields_problem(unit, TRACE_UNIT_FIELDS, "a decoded unit's ");
    const auto bccmd = unit.find("bccmd");
    if (problem.empty() && bccmd != unit.end()) {
        problem = trace_fields_problem(*bccmd, TRACE_BCCMD_FIELDS, "a BCCMD message's ");
        const auto ps = bccmd->find("ps");
        if (problem.empty() && ps != bccmd->end()) {
            problem = trace_fields_problem(*ps, TRACE_PS_FIELDS, "a persistent-store key's ");
            const auto words = ps->find("words");
            if (problem.empty() && words != ps->end()) {
                problem = trace_words_problem(*words);
            }
        }
    }
    return problem;
}

// Why object is not a trace event ("" when it is one).
std::string trace_event_problem(const TraceJson& object, std::uint64_t previous_us)
{
    if (!object.is_object()) {
        return "not a JSON object";
    }
    const auto event = object.find("event");
    if (event == object.end() || !event->is_string()) {
        return "no \"event\" name";
    }
    const auto time = object.find("t_us");
    if (time == object.end() || !time->is_number_unsigned()) {
        return "no \"t_us\" time";
    }
    if (time->get<std::uint64_t>() < previous_us) {
        return "time goes backwards";
    }
    const auto bytes = object.find("bytes");
    if (bytes != object.end() && (!bytes->is_string() || !trace_is_hex(bytes->get<std::string>()))) {
        return "\"bytes\" is not hex";
    }
    const auto decoded = object.find("decoded");
    if (decoded != object.end()) {
        if (!decoded->is_array()) {
            return "\"decoded\" is not a list";
        }
        for (const TraceJson& unit : *decoded) {
            const std::string problem = trace_unit_problem(unit);
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    return trace_fields_problem(object, TRACE_EVENT_FIELDS, "");
}

enum class TraceLine { whole, last, too_long, none };

// The next line into *line, without its newline, reading at most
// TRACE_LINE_MAX_BYTES of it: a longer line is not read on (too_long). last:
// the input ends without a newline after the line.
TraceLine trace_line_next(std::istream& input, std::string* line)
{
    line->clear();
    std::streambuf* buffer = input.rdbuf();
    if (buffer == nullptr || !input.good()) {
        return TraceLine::none;
    }
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            input.setstate(std::ios::eofbit);
            return line->empty() ? TraceLine::none : TraceLine::last;
        }
        if (c == '\n') {
            return TraceLine::whole;
        }
        if (line->size() == TRACE_LINE_MAX_BYTES) {
            return TraceLine::too_long;
        }
        line->push_back(static_cast<char>(c));
    }
}

// Whether text, one JSON value, nests objects and lists deeper than
// TRACE_JSON_DEPTH_MAX (brackets inside strings do not count).
bool trace_too_deep(const std::string& text)
{
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (const char c : text) {
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            if (++depth > TRACE_JSON_DEPTH_MAX) {
                return true;
            }
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return false;
}

}  // namespace

TraceFile trace_read(std::istream& input)
{
    TraceFile trace;
    std::string line;
    std::size_t number = 0;
    std::uint64_t previous_us = 0;
    for (;;) {
        const TraceLine kind = trace_line_next(input, &line);
        if (kind == TraceLine::none) {
            break;
        }
        ++number;
        const bool last = kind == TraceLine::last;  // no newline after it: the writer stopped mid-line
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() && !last) {
            continue;
        }
        std::string problem;
        TraceJson object;
        if (kind == TraceLine::too_long) {
            problem = "line longer than " + std::to_string(TRACE_LINE_MAX_BYTES) + " bytes";
        } else if (trace_too_deep(line)) {
            problem = "objects and lists nested deeper than " + std::to_string(TRACE_JSON_DEPTH_MAX) + " levels";
        } else {
            object = TraceJson::parse(line, nullptr, false);
            if (object.is_discarded()) {
                problem = last ? "cut off: the line ends before its object does" : "not JSON";
            }
        }
        // The first line that is not blank must be the header.
        if (problem.empty() && !trace.header.is_object()) {
            const auto event = object.is_object() ? object.find("event") : object.end();
            if (event == object.end() || *event != "header") {
                problem = "the first line is not a trace header";
            } else {
                trace.header = object;
                continue;
            }
        }
        if (problem.empty()) {
            problem = trace_event_problem(object, previous_us);
        }
        if (!problem.empty()) {
            trace.problem_line = number;
            trace.problem = problem;
            trace.cut = last;
            return trace;
        }
        previous_us = object["t_us"].get<std::uint64_t>();
        trace.events.push_back(TraceEvent{number, std::move(object)});
    }
    if (number == 0) {
        trace.problem_line = 1;
        trace.problem = "empty file";
    }
    return trace;
}

TraceFile trace_read_file(const std::string& path)
{
    std::ifstream input(path, std::ios::binary);
    if (!input) {
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    return trace_read(input);
}

std::string trace_problem_text(const TraceFile& trace)
{
    if (trace.problem_line == 0) {
        return "";
    }
    return "line " + std::to_string(trace.problem_line) + ": " + trace.problem;
}
