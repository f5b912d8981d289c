// libFuzzer harness for the wire trace reader, for the timeline and picture
// made from what it read (marrowlink trace show and svg), and for what the
// simulator takes from a trace (marrowlink-sim --from-trace): trace files come
// from users, so any bytes must be read safely, and a refused trace must name
// its line and reason.
//
// Not part of the default build; scripts/fuzz builds it with clang
// (nlohmann-json is header-only):
//   scripts/fuzz 60 trace_read_fuzz
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

#include "fuzz/fuzz_check.h"
#include "sim/sim_from_trace.h"
#include "trace/trace_read.h"
#include "trace/trace_show.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::istringstream input(text);
    const TraceFile trace = trace_read(input);
    // Either read whole, or stopped at a named line after every event it kept.
    FUZZ_REQUIRE((trace.problem_line == 0) == trace.problem.empty());
    std::size_t previous_line = 1;  // the header's
    std::uint64_t previous_us = 0;
    for (const TraceEvent& event : trace.events) {
        FUZZ_REQUIRE(event.line > previous_line);
        FUZZ_REQUIRE(trace.problem_line == 0 || event.line < trace.problem_line);
        FUZZ_REQUIRE(event.object.is_object() && event.object["event"].is_string());
        const std::uint64_t t_us = event.object["t_us"].get<std::uint64_t>();
        FUZZ_REQUIRE(t_us >= previous_us);
        previous_line = event.line;
        previous_us = t_us;
    }
    FUZZ_REQUIRE(trace.events.empty() || trace.header.is_object());

    // Whatever was read can be shown and drawn.
    std::ostringstream shown;
    trace_show(trace, TraceShowOptions{}, shown);
    trace_show(trace, TraceShowOptions{true, ""}, shown);
    std::ostringstream drawn;
    trace_svg(trace, drawn);
    FUZZ_REQUIRE(drawn.str().ends_with("</svg>\n"));

    std::istringstream again(text);
    AdapterConfig adapter = adapter_default_config();
    ChipConfig chip = {};
    SimTraceSetup setup;
    std::string why;
    const int configured = sim_from_trace_stream(again, "trace", &adapter, &chip, &setup, &why);
    FUZZ_REQUIRE(configured == (trace.problem_line == 0 || trace.cut));
    FUZZ_REQUIRE(configured || why.find("trace line " + std::to_string(trace.problem_line) + ": ") == 0);
    FUZZ_REQUIRE(adapter.fault_param >= 0);
    FUZZ_REQUIRE(adapter.frames_before >= 0 && adapter.frames_before <= ADAPTER_MAX_FRAMES_BEFORE);
    FUZZ_REQUIRE(adapter.pnp_id != nullptr && std::strlen(adapter.pnp_id) <= 7);
    FUZZ_REQUIRE(adapter.handshake_answer == nullptr || std::strlen(adapter.handshake_answer) <= 15);
    FUZZ_REQUIRE(chip.silent_after_packets >= 0 && chip.no_answer_after_packets >= 0);
    return 0;
}
