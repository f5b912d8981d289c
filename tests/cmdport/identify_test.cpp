// Adapter commands, reply frames and firmware identification on the fake
// serial port: the bytes on the wire, frame parsing, the prefix table, frames
// larger than the buffer, and the bounded wait for the version frame.
#include <array>

#include "cmdport_fixture.h"

namespace {

class IdentifyTest : public CommandPortTest {
protected:
    void SetUp() override
    {
        CommandPortTest::SetUp();
        open_port_directly();
    }
    static void receive(const std::string& bytes, std::uint64_t at_ms = 0)
    {
        fake_serial_receive(bytes.data(), bytes.size(), at_ms);
    }
    static Deadline far_deadline() { return deadline_after_ms(1000000); }
};

TEST_F(IdentifyTest, CommandsGoOutAsOneFourByteWrite)
{
    send_adapter_command(CMD_IDENTIFY);
    send_adapter_command(CMD_IDENTIFIED);
    send_adapter_command(CMD_UNRECOGNISED);
    const auto writes = fake_calls_of(FAKE_SERIAL_WRITE);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes, (std::vector<std::uint8_t>{0x01, 0xF7, 0x00, 0x00}));
    EXPECT_EQ(writes[1].bytes, (std::vector<std::uint8_t>{0x01, 0xF8, 0x00, 0x00}));
    EXPECT_EQ(writes[2].bytes, (std::vector<std::uint8_t>{0x01, 0xF6, 0x00, 0x00}));
}

TEST_F(IdentifyTest, ReplyFrameCodeAndLengthAreMostSignificantByteFirst)
{
    receive(fake_adapter_frame(0x05DD, "ab"));
    receive(fake_adapter_frame(0xDD05, std::string("\0c", 2)));
    std::array<std::uint8_t, REPLY_DATA_SIZE> data{};
    data.fill(0xEE);
    std::uint16_t code = 0;

    ASSERT_EQ(read_reply_frame(data, far_deadline(), &code), 1);
    EXPECT_EQ(code, REPLY_CODE_VERSION);
    EXPECT_EQ(data[0], 'a');
    EXPECT_EQ(data[1], 'b');
    EXPECT_EQ(data[2], 0);  // the buffer is zeroed before each frame's data
    EXPECT_EQ(data[255], 0);

    ASSERT_EQ(read_reply_frame(data, far_deadline(), &code), 1);
    EXPECT_EQ(code, 0xDD05);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[1], 'c');
    EXPECT_EQ(data[2], 0);
    EXPECT_EQ(fake_serial_pending(), 0u);
}

TEST_F(IdentifyTest, OversizedFrameKeepsFirstBytesAndStaysInStep)
{
    std::string big;
    for (int i = 0; i < 300; ++i) {
        big.push_back(static_cast<char>(i));
    }
    receive(fake_adapter_frame(0x0102, big));
    receive(fake_adapter_frame(0x0304, "next"));
    std::array<std::uint8_t, REPLY_DATA_SIZE> data{};
    std::uint16_t code = 0;

    ASSERT_EQ(read_reply_frame(data, far_deadline(), &code), 1);
    EXPECT_EQ(code, 0x0102);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(data[255], 255);  // the excess 44 bytes were read and dropped
    ASSERT_EQ(read_reply_frame(data, far_deadline(), &code), 1);
    EXPECT_EQ(code, 0x0304);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data.data())), "next");
}

TEST_F(IdentifyTest, ExpiredDeadlineLeavesFrameUnreported)
{
    receive(fake_adapter_frame(REPLY_CODE_VERSION, "Veltrane_Tools Marrowlink Firmware").substr(0, 10));
    std::array<std::uint8_t, REPLY_DATA_SIZE> data{};
    std::uint16_t code = 0xBEEF;
    EXPECT_EQ(read_reply_frame(data, deadline_after_ms(3000), &code), 0);
    EXPECT_EQ(code, 0xBEEF);
    EXPECT_EQ(fake_now_ms(), 3000u);  // two silent reads of 1.5 s, then the check before the next
}

// ---------------------------------------------------------------------------
// The identification table

struct VersionCase {
    const char* name;
    std::string frame_data;  // the version frame's data as sent
    int identified;
    int ci;                  // ci_firmware afterwards (it starts at 7: unchanged shows)
    std::string printed;     // the text of the version line
};

void PrintTo(const VersionCase& c, std::ostream* os)
{
    *os << c.name;
}

class IdentifyVersionTest : public IdentifyTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(IdentifyVersionTest, DecidesVariantFromPrefix)
{
    const VersionCase& c = GetParam();
    ci_firmware = 7;
    receive(fake_adapter_frame(REPLY_CODE_VERSION, c.frame_data));
    EXPECT_EQ(identify_firmware(), c.identified);
    EXPECT_EQ(ci_firmware, c.ci);
    EXPECT_EQ(fake_console_output(), "Current Firmware Version is " + c.printed + "\n");
    EXPECT_EQ(fake_serial_pending(), 0u);
}

