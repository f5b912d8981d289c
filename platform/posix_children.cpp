// Children started by path with an argument vector on POSIX
// (platform_children.h): the descriptors the options ask for are opened here,
// close-on-exec, and posix_process.cpp spawns and records the child. The
// input pipe's write end is non-blocking, so that no write waits past its
// bound.
#include "platform/platform_children.h"
#include "platform/posix_children.h"
#include "platform/process_options.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>

namespace {

// The child's output files are this program's to read, nobody else's.
constexpr mode_t PROCESS_OUTPUT_FILE_MODE = 0600;
constexpr int STANDARD_STREAMS = 3;

// What process_start_argv opens for one child: the child's standard
// descriptors (-1: as the options say) and the caller's end of the input pipe.
struct ChildDescriptors {
    std::array<int, STANDARD_STREAMS> child{-1, -1, -1};
    int input_write = -1;
};

void descriptor_close(int* fd)
{
    if (*fd >= 0) {
        (void)close(*fd);
        *fd = -1;
    }
}

void child_descriptors_close(ChildDescriptors* descriptors)
{
    for (int& fd : descriptors->child) {
        descriptor_close(&fd);
    }
    descriptor_close(&descriptors->input_write);
}

// Moves a descriptor above 0, 1 and 2 (when this program runs with one of
// them closed), so that the child's dup2 onto its standard three never finds
// its source already in place, which would keep close-on-exec set.
int descriptor_above_standard(int fd)
{
    if (fd < 0 || fd >= STANDARD_STREAMS) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STANDARD_STREAMS);
    const int saved = errno;
    (void)close(fd);
    errno = saved;
    return moved;
}

int output_file_open(const char* path)
{
    // Append: output and error may be the same file, and neither overwrites the other.
    int fd;
    do {
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, PROCESS_OUTPUT_FILE_MODE);
    } while (fd < 0 && errno == EINTR);
    return descriptor_above_standard(fd);
}

int null_device_open()
{
    return descriptor_above_standard(open("/dev/null", O_WRONLY | O_CLOEXEC));
}

int input_pipe_open(ChildDescriptors* descriptors)
{
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return 0;
    }
    descriptors->child[0] = descriptor_above_standard(ends[0]);
    descriptors->input_write = descriptor_above_standard(ends[1]);
    if (descriptors->child[0] < 0 || descriptors->input_write < 0) {
        return 0;
    }
    // Only the caller's end: the child reads as usual, blocking.
    const int flags = fcntl(descriptors->input_write, F_GETFL);
    return flags >= 0 && fcntl(descriptors->input_write, F_SETFL, flags | O_NONBLOCK) == 0;
}

int child_descriptors_open(const ProcessOptions& options, ChildDescriptors* descriptors)
{
    if (options.standard_input == PROCESS_STDIO_PIPE && !input_pipe_open(descriptors)) {
        return 0;
    }
    if (options.standard_output == PROCESS_STDIO_FILE &&
        (descriptors->child[1] = output_file_open(options.standard_output_path)) < 0) {
        return 0;
    }
    if (options.standard_error == PROCESS_STDIO_FILE &&
        (descriptors->child[2] = output_file_open(options.standard_error_path)) < 0) {
        return 0;
    }
    if (options.standard_error == PROCESS_STDIO_NULL && (descriptors->child[2] = null_device_open()) < 0) {
        return 0;
    }
    return 1;
}

// write() that reports a pipe without readers as EPIPE and never ends the
// program with SIGPIPE, whatever this program's handling of SIGPIPE: the
// signal is blocked in this thread for the write, and one the write raised is
// taken back before the old mask returns. One already pending stays pending.
ssize_t write_without_broken_pipe_signal(int fd, const void* bytes, std::size_t size)
{
    sigset_t broken_pipe;
    sigemptyset(&broken_pipe);
    sigaddset(&broken_pipe, SIGPIPE);
    sigset_t previous;
    const int masked = pthread_sigmask(SIG_BLOCK, &broken_pipe, &previous);
    if (masked != 0) {
        errno = masked;
        return -1;
    }
    sigset_t pending;
    sigemptyset(&pending);
    const int already_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    const ssize_t sent = write(fd, bytes, size);
    const int saved = errno;
    if (sent < 0 && saved == EPIPE && !already_pending) {
        const timespec no_wait{0, 0};
        while (sigtimedwait(&broken_pipe, nullptr, &no_wait) < 0 && errno == EINTR) {
        }
    }
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = saved;
    return sent;
}

int handle_is_descriptor(PlatformHandle handle)
{
    return handle >= 0 && handle <= INT_MAX;
}

}  // namespace

