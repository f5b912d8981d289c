// --port: which names are ports, what serial_open gets and what is printed.
#include <gtest/gtest.h>

#include <filesystem>

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
    // Named from the current folder: made whole, since update opens the port
    // and runs the download tool inside the DFUWizard folder.
    const std::string here = std::filesystem::current_path().string() + "/";
    const std::string too_long_from_here(SERIAL_DEVICE_PATH_MAX_BYTES - 2, 'x');
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
        {"ttyUSB0", here + "ttyUSB0", here + "ttyUSB0"},
        {"dev/serial/by-id/usb-FTDI-if00-port0", here + "dev/serial/by-id/usb-FTDI-if00-port0",
         here + "dev/serial/by-id/usb-FTDI-if00-port0"},
        // The Win32 device name and the DOS device colon, as other tools print them.
        {"\\\\.\\COM5", "\\\\.\\COM5", "COM5"},
        {"\\\\.\\com5", "\\\\.\\COM5", "COM5"},
        {"COM5:", "\\\\.\\COM5", "COM5"},
        {"com12:", "\\\\.\\COM12", "COM12"},
        {"\\\\.\\COM5:", "\\\\.\\COM5", "COM5"},
        {"\\\\.\\COM0", "", ""},
        {"COM5::", "", ""},
        {"COM\"5", "", ""},  // a quotation mark would end the download tool's quoted argument
        {"/dev/tty\"USB0", "", ""},
        {too_long_from_here, "", ""},
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

// The whole path goes on the download tool's command line too, which is split on blanks.
TEST(PortChoiceTest, PathMadeWholeWithABlankIsRefused)
{
    const std::filesystem::path before = std::filesystem::current_path();
    const std::filesystem::path folder = std::filesystem::temp_directory_path() / "port choice test";
    std::filesystem::create_directories(folder);
    std::filesystem::current_path(folder);
    try {
        port_choice_parse("ttyUSB0");
        ADD_FAILURE() << "accepted";
    } catch (const ToolFailure& failure) {
        EXPECT_EQ(failure.status, ExitStatus::usage);
        EXPECT_NE(failure.reason.find(folder.string() + "/ttyUSB0"), std::string::npos) << failure.reason;
    }
    std::filesystem::current_path(before);
    std::filesystem::remove(folder);
}

}  // namespace
