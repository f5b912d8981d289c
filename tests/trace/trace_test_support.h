// Runs of the updater's layers on the fake platform for the wire trace tests:
// the command-port contact with a scripted adapter and a BCSP session with the
// simulator's chip model, recorded or not.
#pragma once

#include <memory>
#include <string>

#include "fake_adapter.h"
#include "fake_chip.h"
#include "fake_fixture.h"
#include "trace/trace_read.h"
#include "trace/trace_record.h"

// A fresh file name in the test's temporary folder.
std::string trace_test_path(const std::string& name);

// Wake-up, Plug-and-Play reply, handshake, identify, identified (or
// unrecognised), close, with the scripted adapter. 1 when the contact passed.
int trace_test_contact(const FakeAdapter& script);
// A working adapter of the standard firmware.
FakeAdapter trace_test_adapter();

// Link establishment, build id, a key written and read back, cold reset.
void trace_test_bcsp_session();

// Records what runs in between into path.
class TraceTestRecording {
public:
    explicit TraceTestRecording(const std::string& path)
        : recorder_(std::make_unique<TraceRecorder>(path, TraceHeader{"marrowlink test", "probe --chip", "COM1"}))
    {
        recorder_->start();
    }

private:
    std::unique_ptr<TraceRecorder> recorder_;
};

// A test on the fake platform with the layers' state afresh, a chip model to
// start, and a trace file removed afterwards.
class TraceFakeTest : public FakePlatformTest {
protected:
    FakeChip chip;
    std::string path = trace_test_path("test.jsonl");

    void SetUp() override;
    void TearDown() override;
    // Starts the chip model (build id 4835 unless a test's config says otherwise).
    void start_chip(const ChipConfig* config = nullptr);
};

// The whole trace; fails the test when it does not read whole.
TraceFile trace_test_read(const std::string& path);
