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
// trace, with the type each must have when present. A field of another type
// (a hand-edited or damaged trace) is refused here with its line, so that
// what reads the events later can take them as they are.
enum class TraceType { text, flag, number, object, list };

struct TraceField {
    const char* name;
    TraceType type;
};

constexpr TraceField TRACE_EVENT_FIELDS[] = {
    {"phase", TraceType::text},           {"ok", TraceType::flag},
    {"rx", TraceType::flag},              {"tx", TraceType::flag},
    {"level", TraceType::number},         {"read_interval_ms", TraceType::number},
    {"read_multiplier_ms", TraceType::number}, {"read_constant_ms", TraceType::number},
};
constexpr TraceField TRACE_UNIT_FIELDS[] = {
    {"dir", TraceType::text},       {"check", TraceType::text},      {"complete", TraceType::flag},
    {"known", TraceType::flag},     {"ok", TraceType::flag},         {"reliable", TraceType::flag},
    {"retransmission", TraceType::flag}, {"channel", TraceType::number}, {"length", TraceType::number},
    {"bccmd", TraceType::object},
};
constexpr TraceField TRACE_BCCMD_FIELDS[] = {{"short", TraceType::flag}, {"ps", TraceType::object}};
constexpr TraceField TRACE_PS_FIELDS[] = {{"words", TraceType::list}};

bool trace_has_type(const TraceJson& value, TraceType type)
{
    switch (type) {
    case TraceType::text: return value.is_string();
    case TraceType::flag: return value.is_boolean();
    case TraceType::number: return value.is_number();
    case TraceType::object: return value.is_object();
    case TraceType::list: return value.is_array();
    }
    return false;
}

template <std::size_t N>
std::string trace_fields_problem(const TraceJson& object, const TraceField (&fields)[N], const std::string& whose)
{
    static const char* const TYPE_NAMES[] = {"text", "true or false", "a number", "an object", "a list"};
    for (const TraceField& field : fields) {
        const auto value = object.find(field.name);
        if (value != object.end() && !trace_has_type(*value, field.type)) {
            return whose + "\"" + field.name + "\" is not " + TYPE_NAMES[static_cast<int>(field.type)];
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

}  // namespace

TraceFile trace_read(std::istream& input)
{
    TraceFile trace;
    std::string line;
    std::size_t number = 0;
    std::uint64_t previous_us = 0;
    while (std::getline(input, line)) {
        ++number;
        const bool last = input.eof();  // no newline after it: the writer stopped mid-line
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() && !last) {
            continue;
        }
        std::string problem;
        TraceJson object;
        if (line.size() > TRACE_LINE_MAX_BYTES) {
            problem = "line too long";
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
