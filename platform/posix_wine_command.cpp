// Running Wine's own commands (wineboot, reg, wineserver, the launcher) with
// the environment of marrowlink's prefix. Their output goes to a file, never
// to a pipe: Wine's server keeps the descriptors it inherited for as long as
// it runs, so a reader waiting for a pipe's end would wait for ever.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix_wine.h"

extern char** environ;

namespace {

constexpr std::uint32_t WINE_COMMAND_POLL_MS = 10;
constexpr std::uint32_t WINE_VERSION_TIMEOUT_MS = 10000;
constexpr mode_t WINE_LOG_MODE = 0644;
// No offer to install Mono or Gecko (the dialogs a new prefix would show).
constexpr char WINE_DLL_OVERRIDES[] = "WINEDLLOVERRIDES=mscoree,mshtml=";
// Wine's error messages stay in the log; its many "fixme" lines do not.
constexpr char WINE_DEBUG_DEFAULT[] = "WINEDEBUG=fixme-all";
// The launcher is a 64-bit program: a new prefix must be a 64-bit one.
constexpr char WINE_ARCH_NEW_PREFIX[] = "WINEARCH=win64";

}  // namespace

std::uint64_t wine_clock_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void wine_pause_ms(std::uint32_t milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {

int variable_is(const char* entry, const char* name)
{
    const std::size_t length = std::strlen(name);
    return std::strncmp(entry, name, length) == 0 && entry[length] == '=';
}

// This program's environment, less what Wine must get from us, plus that.
// debug (null: the user's WINEDEBUG, else WINE_DEBUG_DEFAULT) replaces WINEDEBUG.
std::vector<std::string> wine_environment(const char* prefix, int creating, const char* debug)
{
    static constexpr const char* REPLACED[] = {"WINEPREFIX", "WINEARCH", "WINEDLLOVERRIDES"};
    // A new prefix is made without a display: Wine then shows no windows.
    static constexpr const char* DISPLAYS[] = {"DISPLAY", "WAYLAND_DISPLAY"};
    std::vector<std::string> variables;
    int debug_set = 0;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        int drop = 0;
        for (const char* name : REPLACED) {
            drop |= variable_is(*entry, name);
        }
        for (const char* name : DISPLAYS) {
            drop |= creating && variable_is(*entry, name);
        }
        debug_set |= variable_is(*entry, "WINEDEBUG");
        drop |= debug != nullptr && variable_is(*entry, "WINEDEBUG");
        if (!drop) {
            variables.emplace_back(*entry);
        }
    }
    if (prefix != nullptr) {
        variables.push_back(std::string("WINEPREFIX=") + prefix);
    }
    variables.emplace_back(WINE_DLL_OVERRIDES);
    if (debug != nullptr) {
        variables.push_back(debug);
    } else if (!debug_set) {
        variables.emplace_back(WINE_DEBUG_DEFAULT);
    }
    if (creating) {
        variables.emplace_back(WINE_ARCH_NEW_PREFIX);
    }
    return variables;
}

// posix_spawn with standard input from /dev/null, standard output from
// output_fd or appended to output_path, standard error to the same place or
// /dev/null, every other descriptor closed.
int spawn(const char* const* argv, const std::vector<std::string>& variables, const char* output_path,
          int output_fd, int errors_too, int new_process_group, pid_t* pid)
{
    std::vector<char*> envp;
    for (const std::string& variable : variables) {
        envp.push_back(const_cast<char*>(variable.c_str()));
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int result = posix_spawn_file_actions_init(&actions);
    if (result != 0) {
        errno = result;
        return 0;
    }
    result = posix_spawnattr_init(&attributes);
    if (result != 0) {
        posix_spawn_file_actions_destroy(&actions);
        errno = result;
        return 0;
    }
    result = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (result == 0 && output_path != nullptr) {
        result = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_path,
                                                  O_WRONLY | O_APPEND | O_CREAT, WINE_LOG_MODE);
    } else if (result == 0) {
        result = posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    }
    if (result == 0 && errors_too) {
        result = posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    } else if (result == 0) {
        result = posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    // Wine's server would keep any descriptor it inherits (a lock, a trace
    // file) open for as long as it runs.
    if (result == 0) {
        result = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    }
    if (result == 0 && new_process_group) {
        result = posix_spawnattr_setpgroup(&attributes, 0);
        if (result == 0) {
            result = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        }
    }
    if (result == 0) {
        result = posix_spawn(pid, argv[0], &actions, &attributes, const_cast<char* const*>(argv), envp.data());
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        errno = result;
        return 0;
    }
    return 1;
}

}  // namespace

int wine_command_start(const char* const* argv, const char* prefix, int creating, const char* log,
                       int new_process_group, pid_t* pid)
{
    return spawn(argv, wine_environment(prefix, creating, nullptr), log, -1, 1, new_process_group, pid);
}

int wine_command_wait(pid_t pid, std::uint32_t timeout_ms, int* status)
{
    const std::uint64_t deadline = wine_clock_ms() + timeout_ms;
    for (;;) {
        const pid_t result = waitpid(pid, status, WNOHANG);
        if (result == pid) {
            return 1;
        }
        if (result < 0 && errno != EINTR) {
            return 0;
        }
        if (wine_clock_ms() >= deadline) {
            break;
        }
        wine_pause_ms(WINE_COMMAND_POLL_MS);
    }
    // A command that hangs (a dialog nobody sees) must not hold the run: it
    // goes, and a killed process ends at once.
    kill(pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    errno = ETIMEDOUT;
    return 0;
}

int wine_command_run(const char* const* argv, const char* prefix, int creating, const char* log,
                     std::uint32_t timeout_ms, char* why, std::size_t why_capacity)
{
    pid_t pid = 0;
    int status = 0;
    if (!wine_command_start(argv, prefix, creating, log, 0, &pid)) {
        std::snprintf(why, why_capacity, "it cannot be started: %s", std::strerror(errno));
        return 0;
    }
    if (!wine_command_wait(pid, timeout_ms, &status)) {
        std::snprintf(why, why_capacity, "it did not end within %u s and was stopped", timeout_ms / 1000);
        return 0;
    }
    if (WIFSIGNALED(status)) {
        std::snprintf(why, why_capacity, "it was killed by signal %d", WTERMSIG(status));
        return 0;
    }
    if (WEXITSTATUS(status) != 0) {
        std::snprintf(why, why_capacity, "it ended with exit status %d", WEXITSTATUS(status));
        return 0;
    }
    return 1;
}

int wine_version(const char* wine, char* version, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    version[0] = '\0';
    char output_path[] = "/tmp/marrowlink-wine-version-XXXXXX";
    const int fd = mkostemp(output_path, O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    unlink(output_path);
    const char* argv[] = {wine, "--version", nullptr};
    // No prefix is read or made for the version; the Debian wrapper's hint
    // about 32-bit Wine stays out of the line (WINEDEBUG=-all).
    pid_t pid = 0;
    int status = 0;
    int ok = spawn(argv, wine_environment(nullptr, 0, "WINEDEBUG=-all"), nullptr, fd, 0, 0, &pid) &&
             wine_command_wait(pid, WINE_VERSION_TIMEOUT_MS, &status) && WIFEXITED(status) &&
             WEXITSTATUS(status) == 0;
    if (ok) {
        const ssize_t got = pread(fd, version, capacity - 1, 0);
        ok = got > 0;
        version[ok ? got : 0] = '\0';
        version[std::strcspn(version, "\r\n")] = '\0';
        ok = ok && version[0] != '\0';
    }
    close(fd);
    return ok;
}

void wine_log_line(const char* log, const char* line)
{
    const int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, WINE_LOG_MODE);
    if (fd < 0) {
        return;
    }
    const std::string text = std::string("marrowlink: ") + line + "\n";
    // A short or failed write loses a line of a log meant for people only.
    if (write(fd, text.data(), text.size()) < 0) {
        close(fd);
        return;
    }
    close(fd);
}
