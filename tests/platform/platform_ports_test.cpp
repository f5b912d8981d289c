// The POSIX port listing against fake sysfs, /dev and /proc trees: which ports
// are listed and what is told of each, whether each can be opened, why an open
// failed, and the time a long list takes. Only the busy pseudo-terminal case
// looks at the real /proc, for this test's own descriptors.
#include "platform/platform.h"
#include "platform/platform_ports.h"
#include "fake_port_tree.h"
#include "pseudo_terminal.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uid_t NOBODY_ID = 65534;
constexpr std::uint64_t MANY_PORTS_BUDGET_MS = 100;
constexpr int MANY_PORTS = 64;
// Other work on the machine can stall one run: the best of a few counts.
constexpr int MANY_PORTS_RUNS = 3;

class PortTreeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(root.empty()); }

    FakePortFolder folder;
    const std::string& root = folder.path();
};

std::string group_name(gid_t id)
{
    const group* entry = getgrgid(id);
    return entry != nullptr ? entry->gr_name : std::to_string(id);
}

TEST_F(PortTreeTest, ListsPortsWithHardwareInNameOrderWithWhatSysfsTellsOfThem)
{
    FakePortTree tree(root);
    ASSERT_TRUE(tree.add_all(fake_ports_standard()));
    std::vector<PortInfo> ports;
    ASSERT_EQ(ports_list(tree.roots(), &ports), 1);

    struct Expected {
        const char* name;
        const char* driver;
        const char* usb_id;
        const char* manufacturer;
        const char* product;
        const char* serial_number;
        const char* by_id;
    };
    // No virtual consoles, no placeholder ttyS1..3; ttyUSB10 after ttyUSB1.
    const Expected expected[] = {
        {"ttyACM0", "cdc_acm", "2341:0043", "Arduino (www.arduino.cc)", "Arduino Uno", "7543331",
         "usb-Arduino_(www.arduino.cc)_Arduino_Uno_7543331-if00"},
        {"ttyS0", "serial8250", "", "", "", "", ""},
        {"ttyUSB0", "ftdi_sio", "0403:6001", "FTDI", "FT232R USB UART", "A10K2F3Q",
         "usb-FTDI_FT232R_USB_UART_A10K2F3Q-if00-port0"},
        {"ttyUSB1", "pl2303", "067b:2303", "Prolific Technology Inc.", "USB-Serial Controller", "",
         "usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0"},
        {"ttyUSB10", "ch341-uart", "1a86:7523", "QinHeng Electronics", "USB Serial", "", ""},
    };
    ASSERT_EQ(ports.size(), std::size(expected));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const Expected& want = expected[i];
        SCOPED_TRACE(want.name);
        EXPECT_EQ(ports[i].name, tree.node(want.name));
        EXPECT_EQ(ports[i].device_path, tree.node(want.name));
        EXPECT_EQ(ports[i].driver, want.driver);
        EXPECT_EQ(ports[i].usb_id, want.usb_id);
        EXPECT_EQ(ports[i].manufacturer, want.manufacturer);
        EXPECT_EQ(ports[i].product, want.product);
        EXPECT_EQ(ports[i].serial_number, want.serial_number);
        EXPECT_EQ(ports[i].by_id, *want.by_id ? root + "/dev/serial/by-id/" + want.by_id : "");
        EXPECT_TRUE(ports[i].description.empty());
        EXPECT_FALSE(ports[i].bluetooth_link);
    }
}

// A connected rfcomm tty has the connection as its device, below the USB
// Bluetooth controller; a bound one that is not connected has none, and an
// open would connect it.
TEST_F(PortTreeTest, ConnectedRfcommIsABluetoothLinkWithoutItsControllersFactsUnconnectedIsNotListed)
{
    FakePortTree tree(root);
    ASSERT_TRUE(tree.add_all(fake_ports_many(1)));
    ASSERT_TRUE(tree.add(fake_port_rfcomm()));
    ASSERT_TRUE(tree.add({FAKE_VIRTUAL, "rfcomm1", "", "", "", "", "", false, true}));
    std::vector<PortInfo> ports;
    ASSERT_EQ(ports_list(tree.roots(), &ports), 1);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].name, tree.node("rfcomm0"));
    EXPECT_TRUE(ports[0].bluetooth_link);
    EXPECT_EQ(ports[0].usb_id + ports[0].manufacturer + ports[0].product + ports[0].driver, "");
    EXPECT_FALSE(ports[1].bluetooth_link);
}

