// The timeline picture of a wire trace, in the style of docs/timeline.svg.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "trace/trace_show.h"

namespace {

constexpr double SVG_WIDTH = 1100;
constexpr double SVG_LEFT = 190;  // room for the longest row label at 11 px
constexpr double SVG_RIGHT = 24;
constexpr double SVG_TOP = 64;
constexpr double SVG_ROW_HEIGHT = 18;
constexpr double SVG_ROW_GAP = 5;
constexpr double SVG_MARK_WIDTH = 2;
// The title's 15 px bold letters are about 9 px wide: longer titles are cut to
// stay inside the picture (the whole header is in trace show).
constexpr std::size_t SVG_TITLE_MAX_CHARS = 115;

constexpr const char* COLOUR_TEXT = "#222222";
constexpr const char* COLOUR_GRID = "#e4e4e4";
constexpr const char* COLOUR_AXIS = "#888888";
constexpr const char* COLOUR_OUT = "#d9822b";     // from the program to the adapter
constexpr const char* COLOUR_IN = "#2b8a3e";      // from the adapter to the program
constexpr const char* COLOUR_REPEAT = "#e0b000";  // a frame sent again
constexpr const char* COLOUR_ERROR = "#b02a2a";   // a damaged or refused unit, a failed call, silence
constexpr const char* COLOUR_PHASE = "#eeeeee";
constexpr const char* COLOUR_LINE = "#5b7bb7";    // line settings, modem lines, purges, open and close

struct Row {
    std::string label;
    std::string phase;  // "" for the line row
    std::string dir;
};

const std::vector<Row> SVG_ROWS = {
    {"line, modem lines", "", ""},
    {"pnp: program → adapter", "pnp", "out"},   {"pnp: adapter → program", "pnp", "in"},
    {"command: program → adapter", "command", "out"}, {"command: adapter → program", "command", "in"},
    {"bcsp: program → chip", "bcsp", "out"},    {"bcsp: chip → program", "bcsp", "in"},
};

// Control characters from the trace as trace_printable shows them: XML 1.0
// allows none of them, and a picture with one would not open.
std::string xml_escaped(const std::string& text)
{
    std::string escaped;
    for (const char c : trace_printable(text)) {
        switch (c) {
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '&': escaped += "&amp;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

std::string fixed(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

void svg_text(std::ostream& out, double x, double y, int size, const char* weight, const char* anchor,
              const std::string& text)
{
    out << "<text x=\"" << fixed(x) << "\" y=\"" << fixed(y) << "\" font-size=\"" << size << "\" font-weight=\""
        << weight << "\" fill=\"" << COLOUR_TEXT << "\" text-anchor=\"" << anchor << "\">" << xml_escaped(text)
        << "</text>\n";
}

void svg_rect(std::ostream& out, double x, double y, double width, double height, const char* fill,
              const std::string& title = "")
{
    out << "<rect x=\"" << fixed(x) << "\" y=\"" << fixed(y) << "\" width=\"" << fixed(width) << "\" height=\""
        << fixed(height) << "\" fill=\"" << fill << "\"";
    if (title.empty()) {
        out << "/>\n";
    } else {
        out << "><title>" << xml_escaped(title) << "</title></rect>\n";
    }
}

// One mark on a row. Marks closer than a pixel or two overlap: the ones that
// matter most (an error, then a repeat) are drawn last, so that none is hidden
// under an ordinary frame at the same time.
struct Mark {
    double x;
    double y;
    double height;
    const char* colour;
    std::string title;
};

int mark_layer(const Mark& mark)
{
    return mark.colour == COLOUR_ERROR ? 2 : mark.colour == COLOUR_REPEAT ? 1 : 0;
}

std::string svg_title(const TraceJson& header)
{
    std::string title = trace_field_text(header, "program") + " " + trace_command_text(header);
    if (title.size() > SVG_TITLE_MAX_CHARS) {
        title = title.substr(0, SVG_TITLE_MAX_CHARS - 3) + "...";
    }
    return title;
}

double row_y(std::size_t row)
{
    return SVG_TOP + static_cast<double>(row) * (SVG_ROW_HEIGHT + SVG_ROW_GAP);
}

std::size_t row_of(const std::string& phase, const std::string& dir)
{
    for (std::size_t i = 1; i < SVG_ROWS.size(); ++i) {
        if (SVG_ROWS[i].phase == phase && SVG_ROWS[i].dir == dir) {
            return i;
        }
    }
    return 0;
}

bool unit_is_error(const TraceJson& unit)
{
    const std::string kind = unit.value("kind", "");
    if (!unit.value("complete", true) || kind == "other") {
        return true;
    }
    if (kind == "bcsp") {
        const auto bccmd = unit.find("bccmd");
        const bool refused = bccmd != unit.end() && bccmd->contains("status") && (*bccmd)["status"] != "OK";
        return unit.value("check", "") != "ok" || refused;
    }
    return !unit.value("known", true) || !unit.value("ok", true);
}

// A step of 1, 2 or 5 times a power of ten giving at most about ten ticks.
double tick_step(double span)
{
    double step = 1e-3;
    for (;;) {
        for (const double factor : {1.0, 2.0, 5.0}) {
            if (span / (step * factor) <= 10) {
                return step * factor;
            }
        }
        step *= 10;
    }
}

}  // namespace

void trace_svg(const TraceFile& trace, std::ostream& out)
{
    const double end_s = trace.events.empty() ? 1.0
                                              : static_cast<double>(trace.events.back().object["t_us"].get<std::uint64_t>()) / 1e6;
    const double span_s = end_s > 0 ? end_s : 1.0;
    const double plot_width = SVG_WIDTH - SVG_LEFT - SVG_RIGHT;
    auto x_of = [&](std::uint64_t t_us) { return SVG_LEFT + plot_width * (static_cast<double>(t_us) / 1e6) / span_s; };
    const double axis_y = row_y(SVG_ROWS.size()) + 2;
    const double legend_y = axis_y + 40;
    const double height = legend_y + 30;

    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << SVG_WIDTH << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << SVG_WIDTH << " " << height << "\" font-family=\"DejaVu Sans, Verdana, sans-serif\">\n";
    out << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg_text(out, 10, 22, 15, "bold", "start", svg_title(trace.header));
    svg_text(out, 10, 48, 13, "bold", "start",
             "Wire trace started " + trace_field_text(trace.header, "start") + " (s from the start)");
    for (std::size_t i = 0; i < SVG_ROWS.size(); ++i) {
        const double y = row_y(i);
        svg_text(out, SVG_LEFT - 8, y + 13, 11, "normal", "end", SVG_ROWS[i].label);
        out << "<line x1=\"" << fixed(SVG_LEFT) << "\" y1=\"" << fixed(y + SVG_ROW_HEIGHT + 0.5) << "\" x2=\""
            << fixed(SVG_WIDTH - SVG_RIGHT) << "\" y2=\"" << fixed(y + SVG_ROW_HEIGHT + 0.5) << "\" stroke=\""
            << COLOUR_GRID << "\" stroke-width=\"1.0\"/>\n";
    }

    // The phases: a band over both rows of a phase while the line is set for it.
    std::string phase = "unknown";
    std::uint64_t phase_start = 0;
    auto close_phase = [&](std::uint64_t t_us) {
        if (phase == "pnp" || phase == "command" || phase == "bcsp") {
            const double y = row_y(row_of(phase, "out"));
            svg_rect(out, x_of(phase_start), y, x_of(t_us) - x_of(phase_start), 2 * SVG_ROW_HEIGHT + SVG_ROW_GAP,
                     COLOUR_PHASE);
        }
    };
    for (const TraceEvent& item : trace.events) {
        const TraceJson& event = item.object;
        const std::string name = event.value("event", "");
        const std::uint64_t t_us = event["t_us"].get<std::uint64_t>();
        if (name == "settings" || name == "close") {
            close_phase(t_us);
            phase = name == "close" ? "unknown" : event.value("phase", "unknown");
            phase_start = t_us;
        }
    }
    close_phase(trace.events.empty() ? 0 : trace.events.back().object["t_us"].get<std::uint64_t>());

    // The marks.
    std::vector<Mark> marks;
    phase = "unknown";
    for (const TraceEvent& item : trace.events) {
        const TraceJson& event = item.object;
        const std::string name = event.value("event", "");
        const std::uint64_t t_us = event["t_us"].get<std::uint64_t>();
        const double x = x_of(t_us);
        if (name == "settings") {
            phase = event.value("phase", "unknown");
        }
        const bool failed = !event.value("ok", true);
        if (name != "read" && name != "write" && name != "end") {
            marks.push_back({x, row_y(0) + 3, SVG_ROW_HEIGHT - 6, failed ? COLOUR_ERROR : COLOUR_LINE, name});
        }
        if (name == "read" && event.value("bytes", "").empty()) {
            marks.push_back({x, row_y(row_of(phase, "in")) + 6, SVG_ROW_HEIGHT - 12, COLOUR_ERROR,
                             "nothing came within the read time-out"});
        }
        for (const TraceJson& unit : event.value("decoded", TraceJson::array())) {
            const std::string dir = unit.value("dir", name == "read" ? "in" : "out");
            const std::size_t row = row_of(phase, dir);
            if (row == 0) {
                continue;
            }
            const char* colour = unit_is_error(unit)                     ? COLOUR_ERROR
                                 : unit.value("retransmission", false) ? COLOUR_REPEAT
                                 : dir == "in"                           ? COLOUR_IN
                                                                         : COLOUR_OUT;
            marks.push_back({x, row_y(row) + 2, SVG_ROW_HEIGHT - 4, colour, trace_unit_text(unit)});
        }
    }
    std::stable_sort(marks.begin(), marks.end(),
                     [](const Mark& a, const Mark& b) { return mark_layer(a) < mark_layer(b); });
    for (const Mark& mark : marks) {
        svg_rect(out, mark.x, mark.y, SVG_MARK_WIDTH, mark.height, mark.colour, mark.title);
    }

    // The time axis.
    out << "<line x1=\"" << fixed(SVG_LEFT) << "\" y1=\"" << fixed(axis_y) << "\" x2=\"" << fixed(SVG_WIDTH - SVG_RIGHT)
        << "\" y2=\"" << fixed(axis_y) << "\" stroke=\"" << COLOUR_AXIS << "\" stroke-width=\"1.0\"/>\n";
    const double step = tick_step(span_s);
    for (double t = 0; t <= span_s + step / 1000; t += step) {
        const double x = SVG_LEFT + plot_width * t / span_s;
        out << "<line x1=\"" << fixed(x) << "\" y1=\"" << fixed(axis_y) << "\" x2=\"" << fixed(x) << "\" y2=\""
            << fixed(axis_y + 4) << "\" stroke=\"" << COLOUR_AXIS << "\" stroke-width=\"1.0\"/>\n";
        char label[32];
        std::snprintf(label, sizeof label, "%g", t);
        svg_text(out, x, axis_y + 15, 10, "normal", "middle", label);
    }

    // The legend.
    const std::pair<const char*, const char*> legend[] = {
        {COLOUR_OUT, "program → adapter"}, {COLOUR_IN, "adapter → program"}, {COLOUR_REPEAT, "sent again"},
        {COLOUR_ERROR, "damaged, refused, cut short or silent"}, {COLOUR_LINE, "port calls"}};
    double x = SVG_LEFT;
    for (const auto& [colour, text] : legend) {
        svg_rect(out, x, legend_y - 9, 10, 10, colour);
        svg_text(out, x + 14, legend_y, 11, "normal", "start", text);
        x += 34 + 6.5 * static_cast<double>(std::string(text).size());
    }
    out << "</svg>\n";
}
