// marrowlink ports, ports --probe and --port auto beside ports they must not
// open: a Bluetooth link port (as Windows lists it, not checked, and as Linux
// lists a connected rfcomm, free) and a port whose check timed out. A working
// adapter sits behind the port a case names; the fake platform logs every open.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "cmdport/command_port.h"
#include "fake_adapter.h"
#include "fake_fixture.h"
#include "tool/cmd_ports.h"
#include "tool/port_auto.h"

namespace {

constexpr std::uint32_t ERROR_TIMEOUT_CODE = 1460;

PortFinding finding_of(const std::string& name, PortAccess access, bool bluetooth, const char* description = "")
{
    PortFinding finding;
    finding.info.name = name;
    finding.info.device_path = name.front() == '/' ? name : "\\\\.\\" + name;
    finding.info.description = description;
    finding.info.bluetooth_link = bluetooth;
    finding.state.access = access;
    finding.state.os_error = access == PORT_TIMED_OUT ? ERROR_TIMEOUT_CODE : 0;
    return finding;
}

// COM3: Windows' Bluetooth link; COM4: its open did not finish; COM5: wired
// and free; /dev/rfcomm0: a connected Linux Bluetooth link.
std::vector<PortFinding> mixed_findings()
{
    return {
        finding_of("COM3", PORT_NOT_CHECKED, true, "Standard Serial over Bluetooth link (COM3)"),
        finding_of("COM4", PORT_TIMED_OUT, false, "USB Serial Port (COM4)"),
        finding_of("COM5", PORT_FREE, false, "USB Serial Port (COM5)"),
        finding_of("/dev/rfcomm0", PORT_FREE, true),
    };
}

class PortsSkipTest : public FakePlatformTest {
protected:
    // A fresh fake with the adapter behind device_path.
    void adapter_behind(const std::string& device_path)
    {
        fake_reset();
        command_port_handle = PLATFORM_INVALID_HANDLE;
        adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
        fake_adapter_attach(&adapter);
        fake_serial_set_path(device_path.c_str());
    }
    void TearDown() override
    {
        fake_serial_attach(nullptr);
        FakePlatformTest::TearDown();
    }

    static std::vector<std::string> opened()
    {
        std::vector<std::string> paths;
        for (const FakeCall& call : fake_calls_of(FAKE_SERIAL_OPEN)) {
            paths.push_back(call.text);
        }
        return paths;
    }

    FakeAdapter adapter;
};

TEST_F(PortsSkipTest, ProbeLeavesBluetoothAndTimedOutPortsAloneAndSaysWhy)
{
    adapter_behind("\\\\.\\COM5");
    std::vector<PortFinding> findings = mixed_findings();
    std::ostringstream out, err;
    Report report(false, out, err);
    ports_show(report, findings, true, PortRoots{});
    EXPECT_EQ(out.str(),
              "PORT          DEVICE                                      STATE                           ADAPTER\n"
              "COM3          Standard Serial over Bluetooth link (COM3)  not checked: Bluetooth link ... "
              "not probed: a Bluetooth link port, not a wired adapter\n"
              "COM4          USB Serial Port (COM4)                      did not open within 2.0 s   ... "
              "not probed\n"
              "COM5          USB Serial Port (COM5)                      free                        ... "
              "Marrowlink QXZ4702\n"
              "/dev/rfcomm0  Bluetooth link                              free                        ... "
              "not probed: a Bluetooth link port, not a wired adapter\n");
    EXPECT_EQ(opened(), std::vector<std::string>{"\\\\.\\COM5"});
}

TEST_F(PortsSkipTest, JsonNamesTheStatesAndTheLinkAndProbesOnlyTheWiredFreePort)
{
    struct Case {
        bool probe;
        std::vector<std::string> opened;
    };
    const Case cases[] = {{false, {}}, {true, {"\\\\.\\COM5"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.probe ? "--probe" : "listing");
        adapter_behind("\\\\.\\COM5");
        std::vector<PortFinding> findings = mixed_findings();
        std::ostringstream out, err;
        Report report(true, out, err);
        ports_show(report, findings, c.probe, PortRoots{});
        ASSERT_EQ(report.succeed(), 0);
        const nlohmann::json ports = nlohmann::json::parse(out.str())["ports"];
        ASSERT_EQ(ports.size(), 4u);
        EXPECT_EQ(ports[0]["state"], "not_checked");
        EXPECT_EQ(ports[0]["bluetooth_link"], true);
        // The reasons' words are OpenReason's to test.
        EXPECT_TRUE(ports[0].contains("reason"));
        EXPECT_EQ(ports[1]["state"], "timed_out");
        EXPECT_EQ(ports[1]["bluetooth_link"], false);
        EXPECT_TRUE(ports[1].contains("reason"));
        EXPECT_EQ(ports[2]["state"], "free");
        EXPECT_EQ(ports[2].contains("adapter"), c.probe);
        EXPECT_EQ(ports[3]["state"], "free");
        EXPECT_EQ(ports[3]["bluetooth_link"], true);
        EXPECT_EQ(ports[3]["device"], "Bluetooth link");
        for (const int skipped : {0, 1, 3}) {
            EXPECT_FALSE(ports[skipped].contains("adapter")) << skipped;
        }
        EXPECT_EQ(opened(), c.opened);
    }
}

TEST_F(PortsSkipTest, AutoNeverOpensABluetoothOrTimedOutPortEvenWithTheAdapterBehindIt)
{
    const std::string bluetooth_said = "not probed: a Bluetooth link port, not a wired adapter";
    const std::string timed_out_said = "did not open within 2.0 s";
    struct Case {
        const char* adapter_path;
        std::vector<PortFinding> findings;
        std::vector<std::string> opened;
        const char* found;  // the port chosen, or "" for a failure
        ExitStatus status;
        std::string reason;
    };
    const Case cases[] = {
        {"\\\\.\\COM5", mixed_findings(), {"\\\\.\\COM5"}, "COM5", ExitStatus::ok, ""},
        // The fake has no device at COM5 then: its probe finds none.
        {"\\\\.\\COM3", mixed_findings(), {"\\\\.\\COM5"}, "", ExitStatus::port,
         "no serial port could be opened: COM3: " + bluetooth_said + "; COM4: " + timed_out_said +
             "; COM5: cannot open: no device node; /dev/rfcomm0: " + bluetooth_said},
        {"\\\\.\\COM4", {mixed_findings()[1], mixed_findings()[3]}, {}, "", ExitStatus::port,
         "no serial port could be opened: COM4: " + timed_out_said + "; /dev/rfcomm0: " + bluetooth_said},
        {"/dev/rfcomm0", {mixed_findings()[0], mixed_findings()[3]}, {}, "", ExitStatus::port,
         "no serial port could be opened: COM3: " + bluetooth_said + "; /dev/rfcomm0: " + bluetooth_said},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adapter_path);
        adapter_behind(c.adapter_path);
        std::ostringstream out, err;
        Report report(false, out, err);
        try {
            const ToolPort port = port_auto_choose(report, c.findings, PortRoots{});
            EXPECT_EQ(port.name, c.found);
        } catch (const ToolFailure& failure) {
            EXPECT_EQ(failure.status, c.status);
            EXPECT_EQ(failure.reason, c.reason);
        }
        EXPECT_EQ(opened(), c.opened);
        EXPECT_EQ(adapter.pnp_replies_sent, c.found[0] != '\0' ? 1 : 0);
    }
}

}  // namespace
