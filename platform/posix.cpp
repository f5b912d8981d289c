// The platform API on POSIX (Linux): serial ports through termios with the
// Win32 time-outs emulated by poll() deadlines, child processes through
// posix_spawn() and waitpid(), the console through poll() on standard input.
// Win32 semantics are the model throughout; each difference is noted where
// the code makes up for it.
#include "platform/platform.h"

#include "platform/deadline.h"
#include "platform/posix_device.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

extern char** environ;

namespace {

// ---------------------------------------------------------------------------
// Serial ports

// Ports open at once; the program itself holds at most one.
constexpr std::size_t SERIAL_PORT_SLOTS = 8;
constexpr std::size_t SERIAL_DEVICE_PATH_MAX_BYTES = 256;

// A port's handle is its file descriptor. termios keeps the line settings; this
// record keeps the time-outs and the DCB fields termios has no place for.
struct SerialPortRecord {
    int in_use;
    int fd;
    SerialTimeouts timeouts;
    SerialState kept;
};

std::array<SerialPortRecord, SERIAL_PORT_SLOTS> serial_ports{};

struct SerialBaudRate {
    std::uint32_t rate;
    speed_t code;
};

// The rates termios can express; anything else (14400, 128000...) fails.
constexpr std::array<SerialBaudRate, 30> SERIAL_BAUD_RATES{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
}};

// The c_cflag and c_iflag bits that serial_set_state decides.
constexpr tcflag_t SERIAL_CFLAG_BITS = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
constexpr tcflag_t SERIAL_IFLAG_BITS = IXON | IXOFF;

SerialPortRecord* serial_port_find(PlatformHandle port)
{
    for (SerialPortRecord& record : serial_ports) {
        if (record.in_use && record.fd == port) {
            return &record;
        }
    }
    errno = EINVAL;
    return nullptr;
}

SerialPortRecord* serial_port_free_slot()
{
    for (SerialPortRecord& record : serial_ports) {
        if (!record.in_use) {
            return &record;
        }
    }
    errno = EMFILE;
    return nullptr;
}

// What GetCommState reports for a port nobody has configured yet: binary mode,
// and DTR and RTS raised, as the tty layer raises them on open.
SerialState serial_state_initial()
{
    SerialState state{};
    state.length = SERIAL_STATE_LENGTH;
    state.binary = 1;
    state.dtr_control = SERIAL_DTR_CONTROL_ENABLE;
    state.rts_control = SERIAL_RTS_CONTROL_ENABLE;
    return state;
}

int serial_speed_code(std::uint32_t rate, speed_t* code)
{
    for (const SerialBaudRate& entry : SERIAL_BAUD_RATES) {
        if (entry.rate == rate) {
            *code = entry.code;
            return 1;
        }
    }
    return 0;
}

std::uint32_t serial_speed_rate(speed_t code)
{
    for (const SerialBaudRate& entry : SERIAL_BAUD_RATES) {
        if (entry.code == code) {
            return entry.rate;
        }
    }
    return 0;
}

int serial_size_flag(std::uint8_t byte_size, tcflag_t* flag)
{
    switch (byte_size) {
    case 5: *flag = CS5; return 1;
    case 6: *flag = CS6; return 1;
    case 7: *flag = CS7; return 1;
    case 8: *flag = CS8; return 1;
    default: return 0;
    }
}

