// ports --probe and --port auto beside ports they must not open: a Bluetooth
// link port (as Windows lists it, not checked, and as Linux lists a connected
// rfcomm, free) and a port whose check timed out. A working adapter sits
// behind the port a case names; the fake platform logs every open.
#include <gtest/gtest.h>

#include <sstream>

#include "cmdport/command_port.h"
#include "fake_adapter.h"
#include "fake_fixture.h"
#include "tool/cmd_ports.h"
#include "tool/port_auto.h"

namespace {

const char* const BLUETOOTH_SAID = "not probed: a Bluetooth link port, not a wired adapter";

PortFinding finding_of(const std::string& name, PortAccess access, bool bluetooth, const char* description)
{
    PortFinding finding;
    finding.info.name = name;
    finding.info.device_path = name.front() == '/' ? name : "\\\\.\\" + name;
    finding.info.description = description;
    finding.info.bluetooth_link = bluetooth;
    finding.state.access = access;
    return finding;
}

// COM3: Windows' Bluetooth link; COM4: its open did not finish; COM5: wired
// and free; /dev/rfcomm0: a connected Linux Bluetooth link.
const std::vector<PortFinding> MIXED = {
    finding_of("COM3", PORT_NOT_CHECKED, true, "Standard Serial over Bluetooth link (COM3)"),
    finding_of("COM4", PORT_TIMED_OUT, false, "USB Serial Port (COM4)"),
    finding_of("COM5", PORT_FREE, false, "USB Serial Port (COM5)"),
    finding_of("/dev/rfcomm0", PORT_FREE, true, ""),
};

class PortsSkipTest : public FakePlatformTest {
protected:
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
    std::ostringstream out, err;
};

TEST_F(PortsSkipTest, ProbeOpensOnlyTheWiredFreePortAndSaysWhyNotTheOthers)
{
    adapter_behind("\\\\.\\COM5");
    std::vector<PortFinding> findings = MIXED;
    Report report(false, out, err);
    ports_show(report, findings, true, PortRoots{});
    EXPECT_EQ(out.str(),
              "PORT          DEVICE                                      STATE                           ADAPTER\n"
              "COM3          Standard Serial over Bluetooth link (COM3)  not checked: Bluetooth link ... "
              "not probed: a Bluetooth link port, not a wired adapter\n"
              "COM4          USB Serial Port (COM4)                      did not open within 2.0 s   ... not probed\n"
              "COM5          USB Serial Port (COM5)                      free                        ... "
              "Marrowlink QXZ4702\n"
              "/dev/rfcomm0  Bluetooth link                              free                        ... "
              "not probed: a Bluetooth link port, not a wired adapter\n");
    EXPECT_EQ(opened(), std::vector<std::string>{"\\\\.\\COM5"});

    // The same for scripts: the states by name, the link flag, a reason for each that is not free.
    adapter_behind("\\\\.\\COM5");
    findings = MIXED;
    Report json(true, out, err);
    out.str("");
    ports_show(json, findings, true, PortRoots{});
    ASSERT_EQ(json.succeed(), 0);
    const nlohmann::json ports = nlohmann::json::parse(out.str())["ports"];
    ASSERT_EQ(ports.size(), 4u);
    const char* const states[] = {"not_checked", "timed_out", "free", "free"};
    for (std::size_t i = 0; i < ports.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ports[i]["state"], states[i]);
        EXPECT_EQ(ports[i]["bluetooth_link"], MIXED[i].info.bluetooth_link);
        EXPECT_EQ(ports[i].contains("reason"), i < 2);
        EXPECT_EQ(ports[i].contains("adapter"), i == 2);
    }
    EXPECT_EQ(opened(), std::vector<std::string>{"\\\\.\\COM5"});
}

TEST_F(PortsSkipTest, AutoNeverOpensABluetoothOrTimedOutPortEvenWithTheAdapterBehindIt)
{
    const std::string timed_out_said = "did not open within 2.0 s";
    struct Case {
        const char* adapter_path;
        std::vector<PortFinding> findings;
        std::vector<std::string> opened;
        const char* found;  // the port chosen, or "" when none is
        std::string reason;
    };
    const Case cases[] = {
        {"\\\\.\\COM5", MIXED, {"\\\\.\\COM5"}, "COM5", ""},
        {"\\\\.\\COM4", {MIXED[1], MIXED[3]}, {}, "",
         "no serial port could be opened: COM4: " + timed_out_said + "; /dev/rfcomm0: " + BLUETOOTH_SAID},
        {"/dev/rfcomm0", {MIXED[0], MIXED[3]}, {}, "",
         std::string("no serial port could be opened: COM3: ") + BLUETOOTH_SAID + "; /dev/rfcomm0: " + BLUETOOTH_SAID},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.adapter_path);
        adapter_behind(c.adapter_path);
        Report report(false, out, err);
        try {
            EXPECT_EQ(port_auto_choose(report, c.findings, PortRoots{}).name, c.found);
        } catch (const ToolFailure& failure) {
            EXPECT_EQ(failure.status, ExitStatus::port);
            EXPECT_EQ(failure.reason, c.reason);
        }
        EXPECT_EQ(opened(), c.opened);
        EXPECT_EQ(adapter.pnp_replies_sent, c.found[0] != '\0' ? 1 : 0);
    }
}

}  // namespace
