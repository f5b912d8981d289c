// What the updater's layers note about a failed step for the field tool: the
// command port's record of the wake-up and handshake, the identification's
// record, the BCSP open's record and the first failed BCCMD transaction.
#include <gtest/gtest.h>

#include <string>

#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "fake_adapter.h"
#include "fake_chip.h"
#include "fake_fixture.h"
#include "tool/reasons.h"

namespace {

std::string pnp_reply_seen(const CommandPortReport& seen)
{
    return std::string(reinterpret_cast<const char*>(seen.pnp_reply), static_cast<std::size_t>(seen.pnp_reply_length));
}

std::string handshake_answer_seen(const CommandPortReport& seen)
{
    return std::string(reinterpret_cast<const char*>(seen.handshake_answer),
                       static_cast<std::size_t>(seen.handshake_answer_length));
}

class LayerReportTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        command_port_handle = PLATFORM_INVALID_HANDLE;
        adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
        fake_adapter_attach(&adapter);
    }
    void TearDown() override
    {
        command_port_close();
        fake_serial_attach(nullptr);
        FakePlatformTest::TearDown();
    }
    FakeAdapter adapter;
};

struct ContactCase {
    const char* what;
    std::string pnp_reply;
    std::string handshake_answer;
    int present;
    int step;
    std::string reply_seen;
    int silent;
    std::string answer_seen;
};

TEST_F(LayerReportTest, CommandPortNotesTheStepThatEndedTheOpenAndWhatCame)
{
    const std::string good = FAKE_ADAPTER_PNP_REPLY;
    const ContactCase cases[] = {
        {"found", good, "LUMA PORT READY", 1, COMMAND_PORT_STEP_NONE, good, 0, "LUMA PORT READY"},
        {"no port", good, "LUMA PORT READY", 0, COMMAND_PORT_STEP_OPEN, "", 0, ""},
        {"silent", "", "", 1, COMMAND_PORT_STEP_PNP_REPLY, "", 1, ""},
        {"not a reply", "AT\r", "", 1, COMMAND_PORT_STEP_PNP_REPLY, "A", 0, ""},
        {"wrong identifier", "(\x01\x24QXZ4709)", "", 1, COMMAND_PORT_STEP_PNP_REPLY, "(\x01\x24QXZ4709", 0, ""},
        {"reply cut short", "(\x01\x24QXZ4", "", 1, COMMAND_PORT_STEP_PNP_REPLY, "(\x01\x24QXZ4", 1, ""},
        {"handshake differs", good, "LUMA PORT READX", 1, COMMAND_PORT_STEP_HANDSHAKE, good, 0, "LUMA PORT READX"},
        {"handshake differs early", good, "HELLO", 1, COMMAND_PORT_STEP_HANDSHAKE, good, 0, "H"},
        {"no handshake answer", good, "", 1, COMMAND_PORT_STEP_HANDSHAKE, good, 0, ""},
    };
    for (const ContactCase& c : cases) {
        SCOPED_TRACE(c.what);
        fake_reset();
        adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
        adapter.pnp_reply = c.pnp_reply;
        adapter.handshake_answer = c.handshake_answer;
        fake_adapter_attach(&adapter);
        fake_serial_set_present(c.present);

        CommandPortReport seen{};
        seen.failed_step = -1;  // filled afresh
        const int opened = command_port_open(1, &seen);
        EXPECT_EQ(opened, c.step == COMMAND_PORT_STEP_NONE ? 1 : 0);
        EXPECT_EQ(seen.failed_step, c.step);
        EXPECT_EQ(pnp_reply_seen(seen), c.reply_seen);
        EXPECT_EQ(seen.pnp_silent, c.silent);
        EXPECT_EQ(handshake_answer_seen(seen), c.answer_seen);
        if (c.step == COMMAND_PORT_STEP_OPEN) {
            EXPECT_EQ(seen.os_error, FAKE_ERROR_FILE_NOT_FOUND);
        }
        command_port_close();
    }
}

