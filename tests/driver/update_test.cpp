// The update sequence end to end on the fake platform: every end of a run with
// its exit status and exact console lines, the adapter commands on the wire,
// the hand-over of the port, the supervision of the download tool (timing,
// exit codes, handles) and the key wait.
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"
#include "driver/update.h"
#include "fake_adapter.h"
#include "fake_fixture.h"
#include "profiles_stub.h"

namespace {

struct RunEnd {
    int returned;  // update_run returned (and its result), or
    int exited;    // the process ended through process_exit
    int status;
};

const std::vector<std::uint8_t> IDENTIFY_BYTES = {0x01, 0xF7, 0x00, 0x00};
const std::vector<std::uint8_t> IDENTIFIED_BYTES = {0x01, 0xF8, 0x00, 0x00};
const std::vector<std::uint8_t> UNRECOGNISED_BYTES = {0x01, 0xF6, 0x00, 0x00};

const std::string CLOSING_LINES =
    "Update done\n"
    "Please power off and on Marrowlink Device\n"
    "Press any key to exit the update program\n";
const std::string ABORT_LINE = "Update Aborted, press any key to exit\n";
const std::string CONTACT_LINES = "Contacting Marrowlink\nSuccess\n";

class UpdateTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        command_port_handle = PLATFORM_INVALID_HANDLE;
        command_port_diagnostics = 0;
        ci_firmware = 0;
        profile_stub_reset();
        fake_folder_create(DOWNLOAD_TOOL_FOLDER);
        adapter = fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
        fake_adapter_attach(&adapter);
        fake_console_key_at(0);
    }

    static RunEnd run()
    {
        try {
            return RunEnd{update_run(), 0, 0};
        } catch (const FakeProcessExit& exit) {
            return RunEnd{0, 1, exit.status};
        }
    }

    static void set_tool(std::uint32_t exit_code, std::uint64_t run_time_ms)
    {
        FakeProcessScript script = fake_process_default_script();
        script.exit_code = exit_code;
        script.run_time_ms = run_time_ms;
        fake_process_script(&script);
    }

    // The writes after the setup request, each as its bytes.
    static std::vector<std::vector<std::uint8_t>> command_writes()
    {
        std::vector<std::vector<std::uint8_t>> commands;
        for (const auto& write : fake_calls_of(FAKE_SERIAL_WRITE)) {
            if (write.bytes.size() == 4) {
                commands.push_back(write.bytes);
            }
        }
        return commands;
    }

    static std::string version_line(const std::string& text)
    {
        return "Current Firmware Version is " + text + "\n";
    }

    static void expect_aborted(const RunEnd& end)
    {
        EXPECT_EQ(end.exited, 1);
        EXPECT_EQ(end.status, 0);
        EXPECT_EQ(fake_calls_of(FAKE_CONSOLE_KEY_WAIT_BEGIN).size(), 1u);
        EXPECT_EQ(fake_processes_started(), 0);
        EXPECT_TRUE(profile_stub.before_calls.empty());
        EXPECT_TRUE(profile_stub.after_calls.empty());
        EXPECT_FALSE(fake_serial_is_open());
    }

    FakeAdapter adapter{};
};

// ---------------------------------------------------------------------------
// Aborts: prompt, key wait, exit status 0

TEST_F(UpdateTest, MissingToolFolderAbortsWithoutTouchingThePort)
{
    fake_reset();
    fake_console_key_at(0);
    const RunEnd end = run();
    expect_aborted(end);
    EXPECT_EQ(fake_console_output(), "Failed to locate the update wizard.\n" + ABORT_LINE);
    EXPECT_TRUE(fake_calls_of(FAKE_SERIAL_OPEN).empty());
}

TEST_F(UpdateTest, AbsentAdapterAbortsWithoutCommands)
{
    fake_serial_set_present(0);
    const RunEnd end = run();
    expect_aborted(end);
    EXPECT_EQ(fake_console_output(), "Contacting Marrowlink\nMarrowlink not found on COM1.\n" + ABORT_LINE);
    EXPECT_TRUE(fake_serial_written().empty());
}

TEST_F(UpdateTest, SilentAdapterAbortsAfterTheBoundedOpen)
{
    adapter.pnp_reply.clear();
    const RunEnd end = run();
    expect_aborted(end);
    EXPECT_EQ(fake_console_output(), "Contacting Marrowlink\nMarrowlink not found on COM1.\n" + ABORT_LINE);
    EXPECT_EQ(fake_calls_of(FAKE_CONSOLE_KEY_WAIT_BEGIN)[0].at_ms, 2800u);
    EXPECT_TRUE(fake_serial_written().empty());
}

