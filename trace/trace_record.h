// Recording a wire trace: every serial call the program makes, as it
// returns, one JSON object a line, each line flushed as it is written so that
// a run that dies still leaves its trace. The bytes read and written are
// decoded as they go (trace_decode.h).
//
// The file: a header object first,
//   {"event":"header","format":1,"program":...,"command":...,"port":...,
//    "platform":...,"start":"2026-12-08T14:02:11Z"}
// then one object per call, each with "t_us" (microseconds since the start,
// monotonic) and "event": open, setup, get_state, settings (set_state),
// timeouts, purge, modem (escape), read, write, close. A call that failed
// carries "ok": false and "error" (the system's error code). read and write
// carry "bytes" (hex), "asked" (the count asked for), "phase" and, when the
// bytes completed units, "decoded" (a list of units). A read that returned at
// once with nothing (the BCSP driver's idle poll) is not recorded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "platform/serial_observer.h"
#include "trace/trace_decode.h"

struct TraceHeader {
    std::string program;  // "marrowlink 1.1.0"
    std::string command;  // "probe --chip"
    std::string port;     // the port's name as the user gave it
};

inline constexpr int TRACE_FORMAT = 1;

class TraceRecorder {
public:
    // Creates (or truncates) path and writes the header; throws
    // std::runtime_error with the reason when the file cannot be written.
    TraceRecorder(const std::string& path, const TraceHeader& header);
    ~TraceRecorder();
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    // Observes the serial calls from now until stop() (or the end).
    void start();
    void stop();
    // Records one call (what the observer does; tests call it directly).
    void record(const SerialCallRecord& call);

    // Stops observing, writes what a cut unit left undecoded and closes the
    // file (the destructor does it when nobody did).
    void close();

    // Empty while every line reached the file; otherwise why the trace is cut
    // short. A write that fails does not stop the run.
    const std::string& problem() const { return problem_; }
    // The whole lines in the file, the header included.
    std::uint64_t lines_written() const { return lines_written_; }

private:
    static void observe(const SerialCallRecord* call, void* context);
    void write_line(const TraceJson& object);
    void note_write_failure();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string problem_;
    std::uint64_t lines_written_ = 0;
    std::uint64_t start_us_ = 0;
    bool observing_ = false;
    TraceDecoder decoder_;
    std::map<PlatformHandle, bool> reads_at_once_;  // per port: time-outs say "return at once"
};

// "2026-12-08T14:02:11Z" for now.
std::string trace_utc_now();