std::uint8_t serial_size_bits(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

// The DCB fields that termios holds, written into t. EINVAL for a value
// termios cannot express (1.5 stop bits, mark or space parity, 14400 baud).
int serial_state_to_termios(const SerialState* state, termios* t)
{
    speed_t speed = B0;
    tcflag_t size = CS8;
    if (!serial_speed_code(state->baud_rate, &speed) || !serial_size_flag(state->byte_size, &size) ||
        state->parity > SERIAL_EVENPARITY ||
        (state->stop_bits != SERIAL_ONESTOPBIT && state->stop_bits != SERIAL_TWOSTOPBITS)) {
        errno = EINVAL;
        return 0;
    }
    tcflag_t cflag = size | CLOCAL | CREAD;
    if (state->parity == SERIAL_ODDPARITY) {
        cflag |= PARENB | PARODD;
    } else if (state->parity == SERIAL_EVENPARITY) {
        cflag |= PARENB;
    }
    if (state->stop_bits == SERIAL_TWOSTOPBITS) {
        cflag |= CSTOPB;
    }
    if (state->outx_cts_flow) {
        cflag |= CRTSCTS;
    }
    tcflag_t iflag = 0;
    if (state->out_x) {
        iflag |= IXON;
    }
    if (state->in_x) {
        iflag |= IXOFF;
    }
    t->c_cflag = (t->c_cflag & ~SERIAL_CFLAG_BITS) | cflag;
    t->c_iflag = (t->c_iflag & ~SERIAL_IFLAG_BITS) | iflag;
    t->c_cc[VSTART] = static_cast<cc_t>(state->xon_char);
    t->c_cc[VSTOP] = static_cast<cc_t>(state->xoff_char);
    if (cfsetispeed(t, speed) != 0 || cfsetospeed(t, speed) != 0) {
        return 0;
    }
    return 1;
}

void serial_state_from_termios(const termios* t, SerialState* state)
{
    state->baud_rate = serial_speed_rate(cfgetospeed(t));
    state->byte_size = serial_size_bits(t->c_cflag);
    if (!(t->c_cflag & PARENB)) {
        state->parity = SERIAL_NOPARITY;
    } else {
        state->parity = (t->c_cflag & PARODD) ? SERIAL_ODDPARITY : SERIAL_EVENPARITY;
    }
    state->stop_bits = (t->c_cflag & CSTOPB) ? SERIAL_TWOSTOPBITS : SERIAL_ONESTOPBIT;
    state->outx_cts_flow = (t->c_cflag & CRTSCTS) ? 1 : 0;
    state->out_x = (t->c_iflag & IXON) ? 1 : 0;
    state->in_x = (t->c_iflag & IXOFF) ? 1 : 0;
    state->xon_char = static_cast<char>(t->c_cc[VSTART]);
    state->xoff_char = static_cast<char>(t->c_cc[VSTOP]);
}

// tcsetattr succeeds when it applied any part of the request; a pseudo-terminal,
// for one, quietly keeps CS8. Whatever the port did not take is a failure.
int serial_termios_took(const termios* wanted, const termios* got)
{
    return (wanted->c_cflag & SERIAL_CFLAG_BITS) == (got->c_cflag & SERIAL_CFLAG_BITS) &&
           (wanted->c_iflag & SERIAL_IFLAG_BITS) == (got->c_iflag & SERIAL_IFLAG_BITS) &&
           cfgetispeed(wanted) == cfgetispeed(got) && cfgetospeed(wanted) == cfgetospeed(got) &&
           wanted->c_cc[VSTART] == got->c_cc[VSTART] && wanted->c_cc[VSTOP] == got->c_cc[VSTOP];
}

// SetCommState drives DTR and RTS for the two fixed control modes; the other
// modes (handshake, toggle) leave the lines to the driver.
void serial_apply_line_control(int fd, std::uint8_t control, int line)
{
    int bits = line;
    if (control == SERIAL_DTR_CONTROL_DISABLE) {
        (void)ioctl(fd, TIOCMBIC, &bits);  // a pseudo-terminal has no modem lines
    } else if (control == SERIAL_DTR_CONTROL_ENABLE) {
        (void)ioctl(fd, TIOCMBIS, &bits);
    }
}

// Waits until fd is ready for events or the earlier of the deadlines passes
// (no deadline: wait as long as it takes). 1 ready (or hung up: the next read
// or write tells which), 0 timed out, -1 failed with errno.
int serial_wait(int fd, short events, const Deadline* total, const Deadline* interval)
{
    for (;;) {
        int timeout_ms = -1;
        for (const Deadline* deadline : {total, interval}) {
            if (deadline != nullptr) {
                const std::uint32_t remaining = deadline_remaining_ms(*deadline);
                if (remaining == 0) {
                    return 0;  // also ends a line that keeps waking poll() with nothing to read
                }
                const int capped = remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
                timeout_ms = timeout_ms < 0 ? capped : (capped < timeout_ms ? capped : timeout_ms);
            }
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, timeout_ms);
        if (ready > 0) {
            if (entry.revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            return 1;
        }
        if (ready < 0 && errno != EINTR) {
            return -1;
        }
    }
}

std::uint32_t serial_total_ms(std::uint32_t multiplier, std::uint32_t constant, std::uint32_t count)
{
    const std::uint64_t total = static_cast<std::uint64_t>(multiplier) * count + constant;
    return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

// ---------------------------------------------------------------------------
// Child processes

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
    errno = EINVAL;
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

// ---------------------------------------------------------------------------
// Console

// Signals whose default action ends the process: the terminal is restored
// before they do, so a key wait cut short does not leave it without echo.
constexpr std::array<int, 4> CONSOLE_RESTORE_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

struct ConsoleKeyWait {
    int active;
    int exit_hook_registered;
    termios saved;
    std::array<int, CONSOLE_RESTORE_SIGNALS.size()> handler_installed;
    std::array<struct sigaction, CONSOLE_RESTORE_SIGNALS.size()> previous;
};

ConsoleKeyWait console_key_wait{};

// Runs once per signal (SA_RESETHAND): restores the terminal and lets the
// signal take its default course as soon as the handler returns.
void console_restore_on_signal(int signal_number)
{
    const int saved_errno = errno;
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &console_key_wait.saved);
    (void)raise(signal_number);
    errno = saved_errno;
}

void console_install_signal_handlers()
{
    for (std::size_t i = 0; i < CONSOLE_RESTORE_SIGNALS.size(); ++i) {
        console_key_wait.handler_installed[i] = 0;
        struct sigaction current{};
        // A signal the caller ignores or handles keeps its disposition.
        if (sigaction(CONSOLE_RESTORE_SIGNALS[i], nullptr, &current) != 0 || current.sa_handler != SIG_DFL) {
            continue;
        }
        struct sigaction restore{};
        restore.sa_handler = console_restore_on_signal;
        restore.sa_flags = SA_RESETHAND;
        sigemptyset(&restore.sa_mask);
        if (sigaction(CONSOLE_RESTORE_SIGNALS[i], &restore, &console_key_wait.previous[i]) == 0) {
            console_key_wait.handler_installed[i] = 1;
        }
    }
}

void console_remove_signal_handlers()
{
    for (std::size_t i = 0; i < CONSOLE_RESTORE_SIGNALS.size(); ++i) {
        if (console_key_wait.handler_installed[i]) {
            (void)sigaction(CONSOLE_RESTORE_SIGNALS[i], &console_key_wait.previous[i], nullptr);
            console_key_wait.handler_installed[i] = 0;
        }
    }
}

void console_restore_at_exit()
{
    console_key_wait_end();
}

}  // namespace

std::uint32_t platform_last_error()
{
    return static_cast<std::uint32_t>(errno);
}

// ---------------------------------------------------------------------------
// Serial ports

int serial_device_path(const char* device_path, char* resolved, std::size_t capacity)
{
    if (device_path == nullptr || resolved == nullptr || capacity == 0) {
        errno = EINVAL;
        return 0;
    }
    static constexpr char WIN32_COM_PREFIX[] = "\\\\.\\COM";
    constexpr std::size_t prefix_length = sizeof WIN32_COM_PREFIX - 1;
    constexpr std::size_t port_digits_max = 9;
    unsigned long port = 0;
    std::size_t digits = 0;
    if (std::strncmp(device_path, WIN32_COM_PREFIX, prefix_length) == 0) {
        for (const char* cursor = device_path + prefix_length; *cursor >= '0' && *cursor <= '9'; ++cursor) {
            port = port * 10 + static_cast<unsigned long>(*cursor - '0');
            ++digits;
        }
        if (device_path[prefix_length + digits] != '\0' || digits > port_digits_max) {
            digits = 0;
        }
    }
    int written;
    if (digits == 0 || port == 0) {
        written = std::snprintf(resolved, capacity, "%s", device_path);
    } else {
        char variable[32];
        std::snprintf(variable, sizeof variable, "COM%lu_DEVICE", port);
        const char* mapped = std::getenv(variable);
        if (mapped != nullptr && mapped[0] != '\0') {
            written = std::snprintf(resolved, capacity, "%s", mapped);
        } else {
            written = std::snprintf(resolved, capacity, "/dev/ttyS%lu", port - 1);
        }
    }
    if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
        errno = ENAMETOOLONG;
        return 0;
    }
    return 1;
}

