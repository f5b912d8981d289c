// The platform API on POSIX (Linux), folders and child processes: chdir(),
// posix_spawn() with the program search CreateProcessA makes, waitpid() for
// exit codes.
#include "platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// Children tracked at once; the program itself starts one.
constexpr std::size_t CHILD_PROCESS_SLOTS = 16;
// Longest command line and most words process_start takes (E2BIG beyond).
constexpr std::size_t PROCESS_COMMAND_LINE_MAX_BYTES = 4096;
constexpr std::size_t PROCESS_ARGUMENTS_MAX = 64;
constexpr std::size_t PROCESS_PATH_MAX_BYTES = 4096;
// A child killed by signal N reports 128 + N, as a shell does.
constexpr std::uint32_t PROCESS_SIGNAL_EXIT_BASE = 128;

// A process handle is the child's pid. The record outlives the child so that
// its exit code stays readable after waitpid() has reaped it.
struct ChildRecord {
    pid_t pid;  // 0: free slot
    int handles;
    int ended;
    std::uint32_t exit_code;
};

std::array<ChildRecord, CHILD_PROCESS_SLOTS> children{};

// 1 ended (exit code cached), 0 still running, -1 failed with errno.
int child_reap(ChildRecord* child)
{
    if (child->ended) {
        return 1;
    }
    int status = 0;
    pid_t result;
    do {
        result = waitpid(child->pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) {
        return 0;
    }
    if (result < 0) {
        return -1;
    }
    if (WIFEXITED(status)) {
        child->exit_code = static_cast<std::uint32_t>(WEXITSTATUS(status));
    } else {
        child->exit_code = PROCESS_SIGNAL_EXIT_BASE + static_cast<std::uint32_t>(WTERMSIG(status));
    }
    child->ended = 1;
    return 1;
}

// A record whose handles are all closed is given up once its child is reaped
// (or was reaped by someone else: ECHILD).
int child_releasable(ChildRecord* child)
{
    return child->handles == 0 && child_reap(child) != 0;
}

ChildRecord* child_free_slot()
{
    for (ChildRecord& child : children) {
        if (child.pid == 0 || child_releasable(&child)) {
            child = ChildRecord{};
            return &child;
        }
    }
    errno = EAGAIN;
    return nullptr;
}

ChildRecord* child_find(PlatformHandle process)
{
    for (ChildRecord& child : children) {
        if (child.pid != 0 && child.handles > 0 && child.pid == process) {
            return &child;
        }
    }
    errno = EBADF;  // no open process handle, PLATFORM_INVALID_HANDLE included
    return nullptr;
}

int path_is_executable_file(const char* path)
{
    struct stat info{};
    return stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, X_OK) == 0;
}

int path_join(char* out, std::size_t capacity, const char* folder, std::size_t folder_length, const char* name)
{
    const int written = std::snprintf(out, capacity, "%.*s/%s", static_cast<int>(folder_length), folder, name);
    return written >= 0 && static_cast<std::size_t>(written) < capacity;
}

// The program search CreateProcessA makes for a bare name, in the order the
// platform API promises: the current folder, then each PATH entry (an empty
// entry is the current folder). A name with a slash is taken as it is.
int process_find_program(const char* name, char* path, std::size_t capacity)
{
    if (std::strchr(name, '/') != nullptr) {
        const int written = std::snprintf(path, capacity, "%s", name);
        if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
            errno = ENAMETOOLONG;
            return 0;
        }
        return 1;
    }
    if (path_join(path, capacity, ".", 1, name) && path_is_executable_file(path)) {
        return 1;
    }
    const char* search = std::getenv("PATH");
    if (search == nullptr) {
        search = "/usr/local/bin:/usr/bin:/bin";
    }
    for (const char* entry = search;;) {
        const char* end = std::strchr(entry, ':');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
        const int joined = length == 0 ? path_join(path, capacity, ".", 1, name)
                                       : path_join(path, capacity, entry, length, name);
        if (joined && path_is_executable_file(path)) {
            return 1;
        }
        if (end == nullptr) {
            break;
        }
        entry = end + 1;
    }
    errno = ENOENT;
    return 0;
}

// Splits words (a copy of the command line) on blanks into argv, null-terminated.
int process_split_words(char* words, std::array<char*, PROCESS_ARGUMENTS_MAX + 1>* argv)
{
    std::size_t count = 0;
    char* cursor = words;
    for (;;) {
        while (*cursor == ' ' || *cursor == '\t') {
            *cursor++ = '\0';
        }
        if (*cursor == '\0') {
            break;
        }
        if (count == PROCESS_ARGUMENTS_MAX) {
            errno = E2BIG;
            return 0;
        }
        (*argv)[count++] = cursor;
        while (*cursor != '\0' && *cursor != ' ' && *cursor != '\t') {
            ++cursor;
        }
    }
    (*argv)[count] = nullptr;
    if (count == 0) {
        errno = EINVAL;
        return 0;
    }
    return 1;
}

