// A Windows download tool's run through Wine, on POSIX: COM1 of marrowlink's
// prefix led to the chosen device, checked, the tool started through the
// launcher, and the mapping removed once it has ended (see posix_wine.h).
#include "platform/posix_wine.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix_device.h"

namespace {

// Runs at once: one per COM port a prefix maps.
constexpr std::size_t WINE_RUN_SLOTS = 4;
// From the start of Wine to the tool's start: a warm start takes half a
// second here, the first after a Wine upgrade (which updates the prefix)
// tens of seconds.
constexpr std::uint32_t WINE_TOOL_START_TIMEOUT_MS = 120000;
constexpr std::uint32_t WINE_STATUS_POLL_MS = 20;
// After a failure the launcher ends by itself at once; beyond this it is killed.
constexpr std::uint32_t WINE_LAUNCHER_END_TIMEOUT_MS = 5000;
// The log starts afresh at a run that finds it bigger.
constexpr off_t WINE_LOG_MAX_BYTES = 1 << 20;
constexpr std::size_t WINE_STATUS_MAX_BYTES = 4096;
constexpr mode_t LOCK_FILE_MODE = 0600;

struct WineRun {
    int used;
    int lock;  // the COM port's lock, held from the mapping to its removal
    char prefix[DOWNLOAD_TOOL_PATH_BYTES];
    char status[DOWNLOAD_TOOL_PATH_BYTES];
    char go[DOWNLOAD_TOOL_PATH_BYTES];
    char log[DOWNLOAD_TOOL_PATH_BYTES];
};

std::array<WineRun, WINE_RUN_SLOTS> runs{};

int text_copy(char* out, std::size_t capacity, const std::string& text)
{
    if (text.size() >= capacity) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 1;
}

// The launcher's status file: its whole lines, in order.
std::vector<std::string> status_lines(const char* path)
{
    std::vector<std::string> lines;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return lines;
    }
    char text[WINE_STATUS_MAX_BYTES];
    const ssize_t got = read(fd, text, sizeof text);
    close(fd);
    std::size_t start = 0;
    for (std::size_t at = 0; got > 0 && at < static_cast<std::size_t>(got); ++at) {
        if (text[at] == '\n') {
            lines.emplace_back(text + start, at - start);
            start = at + 1;
        }
    }
    return lines;
}

int starts_with(const std::string& text, const char* word)
{
    return text.compare(0, std::strlen(word), word) == 0;
}

// The first line of the status file that starts with word, or "".
std::string status_line(const char* path, const char* word)
{
    for (const std::string& line : status_lines(path)) {
        if (starts_with(line, word)) {
            return line;
        }
    }
    return "";
}

// 1 once the launcher has ended; it is left for process_exit_code to reap.
int launcher_ended(pid_t launcher)
{
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(launcher), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid != 0;
}

// Waits until the launcher has written a line starting with `word` or
// "failed", has ended, or the deadline has passed. The line, or "" (ended or
// timed out; *ended says which). Every line counts, not only the last: a
// tool that ends at once follows "started" with "exit" before a look.
std::string status_wait(const WineRun& run, pid_t launcher, const char* word, std::uint64_t deadline, int* ended)
{
    *ended = 0;
    for (;;) {
        for (const char* wanted : {word, "failed"}) {
            const std::string line = status_line(run.status, wanted);
            if (!line.empty()) {
                return line;
            }
        }
        if (launcher_ended(launcher)) {
            *ended = 1;
            return "";
        }
        if (wine_clock_ms() >= deadline) {
            return "";
        }
        wine_pause_ms(WINE_STATUS_POLL_MS);
    }
}

void log_start(const WineRun& run, const char* tool, const char* device)
{
    struct stat info{};
    if (stat(run.log, &info) == 0 && info.st_size > WINE_LOG_MAX_BYTES && truncate(run.log, 0) != 0) {
        wine_log_line(run.log, "the log could not be started afresh");
    }
    const std::string line = std::string("starting ") + tool + " with " + WINE_TOOL_PORT_NAME + " leading to " +
                             device;
    wine_log_line(run.log, line.c_str());
}

void run_release(WineRun* run)
{
    wine_port_unmap(run->prefix, WINE_TOOL_COM_PORT);
    unlink(run->status);
    unlink(run->go);
    unlink((std::string(run->go) + ".stop").c_str());
    if (run->lock >= 0) {
        close(run->lock);
    }
    *run = WineRun{};
}

// Ends a launcher that must not go on, and everything of the run with it.
int run_abandon(WineRun* run, pid_t launcher, const std::string& why, int error)
{
    int status = 0;
    if (launcher > 0 && !wine_command_wait(launcher, WINE_LAUNCHER_END_TIMEOUT_MS, &status)) {
        wine_log_line(run->log, "the launcher did not end: it was killed");
    }
    wine_log_line(run->log, (why + ": the download tool was not started").c_str());
    run_release(run);
    errno = error;
    return 0;
}