PlatformHandle serial_open(const char* device_path)
{
    char path[SERIAL_DEVICE_PATH_MAX_BYTES];
    if (!serial_device_path(device_path, path, sizeof path)) {
        return PLATFORM_INVALID_HANDLE;
    }
    SerialPortRecord* record = serial_port_free_slot();
    if (record == nullptr) {
        return PLATFORM_INVALID_HANDLE;
    }
    // O_NONBLOCK: the open must not wait for carrier, and every wait is a poll()
    // with a deadline. O_CLOEXEC: the download tool must not inherit the port.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return PLATFORM_INVALID_HANDLE;
    }
    termios t{};
    int failed = 0;
    // Share mode 0: TIOCEXCL turns away other opens of the tty, but not root's;
    // the flock() turns away every cooperating opener, root included.
    if (ioctl(fd, TIOCEXCL) != 0) {
        failed = errno;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failed = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if (tcgetattr(fd, &t) != 0) {
        failed = errno;
    } else {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (tcsetattr(fd, TCSANOW, &t) != 0) {
            failed = errno;
        }
    }
    if (failed != 0) {
        (void)close(fd);
        errno = failed;
        return PLATFORM_INVALID_HANDLE;
    }
    record->in_use = 1;
    record->fd = fd;
    record->timeouts = SerialTimeouts{};
    record->kept = serial_state_initial();
    return fd;
}

