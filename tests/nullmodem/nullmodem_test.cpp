// The null-modem fixture, linked in the way a preload would be: parity and
// modem-line calls on the pty under test succeed and round-trip, the master
// side sees the parity marker, every change lands in the log, and any other
// descriptor behaves exactly as without the fixture.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
        path = ptsname(master);
        slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (slave >= 0) close(slave);
        if (master >= 0) close(master);
    }
};

long long monotonic_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

extern "C" void nullmodem_environment_changed();

// The environment changed, and the fixture told so.
void set_variable(const char* name, const char* value, int overwrite) {
    setenv(name, value, overwrite);
    nullmodem_environment_changed();
}

void unset_variable(const char* name) {
    unsetenv(name);
    nullmodem_environment_changed();
}

class NullModemTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(pty.slave, 0);
        char name[] = "/tmp/nullmodem_test_XXXXXX";
        const int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        log_path = name;
        set_variable("NULLMODEM_LOG", log_path.c_str(), 1);
        set_variable("NULLMODEM_DEVICE", pty.path.c_str(), 1);
        unset_variable("COM1_DEVICE");
    }
    void TearDown() override {
        unset_variable("NULLMODEM_LOG");
        unset_variable("NULLMODEM_DEVICE");
        std::remove(log_path.c_str());
    }

    // The log's entries without their timestamps.
    std::vector<std::string> entries() { return entries(log_path); }
    std::vector<std::string> entries(const std::string& path) {
        std::ifstream in(path);
        std::vector<std::string> out;
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t blank = line.find(' ');
            out.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
        }
        return out;
    }

    void set_line(int fd, speed_t speed, tcflag_t parity) {
        struct termios t;
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfmakeraw(&t);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        t.c_cflag = (t.c_cflag & ~(PARENB | PARODD)) | parity;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0) << std::strerror(errno);
    }

    Pty pty;
    std::string log_path;
};

TEST_F(NullModemTest, ParityIsAcceptedRoundTripsAndShowsOnTheMaster) {
    set_line(pty.slave, B115200, PARENB);
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_TRUE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & PARODD);
    EXPECT_FALSE(t.c_cflag & CMSPAR);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    // The master is not the device under test: it sees what the pty holds.
    struct termios m;
    ASSERT_EQ(tcgetattr(pty.master, &m), 0);
    EXPECT_TRUE(m.c_cflag & CMSPAR);
    EXPECT_FALSE(m.c_cflag & PARENB);
    EXPECT_FALSE(m.c_cflag & PARODD);

    set_line(pty.slave, B115200, PARENB | PARODD);
    ASSERT_EQ(tcgetattr(pty.master, &m), 0);
    EXPECT_TRUE((m.c_cflag & CMSPAR) && (m.c_cflag & PARODD));
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_TRUE((t.c_cflag & PARENB) && (t.c_cflag & PARODD));

    set_line(pty.slave, B1200, 0);
    ASSERT_EQ(tcgetattr(pty.master, &m), 0);
    EXPECT_FALSE(m.c_cflag & (CMSPAR | PARENB));
    EXPECT_EQ(cfgetospeed(&m), static_cast<speed_t>(B1200));

    EXPECT_EQ(entries(), (std::vector<std::string>{"LINE 115200 8 E 1", "LINE 115200 8 O 1", "LINE 1200 8 N 1"}));
}

TEST_F(NullModemTest, GetModifySetKeepsParity) {
    set_line(pty.slave, B115200, PARENB);
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    t.c_cflag |= CSTOPB;  // change something else only
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    EXPECT_TRUE(t.c_cflag & PARENB);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    // Setting the same line again is not logged a second time.
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
    EXPECT_EQ(entries(), (std::vector<std::string>{"LINE 115200 8 E 1", "LINE 115200 8 E 2"}));
}

// Wine and some C libraries set the line with ioctl directly.
TEST_F(NullModemTest, TermiosIoctlsAreHandledToo) {
    unsigned char kt[64] = {};
    ASSERT_EQ(ioctl(pty.slave, TCGETS, kt), 0);
    tcflag_t cflag;
    std::memcpy(&cflag, kt + 8, sizeof cflag);
    cflag |= PARENB;
    std::memcpy(kt + 8, &cflag, sizeof cflag);
    ASSERT_EQ(ioctl(pty.slave, TCSETS, kt), 0) << std::strerror(errno);
    std::memset(kt, 0, sizeof kt);
    ASSERT_EQ(ioctl(pty.slave, TCGETS, kt), 0);
    std::memcpy(&cflag, kt + 8, sizeof cflag);
    EXPECT_TRUE(cflag & PARENB);
    struct termios m;
    ASSERT_EQ(tcgetattr(pty.master, &m), 0);
    EXPECT_TRUE(m.c_cflag & CMSPAR);
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].substr(0, 4), "LINE");
}

