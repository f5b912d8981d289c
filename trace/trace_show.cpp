// The readable timeline of a wire trace.
#include "trace/trace_show.h"

#include <cctype>
#include <cstdio>
#include <map>

namespace {

bool utf8_continuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// The length of the UTF-8 sequence at text[at] (2 to 4), or 0 when the bytes
// there are none: the second byte's range rules out overlong forms,
// surrogates and code points past U+10FFFF.
std::size_t utf8_sequence(const std::string& text, std::size_t at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        second_low = lead == 0xE0 ? 0xA0 : 0x80;
        second_high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        second_low = lead == 0xF0 ? 0x90 : 0x80;
        second_high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || at + length > text.size() || byte(1) < second_low || byte(1) > second_high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!utf8_continuation(byte(i))) {
            return 0;
        }
    }
    return length;
}

std::string trace_spaced_hex(const std::string& hex)
{
    std::string spaced;
    spaced.reserve(hex.size() * 3 / 2);
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (i > 0) {
            spaced += ' ';
        }
        spaced += hex.substr(i, 2);
    }
    return spaced;
}

}  // namespace

std::string trace_printable(const std::string& text)
{
    std::string shown;
    shown.reserve(text.size());
    char escape[8];
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
            ++at;
            continue;
        }
        if (c < 0x80) {
            shown += static_cast<char>(c);
            ++at;
            continue;
        }
        const std::size_t length = utf8_sequence(text, at);
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
            ++at;
        } else if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) <= 0x9F) {
            // U+0080..U+009F: the C1 controls (U+009B starts an escape sequence too).
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[at + 1]));
            shown += escape;
            at += length;
        } else {
            shown.append(text, at, length);
            at += length;
        }
    }
    return shown;
}

std::string trace_field_text(const TraceJson& object, const char* field)
{
    const auto value = object.find(field);
    if (value == object.end()) {
        return "";
    }
    return value->is_string() ? value->get<std::string>() : value->dump();
}

namespace {

std::string quoted(const TraceJson& object, const char* field)
{
    // Appended, not concatenated: g++ 12 for mingw warns (-Wrestrict) on "x" + string.
    std::string text = "\"";
    text += trace_field_text(object, field);
    text += '"';
    return text;
}

std::string words_text(const TraceJson& words)
{
    std::string text;
    for (const TraceJson& word : words) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04x", word.is_number_unsigned() ? word.get<unsigned>() : 0u);
        if (!text.empty()) {
            text += ' ';
        }
        text += hex;
    }
    return text;
}

std::string bccmd_text(const TraceJson& m)
{
    if (m.value("short", false)) {
        return "BCCMD message too short";
    }
    std::string text = "BCCMD " + trace_field_text(m, "type") + " " + trace_field_text(m, "varid") + " seqno " + trace_field_text(m, "seqno");
    const std::string status = trace_field_text(m, "status");
    if (trace_field_text(m, "type") == "response") {
        text += " " + status;
    } else if (status != "OK") {
        text += " status " + status;
    }
    if (m.contains("build_id")) {
        text += ", build id " + trace_field_text(m, "build_id");
    }
    if (m.contains("ps")) {
        const TraceJson& ps = m["ps"];
        text += ", key " + trace_field_text(ps, "key") + " length " + trace_field_text(ps, "length");
        if (ps.contains("device_name")) {
            text += ": device name " + quoted(ps, "device_name");
        } else if (const auto words = ps.find("words"); words != ps.end() && !words->empty()) {
            text += ": " + words_text(*words);
        }
    }
    return text;
}

std::string bcsp_text(const TraceJson& unit)
{
    const std::string check = unit.value("check", "");
    std::string text = "BCSP";
    if (unit.contains("le")) {
        text += " " + trace_field_text(unit, "le");
    } else if (unit.contains("channel")) {
        if (unit.value("channel", -1) == 0 && unit.value("length", -1) == 0) {
            text += " ack " + trace_field_text(unit, "ack");
        } else {
            text += std::string(unit.value("reliable", false) ? " reliable" : " unreliable") + " seq " +
                    trace_field_text(unit, "seq") + " ack " + trace_field_text(unit, "ack") + " channel " + trace_field_text(unit, "channel") +
                    ", " + trace_field_text(unit, "length") + " bytes";
        }
    }
    static const std::map<std::string, std::string> PROBLEMS = {
        {"header_checksum", "bad header checksum"}, {"length", "wrong length"}, {"crc", "bad CRC"},
        {"short", "too short for a header"}, {"unfinished", "unfinished"}, {"too_long", "no closing delimiter"}};
    const auto problem = PROBLEMS.find(check);
    if (problem != PROBLEMS.end()) {
        text += " (" + problem->second + ")";
    }
    if (unit.value("retransmission", false)) {
        text += " (sent again)";
    }
    if (unit.contains("bccmd")) {
        text += ": " + bccmd_text(unit["bccmd"]);
    }
    return text;
}

