// marrowlink-sim --from-trace FILE: the adapter and chip configured as the
// adapter of a wire trace behaved (recorded by `marrowlink --trace`), so that
// the same command against the simulator ends as the traced run ended.
//
// Taken from the trace: the Plug-and-Play reply (revision bytes, identifier,
// extra bytes, or where it was cut or that it never came), the setup handshake
// answer, the reply frames before the version frame (how many, an oversized
// one), the version text and its end marker (or where the version frame was
// cut, or that it never came), the chip's build id, the store words it
// reported, the error status it answered for a key or a varid, and where it
// went silent: a chip that never linked, one that did not come back after a
// reset, one that stopped acknowledging at a packet, one that acknowledged
// but stopped answering.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "sim/adapter.h"
#include "sim/chip.h"

struct SimTraceSetup {
    // Words the chip reported for a key; none: it reported that it does not hold the key.
    std::vector<std::pair<std::uint16_t, std::vector<std::uint16_t>>> store_keys;
    std::vector<std::string> taken;  // what was configured, one phrase each, for the log
    std::string note;                // a cut last line, or ""
};

// 1: configured (every field not seen in the trace keeps its value).
// 0: the trace cannot be read or used; *why says why, with the line number.
int sim_from_trace(const char* path, AdapterConfig* adapter, ChipConfig* chip, SimTraceSetup* setup,
                   std::string* why);

// The same from a trace in a stream; name is what *why calls it.
int sim_from_trace_stream(std::istream& input, const std::string& name, AdapterConfig* adapter, ChipConfig* chip,
                          SimTraceSetup* setup, std::string* why);

// Writes the reported store words into the store file (created with the
// defaults when missing). 0 with *why on failure.
int sim_trace_seed_store(const SimTraceSetup& setup, const char* store_path, std::string* why);