TEST_F(UpdateTest, UnknownFirmwareSendsUnrecognisedClosesAndAborts)
{
    adapter.identify_reply = fake_adapter_version_frame("Acme Firmware 9");
    const RunEnd end = run();
    expect_aborted(end);
    EXPECT_EQ(fake_console_output(),
              CONTACT_LINES + version_line("Acme Firmware 9") + "Unknown Device.\n" + ABORT_LINE);
    EXPECT_EQ(command_writes(), (std::vector<std::vector<std::uint8_t>>{IDENTIFY_BYTES, UNRECOGNISED_BYTES}));
    const auto& calls = fake_calls();
    const auto close = std::find_if(calls.begin(), calls.end(),
                                    [](const FakeCall& c) { return c.kind == FAKE_SERIAL_CLOSE; });
    ASSERT_NE(close, calls.end());
    EXPECT_EQ((close - 1)->kind, FAKE_SERIAL_PURGE);
    EXPECT_LT(close->at_ms, fake_calls_of(FAKE_CONSOLE_KEY_WAIT_BEGIN)[0].at_ms + 1);
}

TEST_F(UpdateTest, NoVersionFrameAbortsAsUnknownDeviceWithoutVersionLine)
{
    adapter.identify_reply.clear();
    const RunEnd end = run();
    expect_aborted(end);
    EXPECT_EQ(fake_console_output(), CONTACT_LINES + "Unknown Device.\n" + ABORT_LINE);
    EXPECT_EQ(command_writes(), (std::vector<std::vector<std::uint8_t>>{IDENTIFY_BYTES, UNRECOGNISED_BYTES}));
    // The wait for the version frame is bounded: the abort follows within
    // the identification bound plus one read time-out.
    const auto identify_write = fake_calls_of(FAKE_SERIAL_WRITE)[1];
    EXPECT_LE(fake_calls_of(FAKE_SERIAL_CLOSE)[0].at_ms, identify_write.at_ms + IDENTIFY_VERSION_WAIT_MS + 1500);
}

// ---------------------------------------------------------------------------
// Completed runs: exit status 1 after a key

TEST_F(UpdateTest, StandardFirmwareRunsToTheEnd)
{
    fake_console_key_at(30000);
    const RunEnd end = run();
    EXPECT_EQ(end.exited, 0);
    EXPECT_EQ(end.returned, 1);
    EXPECT_EQ(fake_console_output(), CONTACT_LINES + version_line(FAKE_ADAPTER_STANDARD_VERSION) +
                                         "Update Wizard started succefully\n"
                                         "Update successful !\n" +
                                         CLOSING_LINES);
    EXPECT_EQ(fake_process_command_line(), STANDARD_IMAGE_COMMAND_LINE);
    EXPECT_EQ(fake_process_folder(), "DFUWizard");
    EXPECT_EQ(fake_folder_current(), "");  // back in the start folder
    ASSERT_EQ(profile_stub.after_calls.size(), 1u);
    EXPECT_EQ(profile_stub.after_calls[0].download_failed, 0);
    // The run ends once the key has come, not before.
    EXPECT_GE(fake_now_ms(), 30000u);
    EXPECT_LT(fake_now_ms(), 30000u + KEY_POLL_INTERVAL_MS);
    EXPECT_EQ(fake_calls().back().kind, FAKE_CONSOLE_KEY_WAIT_END);
}

TEST_F(UpdateTest, CiFirmwareGetsTheSkerrymodImage)
{
    adapter.identify_reply = fake_adapter_version_frame(FAKE_ADAPTER_CI_VERSION);
    const RunEnd end = run();
    EXPECT_EQ(end.returned, 1);
    EXPECT_EQ(ci_firmware, 1);
    EXPECT_EQ(fake_process_command_line(), CI_IMAGE_COMMAND_LINE);
}