WineRun* run_slot()
{
    for (WineRun& run : runs) {
        if (!run.used) {
            run = WineRun{};
            run.used = 1;
            run.lock = -1;
            return &run;
        }
    }
    return nullptr;
}

}  // namespace

int wine_port_lock_path(const char* state, int com, char* path, std::size_t capacity)
{
    return text_copy(path, capacity, std::string(state) + "/wine-com" + std::to_string(com) + ".lock");
}

int wine_port_busy(const char* state, int com)
{
    char path[DOWNLOAD_TOOL_PATH_BYTES];
    if (!wine_port_lock_path(state, com, path, sizeof path)) {
        return 0;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;  // never used: nobody holds it
    }
    const int busy = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return busy;
}

int wine_port_link(const char* prefix, int com, char* path, std::size_t capacity)
{
    return text_copy(path, capacity, std::string(prefix) + "/marrowlink-com" + std::to_string(com));
}

int wine_port_dos_link(const char* prefix, int com, char* path, std::size_t capacity)
{
    return text_copy(path, capacity, std::string(prefix) + "/dosdevices/com" + std::to_string(com));
}

int wine_port_map(const char* prefix, int com, const char* device, char* why, std::size_t why_capacity)
{
    char link[DOWNLOAD_TOOL_PATH_BYTES];
    char target[PATH_MAX];
    if (realpath(device, target) == nullptr) {
        std::snprintf(why, why_capacity, "%s: %s", device, std::strerror(errno));
        return 0;
    }
    if (!wine_port_link(prefix, com, link, sizeof link)) {
        std::snprintf(why, why_capacity, "the prefix's path is too long");
        return 0;
    }
    // A new link beside the old, renamed over it: never a moment without one
    // or with a half-made one.
    const std::string fresh = std::string(link) + ".new";
    unlink(fresh.c_str());
    if (symlink(target, fresh.c_str()) != 0 || rename(fresh.c_str(), link) != 0) {
        std::snprintf(why, why_capacity, "%s: %s", link, std::strerror(errno));
        unlink(fresh.c_str());
        return 0;
    }
    return 1;
}

int wine_port_unmap(const char* prefix, int com)
{
    char link[DOWNLOAD_TOOL_PATH_BYTES];
    return wine_port_link(prefix, com, link, sizeof link) && (unlink(link) == 0 || errno == ENOENT);
}

int wine_port_check(const char* prefix, int com, const char* device, char* why, std::size_t why_capacity)
{
    char dos_link[DOWNLOAD_TOOL_PATH_BYTES];
    char expected[PATH_MAX];
    char found[PATH_MAX];
    if (!wine_port_dos_link(prefix, com, dos_link, sizeof dos_link)) {
        std::snprintf(why, why_capacity, "the prefix's path is too long");
        return 0;
    }
    if (realpath(device, expected) == nullptr) {
        std::snprintf(why, why_capacity, "%s: %s", device, std::strerror(errno));
        return 0;
    }
    if (realpath(dos_link, found) == nullptr) {
        char target[PATH_MAX];
        const ssize_t length = readlink(dos_link, target, sizeof target - 1);
        target[length > 0 ? length : 0] = '\0';
        const int error = errno;
        std::snprintf(why, why_capacity, "%s leads nowhere (%s%s%s)", dos_link, length > 0 ? "to " : "",
                      length > 0 ? target : "", length > 0 ? ", missing" : std::strerror(error));
        return 0;
    }
    if (std::strcmp(found, expected) != 0) {
        std::snprintf(why, why_capacity, "%s leads to %s, not to %s", dos_link, found, expected);
        return 0;
    }
    return 1;
}