int process_start_argv(const char* program, const char* const* arguments, ProcessInfo* info,
                       const ProcessOptions* options, PlatformHandle* input)
{
    if (info != nullptr) {
        *info = ProcessInfo{PLATFORM_INVALID_HANDLE, PLATFORM_INVALID_HANDLE, 0, 0};
    }
    if (input != nullptr) {
        *input = PLATFORM_INVALID_HANDLE;
    }
    const ProcessOptions& how = options != nullptr ? *options : PROCESS_OPTIONS_DEFAULT;
    if (program == nullptr || program[0] == '\0' || arguments == nullptr || arguments[0] == nullptr ||
        info == nullptr || !process_options_argv_valid(how) ||
        (how.standard_input == PROCESS_STDIO_PIPE && input == nullptr)) {
        errno = EINVAL;
        return 0;
    }
    ChildDescriptors descriptors;
    if (!child_descriptors_open(how, &descriptors)) {
        const int saved = errno;
        child_descriptors_close(&descriptors);
        errno = saved;
        return 0;
    }
    // posix_spawn takes argv as char* const*, and copies it unchanged.
    char* const* argv = const_cast<char* const*>(arguments);
    if (!process_child_start(program, argv, how, descriptors.child.data(), info)) {
        const int saved = errno;
        child_descriptors_close(&descriptors);
        errno = saved;
        return 0;
    }
    // The child has its copies; only the caller's end of the pipe stays open here.
    for (int& fd : descriptors.child) {
        descriptor_close(&fd);
    }
    if (input != nullptr && descriptors.input_write >= 0) {
        *input = descriptors.input_write;
    }
    return 1;
}

int process_input_write(PlatformHandle input, const void* bytes, std::size_t size, std::uint32_t timeout_ms,
                        std::size_t* written)
{
    if (written != nullptr) {
        *written = 0;
    }
    if (!handle_is_descriptor(input)) {
        errno = EBADF;
        return 0;
    }
    if (written == nullptr || (bytes == nullptr && size > 0)) {
        errno = EINVAL;
        return 0;
    }
    const int fd = static_cast<int>(input);
    // Non-blocking whatever the descriptor was, so that no write outlasts the bound.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        return 0;
    }
    const std::uint64_t deadline = clock_ms() + timeout_ms;
    const char* data = static_cast<const char*>(bytes);
    while (*written < size) {
        const ssize_t sent = write_without_broken_pipe_signal(fd, data + *written, size - *written);
        if (sent > 0) {
            *written += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return 0;  // EPIPE: every reader has gone
        }
        const std::uint64_t now = clock_ms();
        if (now >= deadline) {
            return 1;  // the child has not made room in time
        }
        // Room, or the read end gone (POLLERR), wakes the poll; the write tells which.
        pollfd entry{fd, POLLOUT, 0};
        const std::uint64_t left = deadline - now;
        if (poll(&entry, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX)) < 0 && errno != EINTR) {
            return 0;
        }
    }
    return 1;
}

int process_input_close(PlatformHandle input)
{
    if (!handle_is_descriptor(input)) {
        errno = EBADF;
        return 0;
    }
    // Linux releases the descriptor even when close reports EINTR: never retried.
    return close(static_cast<int>(input)) == 0 || errno == EINTR ? 1 : 0;
}

int process_self_path(char* path, std::size_t capacity)
{
    if (path == nullptr || capacity == 0) {
        errno = EINVAL;
        return 0;
    }
    path[0] = '\0';
    const ssize_t length = readlink("/proc/self/exe", path, capacity);
    if (length < 0) {
        return 0;
    }
    // readlink does not end the text, and fills the buffer when the path is longer.
    if (static_cast<std::size_t>(length) >= capacity) {
        path[0] = '\0';
        errno = ENAMETOOLONG;
        return 0;
    }
    path[length] = '\0';
    return 1;
}

int process_wait_any(const PlatformHandle* processes, int count, std::uint32_t timeout_ms)
{
    if (processes == nullptr || count <= 0) {
        errno = EINVAL;
        return PROCESS_WAIT_FAILED;
    }
    const std::uint64_t deadline = clock_ms() + timeout_ms;
    for (;;) {
        for (int i = 0; i < count; ++i) {
            const int ended = process_child_ended(processes[i]);
            if (ended < 0) {
                return PROCESS_WAIT_FAILED;
            }
            if (ended == 1) {
                return i;
            }
        }
        const std::uint64_t now = clock_ms();
        if (now >= deadline) {
            errno = ETIMEDOUT;
            return PROCESS_WAIT_TIMEOUT;
        }
        const std::uint64_t left = deadline - now;
        sleep_ms(static_cast<std::uint32_t>(left < PROCESS_WAIT_ANY_POLL_MS ? left : PROCESS_WAIT_ANY_POLL_MS));
    }
}