// The tool's "/serial" names the port as the platform says the tool knows it,
// and the start names the device only when the platform gives one (a
// Windows tool under Wine, its COM1 led to the device).
TEST_F(UpdateTest, ToolGetsThePortNameAndDeviceThePlatformGives)
{
    struct Case {
        const char* tool_name;  // null: the platform answers with the port's own name
        const char* tool_device;
        const char* expected_command_line;
        const char* expected_device;  // null: no device in the start's options
    };
    const Case cases[] = {
        {nullptr, nullptr, "DFUWizard /upload /download Marrowlink_1_2_10.dfu /serial /dev/ttyUSB0 /auto /exit",
         nullptr},
        {"COM1", "/dev/ttyUSB0", STANDARD_IMAGE_COMMAND_LINE, "/dev/ttyUSB0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool_name != nullptr ? c.tool_name : "(the port's own name)");
        SetUp();
        fake_serial_set_path("/dev/ttyUSB0");
        if (c.tool_name != nullptr) {
            fake_process_tool_port(c.tool_name, c.tool_device);
        }
        const UpdateResult result = update_sequence(UpdatePort{"/dev/ttyUSB0", "/dev/ttyUSB0"});
        EXPECT_EQ(result.end, UPDATE_END_COMPLETED);
        EXPECT_EQ(fake_process_command_line(), c.expected_command_line);
        const ProcessOptions options = fake_process_options();
        EXPECT_EQ(options.port_device != nullptr ? std::string(options.port_device) : std::string("(none)"),
                  c.expected_device != nullptr ? c.expected_device : "(none)");
    }
}

TEST_F(UpdateTest, IdentifiedAdapterGetsCommandThenPortClosesAfterPause)
{
    const RunEnd end = run();
    EXPECT_EQ(end.returned, 1);
    EXPECT_EQ(command_writes(), (std::vector<std::vector<std::uint8_t>>{IDENTIFY_BYTES, IDENTIFIED_BYTES}));
    const auto writes = fake_calls_of(FAKE_SERIAL_WRITE);
    const auto closes = fake_calls_of(FAKE_SERIAL_CLOSE);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].at_ms, writes.back().at_ms + HANDOVER_PAUSE_MS);
    // The profile runs with the command port closed; the tool starts with no
    // port handle open, and nothing opens one while it runs.
    ASSERT_EQ(profile_stub.before_calls.size(), 1u);
    EXPECT_EQ(profile_stub.before_calls[0].port_open, 0);
    EXPECT_GE(profile_stub.before_calls[0].at_ms, closes[0].at_ms);
    EXPECT_EQ(fake_process_ports_open_at_start(), 0);
    EXPECT_EQ(fake_calls_of(FAKE_SERIAL_OPEN).size(), 1u);
}

TEST_F(UpdateTest, ParentFolderFailureIsIgnored)
{
    fake_fail_call(FAKE_FOLDER_CHANGE, 2, FAKE_ERROR_FILE_NOT_FOUND);
    const RunEnd end = run();
    EXPECT_EQ(end.returned, 1);
    EXPECT_EQ(profile_stub.after_calls.size(), 1u);
}

// ---------------------------------------------------------------------------
// The download tool's ends

struct ToolCase {
    const char* name;
    FakeProcessScript script;
    std::string report;  // the line(s) after "started succefully" (or instead of it)
    int download_failed;
    std::size_t queries;  // exit-code queries made
};

void PrintTo(const ToolCase& c, std::ostream* os)
{
    *os << c.name;
}

FakeProcessScript tool_script(std::uint32_t exit_code, std::uint64_t run_time_ms, int query_fail_at = 0,
                              int open_ok = 1, int start_ok = 1)
{
    FakeProcessScript script = fake_process_default_script();
    script.exit_code = exit_code;
    script.run_time_ms = run_time_ms;
    script.query_fail_at = query_fail_at;
    script.open_ok = open_ok;
    script.start_ok = start_ok;
    return script;
}

