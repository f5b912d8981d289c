// nullmodem: a TEST-ONLY LD_PRELOAD fixture that lets a program drive a
// pseudo-terminal as if it were a real serial port wired to the adapter
// simulator through a null-modem cable.
//
// Why it exists: the updater runs the chip's BCSP link at 8E1 and wakes the
// adapter by toggling RTS and DTR. A real serial port or USB-serial adapter
// accepts both. A pseudo-terminal does not: the kernel refuses PARENB in
// tcsetattr (EINVAL), and a pseudo-terminal has no modem lines (TIOCMBIS and
// friends fail with ENOTTY). The product must fail in those cases, and it is
// never weakened to get past them; instead this library is preloaded into the
// program under test (and into Wine for the Windows build), and only there.
//
// What it does, for descriptors of the pseudo-terminal under test only:
// - tcsetattr / ioctl(TCSETS, TCSETSW, TCSETSF, TCSETS2...): parity requested
//   with PARENB is taken off (the pty would refuse it) and marked instead with
//   CMSPAR, plus PARODD for odd parity; the pty accepts that, and the
//   simulator reads it back from the master side with tcgetattr. Everything
//   else (speed, data bits, stop bits, flags) goes to the pty unchanged.
// - tcgetattr / ioctl(TCGETS, TCGETS2): the marker is turned back into
//   PARENB (and PARODD), so the program reads back what it set and its
//   get-modify-set sequences round-trip. The pty keeps the settings between
//   opens, as a real port does.
// - ioctl(TIOCMBIS, TIOCMBIC, TIOCMSET, TIOCMGET): succeed; RTS and DTR are
//   tracked per device (both low at the start, like a port closed with HUPCL)
//   and reported by TIOCMGET, together with CTS, DSR and CD always on (the
//   adapter is powered and the cable crosses its lines over).
// - tcflush / ioctl(TCFLSH): logged; the input part is passed on to the pty,
//   an output flush is not. Bytes written to a pty are already with the
//   simulator, at the far end of the cable; on a real port they would already
//   sit in the UART's transmit FIFO and go out. Flushing them from the pty
//   would take back bytes the device had in effect received, which no real
//   port can do (a command written just before a purge-and-close would vanish).
// Every modem-line call, every change of speed/data bits/parity/stop bits and
// every flush is appended to the file named by the environment variable
// NULLMODEM_LOG, one line each, with CLOCK_MONOTONIC milliseconds (the
// simulator uses the same clock):
//     <ms> RTS <0|1>                    one line per line touched by the call
//     <ms> DTR <0|1>
//     <ms> LINE <baud> <bits> <N|E|O|M|S> <stop>
//     <ms> FLUSH <1 input | 2 output | 3 both>
// When NULLMODEM_DATA_LOG names a file, the bytes the program writes to and
// reads from the port (reads that return nothing are left out) are appended
// there in the same way, so that the program's side of a slow exchange can be
// set beside the simulator's log. A file of its own: the simulator follows the
// line log, and these entries are not for it.
//     <ms> WRITE <count> <hex of the first DATA_LOG_MAX_BYTES>
//     <ms> READ <count> <hex ...>
//
// Which descriptors: pseudo-terminal slaves (character devices with a UNIX98
// pty slave major number) that are the device named by NULLMODEM_DEVICE, or
// else by COM1_DEVICE (symlinks followed); when neither is set, every pty
// slave. Anything else (the console, pipes, sockets, real serial ports) is
// passed straight to the C library.
//
// Several ports at once (a program that looks for the adapter on every port,
// one simulator behind each): every "{pty}" in NULLMODEM_LOG stands for the
// number N of the port's /dev/pts/N, so that each port has a log of its own,
// e.g. NULLMODEM_LOG=/tmp/run/lines-{pty}.log. Each simulator is given the same
// pattern, expands it with its own pty's number and so follows its own port
// only. A NULLMODEM_LOG without "{pty}" is one log, whatever the port.
// NULLMODEM_DATA_LOG takes "{pty}" in the same way.
//
// Built without sanitizers so that it can be preloaded into any program; to
// preload it into a program built with AddressSanitizer, put libasan first:
//     LD_PRELOAD="$(g++ -print-file-name=libasan.so):.../libnullmodem.so"
// (or run with ASAN_OPTIONS=verify_asan_link_order=0).
//
// Nothing here is part of the product. It is test equipment, like a cable.

