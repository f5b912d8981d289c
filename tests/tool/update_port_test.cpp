// The update sequence on a port given as a value: the updater's COM1 stays
// exactly as it was, and another port's name reaches the messages and the
// download tool's command line.
#include <gtest/gtest.h>

#include <string>

#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/update.h"
#include "fake_adapter.h"
#include "fake_fixture.h"

namespace {

TEST(DownloadCommandLineTest, ForComOneItIsTheUpdatersFixedCommandLine)
{
    char line[DOWNLOAD_COMMAND_LINE_MAX_BYTES];
    ASSERT_EQ(download_command_line(0, ADAPTER_PORT_NAME, line, sizeof line), 1);
    EXPECT_STREQ(line, STANDARD_IMAGE_COMMAND_LINE);
    ASSERT_EQ(download_command_line(1, ADAPTER_PORT_NAME, line, sizeof line), 1);
    EXPECT_STREQ(line, CI_IMAGE_COMMAND_LINE);

    ASSERT_EQ(download_command_line(0, "/dev/ttyUSB0", line, sizeof line), 1);
    EXPECT_STREQ(line, "DFUWizard /upload /download Marrowlink_1_2_10.dfu /serial /dev/ttyUSB0 /auto /exit");
    const std::string longest(SERIAL_DEVICE_PATH_MAX_BYTES - 1, 'x');
    EXPECT_EQ(download_command_line(1, longest.c_str(), line, sizeof line), 1);
    const std::string too_long(sizeof line, 'x');
    EXPECT_EQ(download_command_line(1, too_long.c_str(), line, sizeof line), 0);
}

class UpdatePortTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        command_port_handle = PLATFORM_INVALID_HANDLE;
        ci_firmware = 0;
        fake_folder_create(DOWNLOAD_TOOL_FOLDER);
        fake_console_key_at(0);
    }
};

TEST_F(UpdatePortTest, EachEndComesBackWithoutAnExitOrAKeyWait)
{
    struct {
        const char* what;
        bool folder;
        bool adapter;
        const char* version;
        int end;
        std::string last_line;
    } cases[] = {
        {"no tool folder", false, true, FAKE_ADAPTER_STANDARD_VERSION, UPDATE_END_NO_TOOL_FOLDER,
         "Failed to locate the update wizard.\n"},
        {"not found", true, false, FAKE_ADAPTER_STANDARD_VERSION, UPDATE_END_NOT_FOUND,
         "Marrowlink not found on /dev/ttyUSB3.\n"},
        {"unknown firmware", true, true, "Acme 3.1", UPDATE_END_UNKNOWN_FIRMWARE, "Unknown Device.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_reset();
        command_port_handle = PLATFORM_INVALID_HANDLE;
        if (c.folder) {
            fake_folder_create(DOWNLOAD_TOOL_FOLDER);
        }
        FakeAdapter adapter = fake_adapter_working(c.version);
        if (!c.adapter) {
            adapter.pnp_reply.clear();
        }
        fake_adapter_attach(&adapter);
        fake_serial_set_path("/dev/ttyUSB3");

        const UpdateResult result = update_sequence(UpdatePort{"/dev/ttyUSB3", "/dev/ttyUSB3"});
        EXPECT_EQ(result.end, c.end);
        const std::string& console = fake_console_output();
        ASSERT_GE(console.size(), c.last_line.size());
        EXPECT_EQ(console.substr(console.size() - c.last_line.size()), c.last_line);
        EXPECT_EQ(fake_console_key_tests(), 0);
        EXPECT_TRUE(fake_calls_of(FAKE_PROCESS_EXIT).empty());
        EXPECT_EQ(fake_serial_is_open(), 0);
        fake_serial_attach(nullptr);
    }
}

}  // namespace