// The standard handles and the process group the options ask for, as spawn
// actions and attributes; the defaults add none, so the child is started
// exactly as before. Returns posix_spawn's result (an errno value).
int process_spawn(pid_t* pid, const char* program, char* const* argv, const ProcessOptions& options)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int result = posix_spawn_file_actions_init(&actions);
    if (result != 0) {
        return result;
    }
    result = posix_spawnattr_init(&attributes);
    if (result != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return result;
    }
    if (options.standard_input == PROCESS_STDIO_NULL) {
        result = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (result == 0 && options.standard_output == PROCESS_STDIO_NULL) {
        result = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    } else if (result == 0 && options.standard_output == PROCESS_STDIO_STDERR) {
        result = posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    }
    if (result == 0 && options.new_process_group) {
        // Group 0: a new group led by the child.
        result = posix_spawnattr_setpgroup(&attributes, 0);
        if (result == 0) {
            result = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        }
    }
    if (result == 0) {
        result = posix_spawn(pid, program, &actions, &attributes, argv, environ);
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

}  // namespace


int folder_change(const char* path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return chdir(path) == 0 ? 1 : 0;
}

int process_start(const char* command_line, ProcessInfo* info, const ProcessOptions* options)
{
    if (info != nullptr) {
        *info = ProcessInfo{PLATFORM_INVALID_HANDLE, PLATFORM_INVALID_HANDLE, 0, 0};
    }
    if (command_line == nullptr || info == nullptr) {
        errno = EINVAL;
        return 0;
    }
    std::array<char, PROCESS_COMMAND_LINE_MAX_BYTES> words{};
    if (std::strlen(command_line) >= words.size()) {
        errno = E2BIG;
        return 0;
    }
    std::memcpy(words.data(), command_line, std::strlen(command_line) + 1);
    std::array<char*, PROCESS_ARGUMENTS_MAX + 1> argv{};
    char program[PROCESS_PATH_MAX_BYTES];
    if (!process_split_words(words.data(), &argv) || !process_find_program(argv[0], program, sizeof program)) {
        return 0;
    }
    ChildRecord* child = child_free_slot();
    if (child == nullptr) {
        return 0;
    }
    pid_t pid = 0;
    const int result = process_spawn(&pid, program, argv.data(), options != nullptr ? *options : PROCESS_OPTIONS_DEFAULT);
    if (result != 0) {
        errno = result;
        return 0;
    }
    *child = ChildRecord{pid, 1, 0, 0};
    // No thread handle on POSIX; closing it is a harmless failure.
    info->process = pid;
    info->process_id = static_cast<std::uint32_t>(pid);
    return 1;
}

PlatformHandle process_open(std::uint32_t process_id)
{
    if (process_id == 0 || process_id > static_cast<std::uint32_t>(INT_MAX)) {
        errno = EINVAL;
        return PLATFORM_INVALID_HANDLE;
    }
    for (ChildRecord& child : children) {
        if (child.pid == static_cast<pid_t>(process_id) && !(child.handles == 0 && child.ended)) {
            ++child.handles;
            return child.pid;
        }
    }
    // Only a child of this process can be waited for.
    errno = ESRCH;
    return PLATFORM_INVALID_HANDLE;
}

int process_exit_code(PlatformHandle process, std::uint32_t* exit_code)
{
    ChildRecord* child = child_find(process);
    if (child == nullptr) {
        return 0;
    }
    if (exit_code == nullptr) {
        errno = EINVAL;
        return 0;
    }
    const int ended = child_reap(child);
    if (ended < 0) {
        return 0;
    }
    *exit_code = ended ? child->exit_code : PROCESS_STILL_ACTIVE;
    return 1;
}

int process_has_ended(PlatformHandle process)
{
    ChildRecord* child = child_find(process);
    return child != nullptr && child_reap(child) == 1 ? 1 : 0;
}

int process_close(PlatformHandle process)
{
    ChildRecord* child = child_find(process);
    if (child == nullptr) {
        return 0;
    }
    --child->handles;
    if (child_releasable(child)) {
        *child = ChildRecord{};
    }
    return 1;
}

int process_terminate(PlatformHandle process)
{
    ChildRecord* child = child_find(process);
    if (child == nullptr) {
        return 0;
    }
    if (child->ended) {
        return 1;
    }
    // The group first, so that what the child started goes too; a child in
    // this program's group leads none, and the group call fails with ESRCH.
    if (kill(-child->pid, SIGKILL) == 0 || kill(child->pid, SIGKILL) == 0) {
        return 1;
    }
    return 0;
}
