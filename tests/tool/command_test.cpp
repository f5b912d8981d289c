// probe and update through the whole program on the fake platform: the exit
// status of each outcome, what goes to standard output and error, --json, and
// the update's key wait.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/update.h"
#include "fake_adapter.h"
#include "fake_fixture.h"
#include "tool/app.h"
#include "tool/outcome.h"
#include "tool_run.h"

namespace {

class CommandTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        prepare(FAKE_ADAPTER_STANDARD_VERSION);
    }
    void TearDown() override
    {
        fake_serial_attach(nullptr);
        FakePlatformTest::TearDown();
    }

    void prepare(const std::string& version)
    {
        fake_reset();
        command_port_handle = PLATFORM_INVALID_HANDLE;
        ci_firmware = 0;
        adapter = fake_adapter_working(version);
        fake_adapter_attach(&adapter);
        fake_folder_create(DOWNLOAD_TOOL_FOLDER);
        fake_console_key_at(0);
    }

        FakeAdapter adapter;
};

TEST_F(CommandTest, ProbeOnAWorkingAdapterPrintsItsFindingsAndHandsOver)
{
    const ToolRun run = run_tool({"probe"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Waking the adapter on COM1 ... QXZ4702\n"
                       "Setup handshake ... LUMA PORT READY\n"
                       "Reading the firmware version ... Veltrane_Tools Marrowlink Firmware 1.2.9 (standard)\n"
                       "The adapter now listens to its Bluetooth chip: power it off and on before the next "
                       "probe or update.\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(fake_console_output(), "") << "the layers' own lines are the tool's to show";
    EXPECT_EQ(adapter.command_bytes, (std::vector<std::uint8_t>{0x01, 0xF7, 0x00, 0x00, 0x01, 0xF8, 0x00, 0x00}));
    EXPECT_EQ(fake_serial_is_open(), 0);
}

TEST_F(CommandTest, ProbeOutcomesHaveTheirExitStatus)
{
    struct {
        const char* what;
        std::vector<const char*> arguments;
        std::string pnp_reply;
        std::string handshake;
        std::string version;
        int status;
        std::string error_start;
    } cases[] = {
        {"bad port name", {"probe", "--port", "COM0"}, FAKE_ADAPTER_PNP_REPLY, "LUMA PORT READY",
         FAKE_ADAPTER_STANDARD_VERSION, 2, "error: --port COM0: "},
        {"missing port", {"probe", "--port", "/nonexistent/ttyUSB9"}, FAKE_ADAPTER_PNP_REPLY, "LUMA PORT READY",
         FAKE_ADAPTER_STANDARD_VERSION, 3, "error: opening /nonexistent/ttyUSB9: there is no such port"},
        {"silent adapter", {"probe"}, "", "", FAKE_ADAPTER_STANDARD_VERSION, 4,
         "error: contacting the adapter on COM1: no Plug-and-Play reply within 2.8 s"},
        {"handshake differs", {"probe"}, FAKE_ADAPTER_PNP_REPLY, "LUMA PORT READX", FAKE_ADAPTER_STANDARD_VERSION,
         4, "error: setup handshake on COM1: the answer differs"},
        {"unknown firmware", {"--port", "COM1", "probe"}, FAKE_ADAPTER_PNP_REPLY, "LUMA PORT READY", "Acme 3.1", 5,
         "error: identifying the firmware: unknown firmware \"Acme 3.1\""},
        {"no chip", {"probe", "--chip"}, FAKE_ADAPTER_PNP_REPLY, "LUMA PORT READY", FAKE_ADAPTER_STANDARD_VERSION, 6,
         "error: linking with the chip on COM1: no BCSP link with the chip within 5.0 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        prepare(c.version);
        adapter.pnp_reply = c.pnp_reply;
        adapter.handshake_answer = c.handshake;
        const ToolRun run = run_tool(c.arguments);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err.rfind(c.error_start, 0), 0u) << run.err;
        EXPECT_NE(run.err.find("\nhint: "), std::string::npos) << run.err;
        EXPECT_EQ(fake_serial_is_open(), 0);
    }
}

TEST_F(CommandTest, ProbeJsonIsOneObjectOnStandardOutput)
{
    adapter.handshake_answer = "LUMA PORT READX";
    const ToolRun run = run_tool({"probe", "--json"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.err, "");
    const auto result = nlohmann::json::parse(run.out);
    EXPECT_EQ(result["outcome"], "failed");
    EXPECT_EQ(result["port"], "COM1");
    EXPECT_EQ(result["step"], "setup handshake on COM1");
    EXPECT_EQ(result["reason"], "the answer differs: expected \"LUMA PORT READY\", got \"LUMA PORT READX\"");
    EXPECT_EQ(result["exit_status"], 4);
}

// A trace that fills the disk part way: the command's outcome stands, and the
// user is told the trace is not whole and where it ends. The disk is filled by
// a file size limit for this process (the write then fails with EFBIG).
TEST_F(CommandTest, ATraceThatCannotBeWrittenWholeIsReportedAndTheRunStands)
{
    const std::string path = ::testing::TempDir() + "command_test_cut.jsonl";
    constexpr rlim_t TRACE_FILE_LIMIT_BYTES = 600;  // the header and a few events
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = TRACE_FILE_LIMIT_BYTES;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const ToolRun run = run_tool({"probe", "--trace", path.c_str()});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);

    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("QXZ4702"), std::string::npos);
    std::ifstream file(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_LE(text.size(), TRACE_FILE_LIMIT_BYTES);
    const auto whole_lines = std::count(text.begin(), text.end(), '\n');
    EXPECT_GE(whole_lines, 1) << "the header fits";
    EXPECT_EQ(run.err, "warning: the trace is cut short: cannot write " + path + ": File too large (the trace ends after its line " +
                           std::to_string(whole_lines) + ")\n");
    std::remove(path.c_str());
}

// --trace naming the file the command reads: recording would empty it before
// it is read. The command is refused and the file left as it was.
TEST_F(CommandTest, ATraceNamingTheFileTheCommandReadsIsRefusedAndTheFileKept)
{
    const std::string path = ::testing::TempDir() + "command_test_own.jsonl";
    const std::string text = "{\"event\":\"header\",\"format\":1}\n";
    std::ofstream(path, std::ios::binary) << text;
    for (const std::vector<const char*>& arguments :
         {std::vector<const char*>{"--trace", path.c_str(), "trace", "show", path.c_str()},
          std::vector<const char*>{"store", "restore", path.c_str(), "--trace", path.c_str()}}) {
        const ToolRun run = run_tool(arguments);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.err.rfind("error: recording the trace: --trace " + path, 0), 0u) << run.err;
        std::ifstream file(path, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()), text);
    }
    std::remove(path.c_str());
}