std::string settings_text(const TraceJson& event)
{
    const std::string parity = trace_field_text(event, "parity");
    return trace_field_text(event, "baud") + " " + trace_field_text(event, "data_bits") +
           static_cast<char>(parity.empty() ? '?' : std::toupper(static_cast<unsigned char>(parity[0]))) +
           trace_field_text(event, "stop_bits") + ", DTR " + trace_field_text(event, "dtr") + ", RTS " + trace_field_text(event, "rts");
}

std::string event_text(const TraceJson& event, bool raw)
{
    const std::string name = trace_field_text(event, "event");
    std::string text;
    if (name == "open") {
        text = "open " + trace_field_text(event, "port");
    } else if (name == "setup") {
        text = "queues of " + trace_field_text(event, "queue") + " bytes";
    } else if (name == "get_state") {
        text = "line settings read: " + settings_text(event);
    } else if (name == "settings") {
        text = "line settings " + settings_text(event) + " (" + trace_field_text(event, "phase") + ")";
    } else if (name == "timeouts" && event.value("read_interval_ms", 0u) == 0xFFFFFFFFu &&
               event.value("read_multiplier_ms", 1u) == 0 && event.value("read_constant_ms", 1u) == 0) {
        text = "time-outs: reads return at once, write " + trace_field_text(event, "write_multiplier_ms") + " ms a byte + " +
               trace_field_text(event, "write_constant_ms") + " ms";
    } else if (name == "timeouts") {
        text = "time-outs: read interval " + trace_field_text(event, "read_interval_ms") + " ms, read " +
               trace_field_text(event, "read_multiplier_ms") + " ms a byte + " + trace_field_text(event, "read_constant_ms") +
               " ms, write " + trace_field_text(event, "write_multiplier_ms") + " ms a byte + " +
               trace_field_text(event, "write_constant_ms") + " ms";
    } else if (name == "purge") {
        text = std::string("purge") + (event.value("rx", false) ? " input" : "") + (event.value("tx", false) ? " output" : "");
    } else if (name == "modem") {
        std::string line = trace_field_text(event, "line");
        for (char& c : line) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        text = line + (event.value("level", 0) ? " high" : " low");
    } else if (name == "read" || name == "write") {
        const std::string bytes = trace_field_text(event, "bytes");
        text = (name == "read" ? "read " : "write ") + std::to_string(bytes.size() / 2) + " of " +
               trace_field_text(event, "asked") + " bytes";
        if (!raw && bytes.empty() && name == "read") {
            text = "nothing came within the read time-out";
        }
    } else if (name == "close") {
        text = "close";
    } else {
        text = name;
    }
    if (!event.value("ok", true)) {
        text += " FAILED (error " + trace_field_text(event, "error") + ")";
    }
    return text;
}

// The phase column's width: the longest phase name ("command") fits.
constexpr std::size_t TRACE_SHOW_PHASE_WIDTH = 7;

struct ShowLine {
    std::uint64_t t_us;
    const char* direction;
    std::string phase;
    std::string text;
    std::string hex;
};

// Everything that came from the trace (the phase, the meaning with its texts)
// through trace_printable: a trace comes from someone else.
void show_line(std::ostream& out, const ShowLine& line)
{
    char head[64];
    std::snprintf(head, sizeof head, "%10.6f  %-2s  ", static_cast<double>(line.t_us) / 1e6, line.direction);
    std::string phase = trace_printable(line.phase);
    if (phase.size() < TRACE_SHOW_PHASE_WIDTH) {
        phase.resize(TRACE_SHOW_PHASE_WIDTH, ' ');
    }
    out << head << phase << "  " << trace_printable(line.text);
    if (!line.hex.empty()) {
        out << "  [" << trace_spaced_hex(line.hex) << "]";
    }
    out << '\n';
}

}  // namespace