#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// UNIX98 pty slaves: majors 136 to 143.
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;
constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;
constexpr unsigned PTY_SLAVES_PER_MAJOR = 256;
// In NULLMODEM_LOG: the port's pty number.
constexpr char LOG_PTY_MARK[] = "{pty}";
constexpr std::size_t LOG_PATH_MAX_BYTES = 4096;
// The environment variables naming the line log and the data log.
constexpr const char* LINE_LOG_VARIABLE = "NULLMODEM_LOG";
constexpr const char* DATA_LOG_VARIABLE = "NULLMODEM_DATA_LOG";
constexpr int MAX_DEVICES = 8;
// Bytes shown per WRITE or READ entry: a BCSP frame's header and the start of its payload.
constexpr ssize_t DATA_LOG_MAX_BYTES = 24;

// termios2 requests and the kernel's c_cflag offset; c_cflag sits at the same
// place in the kernel's termios, termios2 and the C library's termios.
constexpr unsigned long NULLMODEM_TCGETS2 = 0x802C542A;
constexpr unsigned long NULLMODEM_TCSETS2 = 0x402C542B;
constexpr unsigned long NULLMODEM_TCSETSW2 = 0x402C542C;
constexpr unsigned long NULLMODEM_TCSETSF2 = 0x402C542D;
constexpr std::size_t KERNEL_TERMIOS_SIZE = 36;   // struct termios of the ioctl interface
constexpr std::size_t KERNEL_TERMIOS2_SIZE = 44;  // struct termios2
constexpr std::size_t CFLAG_OFFSET = 8;
constexpr std::size_t OSPEED_OFFSET2 = 40;        // termios2.c_ospeed
#ifndef BOTHER
constexpr tcflag_t BOTHER = 0010000;
#endif

using tcsetattr_fn = int (*)(int, int, const struct termios*);
using tcgetattr_fn = int (*)(int, struct termios*);
using tcflush_fn = int (*)(int, int);
using ioctl_fn = int (*)(int, unsigned long, ...);
using write_fn = ssize_t (*)(int, const void*, size_t);
using read_fn = ssize_t (*)(int, void*, size_t);

struct Device {
    dev_t rdev;
    int rts;
    int dtr;
};

pthread_mutex_t nullmodem_lock = PTHREAD_MUTEX_INITIALIZER;
Device devices[MAX_DEVICES];
int device_count;

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// The device under test, from the environment; 0 when none is named.
int target_device(dev_t* rdev) {
    const char* path = std::getenv("NULLMODEM_DEVICE");
    if (!path || !*path) path = std::getenv("COM1_DEVICE");
    if (!path || !*path) return 0;
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    *rdev = st.st_rdev;
    return 1;
}

// 1 for a descriptor this fixture looks after. errno is left as it was.
int nullmodem_fd(int fd, dev_t* rdev) {
    const int saved = errno;
    struct stat st;
    int ours = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= PTY_SLAVE_MAJOR_FIRST &&
               major(st.st_rdev) <= PTY_SLAVE_MAJOR_LAST;
    if (ours) {
        dev_t target;
        if (target_device(&target)) ours = st.st_rdev == target;
        *rdev = st.st_rdev;
    }
    errno = saved;
    return ours;
}

// Call with the lock held.
Device* device_of(dev_t rdev) {
    for (int i = 0; i < device_count; i++)
        if (devices[i].rdev == rdev) return &devices[i];
    if (device_count == MAX_DEVICES) return &devices[MAX_DEVICES - 1];  // more ptys than any test uses
    Device* d = &devices[device_count++];
    *d = Device{};
    d->rdev = rdev;
    return d;
}

// The log variables' values, read once: the program under test does not
// change its environment, and a getenv on every byte it reads or writes would
// be most of what a measured write costs. The fixture's own tests, which do
// change it, say so (nullmodem_environment_changed).
struct LogVariables {
    bool read = false;
    const char* line_log = nullptr;
    const char* data_log = nullptr;
};
LogVariables log_variables;