const std::string CI_TEXT = "Veltrane_Tools Marrowlink CI Firmware";
const std::string STANDARD_TEXT = "Veltrane_Tools Marrowlink Firmware";

INSTANTIATE_TEST_SUITE_P(
    Texts, IdentifyVersionTest,
    ::testing::Values(
        VersionCase{"CiWithVersion", CI_TEXT + " 1.2.9" + '\0', 1, 1, CI_TEXT + " 1.2.9"},
        VersionCase{"CiExactlyNoZero", CI_TEXT, 1, 1, CI_TEXT},
        VersionCase{"StandardWithAnything", STANDARD_TEXT + "-x" + '\0', 1, 0, STANDARD_TEXT + "-x"},
        VersionCase{"CiCutShort", CI_TEXT.substr(0, 36) + '\0', 0, 7, CI_TEXT.substr(0, 36)},
        VersionCase{"StandardCutShort", STANDARD_TEXT.substr(0, 33) + '\0', 0, 7, STANDARD_TEXT.substr(0, 33)},
        VersionCase{"OneLetterCase", "Veltrane_Tools MarrowLink Firmware 1" + std::string(1, '\0'), 0, 7,
                    "Veltrane_Tools MarrowLink Firmware 1"},
        VersionCase{"EmptyVersion", "", 0, 7, ""},
        VersionCase{"BytesAfterZeroIgnored", "Veltrane_Tools Marrowlink" + std::string(1, '\0') + " Firmware", 0, 7,
                    "Veltrane_Tools Marrowlink"},
        VersionCase{"FullBufferNoZeroCutTo255", STANDARD_TEXT + std::string(222, 'v'), 1, 0,
                    STANDARD_TEXT + std::string(221, 'v')},
        VersionCase{"LongerThanBufferCutTo255", CI_TEXT + std::string(400, 'w'), 1, 1,
                    CI_TEXT + std::string(218, 'w')}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

TEST_F(IdentifyTest, OtherFramesBeforeVersionAreConsumedWhole)
{
    // Data that looks like a version frame header must not be taken as one.
    receive(fake_adapter_frame(0x0001, fake_adapter_version_frame(CI_TEXT)));
    receive(fake_adapter_frame(0xDD05, "x"));
    receive(fake_adapter_frame(0x0000, ""));
    receive(fake_adapter_version_frame(STANDARD_TEXT + " 2"));
    EXPECT_EQ(identify_firmware(), 1);
    EXPECT_EQ(ci_firmware, 0);
    EXPECT_EQ(fake_console_output(), "Current Firmware Version is " + STANDARD_TEXT + " 2\n");
}

// ---------------------------------------------------------------------------
// The bounded wait for the version frame

TEST_F(IdentifyTest, SilentAdapterEndsWithoutVersionLine)
{
    ci_firmware = 1;
    EXPECT_EQ(identify_firmware(), 0);
    // Reads of 1.5 s each; the first check after 10 s stops the wait.
    EXPECT_EQ(fake_now_ms(), 10500u);
    EXPECT_EQ(fake_console_output(), "");
    EXPECT_EQ(ci_firmware, 1);
}

TEST_F(IdentifyTest, GarbledLengthWithSilenceEndsInBoundedTime)
{
    receive(std::string("\x12\x34\xFF\xFF", 4));
    EXPECT_EQ(identify_firmware(), 0);
    EXPECT_LE(fake_now_ms(), IDENTIFY_VERSION_WAIT_MS + 1500u);
    EXPECT_EQ(fake_console_output(), "");
}

TEST_F(IdentifyTest, EndlessOtherFramesEndAtTheTimeBound)
{
    for (std::uint64_t t = 0; t < 30000; t += 500) {
        receive(fake_adapter_frame(0x0101, "noise"), t);
    }
    receive(fake_adapter_version_frame(STANDARD_TEXT), 30000);
    EXPECT_EQ(identify_firmware(), 0);
    EXPECT_GE(fake_now_ms(), IDENTIFY_VERSION_WAIT_MS);
    EXPECT_LE(fake_now_ms(), IDENTIFY_VERSION_WAIT_MS + 1500u);
    EXPECT_EQ(fake_console_output(), "");
}

TEST_F(IdentifyTest, VersionFrameJustInsideTheBoundIsTaken)
{
    for (std::uint64_t t = 0; t < 9000; t += 500) {
        receive(fake_adapter_frame(0x0101, "noise"), t);
    }
    receive(fake_adapter_version_frame(CI_TEXT), 9900);
    EXPECT_EQ(identify_firmware(), 1);
    EXPECT_EQ(ci_firmware, 1);
}

}  // namespace