class UpdateToolTest : public UpdateTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(UpdateToolTest, ReportsOutcomeRunsProfileAndClosesEveryHandle)
{
    const ToolCase& c = GetParam();
    fake_process_script(&c.script);
    const RunEnd end = run();
    EXPECT_EQ(end.exited, 0);
    EXPECT_EQ(end.returned, 1);
    EXPECT_EQ(fake_console_output(),
              CONTACT_LINES + version_line(FAKE_ADAPTER_STANDARD_VERSION) + c.report + CLOSING_LINES);
    ASSERT_EQ(profile_stub.after_calls.size(), 1u);
    EXPECT_EQ(profile_stub.after_calls[0].download_failed, c.download_failed);
    // Whatever the tool did, the chip may be booting a new image.
    EXPECT_EQ(profile_stub.after_calls[0].link_timeout_ms, POST_DOWNLOAD_LINK_TIMEOUT_MS);
    EXPECT_EQ(fake_calls_of(FAKE_PROCESS_EXIT_CODE).size(), c.queries);
    EXPECT_EQ(fake_process_handles_open(), 0);
    EXPECT_EQ(fake_folder_current(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Ends, UpdateToolTest,
    ::testing::Values(
        ToolCase{"Success", tool_script(0, 4500), "Update Wizard started succefully\nUpdate successful !\n", 0, 5},
        ToolCase{"NonZero", tool_script(3, 1500), "Update Wizard started succefully\nUpdate Wizard terminated with error:3\n",
                 1, 2},
        ToolCase{"Negative", tool_script(0xC0000005u, 100),
                 "Update Wizard started succefully\nUpdate Wizard terminated with error:-1073741819\n", 1, 1},
        ToolCase{"RealExitCode259", tool_script(259, 2500),
                 "Update Wizard started succefully\nUpdate Wizard terminated with error:259\n", 1, 4},
        ToolCase{"FirstQueryFails", tool_script(0, 500, 1),
                 "Update Wizard started succefully\nGetExitCode failed !!\n", 1, 1},
        ToolCase{"QueryFailsWhileRunning", tool_script(0, 5000, 2),
                 "Update Wizard started succefully\nGetExitCode failed !!\n", 1, 2},
        ToolCase{"QueryHandleNotOpened", tool_script(0, 500, 0, 0),
                 "Update Wizard started succefully\nGetExitCode failed !!\n", 1, 1},
        ToolCase{"StartFails", tool_script(0, 500, 0, 1, 0), "Failed to start update Wizard\n", 1, 0}),
    [](const ::testing::TestParamInfo<ToolCase>& info) { return std::string(info.param.name); });

TEST_F(UpdateTest, FirstExitCodeQueryComesOneSecondAfterLaunch)
{
    set_tool(0, 10);  // ends long before the first query
    ASSERT_EQ(run().returned, 1);
    const auto starts = fake_calls_of(FAKE_PROCESS_START);
    const auto queries = fake_calls_of(FAKE_PROCESS_EXIT_CODE);
    ASSERT_EQ(starts.size(), 1u);
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(queries[0].at_ms, starts[0].at_ms + TOOL_POLL_INTERVAL_MS);
}

TEST_F(UpdateTest, RunningToolIsPolledOncePerSecondOnTheQueryHandle)
{
    set_tool(0, 3500);
    ASSERT_EQ(run().returned, 1);
    const std::uint64_t start_ms = fake_process_start_ms();
    const auto queries = fake_calls_of(FAKE_PROCESS_EXIT_CODE);
    const auto opens = fake_calls_of(FAKE_PROCESS_OPEN);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].value, FAKE_PROCESS_ID);
    ASSERT_EQ(queries.size(), 4u);
    for (std::size_t i = 0; i < queries.size(); ++i) {
        EXPECT_EQ(queries[i].at_ms, start_ms + 1000 * (i + 1));
        EXPECT_EQ(queries[i].handle, opens[0].result);
    }
    EXPECT_EQ(queries[3].value, 0u);
}

TEST_F(UpdateTest, RealExitCode259EndsThePollOnceTheToolHasEnded)
{
    set_tool(259, 2500);
    ASSERT_EQ(run().returned, 1);
    const std::uint64_t start_ms = fake_process_start_ms();
    const auto ended = fake_calls_of(FAKE_PROCESS_HAS_ENDED);
    ASSERT_EQ(ended.size(), 3u);  // asked after each 259: running, running, ended
    EXPECT_EQ(ended[2].result, 1);
    const auto queries = fake_calls_of(FAKE_PROCESS_EXIT_CODE);
    EXPECT_EQ(queries.back().at_ms, start_ms + 3000);
    EXPECT_EQ(profile_stub.after_calls[0].at_ms, start_ms + 3000);
}

// ---------------------------------------------------------------------------
// Recovery: no key wait, exit status 0, the tool never starts

