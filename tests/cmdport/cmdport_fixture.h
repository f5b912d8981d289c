// Shared set-up for the command-port tests: a fresh fake platform, the
// command port's globals back at their start values, and helpers to look at
// what went over the (fake) line.
#pragma once

#include <string>
#include <vector>

#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "fake_adapter.h"
#include "fake_fixture.h"

class CommandPortTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        command_port_handle = PLATFORM_INVALID_HANDLE;
        command_port_diagnostics = 0;
        ci_firmware = 0;
    }

    // The port opened as command_port_open leaves it (time-outs included),
    // without the wake-up and the handshake, for testing single steps.
    static void open_port_directly()
    {
        command_port_handle = serial_open(FAKE_SERIAL_DEVICE_PATH);
        ASSERT_NE(command_port_handle, PLATFORM_INVALID_HANDLE);
        serial_set_timeouts(command_port_handle, &COMMAND_PORT_TIMEOUTS);
    }

    static int count_of(FakeCallKind kind) { return static_cast<int>(fake_calls_of(kind).size()); }

    static std::string bytes_text(const std::vector<std::uint8_t>& bytes)
    {
        return std::string(bytes.begin(), bytes.end());
    }
};
