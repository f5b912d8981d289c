// Recording a wire trace of the updater's layers on the fake platform: the
// calls and bytes are the same with and without it, the trace says what the
// adapter and the chip said, as the chip model itself logged it.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bccmd/bccmd.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "fake_adapter.h"
#include "fake_chip.h"
#include "fake_fixture.h"
#include "platform/serial_observer.h"
#include "trace_test_support.h"

namespace {

class TraceRecordTest : public TraceFakeTest {
protected:

    // The decoded units of the trace, each with the direction it went.
    static std::vector<TraceJson> units(const TraceFile& trace)
    {
        std::vector<TraceJson> all;
        for (const TraceEvent& event : trace.events) {
            const std::string name = event.object["event"];
            for (TraceJson unit : event.object.value("decoded", TraceJson::array())) {
                if (!unit.contains("dir")) {
                    unit["dir"] = name == "read" ? "in" : "out";
                }
                all.push_back(unit);
            }
        }
        return all;
    }
};

TEST_F(TraceRecordTest, CallsAndBytesAreTheSameWithAndWithoutATrace)
{
    ASSERT_EQ(trace_test_contact(trace_test_adapter()), 1);
    start_chip();
    trace_test_bcsp_session();
    const std::string calls_untraced = fake_calls_text();
    const std::vector<std::uint8_t> wire_untraced = fake_serial_written();
    fake_chip_stop(&chip);

    fake_reset();
    bccmd_seqno = 0;
    bccmd_given_up_clear();
    {
        TraceTestRecording recording(path);
        ASSERT_EQ(trace_test_contact(trace_test_adapter()), 1);
        start_chip();
        trace_test_bcsp_session();
    }
    EXPECT_EQ(fake_calls_text(), calls_untraced);
    EXPECT_EQ(fake_serial_written(), wire_untraced);
    EXPECT_GT(trace_test_read(path).events.size(), 50u);
}

TEST_F(TraceRecordTest, ContactTraceSaysWhatTheAdapterSaid)
{
    {
        TraceTestRecording recording(path);
        ASSERT_EQ(trace_test_contact(trace_test_adapter()), 1);
    }
    const TraceFile trace = trace_test_read(path);
    EXPECT_EQ(trace.header["program"], "marrowlink test");
    EXPECT_EQ(trace.header["command"], "probe --chip");
    EXPECT_EQ(trace.header["port"], "COM1");
    EXPECT_EQ(trace.header["platform"], "linux");
    EXPECT_EQ(trace.header["format"], 1);
    ASSERT_FALSE(trace.events.empty());
    EXPECT_EQ(trace.events.front().object["event"], "open");
    EXPECT_EQ(trace.events.front().object["port"], "\\\\.\\COM1");
    EXPECT_EQ(trace.events.back().object["event"], "close");

    std::vector<std::string> phases;
    std::string modem;
    for (const TraceEvent& event : trace.events) {
        if (event.object["event"] == "settings") {
            phases.push_back(event.object["phase"]);
            EXPECT_EQ(event.object["data_bits"], 8);
            EXPECT_EQ(event.object["parity"], "none");
            EXPECT_EQ(event.object["dtr"], "disable");
        }
        if (event.object["event"] == "modem") {
            modem += std::string(event.object["line"]) + std::to_string(event.object["level"].get<int>()) + " ";
        }
    }
    EXPECT_EQ(phases, (std::vector<std::string>{"pnp", "command"}));
    EXPECT_EQ(modem, "rts0 dtr0 rts0 dtr1 dtr0 dtr1 rts1 ");

    std::vector<std::string> said;
    for (const TraceJson& unit : units(trace)) {
        said.push_back(std::string(unit["dir"]) + " " + std::string(unit["kind"]) + " " +
                       unit.value("pnp_id", unit.value("name", unit.value("variant", unit.value("text", "")))));
    }
    EXPECT_EQ(said, (std::vector<std::string>{"in pnp_reply QXZ4702", "out handshake_request LUMA PORT SETUP",
                                              "in handshake_answer LUMA PORT READY", "out command identify",
                                              "in reply_frame standard", "out command identified"}));
}

TEST_F(TraceRecordTest, BccmdInTheTraceIsWhatTheChipLogged)
{
    start_chip();
    {
        TraceTestRecording recording(path);
        trace_test_bcsp_session();
    }
    const TraceFile trace = trace_test_read(path);
    std::vector<std::string> traced;
    std::vector<std::string> link;
    for (const TraceJson& unit : units(trace)) {
        if (unit["kind"] != "bcsp" || unit["check"] != "ok") {
            continue;
        }
        if (unit.contains("le")) {
            link.push_back(std::string(unit["dir"]) + " " + std::string(unit["le"]));
        }
        if (unit.contains("bccmd") && !unit.value("retransmission", false)) {
            const TraceJson& m = unit["bccmd"];
            traced.push_back(std::string(unit["dir"] == "out" ? "rx" : "tx") + " seqno " + std::to_string(int(m["seqno"])) +
                             " status " + m["status"].dump());
        }
    }
    std::vector<std::string> logged;
    for (const std::string& line : fake_chip_events(&chip, "\"ev\":\"bccmd\"")) {
        const TraceJson event = TraceJson::parse(line);
        logged.push_back(std::string(event["dir"]) + " seqno " + std::to_string(int(event["seqno"])) + " status " +
                         (event["status"] == 0 ? std::string("\"OK\"") : event["status"].dump()));
    }
    EXPECT_EQ(traced, logged);
    EXPECT_EQ(traced.size(), 7u);  // build id, write and read asked and answered, the reset asked
    // Link establishment, each direction in its order, as the chip logged its frames.
    std::vector<std::string> chip_link;
    for (const char* dir : {"rx", "tx"}) {
        for (const std::string& line : fake_chip_events(&chip, "\"msg\"")) {
            const TraceJson event = TraceJson::parse(line);
            if (event["ev"] == dir && !event.value("retry", 0)) {
                chip_link.push_back(std::string(dir == std::string("rx") ? "out " : "in ") + std::string(event["msg"]));
            }
        }
    }
    std::vector<std::string> traced_link;
    for (const char* dir : {"out ", "in "}) {
        for (const std::string& message : link) {
            if (message.starts_with(dir)) {
                traced_link.push_back(message);
            }
        }
    }
    EXPECT_EQ(traced_link, chip_link);
    EXPECT_GE(traced_link.size(), 8u);
    // The driver's idle polls read nothing at once: they are not in the trace.
    int empty_reads = 0;
    for (const TraceEvent& event : trace.events) {
        empty_reads += event.object["event"] == "read" && event.object["bytes"] == "";
    }
    EXPECT_EQ(empty_reads, 0);
    int empty_polls = 0;
    for (const FakeCall& call : fake_calls_of(FAKE_SERIAL_READ)) {
        empty_polls += call.bytes.empty();
    }
    EXPECT_GT(empty_polls, 0);
}

// An observer that clobbers the error code, as a file write may.
void clobbering_observer(const SerialCallRecord* record, void* context)
{
    static_cast<std::vector<SerialCallRecord>*>(context)->push_back(*record);
    fake_set_last_error(0);
}

TEST_F(TraceRecordTest, TheCallersErrorCodeSurvivesTheObserver)
{
    std::vector<SerialCallRecord> seen;
    serial_observer_set(clobbering_observer, &seen);
    fake_fail_call(FAKE_SERIAL_READ, 1, 1117);
    const PlatformHandle port = serial_open("\\\\.\\COM1");
    std::uint8_t byte = 0;
    std::uint32_t got = 0;
    EXPECT_EQ(serial_read(port, &byte, 1, &got), 0);
    EXPECT_EQ(platform_last_error(), 1117u);
    EXPECT_EQ(serial_close(port), 1);
    serial_observer_set(nullptr, nullptr);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1].call, SERIAL_CALL_READ);
    EXPECT_EQ(seen[1].error, 1117u);
    EXPECT_EQ(seen[2].call, SERIAL_CALL_CLOSE);
    EXPECT_LE(seen[0].time_us, seen[2].time_us);
}