std::string trace_unit_text(const TraceJson& unit)
{
    const std::string kind = trace_field_text(unit, "kind");
    const bool complete = unit.value("complete", true);
    std::string text;
    if (kind == "pnp_reply") {
        text = "Plug-and-Play reply " + quoted(unit, "pnp_id") + " (revision " + trace_field_text(unit, "revision") + ")";
        if (unit.contains("extra")) {
            text += ", then " + quoted(unit, "extra");
        }
        if (!unit.value("known", true)) {
            text += ", not a known identifier";
        }
    } else if (kind == "handshake_request") {
        text = "setup request " + quoted(unit, "text");
    } else if (kind == "handshake_answer") {
        text = "handshake answer " + quoted(unit, "text") + (unit.value("ok", false) ? "" : ", not the expected one");
    } else if (kind == "command") {
        text = "adapter command " + trace_field_text(unit, "name") + " (" + trace_field_text(unit, "code") + ")";
    } else if (kind == "reply_frame") {
        text = "reply frame " + trace_field_text(unit, "code") + ", " + trace_field_text(unit, "length") + " bytes";
        if (unit.contains("version")) {
            text += ": version " + quoted(unit, "version") + " (" + trace_field_text(unit, "variant") + ")";
        }
    } else if (kind == "bcsp") {
        return bcsp_text(unit) + (complete || unit.value("check", "") == "unfinished" ? "" : " (cut short)");
    } else if (kind == "other") {
        text = "bytes that fit nothing expected here";
    } else {
        text = kind;
    }
    return complete ? text : text + " (cut short)";
}

std::string trace_command_text(const TraceJson& header)
{
    const std::string command = trace_field_text(header, "command");
    const std::string port = trace_field_text(header, "port");
    if (port.empty() || command.find(port) != std::string::npos) {
        return command;
    }
    return command + " on " + port;
}

void trace_show(const TraceFile& trace, const TraceShowOptions& options, std::ostream& out)
{
    if (trace.header.is_object()) {
        out << "# "
            << trace_printable(trace_field_text(trace.header, "program") + ": " + trace_command_text(trace.header) +
                               " (" + trace_field_text(trace.header, "platform") + "), started " +
                               trace_field_text(trace.header, "start"))
            << '\n';
    }
    // Bytes each direction has moved that no decoded unit has covered yet.
    std::map<std::string, std::string> pending{{"out", ""}, {"in", ""}};
    std::string phase = "unknown";
    for (const TraceEvent& item : trace.events) {
        const TraceJson& event = item.object;
        const std::string name = trace_field_text(event, "event");
        const std::uint64_t t_us = event["t_us"].get<std::uint64_t>();
        if (name == "settings") {
            phase = trace_field_text(event, "phase");
        }
        const std::string event_phase = event.contains("phase") ? trace_field_text(event, "phase") : phase;
        const bool io = name == "read" || name == "write";
        const std::string dir = name == "read" ? "in" : "out";
        const char* arrow = !io ? "" : name == "read" ? "<-" : "->";
        if (io) {
            pending[dir] += trace_field_text(event, "bytes");
        }
        const bool shown = options.phase.empty() || options.phase == event_phase;
        if (options.raw || !io || (name == "read" && trace_field_text(event, "bytes").empty())) {
            if (shown && !(name == "end" && !options.raw)) {
                show_line(out, {t_us, arrow, io ? event_phase : "", event_text(event, options.raw),
                                options.raw ? trace_field_text(event, "bytes") : ""});
            }
        }
        for (const TraceJson& unit : event.value("decoded", TraceJson::array())) {
            const std::string unit_dir = unit.contains("dir") ? trace_field_text(unit, "dir") : dir;
            const std::string hex = trace_field_text(unit, "bytes");
            std::string& held = pending[unit_dir];
            held.erase(0, held.compare(0, hex.size(), hex) == 0 ? hex.size() : held.size());
            if (!options.raw && shown) {
                show_line(out, {t_us, unit_dir == "in" ? "<-" : "->", event_phase, trace_unit_text(unit), hex});
            }
        }
    }
    if (!options.raw) {
        const std::uint64_t last_us = trace.events.empty() ? 0 : trace.events.back().object["t_us"].get<std::uint64_t>();
        for (const auto& [dir, hex] : pending) {
            if (!hex.empty() && (options.phase.empty() || options.phase == phase)) {
                show_line(out, {last_us, dir == "in" ? "<-" : "->", phase, "not decoded yet when the trace ends", hex});
            }
        }
    }
    if (trace.problem_line != 0) {
        out << "# the trace ends at " << trace_printable(trace_problem_text(trace)) << '\n';
    }
}