TEST_F(CommandTest, UpdateEndsWithTheOutcomesStatusAndWaitsForAKeyUnlessToldNot)
{
    struct {
        const char* what;
        std::vector<const char*> arguments;
        bool folder;
        int status;
        bool key_wait;
        std::string last_line;
    } cases[] = {
        {"no tool folder", {"update"}, false, 7, true, "Press any key to exit\n"},
        {"no tool folder, no wait", {"update", "--no-wait"}, false, 7, false, "Failed to locate the update wizard.\n"},
        {"bad port name", {"update", "--port", "COM 1"}, true, 2, false, ""},
        // The fake adapter has no chip behind it: the chip cannot be prepared.
        {"no chip", {"update", "--no-wait"}, true, 6, false, "FAILED\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        prepare(FAKE_ADAPTER_STANDARD_VERSION);
        if (!c.folder) {
            fake_reset();
            fake_adapter_attach(&adapter);
            fake_console_key_at(0);
        }
        const ToolRun run = run_tool(c.arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(fake_console_key_tests() > 0, c.key_wait);
        const std::string& console = fake_console_output();
        ASSERT_GE(console.size(), c.last_line.size());
        EXPECT_EQ(console.substr(console.size() - c.last_line.size()), c.last_line);
        EXPECT_TRUE(fake_calls_of(FAKE_PROCESS_EXIT).empty());
    }
}

}  // namespace
