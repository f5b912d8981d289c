// The field tool's side of the ports: the reasons and hints people read when
// a port cannot be opened, how a port is described, and --port auto on fake
// trees whose nodes are plain files (nothing there answers, nothing is a real
// port).
#include "fake_port_tree.h"
#include "tool/open_reason.h"
#include "tool/port_auto.h"
#include "tool/port_survey.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

PortState state_of(PortAccess access, std::uint32_t pid = 0, const char* holder = "", const char* group = "",
                   std::uint32_t os_error = 0)
{
    PortState state;
    state.access = access;
    state.holder_pid = pid;
    state.holder_name = holder;
    state.group = group;
    state.os_error = os_error;
    return state;
}

TEST(OpenReason, EachStateSaysWhyAndWhatToTry)
{
    struct Case {
        PortState state;
        const char* short_text;
        const char* reason;
        const char* hint;
    };
    const Case cases[] = {
        {state_of(PORT_MISSING), "no device node", "there is no such port",
         "is the adapter plugged in? marrowlink ports lists the serial ports of this machine"},
        {state_of(PORT_BUSY, 4121, "minicom"), "busy: minicom (pid 4121)", "the port is in use by minicom (pid 4121)",
         "close that program, or choose another port (marrowlink ports lists them)"},
        {state_of(PORT_BUSY, 4121), "busy: process 4121", "the port is in use by process 4121",
         "close that program, or choose another port (marrowlink ports lists them)"},
        {state_of(PORT_BUSY), "busy", "the port is in use by another program",
         "close the program that has it open (a terminal, another updater), or choose another port "
         "(marrowlink ports lists them)"},
        {state_of(PORT_DENIED, 0, "", "dialout"), "permission denied (group dialout)",
         "permission denied (the port belongs to the group dialout)",
         "add yourself to that group with: sudo usermod -aG dialout \"$USER\", then log out and in again"},
        // Joining root's group would make the user root: no such advice.
        {state_of(PORT_DENIED, 0, "", "root"), "permission denied", "permission denied",
         "this user may not open the port: run marrowlink as root, or ask the administrator for access to it"},
        {state_of(PORT_DENIED), "permission denied", "permission denied",
         "this user may not open the port: run marrowlink as root, or ask the administrator for access to it"},
        {state_of(PORT_NOT_SERIAL), "not a serial port", "this is not a serial port",
         "name the adapter's serial port; marrowlink ports lists the serial ports of this machine"},
        {state_of(PORT_NOT_CHECKED), "not checked: Bluetooth link",
         "not opened: opening a Bluetooth link port makes a Bluetooth connection to its remote device",
         "a Marrowlink adapter is wired (USB or RS-232), never behind a Bluetooth link port; marrowlink ports "
         "lists the serial ports of this machine"},
        {state_of(PORT_TIMED_OUT), "did not open within 2.0 s",
         "the system did not finish opening the port within 2.0 s",
         "a port whose open hangs waits for a connection or for a device that stopped answering; if this is the "
         "adapter's port, unplug the adapter and plug it in again"},
        {state_of(PORT_NOT_OPENED), "not opened",
         "not opened: on Windows only an open tells whether a port is free, and an open pulses DTR and RTS",
         "marrowlink ports --probe opens each port and says whether a Marrowlink answers"},
        {state_of(PORT_FAILED, 0, "", "", EIO), "cannot open: Input/output error (error 5)",
         "the system refused to open it: Input/output error (error 5)",
         "marrowlink ports shows every serial port and whether it can be opened"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        const OpenReason why = open_reason_of(c.state);
        EXPECT_EQ(why.reason, c.reason);
        EXPECT_EQ(why.hint, c.hint);
        EXPECT_EQ(port_state_text(c.state), c.short_text);
    }
}

TEST(OpenReason, FailedOpenIsStatusThreeAtTheOpeningStep)
{
    const ToolFailure failure = open_failure(ToolPort{"/nonexistent/ttyUSB9", "/nonexistent/ttyUSB9"}, ENOENT);
    EXPECT_EQ(failure.status, ExitStatus::port);
    EXPECT_EQ(failure.step, "opening /nonexistent/ttyUSB9");
    EXPECT_EQ(failure.reason, "there is no such port");
}

TEST(PortDeviceText, NamesTheProductItsIdsOrTheDriver)
{
    struct Case {
        PortInfo info;
        const char* text;
    };
    auto usb = [](const char* maker, const char* product, const char* id, const char* serial) {
        PortInfo info;
        info.manufacturer = maker;
        info.product = product;
        info.usb_id = id;
        info.serial_number = serial;
        return info;
    };
    PortInfo uart;
    uart.driver = "serial8250";
    PortInfo windows = usb("FTDI", "", "0403:6001", "");
    windows.description = "USB Serial Port (COM5)";
    const Case cases[] = {
        {usb("FTDI", "FT232R USB UART", "0403:6001", "A10K2F3Q"), "FTDI FT232R USB UART (0403:6001, A10K2F3Q)"},
        {usb("Arduino (www.arduino.cc)", "Arduino Uno", "2341:0043", ""), "Arduino Uno (2341:0043)"},
        {usb("Prolific Technology Inc.", "USB-Serial Controller", "067b:2303", ""),
         "Prolific USB-Serial Controller (067b:2303)"},
        {usb("Acme", "", "1234:5678", ""), "Acme (1234:5678)"},
        {uart, "serial port (serial8250)"},
        {PortInfo{}, "serial port"},
        {windows, "USB Serial Port (COM5) (0403:6001)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(port_device_text(c.info), c.text);
    }
}

class ToolPortTreeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root.empty());
        std::filesystem::create_directories(root + "/sys/class/tty");
    }

    // port_auto_find's failure, or a failure of the test when it found a port.
    ToolFailure auto_failure()
    {
        std::ostringstream out, err;
        Report report(false, out, err);
        try {
            const ToolPort port = port_auto_find(report, FakePortTree(root).roots());
            ADD_FAILURE() << "found " << port.name;
        } catch (const ToolFailure& failure) {
            lines = out.str();
            return failure;
        }
        return ToolFailure{};
    }

    FakePortFolder folder;
    const std::string& root = folder.path();
    std::string lines;
};