TEST(PortsBluetooth, TellsABluetoothLinkFromWhatTheSystemSaysOfThePort)
{
    // Windows' SetupAPI strings (hardware id, service), SERIALCOMM's kernel name, Linux's tty name.
    enum From { SETUP, SERIALCOMM, TTY };
    struct Case {
        From from;
        const char* first;
        const char* second;
        bool bluetooth;
    };
    const Case cases[] = {
        {SETUP, "BTHENUM\\{00001101-0000-1000-8000-00805f9b34fb}_VID&0001000a_PID&0001", "BTHMODEM", true},
        {SETUP, "bthenum\\{00001101-0000-1000-8000-00805f9b34fb}_LOCALMFG&0000", "", true},
        {SETUP, "", "BthModem", true},
        {SETUP, "USB\\VID_0403&PID_6001&REV_0600", "FTDIBUS", false},
        {SETUP, "ACPI\\PNP0501", "Serial", false},
        // The Bluetooth controller's own USB device; names that only begin alike.
        {SETUP, "USB\\VID_8087&PID_0A2B&REV_0001", "BTHUSB", false},
        {SETUP, "BTHENUMERATOR\\X", "BTHMODEMS", false},
        {SERIALCOMM, "\\device\\bthmodem12", "", true},
        {SERIALCOMM, "\\Device\\Serial0", "", false},
        {TTY, "rfcomm12", "", true},
        {TTY, "rfcomm", "", false},
        {TTY, "ttyUSB0", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        const bool bluetooth = c.from == SETUP        ? ports_bluetooth_from_setup(c.first, c.second)
                               : c.from == SERIALCOMM ? ports_bluetooth_from_serialcomm(c.first)
                                                      : ports_bluetooth_from_tty(c.first);
        EXPECT_EQ(bluetooth, c.bluetooth);
    }
}

TEST_F(PortTreeTest, ListingWithoutSysfsFailsWithTheSystemsError)
{
    std::vector<PortInfo> ports{PortInfo{}};
    EXPECT_EQ(ports_list(PortRoots{root + "/sys", root + "/dev", root + "/proc"}, &ports), 0);
    EXPECT_EQ(platform_last_error(), static_cast<std::uint32_t>(ENOENT));
    EXPECT_TRUE(ports.empty());
}

TEST_F(PortTreeTest, StatesTellFreeBusyWithTheHolderAndMissing)
{
    FakePortTree tree(root);
    ASSERT_TRUE(tree.add_all(fake_ports_standard()));
    FakePort unplugged = fake_ports_many(6).back();  // ttyUSB5: in sysfs, no node in dev/
    unplugged.node = false;
    unplugged.by_id = false;
    ASSERT_TRUE(tree.add(unplugged));
    ASSERT_TRUE(tree.add_holder(4121, "minicom", "ttyUSB1"));
    // The whole program name, not comm's first 15 characters.
    ASSERT_TRUE(tree.add_holder(77, "/usr/bin/marrowlink-update", "ttyACM0"));
    ASSERT_TRUE(tree.add_holder(78, "/usr/bin/marrowlink-update", "ttyACM0"));
    // A UUCP lock of a live process without a descriptor, and a stale one.
    ASSERT_TRUE(tree.add_lock("ttyS0", FakePortTree::lock_text(5150)) && tree.add_process(5150, "/usr/bin/cu"));
    ASSERT_TRUE(tree.add_lock("ttyUSB10", FakePortTree::lock_text(5151)));
    std::vector<PortInfo> ports;
    ASSERT_EQ(ports_list(tree.roots(), &ports), 1);
    std::vector<PortState> states;
    ASSERT_EQ(ports_check(tree.roots(), ports, PORT_CHECK_LOOK, &states), 1);
    ASSERT_EQ(states.size(), ports.size());

    struct Expected {
        const char* name;
        PortAccess access;
        std::uint32_t holder_pid;
        const char* holder_name;
    };
    const Expected expected[] = {
        {"ttyACM0", PORT_BUSY, 77, "marrowlink-update"},
        {"ttyS0", PORT_BUSY, 5150, "cu"},
        {"ttyUSB0", PORT_FREE, 0, ""},
        {"ttyUSB1", PORT_BUSY, 4121, "minicom"},
        {"ttyUSB5", PORT_MISSING, 0, ""},
        {"ttyUSB10", PORT_FREE, 0, ""},
    };
    ASSERT_EQ(ports.size(), std::size(expected));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(ports[i].name, tree.node(expected[i].name));
        EXPECT_EQ(states[i].access, expected[i].access);
        EXPECT_EQ(states[i].holder_pid, expected[i].holder_pid);
        EXPECT_EQ(states[i].holder_name, expected[i].holder_name);
    }
}

