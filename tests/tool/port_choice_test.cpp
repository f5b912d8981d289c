// --port: which names are ports, what serial_open gets and what is printed.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tool/outcome.h"
#include "tool/port_choice.h"

namespace {

struct PortCase {
    std::string text;
    std::string device_path;  // empty: refused as a usage error
    std::string name;
};

TEST(PortChoiceTest, NamesBecomeDevicePathsAndPrintedNames)
{
    const std::string long_path = "/dev/serial/by-id/" + std::string(SERIAL_DEVICE_PATH_MAX_BYTES - 19, 'x');
    const std::string too_long = long_path + "x";
    const PortCase cases[] = {
        {"COM1", "\\\\.\\COM1", "COM1"},
        {"COM5", "\\\\.\\COM5", "COM5"},
        {"COM10", "\\\\.\\COM10", "COM10"},  // the Win32 device name is what reaches COM10 and above
        {"com12", "\\\\.\\COM12", "COM12"},
        {"COM9999999", "\\\\.\\COM9999999", "COM9999999"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/pts/7", "/dev/pts/7", "/dev/pts/7"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K2F3Q-if00-port0",
         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K2F3Q-if00-port0",
         "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K2F3Q-if00-port0"},
        {long_path, long_path, long_path},
        {"", "", ""},
        {"COM0", "", ""},
        {"COM10000000", "", ""},
        {"COM12345678901", "", ""},
        {"/dev/my port", "", ""},
        {too_long, "", ""},
    };
    for (const PortCase& c : cases) {
        SCOPED_TRACE("--port " + c.text.substr(0, 60));
        if (c.device_path.empty()) {
            try {
                port_choice_parse(c.text);
                ADD_FAILURE() << "accepted";
            } catch (const ToolFailure& failure) {
                EXPECT_EQ(failure.status, ExitStatus::usage);
                EXPECT_NE(failure.hint.find("marrowlink ports"), std::string::npos) << failure.hint;
            }
            continue;
        }
        const ToolPort port = port_choice_parse(c.text);
        EXPECT_EQ(port.device_path, c.device_path);
        EXPECT_EQ(port.name, c.name);
    }
}

}  // namespace