TEST_F(ToolPortTreeTest, SurveyWithoutSysfsIsAFailureNamingIt)
{
    std::filesystem::remove_all(root + "/sys");
    try {
        port_survey(FakePortTree(root).roots(), PORT_CHECK_LOOK);
        ADD_FAILURE() << "no failure";
    } catch (const ToolFailure& failure) {
        EXPECT_EQ(failure.status, ExitStatus::usage);
        EXPECT_EQ(failure.step, "listing the serial ports");
        EXPECT_EQ(failure.reason, "the system's port list (" + root +
                                      "/sys/class/tty) cannot be read: No such file or directory (error 2)");
    }
}

TEST_F(ToolPortTreeTest, AutoWithoutAnySerialPortCannotOpenOne)
{
    const ToolFailure failure = auto_failure();
    EXPECT_EQ(failure.status, ExitStatus::port);
    EXPECT_EQ(failure.step, "finding the adapter (--port auto)");
    EXPECT_EQ(failure.reason, "this machine has no serial ports");
}

TEST_F(ToolPortTreeTest, AutoTriesEveryFreePortAndListsWhatItFound)
{
    FakePortTree tree(root);
    FakePort usb = fake_ports_many(1).front();
    ASSERT_TRUE(tree.add(usb));
    usb.name = "ttyUSB1";
    ASSERT_TRUE(tree.add(usb));
    ASSERT_TRUE(tree.add_holder(4121, "minicom", "ttyUSB1"));
    const ToolFailure failure = auto_failure();
    // The free one is a plain file: opened, found not to be a serial port.
    EXPECT_EQ(failure.status, ExitStatus::port);
    EXPECT_EQ(failure.reason, "no serial port could be opened: " + tree.node("ttyUSB0") + ": cannot open: not a serial port; " +
                                  tree.node("ttyUSB1") + ": busy: minicom (pid 4121)");
    EXPECT_EQ(lines, "Probing " + tree.node("ttyUSB0") + " ... cannot open: not a serial port\n");
}

TEST_F(ToolPortTreeTest, FindingsForScriptsCarryStateHolderAndProbe)
{
    FakePortTree tree(root);
    ASSERT_TRUE(tree.add_all(fake_ports_many(2)));
    ASSERT_TRUE(tree.add_holder(4121, "minicom", "ttyUSB1"));
    std::vector<PortFinding> findings = port_survey(tree.roots(), PORT_CHECK_LOOK);
    ASSERT_EQ(findings.size(), 2u);
    port_survey_probe(&findings[0], tree.roots());
    const nlohmann::ordered_json probed = port_finding_json(findings[0]);
    const nlohmann::ordered_json busy = port_finding_json(findings[1]);
    EXPECT_EQ(probed["state"], "not_serial");
    EXPECT_EQ(probed["adapter"]["answered"], false);
    EXPECT_EQ(probed["usb_id"], "0403:6001");
    EXPECT_EQ(busy["state"], "busy");
    EXPECT_EQ(busy["holder"]["pid"], 4121);
    EXPECT_EQ(busy["holder"]["name"], "minicom");
    EXPECT_EQ(busy["reason"], "the port is in use by minicom (pid 4121)");
    EXPECT_FALSE(busy.contains("adapter"));
}

}  // namespace