int serial_setup(PlatformHandle port, std::uint32_t, std::uint32_t)
{
    // The tty layer sizes its own queues; only the handle is checked.
    return serial_port_find(port) != nullptr ? 1 : 0;
}

int serial_get_state(PlatformHandle port, SerialState* state)
{
    const SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr || state == nullptr) {
        errno = EINVAL;
        return 0;
    }
    termios t{};
    if (tcgetattr(record->fd, &t) != 0) {
        return 0;
    }
    *state = record->kept;
    serial_state_from_termios(&t, state);
    return 1;
}

int serial_set_state(PlatformHandle port, const SerialState* state)
{
    SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr || state == nullptr) {
        errno = EINVAL;
        return 0;
    }
    termios wanted{};
    if (tcgetattr(record->fd, &wanted) != 0 || !serial_state_to_termios(state, &wanted) ||
        tcsetattr(record->fd, TCSANOW, &wanted) != 0) {
        return 0;
    }
    termios got{};
    if (tcgetattr(record->fd, &got) != 0) {
        return 0;
    }
    if (!serial_termios_took(&wanted, &got)) {
        errno = EINVAL;
        return 0;
    }
    record->kept = *state;
    serial_apply_line_control(record->fd, state->dtr_control, TIOCM_DTR);
    serial_apply_line_control(record->fd, state->rts_control, TIOCM_RTS);
    return 1;
}

int serial_set_timeouts(PlatformHandle port, const SerialTimeouts* timeouts)
{
    SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr || timeouts == nullptr) {
        errno = EINVAL;
        return 0;
    }
    record->timeouts = *timeouts;
    return 1;
}

int serial_purge(PlatformHandle port, std::uint32_t flags)
{
    const SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr || (flags & ~SERIAL_PURGE_ALL) != 0) {
        errno = EINVAL;
        return 0;
    }
    const int input = (flags & (SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT)) != 0;
    const int output = (flags & (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_TXABORT)) != 0;
    if (!input && !output) {
        return 1;
    }
    const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return tcflush(record->fd, queue) == 0 ? 1 : 0;
}