TEST_F(TraceRecordTest, AFailedCallIsRecordedWithItsError)
{
    fake_fail_call(FAKE_SERIAL_SET_STATE, 1, 87);
    {
        TraceTestRecording recording(path);
        EXPECT_EQ(command_port_open(1), 0);
    }
    const TraceFile trace = trace_test_read(path);
    bool seen = false;
    for (const TraceEvent& event : trace.events) {
        if (event.object["event"] == "settings") {
            EXPECT_EQ(event.object["ok"], false);
            EXPECT_EQ(event.object["error"], 87);
            seen = true;
        }
    }
    EXPECT_TRUE(seen);
}

// An argument that is not UTF-8 (an accented file name in the system's code
// page on Windows) goes into the header with replacement characters; the
// recorder used to throw from the JSON library and end the tool by abort.
TEST(TraceRecorder, AHeaderWithNonUtf8TextIsWrittenWithReplacementCharacters)
{
    const std::string path = ::testing::TempDir() + "trace_record_non_utf8.jsonl";
    {
        TraceRecorder recorder(path, TraceHeader{"marrowlink test", "store backup Caf\xe9.txt", "COM\xff"});
        recorder.close();
        EXPECT_EQ(recorder.problem(), "");
    }
    const TraceFile trace = trace_read_file(path);
    EXPECT_EQ(trace.header["command"], "store backup Caf\xef\xbf\xbd.txt");
    EXPECT_EQ(trace.header["port"], "COM\xef\xbf\xbd");
    std::remove(path.c_str());
}

TEST(TraceRecorder, AFileThatCannotBeWrittenIsReported)
{
    try {
        TraceRecorder recorder("/nonexistent-folder/trace.jsonl", TraceHeader{});
        FAIL() << "no failure";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find("cannot write /nonexistent-folder/trace.jsonl"), std::string::npos);
    }
}

}  // namespace