TEST_F(PortTreeTest, HolderNameFallsBackToCommWhenCmdlineIsEmpty)
{
    FakePortTree tree(root);
    ASSERT_TRUE(tree.add_all(fake_ports_many(1)));
    ASSERT_TRUE(tree.add_holder(300, "gpsd", "ttyUSB0"));
    // A zombie or a kernel thread has an empty cmdline.
    ASSERT_EQ(truncate((root + "/proc/300/cmdline").c_str(), 0), 0);
    PortState state;
    port_open_diagnose(tree.roots(), tree.node("ttyUSB0").c_str(), EBUSY, &state);
    EXPECT_EQ(state.access, PORT_BUSY);
    EXPECT_EQ(state.holder_pid, 300u);
    EXPECT_EQ(state.holder_name, "gpsd");
}

// What another user sees: the node is not theirs to open. Run as nobody in a
// child when the test runs as root (root passes every permission check).
TEST_F(PortTreeTest, NodeThisUserMayNotOpenIsDeniedWithItsGroup)
{
    FakePortTree tree(root);
    ASSERT_TRUE(tree.add_all(fake_ports_many(1)));
    const std::string node = tree.node("ttyUSB0");
    // Root's tree gives the node to root and dialout (0660); a user's own
    // node must be taken away from its owner.
    if (geteuid() != 0) {
        ASSERT_EQ(chmod(node.c_str(), 0000), 0);
    }
    struct stat status {};
    ASSERT_EQ(stat(node.c_str(), &status), 0);
    const std::string expected_group = group_name(status.st_gid);

    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(NOBODY_ID) != 0 || setuid(NOBODY_ID) != 0)) {
            _exit(3);
        }
        std::vector<PortInfo> ports;
        std::vector<PortState> states;
        PortState diagnosed;
        port_open_diagnose(tree.roots(), node.c_str(), EACCES, &diagnosed);
        if (ports_list(tree.roots(), &ports) != 1 || ports_check(tree.roots(), ports, PORT_CHECK_LOOK, &states) != 1 ||
            states.size() != 1) {
            _exit(4);
        }
        const std::string report = std::to_string(states[0].access) + " " + states[0].group + " " +
                                   std::to_string(diagnosed.access) + " " + diagnosed.group;
        _exit(write(pipe_ends[1], report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 5);
    }
    close(pipe_ends[1]);
    char buffer[256] = {};
    const ssize_t got = read(pipe_ends[0], buffer, sizeof buffer - 1);
    close(pipe_ends[0]);
    int status_code = 0;
    ASSERT_EQ(waitpid(child, &status_code, 0), child);
    ASSERT_TRUE(WIFEXITED(status_code) && WEXITSTATUS(status_code) == 0) << "child status " << status_code;
    ASSERT_GT(got, 0);
    const std::string denied = std::to_string(PORT_DENIED) + " " + expected_group;
    EXPECT_EQ(std::string(buffer), denied + " " + denied);
}

TEST(PortOpenDiagnose, EachOpenErrorGivesItsReason)
{
    struct Case {
        int os_error;
        PortAccess access;
    };
    const Case cases[] = {
        {ENOENT, PORT_MISSING}, {ENOTDIR, PORT_MISSING}, {ENODEV, PORT_MISSING}, {ENXIO, PORT_MISSING},
        {EACCES, PORT_DENIED},  {EPERM, PORT_DENIED},    {EBUSY, PORT_BUSY},     {ENOTTY, PORT_NOT_SERIAL},
        {EIO, PORT_FAILED},     {EINVAL, PORT_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.os_error);
        PortState state;
        state.holder_pid = 99;
        port_open_diagnose(PortRoots{"/nonexistent/sys", "/nonexistent/dev", "/nonexistent/proc"},
                           "/nonexistent/dev/ttyUSB0", static_cast<std::uint32_t>(c.os_error), &state);
        EXPECT_EQ(state.access, c.access);
        EXPECT_EQ(state.os_error, static_cast<std::uint32_t>(c.os_error));
        EXPECT_EQ(state.holder_pid, 0u);
    }
}

