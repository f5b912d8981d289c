// interrupt.h on POSIX: sigaction() for the hold, write(2) from the handler
// for the notice, a thread reading standard input for a listening child.
#include "platform/interrupt.h"
#include "platform/interrupt_state.h"
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

// The interrupts a hold notes, and SIGPIPE, which it ignores.
constexpr std::array<int, 3> HELD_SIGNALS{SIGINT, SIGTERM, SIGHUP};
constexpr std::size_t SAVED_SIGNALS = HELD_SIGNALS.size() + 1;  // + SIGPIPE
constexpr std::size_t PIPE_INDEX = HELD_SIGNALS.size();
// A notice write that makes no progress this many times in a row is given up.
constexpr int NOTICE_WRITE_ATTEMPTS = 8;
constexpr std::size_t INPUT_READ_BYTES = 256;

struct SavedDisposition {
    int changed;
    struct sigaction previous;
};

std::array<SavedDisposition, SAVED_SIGNALS> saved{};
// Ctrl-C echoes "^C" on a terminal without a line end: the notice then
// starts on a line of its own. Read by the handler, set before it is installed.
volatile sig_atomic_t stderr_is_terminal = 0;
int listening = 0;

InterruptKind kind_of_signal(int signal_number)
{
    switch (signal_number) {
    case SIGINT: return INTERRUPT_CTRL_C;
    case SIGTERM: return INTERRUPT_TERMINATE;
    default: return INTERRUPT_CLOSE;  // SIGHUP
    }
}

// Async-signal-safe: write(2) on a stack buffer only.
void notice_write(int line_break_first)
{
    char text[INTERRUPT_NOTICE_MAX_BYTES + 2];
    std::size_t length = 0;
    if (line_break_first) {
        text[length++] = '\n';
    }
    length += interrupt_state_notice_copy(text + length, INTERRUPT_NOTICE_MAX_BYTES);
    if (length == (line_break_first ? 1u : 0u)) {
        return;  // no notice
    }
    text[length++] = '\n';
    std::size_t done = 0;
    int attempts = 0;
    while (done < length && attempts < NOTICE_WRITE_ATTEMPTS) {
        const ssize_t n = write(STDERR_FILENO, text + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            attempts = 0;
        } else if (n < 0 && errno != EINTR) {
            return;  // stderr closed or broken: nobody to tell
        } else {
            attempts += 1;
        }
    }
}

// Installed only inside a hold: begin counts the hold before installing it,
// end restores the dispositions before uncounting it.
void on_signal(int signal_number)
{
    const int saved_errno = errno;
    const std::uint64_t now_ms = clock_ms();  // clock_gettime(): async-signal-safe
    if (interrupt_state_note(kind_of_signal(signal_number), now_ms)) {
        notice_write(signal_number == SIGINT && stderr_is_terminal);
    }
    errno = saved_errno;
}

int signal_of(std::size_t index)
{
    return index == PIPE_INDEX ? SIGPIPE : HELD_SIGNALS[index];
}

void dispositions_restore()
{
    for (std::size_t i = 0; i < SAVED_SIGNALS; ++i) {
        if (saved[i].changed) {
            (void)sigaction(signal_of(i), &saved[i].previous, nullptr);
            saved[i].changed = 0;
        }
    }
}

// The held signals go to the handler with each other blocked, so one handler
// never interrupts another; SA_RESTART so that calls they cut short go on.
int dispositions_hold()
{
    struct sigaction hold{};
    hold.sa_handler = on_signal;
    hold.sa_flags = SA_RESTART;
    sigemptyset(&hold.sa_mask);
    for (int held : HELD_SIGNALS) {
        sigaddset(&hold.sa_mask, held);
    }
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);

    for (std::size_t i = 0; i < SAVED_SIGNALS; ++i) {
        struct sigaction current{};
        if (sigaction(signal_of(i), nullptr, &current) != 0) {
            const int error = errno;
            dispositions_restore();
            errno = error;
            return 0;
        }
        // An ignored interrupt stays ignored (nohup, a listening child).
        if (current.sa_handler == SIG_IGN) {
            continue;
        }
        if (sigaction(signal_of(i), i == PIPE_INDEX ? &ignore : &hold, &saved[i].previous) != 0) {
            const int error = errno;
            dispositions_restore();
            errno = error;
            return 0;
        }
        saved[i].changed = 1;
    }
    return 1;
}

