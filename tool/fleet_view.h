// What people see while several adapters are updated at once. On a terminal
// that takes escape sequences: a table, one row per port (port, phase,
// seconds in the phase, last line), redrawn in place at most
// FLEET_REDRAW_PER_SECOND times a second and cut to the terminal's width. Else
// each port's lines as they come, each whole and prefixed with the port
// ("ttyUSB0: Update Wizard started succefully"), never torn by another's.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

inline constexpr int FLEET_REDRAW_PER_SECOND = 10;
// The phase column's width: the longest phase fits.
inline constexpr std::size_t FLEET_PHASE_COLUMN = 24;

struct FleetRow {
    std::string port;      // the short name
    std::string phase;
    std::uint64_t phase_since_ms = 0;
    std::string last_line;
};

class FleetView {
public:
    enum Mode { TABLE, LINES, QUIET };
    FleetView(std::ostream& out, Mode mode, int width);

    Mode mode() const { return mode_; }
    // LINES: one line of a port's, as it came.
    void line(const std::string& port, const std::string& text);
    // TABLE: the rows now; drawn when the last drawing is old enough, or when forced.
    void draw(const std::vector<FleetRow>& rows, std::uint64_t now_ms, bool force = false);
    // TABLE: something else was written below the table; the next drawing starts afresh there.
    void detach()
    {
        drawn_rows_ = 0;
        drawn_.clear();
    }

private:
    std::ostream& out_;
    Mode mode_;
    int width_;
    int drawn_rows_ = 0;
    std::uint64_t drawn_at_ms_ = 0;
    std::string drawn_;  // the last drawing, so that an unchanged one is not written again
};

// "0:41".
std::string fleet_minutes(std::uint64_t milliseconds);
// text cut to width characters, "..." at the cut.
std::string fleet_cut(const std::string& text, std::size_t width);
