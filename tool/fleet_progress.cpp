#include "tool/fleet_progress.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/platform_files.h"

namespace {

// The most a read takes at once: a child's lines are short, and a file that
// grew by more is read on the next calls.
constexpr std::size_t FILE_LINES_READ_MAX_BYTES = 64 * 1024;

}  // namespace

FleetProgressWriter::FleetProgressWriter(const std::string& path)
{
    if (!path.empty()) {
        file_ = file_open_private(path.c_str(), "ab");
    }
}

FleetProgressWriter::~FleetProgressWriter()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void FleetProgressWriter::phase(const std::string& name)
{
    if (file_ == nullptr) {
        return;
    }
    const std::string line = nlohmann::json{{"phase", name}}.dump() + "\n";
    // A parent that cannot be told is no reason to stop the update.
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

std::vector<std::string> FileLines::next()
{
    std::vector<std::string> lines;
    // Most looks find nothing new: the size tells that without opening the file.
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path_, error);
    if (error || size <= static_cast<std::uintmax_t>(offset_)) {
        return lines;
    }
    std::ifstream in(path_, std::ios::binary);
    if (!in) {
        return lines;
    }
    in.seekg(offset_);
    std::string chunk(static_cast<std::size_t>(std::min<std::uintmax_t>(size - static_cast<std::uintmax_t>(offset_),
                                                                       FILE_LINES_READ_MAX_BYTES)),
                      '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<std::size_t>(in.gcount()));
    offset_ += static_cast<long long>(chunk.size());
    partial_ += chunk;
    for (std::size_t end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n')) {
        std::string line = partial_.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::move(line));
        partial_.erase(0, end + 1);
    }
    return lines;
}

std::string fleet_progress_phase(const std::string& line)
{
    const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
    if (object.is_object() && object.contains("phase") && object["phase"].is_string()) {
        return object["phase"].get<std::string>();
    }
    return "";
}
