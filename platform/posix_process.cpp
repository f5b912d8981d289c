// The platform API on POSIX (Linux), folders and child processes: chdir(),
// posix_spawn() with the program search CreateProcessA makes, waitpid() for
// exit codes. A Windows program in the current folder that is given a serial
// device runs through Wine (posix_wine.cpp).
#include "platform/platform.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/posix_children.h"
#include "platform/posix_device.h"
#include "platform/posix_wine.h"
#include "platform/process_options.h"

extern char** environ;

namespace {

// Children tracked at once: the updater starts one, the field tool one per
// adapter it updates at once (platform_children.h).
constexpr std::size_t CHILD_PROCESS_SLOTS = 64;
// Longest command line and most words process_start takes (E2BIG beyond).
constexpr std::size_t PROCESS_COMMAND_LINE_MAX_BYTES = 4096;
constexpr std::size_t PROCESS_ARGUMENTS_MAX = 64;
constexpr std::size_t PROCESS_PATH_MAX_BYTES = 4096;
// A child killed by signal N reports 128 + N, as a shell does.
constexpr std::uint32_t PROCESS_SIGNAL_EXIT_BASE = 128;

constexpr int NO_WINE_RUN = -1;

// A process handle is the child's pid. The record outlives the child so that
// its exit code stays readable after waitpid() has reaped it.
struct ChildRecord {
    pid_t pid = 0;  // 0: free slot
    int handles = 0;
    int ended = 0;
    std::uint32_t exit_code = 0;
    int wine_run = NO_WINE_RUN;  // a tool run through Wine: its record (posix_wine.h)
    int exit_code_known = 0;     // once ended: 0 when a Wine run's launcher left no exit code
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
    child->exit_code_known = 1;
    if (child->wine_run != NO_WINE_RUN) {
        // The launcher's own status is Wine's, cut to 8 bits: the tool's whole
        // code is the one the launcher recorded.
        child->exit_code_known = wine_run_end(child->wine_run, &child->exit_code);
        child->wine_run = NO_WINE_RUN;
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
// exactly as before. standard_fds (process_start_argv's) are three
// descriptors, -1 for none, that become the child's 0, 1 and 2, and the child
// then keeps no other. Returns posix_spawn's result (an errno value).
int process_spawn(pid_t* pid, const char* program, char* const* argv, const ProcessOptions& options,
                  const int* standard_fds = nullptr)
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
    for (int target = 0; standard_fds != nullptr && result == 0 && target < 3; ++target) {
        if (standard_fds[target] >= 0) {
            result = posix_spawn_file_actions_adddup2(&actions, standard_fds[target], target);
        }
    }
    if (result == 0 && standard_fds != nullptr) {
        // Whatever this program opened without close-on-exec stays its own.
        result = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    }
    if (result == 0 && options.working_folder != nullptr) {
        result = posix_spawn_file_actions_addchdir_np(&actions, options.working_folder);
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
    if (!process_split_words(words.data(), &argv)) {
        return 0;
    }
    const ProcessOptions& chosen = options != nullptr ? *options : PROCESS_OPTIONS_DEFAULT;
    if (!process_options_plain(chosen)) {
        errno = EINVAL;  // process_start_argv's options
        return 0;
    }
    DownloadToolChoice choice{};
    if (chosen.port_device != nullptr && std::strchr(argv[0], '/') == nullptr) {
        download_tool_choose(nullptr, argv[0], &choice);
    }
    ChildRecord* child = child_free_slot();
    if (child == nullptr) {
        return 0;
    }
    pid_t pid = 0;
    int wine_run = NO_WINE_RUN;
    if (choice.kind == DOWNLOAD_TOOL_WINE_FOLDER) {
        if (!wine_run_start(choice.path, command_line, chosen.port_device, chosen, &pid, &wine_run)) {
            return 0;
        }
    } else {
        char program[PROCESS_PATH_MAX_BYTES];
        if (!posix_program_find(argv[0], program, sizeof program)) {
            return 0;
        }
        const int result = process_spawn(&pid, program, argv.data(), chosen);
        if (result != 0) {
            errno = result;
            return 0;
        }
    }
    *child = ChildRecord{pid, 1, 0, 0, wine_run, 0};
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
    if (ended && !child->exit_code_known) {
        errno = EIO;
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
    // A Windows tool under Wine is a process of Wine's: its launcher ends it.
    if (child->wine_run != NO_WINE_RUN) {
        return wine_run_stop(child->wine_run);
    }
    // The group first, so that what the child started goes too; a child in
    // this program's group leads none, and the group call fails with ESRCH.
    if (kill(-child->pid, SIGKILL) == 0 || kill(child->pid, SIGKILL) == 0) {
        return 1;
    }
    return 0;
}

int process_tool_port(const char* program, const char* device_path, const char* port_name, ProcessToolPort* port)
{
    if (program == nullptr || device_path == nullptr || port_name == nullptr || port == nullptr) {
        errno = EINVAL;
        return 0;
    }
    *port = ProcessToolPort{};
    DownloadToolChoice choice{};
    download_tool_choose(nullptr, program, &choice);
    if (choice.kind == DOWNLOAD_TOOL_WINE_FOLDER) {
        if (!serial_device_path(device_path, port->device, sizeof port->device)) {
            return 0;
        }
        // The run's own COM port of the prefix, held until the start takes it
        // over. Without Wine there is none to take: COM1, and the start fails.
        int com = WINE_TOOL_COM_PORT;
        WineInstall install{};
        DownloadToolStatus status{};
        if (wine_install_find(&install, &status)) {
            // A prefix not made yet is made with every port.
            const int marked = wine_prefix_ports(install.prefix);
            const int ports = marked > 0 ? marked : WINE_COM_PORTS;
            if (!wine_port_reserve(install.state, ports, port->device, &com)) {
                wine_log_port_refused(install.log, ports, errno);
                return 0;
            }
        }
        std::snprintf(port->name, sizeof port->name, "COM%d", com);
        return 1;
    }
    const std::size_t length = std::strlen(port_name);
    if (length >= sizeof port->name) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(port->name, port_name, length + 1);
    return 1;
}

int process_child_start(const char* program, char* const* argv, const ProcessOptions& options,
                        const int* standard_fds, ProcessInfo* info)
{
    ChildRecord* child = child_free_slot();
    if (child == nullptr) {
        return 0;
    }
    pid_t pid = 0;
    const int result = process_spawn(&pid, program, argv, options, standard_fds);
    if (result != 0) {
        errno = result;
        return 0;
    }
    *child = ChildRecord{};
    child->pid = pid;
    child->handles = 1;
    info->process = pid;
    info->process_id = static_cast<std::uint32_t>(pid);
    return 1;
}

int process_child_ended(PlatformHandle process)
{
    ChildRecord* child = child_find(process);
    return child != nullptr ? child_reap(child) : -1;
}
