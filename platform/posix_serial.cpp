// The platform API on POSIX (Linux), serial ports: termios for the line
// settings, the Win32 time-outs emulated by poll() deadlines, TIOCEXCL plus
// flock() for the exclusive open. Win32 semantics are the model throughout;
// each difference is noted where the code makes up for it.
#include "platform/platform.h"
#include "platform/serial_native.h"

#include "platform/deadline.h"
#include "platform/posix_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// Ports open at once; the program itself holds at most one.
constexpr std::size_t SERIAL_PORT_SLOTS = 8;

// The drain looks at the queue again after the line time of what it holds,
// within these limits, so that a deadline is kept to within a few ms.
constexpr long SERIAL_DRAIN_POLL_MIN_US = 100;
constexpr long SERIAL_DRAIN_POLL_MAX_US = 5000;
// Line time of one character when the port's speed is not known: 1200 8N1.
constexpr long SERIAL_DRAIN_CHAR_DEFAULT_US = 8334;

// A port's handle is its file descriptor. termios keeps the line settings; this
// record keeps the time-outs and the DCB fields termios has no place for.
struct SerialPortRecord {
    int in_use;
    int fd;
    SerialTimeouts timeouts;
    SerialState kept;
    int lines_driven;  // a serial_set_state has driven DTR and RTS since the open
    int exclusive_set;  // this open set TIOCEXCL (it was not set before): the close clears it
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
// modes (handshake, toggle) leave the lines to the driver. A Windows serial
// driver acts on a mode only when it changes: a line that the program set by
// hand since (the command port's wake-up raises DTR) keeps its level through
// later settings that leave its mode alone. So a line is driven only at the
// first setting after the open, or when its mode changes.
void serial_apply_line_control(int fd, std::uint8_t control, std::uint8_t old_control, int first, int line)
{
    if (!first && control == old_control) {
        return;
    }
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

// The line time of one character as the port is set: start bit, data bits,
// parity bit, stop bits.
long serial_char_us(const SerialState& state)
{
    if (state.baud_rate == 0) {
        return SERIAL_DRAIN_CHAR_DEFAULT_US;
    }
    const long bits = 1 + state.byte_size + (state.parity != SERIAL_NOPARITY ? 1 : 0) +
                      (state.stop_bits == SERIAL_TWOSTOPBITS ? 2 : 1);
    return (bits * 1000000L + state.baud_rate - 1) / state.baud_rate;
}

// Waits until the bytes written to fd have left the driver's transmit queue,
// until total passes (when the port has a write time-out) or until the queue
// has not shrunk for SERIAL_DRAIN_STALL_TIMEOUT_MS (when it has none).
// Returns the bytes still queued (0: all gone), or -1 with errno.
//
// TIOCOUTQ, not tcdrain(): tcdrain() cannot be bounded, and on a UART it also
// waits for the shift register in steps of a scheduler tick, which would cost
// each of BCSP's one-byte writes milliseconds. What has left the queue sits in
// the UART's FIFO or a USB transfer and goes out; a purge no longer reaches it.
int serial_drain(const SerialPortRecord& record, const Deadline* total)
{
    int queued = 0;
    if (ioctl(record.fd, TIOCOUTQ, &queued) != 0) {
        return -1;
    }
    if (queued <= 0) {
        return 0;  // the usual case, and no clock read for it
    }
    const long char_us = serial_char_us(record.kept);
    Deadline stall = deadline_after_ms(SERIAL_DRAIN_STALL_TIMEOUT_MS);
    for (;;) {
        if (deadline_expired(total != nullptr ? *total : stall)) {
            return queued;
        }
        long wait_us = queued * char_us;
        wait_us = wait_us < SERIAL_DRAIN_POLL_MIN_US ? SERIAL_DRAIN_POLL_MIN_US : wait_us;
        wait_us = wait_us > SERIAL_DRAIN_POLL_MAX_US ? SERIAL_DRAIN_POLL_MAX_US : wait_us;
        const timespec pause{0, wait_us * 1000L};
        (void)nanosleep(&pause, nullptr);  // a signal only makes the next look come sooner
        const int before = queued;
        if (ioctl(record.fd, TIOCOUTQ, &queued) != 0) {
            return -1;
        }
        if (queued <= 0) {
            return 0;
        }
        if (queued < before) {
            stall = deadline_after_ms(SERIAL_DRAIN_STALL_TIMEOUT_MS);  // the line moves
        }
    }
}

std::uint32_t serial_total_ms(std::uint32_t multiplier, std::uint32_t constant, std::uint32_t count)
{
    const std::uint64_t total = static_cast<std::uint64_t>(multiplier) * count + constant;
    return total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

// Makes the tty exclusive (TIOCEXCL); *set tells whether this call set the
// flag, or it was set already (by another holder: root may open such a tty).
// A kernel without TIOCGEXCL (before 3.8) cannot tell: the flag is taken as
// not set before, as the old close did.
int serial_exclusive_take(int fd, int* set)
{
    int already = 0;
    if (ioctl(fd, TIOCGEXCL, &already) != 0) {
        already = 0;
    }
    if (already) {
        *set = 0;
        return 1;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        return 0;
    }
    *set = 1;
    return 1;
}

}  // namespace

PlatformHandle serial_native_open(const char* device_path)
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
    int exclusive_set = 0;
    // Share mode 0: the flock() turns away every cooperating opener, root
    // included; TIOCEXCL turns away other opens of the tty, but not root's.
    // The flock() comes first: a port another program holds keeps its flags
    // as they were (TIOCEXCL belongs to the tty, not to this descriptor, and
    // would lock that program out of opening its own port again).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failed = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if (!serial_exclusive_take(fd, &exclusive_set)) {
        failed = errno;
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
        if (exclusive_set) {
            (void)ioctl(fd, TIOCNXCL);
        }
        (void)close(fd);
        errno = failed;
        return PLATFORM_INVALID_HANDLE;
    }
    record->in_use = 1;
    record->fd = fd;
    record->timeouts = SerialTimeouts{};
    record->kept = serial_state_initial();
    record->lines_driven = 0;
    record->exclusive_set = exclusive_set;
    return fd;
}