int serial_escape(PlatformHandle port, std::uint32_t function)
{
    const SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr) {
        return 0;
    }
    int bits = 0;
    unsigned long request = 0;
    switch (function) {
    case SERIAL_SETRTS: bits = TIOCM_RTS; request = TIOCMBIS; break;
    case SERIAL_CLRRTS: bits = TIOCM_RTS; request = TIOCMBIC; break;
    case SERIAL_SETDTR: bits = TIOCM_DTR; request = TIOCMBIS; break;
    case SERIAL_CLRDTR: bits = TIOCM_DTR; request = TIOCMBIC; break;
    default: errno = EINVAL; return 0;
    }
    return ioctl(record->fd, request, &bits) == 0 ? 1 : 0;
}

// ReadFile under COMMTIMEOUTS: the total time-out (multiplier x count +
// constant) runs from the call, the interval time-out from each byte received;
// a time-out ends the read successfully with what has arrived.
int serial_read(PlatformHandle port, void* buffer, std::uint32_t count, std::uint32_t* bytes_read)
{
    if (bytes_read != nullptr) {
        *bytes_read = 0;
    }
    const SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr || bytes_read == nullptr || (buffer == nullptr && count > 0)) {
        errno = EINVAL;
        return 0;
    }
    const SerialTimeouts t = record->timeouts;
    const int at_once = t.read_interval == SERIAL_TIMEOUT_MAXDWORD && t.read_total_multiplier == 0 &&
                        t.read_total_constant == 0;
    // MAXDWORD / MAXDWORD / constant: return as soon as anything arrives.
    const int first_bytes = t.read_interval == SERIAL_TIMEOUT_MAXDWORD &&
                            t.read_total_multiplier == SERIAL_TIMEOUT_MAXDWORD &&
                            t.read_total_constant != 0 && t.read_total_constant != SERIAL_TIMEOUT_MAXDWORD;
    const int has_total = !at_once && (t.read_total_multiplier != 0 || t.read_total_constant != 0);
    const int has_interval = t.read_interval != 0 && t.read_interval != SERIAL_TIMEOUT_MAXDWORD;
    // The "return at once" form needs no clock: the BCSP engine reads that way
    // once per poll and per byte.
    const Deadline total = at_once ? Deadline{} : deadline_after_ms(
        first_bytes ? t.read_total_constant : serial_total_ms(t.read_total_multiplier, t.read_total_constant, count));
    Deadline interval{};
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t got = 0;
    while (got < count) {
        const ssize_t n = read(record->fd, bytes + got, count - got);
        if (n > 0) {
            got += static_cast<std::uint32_t>(n);
            if (first_bytes) {
                break;
            }
            interval = deadline_after_ms(t.read_interval);
            continue;
        }
        if (n == 0) {
            // End of file on a tty: the line hung up (a pseudo-terminal whose
            // master side has closed); poll() would report it for ever.
            errno = EIO;
            *bytes_read = got;
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            *bytes_read = got;
            return 0;
        }
        if (at_once) {
            break;
        }
        const int ready = serial_wait(record->fd, POLLIN, has_total ? &total : nullptr,
                                      has_interval && got > 0 ? &interval : nullptr);
        if (ready == 0) {
            break;
        }
        if (ready < 0) {
            *bytes_read = got;
            return 0;
        }
    }
    *bytes_read = got;
    return 1;
}