int wine_run_start(const char* tool_path, const char* command_line, const char* port_device,
                   const ProcessOptions& options, pid_t* pid, int* run_index)
{
    WineInstall install{};
    DownloadToolStatus status{};
    char tool[PATH_MAX];
    char device[SERIAL_DEVICE_PATH_MAX_BYTES];
    if (!wine_install_find(&install, &status) || realpath(tool_path, tool) == nullptr ||
        !serial_device_path(port_device, device, sizeof device) ||
        !wine_tool_ready(install, tool, nullptr, nullptr, &status)) {
        if (install.log[0] != '\0') {
            wine_log_line(install.log, status.text[0] != '\0' ? status.text : std::strerror(errno));
        }
        errno = status.code == DOWNLOAD_TOOL_OK ? errno : ENOEXEC;
        return 0;
    }
    WineRun* run = run_slot();
    if (run == nullptr) {
        errno = EAGAIN;
        return 0;
    }
    const std::string base = std::string(install.state) + "/wine-com" + std::to_string(WINE_TOOL_COM_PORT);
    if (!text_copy(run->prefix, sizeof run->prefix, install.prefix) ||
        !text_copy(run->status, sizeof run->status, base + ".status") ||
        !text_copy(run->go, sizeof run->go, base + ".go") || !text_copy(run->log, sizeof run->log, install.log)) {
        *run = WineRun{};
        return 0;
    }
    // One download on the prefix's COM1 at a time: another marrowlink's run
    // holds the lock until its tool has ended.
    char lock_path[DOWNLOAD_TOOL_PATH_BYTES];
    run->lock = wine_port_lock_path(install.state, WINE_TOOL_COM_PORT, lock_path, sizeof lock_path)
                    ? open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC, LOCK_FILE_MODE)
                    : -1;
    if (run->lock < 0 || flock(run->lock, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        wine_log_line(run->log, "another download through Wine is running on COM1 of the prefix");
        if (run->lock >= 0) {
            close(run->lock);
        }
        *run = WineRun{};
        errno = error == EWOULDBLOCK ? EBUSY : error;
        return 0;
    }
    char why[DOWNLOAD_TOOL_TEXT_BYTES];
    unlink(run->status);
    unlink(run->go);
    unlink((std::string(run->go) + ".stop").c_str());
    log_start(*run, tool, device);
    if (!wine_port_map(run->prefix, WINE_TOOL_COM_PORT, device, why, sizeof why)) {
        return run_abandon(run, 0, std::string("COM1 cannot be mapped: ") + why, ENODEV);
    }

    const char* argv[] = {install.wine, install.launcher, run->status, run->go, tool, command_line, nullptr};
    pid_t launcher = 0;
    if (!wine_command_start(argv, run->prefix, 0, run->log, options.new_process_group, &launcher)) {
        return run_abandon(run, 0, std::string("wine cannot be started: ") + std::strerror(errno), errno);
    }
    const std::uint64_t deadline = wine_clock_ms() + WINE_TOOL_START_TIMEOUT_MS;
    int ended = 0;
    std::string line = status_wait(*run, launcher, "ready", deadline, &ended);
    if (!starts_with(line, "ready")) {
        const std::string why_not = !line.empty() ? "the launcher " + line
                                    : ended       ? std::string("Wine ended before the launcher was ready")
                                                  : std::string("Wine was not ready in time");
        kill(launcher, SIGKILL);
        return run_abandon(run, launcher, why_not, ENOEXEC);
    }
    // Wine is up: its mount manager has made dosdevices/com1 from the Ports
    // value. Only a COM1 that leads to the chosen device may be handed over.
    if (!wine_port_check(run->prefix, WINE_TOOL_COM_PORT, device, why, sizeof why)) {
        kill(launcher, SIGKILL);
        return run_abandon(run, launcher, std::string("COM1 of the prefix is not the chosen port: ") + why, ENXIO);
    }
    const int go = open(run->go, O_WRONLY | O_CREAT | O_CLOEXEC, LOCK_FILE_MODE);
    if (go < 0) {
        const int error = errno;
        kill(launcher, SIGKILL);
        return run_abandon(run, launcher, std::string("the go-ahead cannot be given: ") + std::strerror(error), error);
    }
    close(go);
    line = status_wait(*run, launcher, "started", deadline, &ended);
    if (!starts_with(line, "started")) {
        const std::string why_not = !line.empty() ? "the launcher " + line
                                    : ended       ? std::string("Wine ended before the tool started")
                                                  : std::string("the tool did not start in time");
        if (line.empty() && !ended) {
            kill(launcher, SIGKILL);
        }
        return run_abandon(run, launcher, why_not, ENOEXEC);
    }
    *pid = launcher;
    *run_index = static_cast<int>(run - runs.data());
    return 1;
}

int wine_run_stop(int run_index)
{
    if (run_index < 0 || static_cast<std::size_t>(run_index) >= runs.size() || !runs[run_index].used) {
        errno = EINVAL;
        return 0;
    }
    const std::string stop = std::string(runs[run_index].go) + ".stop";
    const int file = open(stop.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, LOCK_FILE_MODE);
    if (file < 0) {
        return 0;
    }
    close(file);
    wine_log_line(runs[run_index].log, "the download tool is stopped as asked");
    return 1;
}

int wine_run_end(int run_index, std::uint32_t* exit_code)
{
    if (run_index < 0 || static_cast<std::size_t>(run_index) >= runs.size() || !runs[run_index].used) {
        errno = EINVAL;
        return 0;
    }
    WineRun* run = &runs[run_index];
    const std::string line = status_line(run->status, "exit ");
    char* end = nullptr;
    const unsigned long code = !line.empty() ? std::strtoul(line.c_str() + 5, &end, 10) : 0;
    const int known = end != nullptr && *end == '\0' && end != line.c_str() + 5 && code <= UINT32_MAX;
    const std::vector<std::string> lines = status_lines(run->status);
    wine_log_line(run->log, known ? ("the download tool ended with exit code " + std::to_string(code) +
                                     "; COM1 of the prefix now leads nowhere")
                                        .c_str()
                                  : ("the launcher ended without the tool's exit code (its last word: \"" +
                                     (lines.empty() ? std::string() : lines.back()) + "\")")
                                        .c_str());
    run_release(run);
    if (!known) {
        errno = EIO;
        return 0;
    }
    *exit_code = static_cast<std::uint32_t>(code);
    return 1;
}
