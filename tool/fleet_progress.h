// How a child of marrowlink update (one adapter of several) tells its parent
// where it stands: one line per phase, {"phase":"download tool running"},
// appended to a file the parent names (--progress FILE) and flushed at once.
// The parent reads whole lines only, so it never sees half of one.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The phases, as the parent's table shows them.
inline constexpr char FLEET_PHASE_WAITING[] = "waiting";
inline constexpr char FLEET_PHASE_STARTING[] = "starting";
inline constexpr char FLEET_PHASE_CONTACTING[] = "contacting";
inline constexpr char FLEET_PHASE_PREPARING[] = "preparing the chip";
inline constexpr char FLEET_PHASE_BACKING_UP[] = "backing up the store";
inline constexpr char FLEET_PHASE_DOWNLOAD[] = "download tool running";
inline constexpr char FLEET_PHASE_RESTORING[] = "restoring configuration";
inline constexpr char FLEET_PHASE_RECOVERING[] = "recovering";

// The child's side; does nothing without a file.
class FleetProgressWriter {
public:
    explicit FleetProgressWriter(const std::string& path);
    ~FleetProgressWriter();
    FleetProgressWriter(const FleetProgressWriter&) = delete;
    FleetProgressWriter& operator=(const FleetProgressWriter&) = delete;

    void phase(const std::string& name);

private:
    std::FILE* file_ = nullptr;
};

// Reads what a file has gained since the last call: the whole lines, the
// last part of a line still being written kept for the next call.
class FileLines {
public:
    explicit FileLines(std::string path) : path_(std::move(path)) {}
    std::vector<std::string> next();

private:
    std::string path_;
    long long offset_ = 0;
    std::string partial_;
};

// The phase a progress line names, or "" for a line that names none.
std::string fleet_progress_phase(const std::string& line);