TEST_F(NullModemTest, ModemLinesAreTrackedAndLogged) {
    const long long before = monotonic_ms();
    int bits = TIOCM_RTS | TIOCM_DTR;
    ASSERT_EQ(ioctl(pty.slave, TIOCMBIC, &bits), 0);
    bits = TIOCM_DTR;
    ASSERT_EQ(ioctl(pty.slave, TIOCMBIS, &bits), 0);
    int state = 0;
    ASSERT_EQ(ioctl(pty.slave, TIOCMGET, &state), 0);
    EXPECT_TRUE(state & TIOCM_DTR);
    EXPECT_FALSE(state & TIOCM_RTS);
    EXPECT_TRUE(state & TIOCM_CTS);
    bits = TIOCM_RTS;
    ASSERT_EQ(ioctl(pty.slave, TIOCMSET, &bits), 0);
    ASSERT_EQ(ioctl(pty.slave, TIOCMGET, &state), 0);
    EXPECT_EQ(state & (TIOCM_RTS | TIOCM_DTR), TIOCM_RTS);
    ASSERT_EQ(tcflush(pty.slave, TCIOFLUSH), 0);
    ASSERT_EQ(tcflush(pty.slave, TCIFLUSH), 0);
    const long long after = monotonic_ms();

    EXPECT_EQ(entries(), (std::vector<std::string>{"RTS 0", "DTR 0", "DTR 1", "RTS 1", "DTR 0", "FLUSH 3", "FLUSH 1"}));
    std::ifstream in(log_path);
    long long t = 0;
    long long last = before;
    std::string rest;
    while (in >> t && std::getline(in, rest)) {
        EXPECT_GE(t, last);
        EXPECT_LE(t, after);
        last = t;
    }
}

// What the program wrote has left the port: only its input is flushed.
TEST_F(NullModemTest, FlushDropsInputButNotWhatWasWritten) {
    set_line(pty.slave, B115200, 0);
    ASSERT_EQ(fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK), 0);
    ASSERT_EQ(write(pty.master, "in", 2), 2);   // bytes for the program
    ASSERT_EQ(write(pty.slave, "out", 3), 3);   // bytes the program sent
    ASSERT_EQ(tcflush(pty.slave, TCIOFLUSH), 0);
    char buffer[8] = {};
    EXPECT_EQ(read(pty.master, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "out");
    ASSERT_EQ(fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK), 0);
    EXPECT_EQ(read(pty.slave, buffer, sizeof buffer), -1);  // the input went
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_EQ(write(pty.slave, "x", 1), 1);
    ASSERT_EQ(ioctl(pty.slave, TCFLSH, TCOFLUSH), 0);
    EXPECT_EQ(read(pty.master, buffer, sizeof buffer), 1);
    EXPECT_EQ(entries(), (std::vector<std::string>{"LINE 115200 8 N 1", "FLUSH 3", "FLUSH 2"}));
}

// With a data log named, the program's writes and reads on its port go there
// (empty reads do not); the far end's, on the master, never do; the line log
// keeps its own entries only.
TEST_F(NullModemTest, DataLogShowsTheProgramsSideOnly) {
    const std::string data_log = log_path + ".data";
    set_variable("NULLMODEM_DATA_LOG", data_log.c_str(), 1);
    ASSERT_EQ(fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK), 0);
    set_line(pty.slave, B115200, 0);
    char buffer[64] = {};
    EXPECT_EQ(read(pty.slave, buffer, sizeof buffer), -1);  // nothing waiting: no entry
    const std::string frame(30, '\xc0');
    ASSERT_EQ(write(pty.slave, frame.data(), frame.size()), 30);
    ASSERT_EQ(read(pty.master, buffer, sizeof buffer), 30);
    ASSERT_EQ(write(pty.master, "\x01\xf7", 2), 2);
    EXPECT_EQ(read(pty.slave, buffer, sizeof buffer), 2);
    unset_variable("NULLMODEM_DATA_LOG");
    EXPECT_EQ(entries(), (std::vector<std::string>{"LINE 115200 8 N 1"}));
    std::string shown;  // the first 24 of the 30 bytes
    for (int i = 0; i < 24; i++) shown += "c0";
    EXPECT_EQ(entries(data_log), (std::vector<std::string>{"WRITE 30 " + shown, "READ 2 01f7"}));
    std::remove(data_log.c_str());
}