// The real thing, on a pseudo-terminal: a second exclusive open is refused as
// busy, and /proc names this very process as the holder.
TEST(PortOpenDiagnose, BusyPseudoTerminalNamesTheProcessHoldingIt)
{
    PseudoTerminal pty = pseudo_terminal_open();
    ASSERT_GE(pty.master, 0);
    const PlatformHandle first = serial_open(pty.slave_path.c_str());
    ASSERT_NE(first, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(serial_open(pty.slave_path.c_str()), PLATFORM_INVALID_HANDLE);
    const std::uint32_t error = platform_last_error();
    PortState state;
    port_open_diagnose(PortRoots{}, pty.slave_path.c_str(), error, &state);
    serial_close(first);
    pseudo_terminal_close(&pty);
    EXPECT_EQ(error, static_cast<std::uint32_t>(EBUSY));
    EXPECT_EQ(state.access, PORT_BUSY);
    EXPECT_EQ(state.holder_pid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(state.holder_name, "platform_posix_tests");
}

// Before this program opens a port: another program with a descriptor on the
// node, or a live process's UUCP lock in either form, holds it; this process,
// a stale lock and a lock file that holds no pid do not. A descriptor is
// matched by its link's text, which the kernel writes as the node's path: a
// text that leads to the node only through another link is not followed (a
// stat that follows descriptors hangs on a file of a hung network mount).
TEST_F(PortTreeTest, HolderBeforeOpeningIsAnotherProcessOrALiveLock)
{
    const int self = static_cast<int>(getpid());
    struct Case {
        const char* name;
        std::string device;  // "" for the tree's ttyUSB0
        int holder_pid;      // a descriptor on the device: this pid, 0 none
        std::string lock;    // lock/LCK..ttyUSB0
        int process_pid;     // a running process without a descriptor (0 none)
        std::uint32_t found_pid;
        const char* found_name;
    };
    const std::string alias = "alias";
    const Case cases[] = {
        {"no holder, no lock", "", 0, "", 0, 0, ""},
        {"a descriptor on the node", "", 4121, "", 0, 4121, "minicom"},
        {"named by its by-id link", "by-id", 4121, "", 0, 4121, "minicom"},
        {"a descriptor text that is no path of the node", alias, 4121, "", 0, 0, ""},
        // No tty in sysfs, no character device: no port (its open says so), whoever has it.
        {"a file that is no terminal", "notatty", 4121, "", 0, 0, ""},
        {"this process's own descriptor", "", self, "", 0, 0, ""},
        {"ASCII lock of a live process", "", 0, FakePortTree::lock_text(6001), 6001, 6001, "screen"},
        {"ASCII lock without padding", "", 0, "6001", 6001, 6001, "screen"},
        {"binary lock of a live process", "", 0, FakePortTree::lock_binary(6001), 6001, 6001, "screen"},
        {"stale lock", "", 0, FakePortTree::lock_text(6002), 0, 0, ""},
        {"lock of this process", "", 0, FakePortTree::lock_text(self), self, 0, ""},
        {"lock that holds no pid", "", 0, "ttyUSB0 in use\n", 0, 0, ""},
        {"lock of pid 0", "", 0, FakePortTree::lock_text(0), 0, 0, ""},
        {"lock of a pid past the largest", "", 0, FakePortTree::lock_text(99999999), 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakePortFolder case_folder;
        ASSERT_FALSE(case_folder.path().empty());
        FakePortTree tree(case_folder.path());
        ASSERT_TRUE(tree.add_all(fake_ports_many(1)));
        const std::string held_name = c.device == "notatty" ? c.device : "ttyUSB0";
        std::string device = c.device.empty() || c.device == alias ? tree.node("ttyUSB0") : c.device;
        if (c.device == "notatty") {
            device = tree.node(held_name);
            std::ofstream(device).put('\n');
        }
        if (c.device == "by-id") {
            device = case_folder.path() + "/dev/serial/by-id/" + FakePortTree::by_id_name(fake_ports_many(1)[0]);
        }
        if (c.holder_pid != 0) {
            ASSERT_TRUE(tree.add_holder(c.holder_pid, "/usr/bin/minicom", held_name));
            if (c.device == alias) {
                // fd/3 -> ROOT/alias -> ROOT/dev/ttyUSB0
                const std::string link = case_folder.path() + "/" + alias;
                const std::string descriptor = case_folder.path() + "/proc/" + std::to_string(c.holder_pid) + "/fd/3";
                ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0);
                ASSERT_EQ(unlink(descriptor.c_str()), 0);
                ASSERT_EQ(symlink(link.c_str(), descriptor.c_str()), 0);
            }
        }
        if (!c.lock.empty()) {
            ASSERT_TRUE(tree.add_lock("ttyUSB0", c.lock));
        }
        if (c.process_pid != 0) {
            ASSERT_TRUE(tree.add_process(c.process_pid, "/usr/bin/screen"));
        }
        PortState state;
        state.holder_pid = 99;
        const int held = port_holder_find(tree.roots(), device.c_str(), &state);
        EXPECT_EQ(held, c.found_pid != 0 ? 1 : 0);
        EXPECT_EQ(state.access, c.found_pid != 0 ? PORT_BUSY : PORT_FREE);
        EXPECT_EQ(state.holder_pid, c.found_pid);
        EXPECT_EQ(state.holder_name, c.found_name);
    }
}

// The real /proc with a pseudo-terminal: this process holds the master and a
// slave descriptor (the far end, as a simulator or socat does) and is no
// holder; a child that has the slave open without any lock, as a terminal
// program may, is.
TEST(PortHolderFind, PseudoTerminalFarEndIsNoHolderAndAPlainOpenerIs)
{
    PseudoTerminal pty = pseudo_terminal_open();
    ASSERT_GE(pty.master, 0);
    const int far_end_slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(far_end_slave, 0);
    PortState state;
    EXPECT_EQ(port_holder_find(PortRoots{}, pty.slave_path.c_str(), &state), 0);
    // A device sysfs places in another class is no port, though daemons hold it.
    EXPECT_EQ(port_holder_find(PortRoots{}, "/dev/null", &state), 0);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only the slave: the master and the far end's slave are closed in the child.
        close(pty.master);
        close(far_end_slave);
        const int slave = open(pty.slave_path.c_str(), O_RDWR | O_NOCTTY);
        const char byte = slave >= 0 ? 'y' : 'n';
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    const int held = port_holder_find(PortRoots{}, pty.slave_path.c_str(), &state);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(far_end_slave);
    pseudo_terminal_close(&pty);
    EXPECT_EQ(byte, 'y');
    EXPECT_EQ(held, 1);
    EXPECT_EQ(state.holder_pid, static_cast<std::uint32_t>(child));
    EXPECT_EQ(state.holder_name, "platform_posix_tests");
}

TEST_F(PortTreeTest, SixtyFourPortsAreListedAndCheckedWithinBudget)
{
    FakePortTree tree(root);
    ASSERT_TRUE(tree.add_all(fake_ports_many(MANY_PORTS)));
    ASSERT_TRUE(tree.add_holder(500, "minicom", "ttyUSB63"));
    std::vector<PortInfo> ports;
    std::vector<PortState> states;
    std::uint64_t elapsed_ms = UINT64_MAX;
    for (int run = 0; run < MANY_PORTS_RUNS; ++run) {
        const std::uint64_t start = clock_ms();
        ASSERT_EQ(ports_list(tree.roots(), &ports), 1);
        ASSERT_EQ(ports_check(tree.roots(), ports, PORT_CHECK_LOOK, &states), 1);
        elapsed_ms = std::min(elapsed_ms, clock_ms() - start);
    }
    RecordProperty("elapsed_ms", static_cast<int>(elapsed_ms));
    std::printf("64 ports listed and checked in %llu ms\n", static_cast<unsigned long long>(elapsed_ms));
    ASSERT_EQ(ports.size(), static_cast<std::size_t>(MANY_PORTS));
    EXPECT_EQ(ports.back().name, tree.node("ttyUSB63"));
    EXPECT_EQ(ports.back().serial_number, "A11063");
    EXPECT_EQ(states.back().access, PORT_BUSY);
    EXPECT_LT(elapsed_ms, MANY_PORTS_BUDGET_MS);
}

}  // namespace