TEST_F(UpdateTest, FailedPreUpdateProfileRecoversAndEnds)
{
    for (int after_result : {1, 0}) {
        SCOPED_TRACE(after_result);
        fake_reset();
        SetUp();
        profile_stub.before_result = 0;
        profile_stub.after_result = after_result;
        const RunEnd end = run();
        EXPECT_EQ(end.exited, 1);
        EXPECT_EQ(end.status, 0);
        EXPECT_EQ(fake_console_output(),
                  CONTACT_LINES + version_line(FAKE_ADAPTER_STANDARD_VERSION) +
                      "Pre-Update Configuration failed !\nTrying to recover..\n" +
                      (after_result ? "SUCCESS\n" : "FAILED\n"));
        ASSERT_EQ(profile_stub.after_calls.size(), 1u);
        EXPECT_EQ(profile_stub.after_calls[0].download_failed, 1);
        // Nothing was flashed: the chip gets no longer to link than before.
        EXPECT_EQ(profile_stub.after_calls[0].link_timeout_ms, BCSP_LINK_TIMEOUT_MS);
        EXPECT_EQ(fake_processes_started(), 0);
        EXPECT_TRUE(fake_calls_of(FAKE_CONSOLE_KEY_WAITING).empty());
        EXPECT_EQ(fake_folder_current(), "DFUWizard");
    }
}

// ---------------------------------------------------------------------------
// The caller's steps (the field tool): its backup before the first write, its
// say over each phase, no recovery without a link, stopping the tool.

struct StepsLog {
    std::vector<int> phases;
    int refuse_phase = 0;  // phase_begins answers 0 for this one
    int backup_result = 1;
    int stop_tool_at_poll = 0;  // tool_stop_requested answers 1 from this poll on (0: never)
    int polls = 0;
};

StepsLog* steps_log(void* context)
{
    return static_cast<StepsLog*>(context);
}

UpdateSteps steps_with(StepsLog* log, int recover_without_link = 1)
{
    UpdateSteps steps;
    steps.context = log;
    steps.phase_begins = [](void* context, int phase, const UpdateResult&) {
        steps_log(context)->phases.push_back(phase);
        return phase == steps_log(context)->refuse_phase ? 0 : 1;
    };
    steps.before_writes = [](void* context, const UpdateResult&) { return steps_log(context)->backup_result; };
    steps.tool_stop_requested = [](void* context) {
        StepsLog* log = steps_log(context);
        log->polls += 1;
        return log->stop_tool_at_poll != 0 && log->polls >= log->stop_tool_at_poll ? 1 : 0;
    };
    steps.recover_without_link = recover_without_link;
    return steps;
}