TEST_F(NullModemTest, OtherDescriptorsAreLeftAlone) {
    Pty other;  // a pty that is not the device under test
    ASSERT_GE(other.slave, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(other.slave, &t), 0);
    t.c_cflag |= PARENB;
    errno = 0;
    EXPECT_EQ(tcsetattr(other.slave, TCSANOW, &t), -1);
    EXPECT_EQ(errno, EINVAL);  // what the kernel says about parity on a pty
    int bits = TIOCM_RTS;
    EXPECT_EQ(ioctl(other.slave, TIOCMBIS, &bits), -1);
    EXPECT_EQ(errno, ENOTTY);

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    EXPECT_EQ(ioctl(pipe_fds[0], TIOCMGET, &bits), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_TRUE(entries().empty());
}

TEST_F(NullModemTest, DeviceNamedThroughCom1DeviceSymlink) {
    unset_variable("NULLMODEM_DEVICE");
    const std::string link = log_path + ".com1";
    ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
    set_variable("COM1_DEVICE", link.c_str(), 1);
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    int bits = TIOCM_RTS;
    EXPECT_EQ(ioctl(fd, TIOCMBIS, &bits), 0);
    close(fd);
    Pty other;
    EXPECT_EQ(ioctl(other.slave, TIOCMBIS, &bits), -1);
    unset_variable("COM1_DEVICE");
    std::remove(link.c_str());
    EXPECT_EQ(entries(), (std::vector<std::string>{"RTS 1"}));
}

// Two ports driven at once, each with a simulator of its own: "{pty}" in the
// logs' names gives each port its own line log and data log, and no entry
// lands in the other port's.
TEST_F(NullModemTest, LogNamePatternKeepsOneLogPerPort) {
    Pty second;
    ASSERT_GE(second.slave, 0);
    unset_variable("NULLMODEM_DEVICE");  // every pty slave
    set_variable("NULLMODEM_LOG", (log_path + "-{pty}.log").c_str(), 1);
    set_variable("NULLMODEM_DATA_LOG", (log_path + "-{pty}.data").c_str(), 1);
    struct Port {
        const Pty* pty;
        speed_t speed;
        tcflag_t parity;
        int line;
        const char* byte;
        std::vector<std::string> expected;
        std::vector<std::string> expected_data;
    };
    const Port ports[] = {
        {&pty, B115200, PARENB, TIOCM_RTS, "\x01", {"LINE 115200 8 E 1", "RTS 1", "FLUSH 3"}, {"WRITE 1 01"}},
        {&second, B1200, 0, TIOCM_DTR, "\x02", {"LINE 1200 8 N 1", "DTR 1", "FLUSH 3"}, {"WRITE 1 02"}},
    };
    // Interleaved: each entry goes to its own port's log whatever came just before.
    for (const Port& port : ports) set_line(port.pty->slave, port.speed, port.parity);
    for (const Port& port : ports) {
        int bits = port.line;
        ASSERT_EQ(ioctl(port.pty->slave, TIOCMBIS, &bits), 0);
    }
    for (const Port& port : ports) ASSERT_EQ(write(port.pty->slave, port.byte, 1), 1);
    for (const Port& port : ports) ASSERT_EQ(tcflush(port.pty->slave, TCIOFLUSH), 0);
    unset_variable("NULLMODEM_DATA_LOG");

    for (const Port& port : ports) {
        const std::string number = port.pty->path.substr(port.pty->path.rfind('/') + 1);
        const std::string path = log_path + "-" + number + ".log";
        const std::string data_path = log_path + "-" + number + ".data";
        EXPECT_EQ(entries(path), port.expected) << port.pty->path;
        EXPECT_EQ(entries(data_path), port.expected_data) << port.pty->path;
        std::remove(path.c_str());
        std::remove(data_path.c_str());
    }
    EXPECT_TRUE(entries().empty());  // nothing under the unexpanded name either
    std::ifstream unexpanded(log_path + "-{pty}.log");
    EXPECT_FALSE(unexpanded.is_open());
}

}  // namespace