TEST_F(LayerReportTest, IdentificationNotesTheFramesAndTheVersionText)
{
    struct {
        const char* what;
        std::string reply;
        int result;
        int frames;
        int seen;
        std::string text;
    } cases[] = {
        {"standard", fake_adapter_version_frame(FAKE_ADAPTER_STANDARD_VERSION), 1, 1, 1,
         FAKE_ADAPTER_STANDARD_VERSION},
        {"other frames first", fake_adapter_frame(0x0101, "xy") + fake_adapter_version_frame("Acme 3.1"), 0, 2, 1,
         "Acme 3.1"},
        {"no version frame", fake_adapter_frame(0x0101, "xy"), 0, 1, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_reset();
        adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
        adapter.identify_reply = c.reply;
        fake_adapter_attach(&adapter);
        ASSERT_EQ(command_port_open(1), 1);
        send_adapter_command(CMD_IDENTIFY);
        IdentifyReport seen{};
        EXPECT_EQ(identify_firmware(&seen), c.result);
        // Silence after the last frame reads as empty frames until the time bound.
        EXPECT_GE(seen.frames_read, c.frames);
        EXPECT_EQ(seen.version_frame_seen, c.seen);
        EXPECT_EQ(std::string(seen.version_text), c.text);
        command_port_close();
    }
}

TEST_F(LayerReportTest, ALongDevicePathReachesTheOpenWholeAndTheUpdatersNameIsUnchanged)
{
    const std::string path = "/dev/serial/by-id/usb-" + std::string(200, 'x') + "-if00-port0";
    ASSERT_LT(path.size(), SERIAL_DEVICE_PATH_MAX_BYTES);
    fake_serial_set_path(path.c_str());
    EXPECT_EQ(command_port_open_path(path.c_str()), 1);
    command_port_close();
    EXPECT_EQ(command_port_open(1), 0);  // COMn still goes through its 12-byte name
    const auto opens = fake_calls_of(FAKE_SERIAL_OPEN);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].text, path);
    EXPECT_EQ(opens[1].text, "\\\\.\\COM1");
}

class ChipReportTest : public FakePlatformTest {
protected:
    void TearDown() override
    {
        bcsp_port_close();
        fake_chip_stop(&chip);
        FakePlatformTest::TearDown();
    }
    void start(const ChipConfig& config)
    {
        std::string error;
        ASSERT_EQ(fake_chip_start(&chip, config, &error), 1) << error;
        bccmd_given_up_clear();
    }
    FakeChip chip;
};

// Each open and each transaction says how it went, and a later call cannot
// see an earlier one's failure: nothing is kept between calls.
TEST_F(ChipReportTest, EachOpenSaysHowItEndedWithItsOwnBound)
{
    ChipConfig config = fake_chip_config(&chip, 4321);
    config.no_link = 1;
    start(config);
    BcspOpenResult link{};
    EXPECT_EQ(bcsp_port_open_path(FAKE_SERIAL_DEVICE_PATH, 115200, 20000, &link), 0);
    EXPECT_EQ(link.failed_step, BCSP_OPEN_STEP_LINK);
    EXPECT_EQ(link.link_timeout_ms, 20000u) << "the bound that ran out, not the usual one";
    EXPECT_EQ(fake_now_ms(), 20000u);
    EXPECT_EQ(reason_chip_link(ToolPort{"x", "COM1"}, "restoring", link).reason,
              "no BCSP link with the chip within 20.0 s");
    fake_serial_set_present(0);
    EXPECT_EQ(bcsp_port_open_path(FAKE_SERIAL_DEVICE_PATH, 115200, BCSP_LINK_TIMEOUT_MS, &link), 0);
    EXPECT_EQ(link.failed_step, BCSP_OPEN_STEP_OPEN) << "this open's own failure, not the first one's";
    EXPECT_EQ(link.os_error, FAKE_ERROR_FILE_NOT_FOUND);
}

TEST_F(ChipReportTest, EachTransactionSaysHowItWentWithItsVaridStatusAndBound)
{
    ChipConfig config = fake_chip_config(&chip, 4321);
    config.error_status_varid = VARID_BUILD_ID;
    config.no_answer_after_packets = 3;
    start(config);
    BcspOpenResult link{};
    ASSERT_EQ(bcsp_port_open_path(FAKE_SERIAL_DEVICE_PATH, 115200, BCSP_LINK_TIMEOUT_MS, &link), 1);
    EXPECT_EQ(link.failed_step, BCSP_OPEN_STEP_NONE);
    std::uint16_t build_id = 0;
    BccmdResult result{};
    EXPECT_EQ(read_build_id(&build_id, &result), 0);
    EXPECT_EQ(result.kind, BCCMD_FAILURE_STATUS);
    EXPECT_EQ(result.varid, VARID_BUILD_ID);
    EXPECT_EQ(result.status, CHIP_STATUS_ERROR);
    const std::uint16_t value = 1;
    EXPECT_EQ(ps_write(0x0108, 1, &value, &result), 1);
    EXPECT_EQ(result.kind, BCCMD_FAILURE_NONE) << "a success after a failure says so";
    EXPECT_EQ(ps_read(0x0108, 1, &build_id, &result), 0);  // the third packet: no answer
    EXPECT_EQ(result.kind, BCCMD_FAILURE_NO_ANSWER);
    EXPECT_EQ(result.varid, VARID_PS);
    EXPECT_EQ(result.bound_ms, BCSP_RECEIVE_TIMEOUT_MS);
    EXPECT_EQ(ps_read(0x0108, 0, &build_id, &result), 0);
    EXPECT_EQ(result.kind, BCCMD_FAILURE_REFUSED) << "a count no key has is refused before anything is sent";
}

}  // namespace