const char* environment_value(const char* variable) {
    if (!log_variables.read) {
        log_variables = LogVariables{true, std::getenv(LINE_LOG_VARIABLE), std::getenv(DATA_LOG_VARIABLE)};
    }
    if (variable == LINE_LOG_VARIABLE) return log_variables.line_log;
    if (variable == DATA_LOG_VARIABLE) return log_variables.data_log;
    return std::getenv(variable);
}

// The log the variable names for the pty rdev, every "{pty}" replaced by its
// number; 0 when there is no log or the path does not fit.
int log_path(const char* variable, dev_t rdev, char* path, std::size_t size) {
    const char* pattern = environment_value(variable);
    if (!pattern || !*pattern) return 0;
    const unsigned number = (major(rdev) - PTY_SLAVE_MAJOR_FIRST) * PTY_SLAVES_PER_MAJOR + minor(rdev);
    const std::size_t mark_length = sizeof LOG_PTY_MARK - 1;
    std::size_t length = 0;
    while (*pattern) {
        if (std::strncmp(pattern, LOG_PTY_MARK, mark_length) == 0) {
            const int n = std::snprintf(path + length, size - length, "%u", number);
            if (n < 0 || static_cast<std::size_t>(n) >= size - length) return 0;
            length += static_cast<std::size_t>(n);
            pattern += mark_length;
        } else {
            if (length + 1 >= size) return 0;
            path[length++] = *pattern++;
        }
    }
    path[length] = 0;
    return 1;
}