// A relayed interrupt outside a hold: the process ends at once, as a Ctrl-C
// would end it, without flushing or running exit handlers.
void end_now()
{
    _exit(INTERRUPT_EXIT_STATUS);
}

void* input_listen(void*)
{
    InterruptInputLines lines{};
    char bytes[INPUT_READ_BYTES];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return nullptr;  // end of input or a broken one: the parent is gone, nothing more will come
        }
        for (int found = interrupt_input_feed(&lines, bytes, static_cast<std::size_t>(n)); found > 0; --found) {
            if (interrupt_state_relay(clock_ms(), end_now)) {
                notice_write(0);
            }
        }
    }
}

int signal_set_ignored(int signal_number)
{
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(signal_number, &ignore, nullptr) == 0 ? 1 : 0;
}

}  // namespace

int interrupt_hold_begin(const char* notice)
{
    interrupt_state_lock();
    if (interrupt_state_depth() >= INTERRUPT_HOLD_DEPTH_MAX) {
        interrupt_state_unlock();
        errno = EINVAL;
        return 0;
    }
    if (interrupt_state_depth() == 0) {
        stderr_is_terminal = isatty(STDERR_FILENO) ? 1 : 0;
        (void)interrupt_state_push(notice);
        if (!dispositions_hold()) {
            const int error = errno;
            (void)interrupt_state_pop();
            interrupt_state_unlock();
            errno = error;
            return 0;
        }
        interrupt_state_unlock();
        return 1;
    }
    (void)interrupt_state_push(notice);
    interrupt_state_unlock();
    return 1;
}

int interrupt_hold_notice(const char* notice)
{
    if (!interrupt_state_notice(notice)) {
        errno = EINVAL;
        return 0;
    }
    return 1;
}

int interrupt_hold_end()
{
    interrupt_state_lock();
    if (interrupt_state_depth() == 0) {
        interrupt_state_unlock();
        errno = EINVAL;
        return 0;
    }
    if (interrupt_state_depth() == 1) {
        dispositions_restore();
    }
    (void)interrupt_state_pop();
    interrupt_state_unlock();
    return 1;
}

int interrupt_listen_on_input()
{
    if (listening) {
        return 1;
    }
    // A hold keeps what it replaced until its end: listening starts before any.
    if (interrupt_state_depth() > 0 || fcntl(STDIN_FILENO, F_GETFD) < 0) {
        errno = interrupt_state_depth() > 0 ? EINVAL : EBADF;
        return 0;
    }
    // Ctrl-C is the parent's to pass on; a broken pipe (the parent is gone)
    // fails writes instead of ending the child.
    if (!signal_set_ignored(SIGINT) || !signal_set_ignored(SIGPIPE)) {
        return 0;
    }
    // The thread starts with the held signals blocked, so that they always
    // reach the main thread's handler.
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    for (int held : HELD_SIGNALS) {
        sigaddset(&block, held);
    }
    sigaddset(&block, SIGPIPE);
    int error = pthread_sigmask(SIG_BLOCK, &block, &previous);
    if (error != 0) {
        errno = error;
        return 0;
    }
    pthread_attr_t attributes;
    error = pthread_attr_init(&attributes);
    if (error == 0) {
        error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (error == 0) {
            error = pthread_create(&thread, &attributes, input_listen, nullptr);
        }
        (void)pthread_attr_destroy(&attributes);
    }
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        errno = error;
        return 0;
    }
    listening = 1;
    return 1;
}
