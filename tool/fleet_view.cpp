#include "tool/fleet_view.h"

#include <algorithm>
#include <ostream>

namespace {

constexpr std::uint64_t FLEET_REDRAW_INTERVAL_MS = 1000 / FLEET_REDRAW_PER_SECOND;
constexpr std::size_t FLEET_TIME_COLUMN = 6;
constexpr std::size_t FLEET_GAP = 2;
// Escape sequences: to the start of the line N lines up; clear the line.
constexpr char ESCAPE_UP_FORMAT_START[] = "\x1b[";
constexpr char ESCAPE_UP_FORMAT_END[] = "F";
constexpr char ESCAPE_CLEAR_LINE[] = "\x1b[2K";

std::string padded(const std::string& text, std::size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::string fleet_minutes(std::uint64_t milliseconds)
{
    const std::uint64_t seconds = milliseconds / 1000;
    const std::uint64_t rest = seconds % 60;
    return std::to_string(seconds / 60) + (rest < 10 ? ":0" : ":") + std::to_string(rest);
}

std::string fleet_cut(const std::string& text, std::size_t width)
{
    if (text.size() <= width) {
        return text;
    }
    return width > 3 ? text.substr(0, width - 3) + "..." : text.substr(0, width);
}

FleetView::FleetView(std::ostream& out, Mode mode, int width) : out_(out), mode_(mode), width_(width) {}

void FleetView::line(const std::string& port, const std::string& text)
{
    if (mode_ == LINES) {
        // One write a line: a line of one port is never torn by another's.
        out_ << (port + ": " + text + "\n") << std::flush;
    }
}

void FleetView::draw(const std::vector<FleetRow>& rows, std::uint64_t now_ms, bool force)
{
    if (mode_ != TABLE || (!force && drawn_rows_ != 0 && now_ms - drawn_at_ms_ < FLEET_REDRAW_INTERVAL_MS)) {
        return;
    }
    std::size_t port_width = std::string("PORT").size();
    for (const FleetRow& row : rows) {
        port_width = std::max(port_width, row.port.size());
    }
    port_width += FLEET_GAP;
    const std::size_t phase_width = FLEET_PHASE_COLUMN + FLEET_GAP;
    const std::size_t fixed = port_width + phase_width + FLEET_TIME_COLUMN;
    // One column short of the width: a line that fills it wraps on some terminals.
    const std::size_t usable = width_ > 1 ? static_cast<std::size_t>(width_ - 1) : 0;
    const std::size_t last_width = usable > fixed ? usable - fixed : 0;

    std::string text;
    const auto put = [&](const std::string& line) { text += ESCAPE_CLEAR_LINE + fleet_cut(line, usable) + "\n"; };
    put(padded("PORT", port_width) + padded("PHASE", phase_width) + padded("TIME", FLEET_TIME_COLUMN) + "LAST LINE");
    for (const FleetRow& row : rows) {
        const std::uint64_t in_phase = now_ms >= row.phase_since_ms ? now_ms - row.phase_since_ms : 0;
        put(padded(row.port, port_width) + padded(fleet_cut(row.phase, FLEET_PHASE_COLUMN), phase_width) +
            padded(fleet_minutes(in_phase), FLEET_TIME_COLUMN) + fleet_cut(row.last_line, last_width));
    }
    if (text == drawn_) {
        return;  // nothing changed: the terminal keeps what it shows
    }
    const std::string up = drawn_rows_ != 0
                               ? ESCAPE_UP_FORMAT_START + std::to_string(drawn_rows_ + 1) + ESCAPE_UP_FORMAT_END
                               : std::string();
    out_ << up << text << std::flush;
    drawn_ = text;
    drawn_rows_ = static_cast<int>(rows.size());
    drawn_at_ms_ = now_ms;
}