int serial_native_setup(PlatformHandle port, std::uint32_t, std::uint32_t)
{
    // The tty layer sizes its own queues; only the handle is checked.
    return serial_port_find(port) != nullptr ? 1 : 0;
}

int serial_native_get_state(PlatformHandle port, SerialState* state)
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

int serial_native_set_state(PlatformHandle port, const SerialState* state)
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
    const SerialState old = record->kept;
    const int first = !record->lines_driven;
    record->kept = *state;
    record->lines_driven = 1;
    serial_apply_line_control(record->fd, state->dtr_control, old.dtr_control, first, TIOCM_DTR);
    serial_apply_line_control(record->fd, state->rts_control, old.rts_control, first, TIOCM_RTS);
    return 1;
}

int serial_native_set_timeouts(PlatformHandle port, const SerialTimeouts* timeouts)
{
    SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr || timeouts == nullptr) {
        errno = EINVAL;
        return 0;
    }
    record->timeouts = *timeouts;
    return 1;
}

int serial_native_purge(PlatformHandle port, std::uint32_t flags)
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

int serial_native_escape(PlatformHandle port, std::uint32_t function)
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
int serial_native_read(PlatformHandle port, void* buffer, std::uint32_t count, std::uint32_t* bytes_read)
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
// (0 and 0: no bound but a stalled line, see serial_drain). It ends once the
// bytes have left the transmit queue; a write that times out succeeds with the
// count of bytes that did.
int serial_native_write(PlatformHandle port, const void* buffer, std::uint32_t count, std::uint32_t* bytes_written)
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
    // WriteFile returns once the bytes have gone to the device, so a purge
    // right after it (the command port's close) cannot take them back; write()
    // returns once they are queued. Bytes still queued when the time runs out
    // do not count as written.
    const int queued = sent > 0 ? serial_drain(*record, has_total ? &total : nullptr) : 0;
    if (queued < 0) {
        *bytes_written = 0;
        return 0;
    }
    *bytes_written = static_cast<std::uint32_t>(queued) >= sent ? 0 : sent - static_cast<std::uint32_t>(queued);
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

int serial_native_close(PlatformHandle port)
{
    SerialPortRecord* record = serial_port_find(port);
    if (record == nullptr) {
        return 0;
    }
    const int fd = record->fd;
    const int exclusive_set = record->exclusive_set;
    *record = SerialPortRecord{};
    // The exclusive flag stays on the tty while anyone has it open; clear it
    // for the next opener (the download tool), but only when this open set
    // it: another holder's flag is theirs. The flock() goes with the descriptor.
    if (exclusive_set) {
        (void)ioctl(fd, TIOCNXCL);
    }
    return close(fd) == 0 ? 1 : 0;
}