// WriteFile under COMMTIMEOUTS: bounded by write multiplier x count + constant
// (0 and 0: no bound). A write that times out succeeds with the partial count.
int serial_write(PlatformHandle port, const void* buffer, std::uint32_t count, std::uint32_t* bytes_written)
{
    if (bytes_written != nullptr) {
        *bytes_written = 0;
    }
    const SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr || bytes_written == nullptr || (buffer == nullptr && count > 0)) {
        errno = EINVAL;
        return 0;
    }
    const SerialTimeouts t = record->timeouts;
    const int has_total = t.write_total_multiplier != 0 || t.write_total_constant != 0;
    const Deadline total = has_total ? deadline_after_ms(serial_total_ms(t.write_total_multiplier,
                                                                         t.write_total_constant, count))
                                     : Deadline{};
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t sent = 0;
    while (sent < count) {
        const ssize_t n = write(record->fd, bytes + sent, count - sent);
        if (n > 0) {
            sent += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno != EAGAIN) {
            if (n == 0) {
                errno = EIO;
            }
            *bytes_written = sent;
            return 0;
        }
        const int ready = serial_wait(record->fd, POLLOUT, has_total ? &total : nullptr, nullptr);
        if (ready == 0) {
            break;
        }
        if (ready < 0) {
            *bytes_written = sent;
            return 0;
        }
    }
    *bytes_written = sent;
    return 1;
}

int serial_wait_input(PlatformHandle port, std::uint32_t timeout_ms)
{
    const SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr) {
        return 0;
    }
    const Deadline deadline = deadline_after_ms(timeout_ms);
    int wait_ms = timeout_ms > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
    for (;;) {
        pollfd entry{record->fd, POLLIN, 0};
        const int ready = poll(&entry, 1, wait_ms);
        if (ready > 0) {
            if (entry.revents & POLLNVAL) {
                errno = EBADF;
                return 0;
            }
            // A hang-up or an error counts as input: the read that follows tells which.
            return 1;
        }
        if (ready == 0 || errno != EINTR) {
            return 0;
        }
        // A signal cut the wait short: wait out the rest.
        const std::uint32_t remaining = deadline_remaining_ms(deadline);
        if (remaining == 0) {
            return 0;
        }
        wait_ms = remaining > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(remaining);
    }
}

int serial_close(PlatformHandle port)
{
    SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr) {
        return 0;
    }
    const int fd = record->fd;
    *record = SerialPortRecord{};
    // The exclusive flag stays on the tty after close; clear it for the next
    // opener (the download tool). The flock() goes with the descriptor.
    (void)ioctl(fd, TIOCNXCL);
    return close(fd) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Folders and processes

int folder_change(const char* path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return chdir(path) == 0 ? 1 : 0;
}

int process_start(const char* command_line, ProcessInfo* info)
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
    const int result = posix_spawn(&pid, program, nullptr, nullptr, argv.data(), environ);
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
    if (child == nullptr || exit_code == nullptr) {
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

// ---------------------------------------------------------------------------
// Time

void sleep_ms(std::uint32_t milliseconds)
{
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal cuts nanosleep short; the rest of the time is still slept.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

std::uint64_t clock_ms()
{
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

void timer_precise_begin()
{
}

void timer_precise_end()
{
}

// ---------------------------------------------------------------------------
// Console and process

int console_printf(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
    return written;
}

void console_key_wait_begin()
{
    if (console_key_wait.active || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &console_key_wait.saved) != 0) {
        return;
    }
    if (!console_key_wait.exit_hook_registered) {
        console_key_wait.exit_hook_registered = std::atexit(console_restore_at_exit) == 0;
    }
    termios t = console_key_wait.saved;
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    console_install_signal_handlers();
    // TCSANOW, not TCSAFLUSH: a key pressed before the wait must still count.
    if (tcsetattr(STDIN_FILENO, TCSANOW, &t) != 0) {
        console_remove_signal_handlers();
        return;
    }
    console_key_wait.active = 1;
}

void console_key_wait_end()
{
    if (!console_key_wait.active) {
        return;
    }
    (void)tcsetattr(STDIN_FILENO, TCSANOW, &console_key_wait.saved);
    console_remove_signal_handlers();
    console_key_wait.active = 0;
}

int console_key_waiting()
{
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    int ready;
    do {
        ready = poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    // Ended, hung up or not open at all: no key will ever come, so stop waiting.
    if (ready < 0) {
        return 1;
    }
    return (entry.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

void process_exit(int status)
{
    console_key_wait_end();
    std::fflush(stdout);
    std::exit(status);
}
