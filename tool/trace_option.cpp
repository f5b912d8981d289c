#include "tool/trace_option.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "tool/outcome.h"
#include "tool/version.h"
#include "trace/trace_record.h"

namespace {

// Whether two names lead to one file: the same file when both exist, else
// the same path once made whole.
bool same_file(const std::string& a, const std::string& b)
{
    std::error_code error;
    if (std::filesystem::equivalent(a, b, error)) {
        return true;
    }
    return std::filesystem::absolute(a, error).lexically_normal() == std::filesystem::absolute(b, error).lexically_normal();
}

}  // namespace

TraceSession::TraceSession(const Request& request)
{
    if (request.path.empty()) {
        return;
    }
    for (const std::string& file : request.files) {
        // Opening the trace empties its file: a file the command reads would be gone before it is read.
        if (same_file(request.path, file)) {
            throw ToolFailure{ExitStatus::usage, "recording the trace",
                              "--trace " + request.path + " names " + file + ", which this command uses: "
                              "recording would empty it first",
                              "name another file for the trace, or leave out --trace"};
        }
    }
    try {
        recorder_ = std::make_unique<TraceRecorder>(
            request.path, TraceHeader{std::string("marrowlink ") + tool_version(), request.command_line, request.port});
    } catch (const std::runtime_error& failure) {
        throw ToolFailure{ExitStatus::usage, "recording the trace", failure.what(),
                          "name a file in a folder you can write to, or leave out --trace"};
    }
    recorder_->start();
}

TraceSession::~TraceSession() = default;

std::string TraceSession::finish()
{
    if (!recorder_) {
        return std::string();
    }
    recorder_->close();
    if (recorder_->problem().empty()) {
        return std::string();
    }
    return recorder_->problem() + " (the trace ends after its line " + std::to_string(recorder_->lines_written()) + ")";
}

std::string trace_command_line(int argc, const char* const* argv)
{
    std::string line;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--trace") {
            ++i;
            continue;
        }
        if (argument.starts_with("--trace=")) {
            continue;
        }
        line += (line.empty() ? "" : " ") + argument;
    }
    return line;
}
