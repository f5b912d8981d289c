// The readable timeline of a wire trace.
#include "trace/trace_show.h"

#include <cctype>
#include <cstdio>
#include <map>

namespace {

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

std::string text_of(const TraceJson& object, const char* field)
{
    const auto value = object.find(field);
    if (value == object.end()) {
        return "";
    }
    return value->is_string() ? value->get<std::string>() : value->dump();
}

std::string quoted(const TraceJson& object, const char* field)
{
    // Appended, not concatenated: g++ 12 for mingw warns (-Wrestrict) on "x" + string.
    std::string text = "\"";
    text += text_of(object, field);
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
    std::string text = "BCCMD " + text_of(m, "type") + " " + text_of(m, "varid") + " seqno " + text_of(m, "seqno");
    const std::string status = text_of(m, "status");
    if (text_of(m, "type") == "response") {
        text += " " + status;
    } else if (status != "OK") {
        text += " status " + status;
    }
    if (m.contains("build_id")) {
        text += ", build id " + text_of(m, "build_id");
    }
    if (m.contains("ps")) {
        const TraceJson& ps = m["ps"];
        text += ", key " + text_of(ps, "key") + " length " + text_of(ps, "length");
        if (ps.contains("device_name")) {
            text += ": device name " + quoted(ps, "device_name");
        } else if (!ps["words"].empty()) {
            text += ": " + words_text(ps["words"]);
        }
    }
    return text;
}

std::string bcsp_text(const TraceJson& unit)
{
    const std::string check = unit.value("check", "");
    std::string text = "BCSP";
    if (unit.contains("le")) {
        text += " " + text_of(unit, "le");
    } else if (unit.contains("channel")) {
        if (unit.value("channel", -1) == 0 && unit.value("length", -1) == 0) {
            text += " ack " + text_of(unit, "ack");
        } else {
            text += std::string(unit.value("reliable", false) ? " reliable" : " unreliable") + " seq " +
                    text_of(unit, "seq") + " ack " + text_of(unit, "ack") + " channel " + text_of(unit, "channel") +
                    ", " + text_of(unit, "length") + " bytes";
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
    const std::string parity = text_of(event, "parity");
    return text_of(event, "baud") + " " + text_of(event, "data_bits") +
           static_cast<char>(parity.empty() ? '?' : std::toupper(static_cast<unsigned char>(parity[0]))) +
           text_of(event, "stop_bits") + ", DTR " + text_of(event, "dtr") + ", RTS " + text_of(event, "rts");
}

std::string event_text(const TraceJson& event, bool raw)
{
    const std::string name = text_of(event, "event");
    std::string text;
    if (name == "open") {
        text = "open " + text_of(event, "port");
    } else if (name == "setup") {
        text = "queues of " + text_of(event, "queue") + " bytes";
    } else if (name == "get_state") {
        text = "line settings read: " + settings_text(event);
    } else if (name == "settings") {
        text = "line settings " + settings_text(event) + " (" + text_of(event, "phase") + ")";
    } else if (name == "timeouts" && event.value("read_interval_ms", 0u) == 0xFFFFFFFFu &&
               event.value("read_multiplier_ms", 1u) == 0 && event.value("read_constant_ms", 1u) == 0) {
        text = "time-outs: reads return at once, write " + text_of(event, "write_multiplier_ms") + " ms a byte + " +
               text_of(event, "write_constant_ms") + " ms";
    } else if (name == "timeouts") {
        text = "time-outs: read interval " + text_of(event, "read_interval_ms") + " ms, read " +
               text_of(event, "read_multiplier_ms") + " ms a byte + " + text_of(event, "read_constant_ms") +
               " ms, write " + text_of(event, "write_multiplier_ms") + " ms a byte + " +
               text_of(event, "write_constant_ms") + " ms";
    } else if (name == "purge") {
        text = std::string("purge") + (event.value("rx", false) ? " input" : "") + (event.value("tx", false) ? " output" : "");
    } else if (name == "modem") {
        std::string line = text_of(event, "line");
        for (char& c : line) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        text = line + (event.value("level", 0) ? " high" : " low");
    } else if (name == "read" || name == "write") {
        const std::string bytes = text_of(event, "bytes");
        text = (name == "read" ? "read " : "write ") + std::to_string(bytes.size() / 2) + " of " +
               text_of(event, "asked") + " bytes";
        if (!raw && bytes.empty() && name == "read") {
            text = "nothing came within the read time-out";
        }
    } else if (name == "close") {
        text = "close";
    } else {
        text = name;
    }
    if (!event.value("ok", true)) {
        text += " FAILED (error " + text_of(event, "error") + ")";
    }
    return text;
}

struct ShowLine {
    std::uint64_t t_us;
    const char* direction;
    std::string phase;
    std::string text;
    std::string hex;
};

void show_line(std::ostream& out, const ShowLine& line)
{
    char head[64];
    std::snprintf(head, sizeof head, "%10.6f  %-2s  %-7s  ", static_cast<double>(line.t_us) / 1e6, line.direction,
                  line.phase.c_str());
    out << head << line.text;
    if (!line.hex.empty()) {
        out << "  [" << trace_spaced_hex(line.hex) << "]";
    }
    out << '\n';
}

}  // namespace

std::string trace_unit_text(const TraceJson& unit)
{
    const std::string kind = text_of(unit, "kind");
    const bool complete = unit.value("complete", true);
    std::string text;
    if (kind == "pnp_reply") {
        text = "Plug-and-Play reply " + quoted(unit, "pnp_id") + " (revision " + text_of(unit, "revision") + ")";
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
        text = "adapter command " + text_of(unit, "name") + " (" + text_of(unit, "code") + ")";
    } else if (kind == "reply_frame") {
        text = "reply frame " + text_of(unit, "code") + ", " + text_of(unit, "length") + " bytes";
        if (unit.contains("version")) {
            text += ": version " + quoted(unit, "version") + " (" + text_of(unit, "variant") + ")";
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
    const std::string command = text_of(header, "command");
    const std::string port = text_of(header, "port");
    if (port.empty() || command.find(port) != std::string::npos) {
        return command;
    }
    return command + " on " + port;
}

void trace_show(const TraceFile& trace, const TraceShowOptions& options, std::ostream& out)
{
    if (trace.header.is_object()) {
        out << "# " << text_of(trace.header, "program") << ": " << trace_command_text(trace.header) << " ("
            << text_of(trace.header, "platform") << "), started " << text_of(trace.header, "start") << '\n';
    }
    // Bytes each direction has moved that no decoded unit has covered yet.
    std::map<std::string, std::string> pending{{"out", ""}, {"in", ""}};
    std::string phase = "unknown";
    for (const TraceEvent& item : trace.events) {
        const TraceJson& event = item.object;
        const std::string name = text_of(event, "event");
        const std::uint64_t t_us = event["t_us"].get<std::uint64_t>();
        if (name == "settings") {
            phase = text_of(event, "phase");
        }
        const std::string event_phase = event.contains("phase") ? text_of(event, "phase") : phase;
        const bool io = name == "read" || name == "write";
        const std::string dir = name == "read" ? "in" : "out";
        const char* arrow = !io ? "" : name == "read" ? "<-" : "->";
        if (io) {
            pending[dir] += text_of(event, "bytes");
        }
        const bool shown = options.phase.empty() || options.phase == event_phase;
        if (options.raw || !io || (name == "read" && text_of(event, "bytes").empty())) {
            if (shown && !(name == "end" && !options.raw)) {
                show_line(out, {t_us, arrow, io ? event_phase : "", event_text(event, options.raw),
                                options.raw ? text_of(event, "bytes") : ""});
            }
        }
        for (const TraceJson& unit : event.value("decoded", TraceJson::array())) {
            const std::string unit_dir = unit.contains("dir") ? text_of(unit, "dir") : dir;
            const std::string hex = text_of(unit, "bytes");
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
        out << "# the trace ends at " << trace_problem_text(trace) << '\n';
    }
}
