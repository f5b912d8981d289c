#include "tool/child_run.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/interrupt.h"
#include "platform/platform_children.h"
#include "tool/outcome.h"

namespace {

// How long passing an interrupt on may wait for a child that does not read:
// one short line fits any pipe, so this only bounds a child that hangs.
constexpr std::uint32_t CHILD_INPUT_WRITE_TIMEOUT_MS = 200;
// Names tried for a new workspace before giving up.
constexpr int CHILD_WORKSPACE_TRIES = 1000;

}  // namespace

std::string child_run_workspace(const std::string& prefix)
{
    std::error_code error;
    const std::filesystem::path base = std::filesystem::temp_directory_path(error);
    // The time tells runs apart; the count, runs in the same millisecond:
    // create_directory makes a folder only where none is.
    const auto stamp = std::to_string(static_cast<unsigned long long>(clock_ms()));
    for (int attempt = 0; attempt < CHILD_WORKSPACE_TRIES; ++attempt) {
        const std::filesystem::path folder = base / (prefix + stamp + "-" + std::to_string(attempt));
        if (std::filesystem::create_directory(folder, error)) {
            return folder.string();
        }
    }
    throw ToolFailure{ExitStatus::usage, "making a folder for the children's files",
                      "none could be made in " + base.string() + ": " + error.message(),
                      "free some space in the temporary folder, or set TMPDIR (TEMP on Windows) to another"};
}

std::string child_run_self()
{
    char path[PROCESS_SELF_PATH_MAX_BYTES];
    return process_self_path(path, sizeof path) ? std::string(path) : std::string();
}

ChildRun::ChildRun(std::string program, std::vector<std::string> arguments, std::string folder, bool run_in_folder)
    : program_(std::move(program)), arguments_(std::move(arguments)), folder_(std::move(folder)),
      run_in_folder_(run_in_folder), errors_(folder_ + "/errors.txt"), progress_(child_run_progress_path(folder_))
{
}

ChildRun::~ChildRun()
{
    // A child still running is left to finish its unit: it may be writing a chip.
    if (input_ != PLATFORM_INVALID_HANDLE) {
        process_input_close(input_);
    }
    if (process_ != PLATFORM_INVALID_HANDLE) {
        process_close(process_);
    }
}

bool ChildRun::start(std::string* why)
{
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    const std::string& self = program_;
    if (self.empty()) {
        *why = "this program's own path is unknown";
        return false;
    }
    std::vector<const char*> argv = {self.c_str()};
    for (const std::string& argument : arguments_) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    const std::string output = output_path();
    const std::string errors = errors_path();
    ProcessOptions options;
    // A console's Ctrl-C reaches every process of it: the parent passes it on instead.
    options.new_process_group = true;
    options.standard_input = PROCESS_STDIO_PIPE;
    options.standard_output = PROCESS_STDIO_FILE;
    options.standard_output_path = output.c_str();
    options.standard_error = PROCESS_STDIO_FILE;
    options.standard_error_path = errors.c_str();
    // In its folder the child finds its own copy of the DFUWizard folder.
    if (run_in_folder_) {
        options.working_folder = folder_.c_str();
    }
    ProcessInfo info{};
    const int started = process_start_argv(self.c_str(), argv.data(), &info, &options, &input_);
    const std::uint32_t start_error = platform_last_error();
    if (!started) {
        char text[PLATFORM_ERROR_TEXT_BYTES];
        platform_error_text(start_error, text, sizeof text);
        *why = std::string("cannot start ") + self + ": " + text;
        return false;
    }
    if (info.thread != PLATFORM_INVALID_HANDLE) {
        process_close(info.thread);
    }
    process_ = info.process;
    return true;
}

bool ChildRun::ended()
{
    if (exit_status_ >= 0) {
        return true;
    }
    if (process_ == PLATFORM_INVALID_HANDLE || !process_has_ended(process_)) {
        return false;
    }
    std::uint32_t code = 0;
    exit_status_ = process_exit_code(process_, &code) ? static_cast<int>(code) : CHILD_EXIT_STATUS_UNREAD;
    return true;
}

bool ChildRun::relay_interrupt()
{
    if (input_ == PLATFORM_INVALID_HANDLE) {
        return false;
    }
    const std::string line = std::string(INTERRUPT_INPUT_LINE) + "\n";
    std::size_t written = 0;
    return process_input_write(input_, line.data(), line.size(), CHILD_INPUT_WRITE_TIMEOUT_MS, &written) != 0 &&
           written == line.size();
}

std::string ChildRun::output() const
{
    std::ifstream in(output_path(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
