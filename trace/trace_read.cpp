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
            const auto kind = unit.is_object() ? unit.find("kind") : unit.end();
            if (kind == unit.end() || !kind->is_string()) {
                return "a decoded unit without \"kind\"";
            }
            const auto unit_bytes = unit.find("bytes");
            if (unit_bytes != unit.end() && (!unit_bytes->is_string() || !trace_is_hex(unit_bytes->get<std::string>()))) {
                return "a decoded unit's \"bytes\" is not hex";
            }
        }
    }
    return "";
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
        if (problem.empty() && number == 1) {
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