// Appends one entry, stamped with the time, to the log the variable names.
void log_to(const char* variable, dev_t rdev, const char* format, ...) __attribute__((format(printf, 3, 4)));
void log_to(const char* variable, dev_t rdev, const char* format, ...) {
    char path[LOG_PATH_MAX_BYTES];
    if (!log_path(variable, rdev, path, sizeof path)) return;
    const int saved = errno;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char text[128];
    int n = std::snprintf(text, sizeof text, "%lld ",
                          static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
    va_list args;
    va_start(args, format);
    n += std::vsnprintf(text + n, sizeof text - static_cast<std::size_t>(n) - 1, format, args);
    va_end(args);
    if (n > static_cast<int>(sizeof text) - 2) n = static_cast<int>(sizeof text) - 2;
    text[n++] = '\n';
    // One write per entry on an O_APPEND descriptor: entries never interleave.
    const int log = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (log >= 0) {
        static const write_fn write_log = real<write_fn>("write");  // not through this fixture's write()
        if (write_log(log, text, static_cast<std::size_t>(n)) < 0) {
            // Nothing to do: a test that needs the entry will miss it and say so.
        }
        close(log);
    }
    errno = saved;
}

unsigned long speed_of(tcflag_t cflag) {
    switch (cflag & CBAUD) {
    case B0: return 0;
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B500000: return 500000;
    case B576000: return 576000;
    case B921600: return 921600;
    case B1000000: return 1000000;
    case B1152000: return 1152000;
    case B1500000: return 1500000;
    case B2000000: return 2000000;
    default: return 0;
    }
}

char parity_of(tcflag_t cflag) {
    if (!(cflag & PARENB)) return 'N';
    if (cflag & CMSPAR) return (cflag & PARODD) ? 'M' : 'S';
    return (cflag & PARODD) ? 'O' : 'E';
}

int bits_of(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

// The program's c_cflag -> what the pty is given. Applying it twice changes
// nothing, in case a C library routes tcsetattr through ioctl. Mark and space
// parity (PARENB with CMSPAR) cannot be carried and arrive as even and odd.
tcflag_t cflag_to_pty(tcflag_t cflag) {
    if (!(cflag & PARENB)) return cflag;  // no parity, or the marker already
    return (cflag & ~PARENB) | CMSPAR;    // PARODD stays
}

// What the pty holds -> what the program set.
tcflag_t cflag_from_pty(tcflag_t cflag) {
    if ((cflag & CMSPAR) && !(cflag & PARENB)) cflag = (cflag & ~CMSPAR) | PARENB;
    return cflag;
}

// Logs a LINE entry when a set changes what the pty held before it.
void note_settings(dev_t rdev, tcflag_t before, unsigned long baud_before, tcflag_t after, unsigned long baud_after) {
    const char parity = parity_of(after);
    const int bits = bits_of(after);
    const int stop = (after & CSTOPB) ? 2 : 1;
    if (baud_before == baud_after && parity_of(before) == parity && bits_of(before) == bits &&
        ((before & CSTOPB) ? 2 : 1) == stop)
        return;
    log_to(LINE_LOG_VARIABLE, rdev, "LINE %lu %d %c %d", baud_after, bits, parity, stop);
}

// The speed of a kernel termios or termios2 (whose BOTHER speeds are in c_ospeed).
unsigned long termios_baud(const unsigned char* kernel_termios, tcflag_t cflag, int is_termios2) {
    if (!is_termios2 || (cflag & CBAUD) != BOTHER) return speed_of(cflag);
    std::uint32_t ospeed;
    std::memcpy(&ospeed, kernel_termios + OSPEED_OFFSET2, sizeof ospeed);
    return ospeed;
}

// TIOCMBIS / TIOCMBIC / TIOCMSET / TIOCMGET on a device of ours.
int modem_ioctl(dev_t rdev, unsigned long request, int* bits) {
    if (!bits) {
        errno = EFAULT;
        return -1;
    }
    pthread_mutex_lock(&nullmodem_lock);
    Device* d = device_of(rdev);
    if (request == TIOCMGET) {
        *bits = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | (d->rts ? TIOCM_RTS : 0) | (d->dtr ? TIOCM_DTR : 0);
    } else {
        const int touch = request == TIOCMSET ? (TIOCM_RTS | TIOCM_DTR) : (*bits & (TIOCM_RTS | TIOCM_DTR));
        const int on = request == TIOCMBIC ? 0 : *bits;
        if (touch & TIOCM_RTS) {
            d->rts = (on & TIOCM_RTS) != 0;
            log_to(LINE_LOG_VARIABLE, rdev, "RTS %d", d->rts);
        }
        if (touch & TIOCM_DTR) {
            d->dtr = (on & TIOCM_DTR) != 0;
            log_to(LINE_LOG_VARIABLE, rdev, "DTR %d", d->dtr);
        }
    }
    pthread_mutex_unlock(&nullmodem_lock);
    return 0;
}

int data_logged() {
    const char* path = environment_value(DATA_LOG_VARIABLE);
    return path && *path;
}

void note_data(dev_t rdev, const char* kind, const void* bytes, ssize_t count) {
    char hex[2 * DATA_LOG_MAX_BYTES + 1] = {};
    const ssize_t shown = count < DATA_LOG_MAX_BYTES ? count : DATA_LOG_MAX_BYTES;
    for (ssize_t i = 0; i < shown; i++)
        std::snprintf(hex + 2 * i, 3, "%02x", static_cast<const unsigned char*>(bytes)[i]);
    log_to(DATA_LOG_VARIABLE, rdev, "%s %zd %s", kind, count, hex);
}

void note_flush(dev_t rdev, int queue) {
    const int which = queue == TCIFLUSH ? 1 : queue == TCOFLUSH ? 2 : queue == TCIOFLUSH ? 3 : 0;
    if (which) log_to(LINE_LOG_VARIABLE, rdev, "FLUSH %d", which);
}

}  // namespace

extern "C" {

// For the fixture's own tests: the log variables are read again at their next use.
void nullmodem_environment_changed() {
    log_variables.read = false;
}

int tcsetattr(int fd, int action, const struct termios* t) noexcept {
    static const tcsetattr_fn next = real<tcsetattr_fn>("tcsetattr");
    static const tcgetattr_fn get = real<tcgetattr_fn>("tcgetattr");
    dev_t rdev;
    if (!t || !nullmodem_fd(fd, &rdev)) return next(fd, action, t);
    struct termios before;
    if (get(fd, &before) != 0) std::memset(&before, 0, sizeof before);
    struct termios copy = *t;
    copy.c_cflag = cflag_to_pty(t->c_cflag);
    const int result = next(fd, action, &copy);
    if (result == 0) {
        const tcflag_t old_cflag = cflag_from_pty(before.c_cflag);
        note_settings(rdev, old_cflag, speed_of(old_cflag), t->c_cflag, speed_of(t->c_cflag));
    }
    return result;
}

int tcgetattr(int fd, struct termios* t) noexcept {
    static const tcgetattr_fn next = real<tcgetattr_fn>("tcgetattr");
    dev_t rdev;
    const int result = next(fd, t);
    if (result == 0 && nullmodem_fd(fd, &rdev)) t->c_cflag = cflag_from_pty(t->c_cflag);
    return result;
}

int tcflush(int fd, int queue) noexcept {
    static const tcflush_fn next = real<tcflush_fn>("tcflush");
    dev_t rdev;
    if (!nullmodem_fd(fd, &rdev)) return next(fd, queue);
    const int input = queue == TCIFLUSH || queue == TCIOFLUSH;
    const int result = input ? next(fd, TCIFLUSH) : (queue == TCOFLUSH ? 0 : next(fd, queue));
    if (result == 0) note_flush(rdev, queue);
    return result;
}

ssize_t write(int fd, const void* bytes, size_t count) {
    static const write_fn next = real<write_fn>("write");
    const ssize_t result = next(fd, bytes, count);
    dev_t rdev;
    if (result > 0 && data_logged() && nullmodem_fd(fd, &rdev)) note_data(rdev, "WRITE", bytes, result);
    return result;
}

ssize_t read(int fd, void* bytes, size_t count) {
    static const read_fn next = real<read_fn>("read");
    const ssize_t result = next(fd, bytes, count);
    dev_t rdev;
    if (result > 0 && data_logged() && nullmodem_fd(fd, &rdev)) note_data(rdev, "READ", bytes, result);
    return result;
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    static const ioctl_fn next = real<ioctl_fn>("ioctl");
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    const int is_termios = request == TCSETS || request == TCSETSW || request == TCSETSF || request == TCGETS;
    const int is_termios2 = request == NULLMODEM_TCSETS2 || request == NULLMODEM_TCSETSW2 ||
                            request == NULLMODEM_TCSETSF2 || request == NULLMODEM_TCGETS2;
    const int is_modem = request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET || request == TIOCMGET;
    dev_t rdev;
    if (!(is_termios || is_termios2 || is_modem || request == TCFLSH) || !nullmodem_fd(fd, &rdev))
        return next(fd, request, arg);

    if (is_modem) return modem_ioctl(rdev, request, static_cast<int*>(arg));
    if (request == TCFLSH) {  // as tcflush() above
        const int queue = static_cast<int>(reinterpret_cast<std::intptr_t>(arg));
        const int input = queue == TCIFLUSH || queue == TCIOFLUSH;
        const int result = input ? next(fd, request, TCIFLUSH) : (queue == TCOFLUSH ? 0 : next(fd, request, arg));
        if (result == 0) note_flush(rdev, queue);
        return result;
    }
    if (!arg) return next(fd, request, arg);

    tcflag_t cflag;
    if (request == TCGETS || request == NULLMODEM_TCGETS2) {
        const int result = next(fd, request, arg);
        if (result == 0) {
            std::memcpy(&cflag, static_cast<char*>(arg) + CFLAG_OFFSET, sizeof cflag);
            cflag = cflag_from_pty(cflag);
            std::memcpy(static_cast<char*>(arg) + CFLAG_OFFSET, &cflag, sizeof cflag);
        }
        return result;
    }
    // A set: give the pty a copy with the parity marker.
    unsigned char before[KERNEL_TERMIOS2_SIZE] = {};
    const unsigned long get = is_termios2 ? NULLMODEM_TCGETS2 : TCGETS;
    if (next(fd, get, before) != 0) std::memset(before, 0, sizeof before);
    unsigned char copy[KERNEL_TERMIOS2_SIZE];
    const std::size_t size = is_termios2 ? KERNEL_TERMIOS2_SIZE : KERNEL_TERMIOS_SIZE;
    std::memcpy(copy, arg, size);
    std::memcpy(&cflag, copy + CFLAG_OFFSET, sizeof cflag);
    const tcflag_t pty_cflag = cflag_to_pty(cflag);
    std::memcpy(copy + CFLAG_OFFSET, &pty_cflag, sizeof pty_cflag);
    const int result = next(fd, request, copy);
    if (result == 0) {
        tcflag_t old_cflag;
        std::memcpy(&old_cflag, before + CFLAG_OFFSET, sizeof old_cflag);
        old_cflag = cflag_from_pty(old_cflag);
        note_settings(rdev, old_cflag, termios_baud(before, old_cflag, is_termios2), cflag,
                      termios_baud(copy, cflag, is_termios2));
    }
    return result;
}

}  // extern "C"