TEST_F(UpdateTest, TheCallersStepsDecideWhereTheUpdateStopsAndNothingAfterADownloadIsSkipped)
{
    constexpr int C = UPDATE_PHASE_CONTACT, P = UPDATE_PHASE_PREPARE, D = UPDATE_PHASE_DOWNLOAD,
                  R = UPDATE_PHASE_RESTORE, V = UPDATE_PHASE_RECOVER, E = UPDATE_PHASE_DONE;
    struct {
        const char* what;
        int refuse_phase;
        int backup_result;
        int open_result;
        int write_result;
        int recover_without_link;
        int end;
        std::vector<int> phases;
        std::size_t writes, closes, restores;
        int tool_started;
    } cases[] = {
        {"every step goes on", 0, 1, 1, 1, 1, UPDATE_END_COMPLETED, {C, P, D, R, E}, 1, 0, 1, 1},
        {"the backup fails: nothing written", 0, 0, 1, 1, 1, UPDATE_END_STOPPED, {C, P, E}, 0, 1, 0, 0},
        {"stopped before the preparation", P, 1, 1, 1, 1, UPDATE_END_STOPPED, {C, P, E}, 0, 0, 0, 0},
        {"stopped before the download", D, 1, 1, 1, 1, UPDATE_END_STOPPED, {C, P, D, E}, 1, 0, 0, 0},
        {"the restore cannot be refused", R, 1, 1, 1, 1, UPDATE_END_COMPLETED, {C, P, D, R, E}, 1, 0, 1, 1},
        {"no link, no recovery asked", 0, 1, 0, 1, 0, UPDATE_END_NO_LINK, {C, P, E}, 0, 0, 0, 0},
        {"no link, recovery", 0, 1, 0, 1, 1, UPDATE_END_RECOVERED, {C, P, V, E}, 0, 0, 1, 0},
        {"failed preparation, recovery refused", V, 1, 1, 0, 1, UPDATE_END_STOPPED, {C, P, V, E}, 1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_reset();
        SetUp();
        profile_stub.before_open_result = c.open_result;
        profile_stub.before_result = c.write_result;
        StepsLog log;
        log.refuse_phase = c.refuse_phase;
        log.backup_result = c.backup_result;
        const UpdateSteps steps = steps_with(&log, c.recover_without_link);
        const UpdateResult result = update_sequence(ADAPTER_PORT, &steps);
        EXPECT_EQ(result.end, c.end);
        EXPECT_EQ(log.phases, c.phases);
        EXPECT_EQ(profile_stub.before_write_calls.size(), c.writes);
        EXPECT_EQ(profile_stub.before_closes, static_cast<int>(c.closes));
        EXPECT_EQ(profile_stub.after_calls.size(), c.restores);
        EXPECT_EQ(fake_processes_started(), c.tool_started);
    }
}

// The caller may end a running tool: the next query reads the code a killed
// process reports, and the chip is restored as after a failed download.
TEST_F(UpdateTest, AToolEndedOnRequestCountsAsAFailedDownload)
{
    FakeProcessScript script = fake_process_default_script();
    script.run_time_ms = 60000;
    fake_process_script(&script);
    StepsLog log;
    log.stop_tool_at_poll = 3;
    const UpdateSteps steps = steps_with(&log);
    const UpdateResult result = update_sequence(ADAPTER_PORT, &steps);
    EXPECT_EQ(result.end, UPDATE_END_COMPLETED);
    EXPECT_EQ(result.download.stopped, 1);
    EXPECT_EQ(result.download_exit_code, static_cast<std::int32_t>(PROCESS_TERMINATED_EXIT_CODE));
    EXPECT_EQ(fake_calls_of(FAKE_PROCESS_TERMINATE).size(), 1u);
    ASSERT_EQ(profile_stub.after_calls.size(), 1u);
    EXPECT_EQ(profile_stub.after_calls[0].download_failed, 1);
    EXPECT_LT(fake_now_ms(), 10000u) << "the tool was not waited for to its own end";

    // Asked once the tool has ended by itself: nothing is stopped, its own code stands.
    fake_reset();
    SetUp();
    script.run_time_ms = 2500;
    fake_process_script(&script);
    StepsLog late;
    late.stop_tool_at_poll = 3;
    const UpdateSteps late_steps = steps_with(&late);
    const UpdateResult ended = update_sequence(ADAPTER_PORT, &late_steps);
    EXPECT_EQ(ended.download.stopped, 0);
    EXPECT_EQ(ended.download_exit_code, 0);
    EXPECT_TRUE(fake_calls_of(FAKE_PROCESS_TERMINATE).empty());
}

// ---------------------------------------------------------------------------
// The key wait

TEST_F(UpdateTest, KeyWaitSleepsBetweenTestsAndNeverSpins)
{
    fake_reset();
    fake_console_key_at(1000);
    expect_aborted(run());  // the abort path's wait starts at time 0
    EXPECT_GE(fake_now_ms(), 1000u);
    EXPECT_LT(fake_now_ms(), 1000u + KEY_POLL_INTERVAL_MS);
    EXPECT_LE(fake_console_key_tests(), 1000 / 10 + 1);
    EXPECT_GE(fake_console_key_tests(), 2);

    // Between the bracket calls: only key tests and sleeps of at most 10 ms.
    const auto& calls = fake_calls();
    const auto begin = std::find_if(calls.begin(), calls.end(),
                                    [](const FakeCall& c) { return c.kind == FAKE_CONSOLE_KEY_WAIT_BEGIN; });
    ASSERT_NE(begin, calls.end());
    auto it = begin + 1;
    for (; it != calls.end() && it->kind != FAKE_CONSOLE_KEY_WAIT_END; ++it) {
        ASSERT_TRUE(it->kind == FAKE_CONSOLE_KEY_WAITING || it->kind == FAKE_SLEEP) << fake_call_name(it->kind);
        if (it->kind == FAKE_SLEEP) {
            EXPECT_LE(it->value, KEY_POLL_INTERVAL_MS);
        }
    }
    ASSERT_NE(it, calls.end());
    EXPECT_EQ((it - 1)->kind, FAKE_CONSOLE_KEY_WAITING);
    EXPECT_EQ((it - 1)->result, 1);
}

TEST_F(UpdateTest, KeyAlreadyWaitingEndsTheWaitAtOnce)
{
    const RunEnd end = run();
    EXPECT_EQ(end.returned, 1);
    EXPECT_EQ(fake_console_key_tests(), 1);
    const auto& calls = fake_calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].kind, FAKE_CONSOLE_KEY_WAIT_BEGIN);
    EXPECT_EQ(calls[calls.size() - 2].kind, FAKE_CONSOLE_KEY_WAITING);
    EXPECT_EQ(calls[calls.size() - 1].kind, FAKE_CONSOLE_KEY_WAIT_END);
}

}  // namespace
