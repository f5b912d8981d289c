// The simulator's chip model (sim/chip.h) plugged into the fake serial port:
// what the chip sends reaches the updater's reads at once, and the chip's own
// timers run on the virtual clock. Its persistent store lives in a temporary
// file and its event log in a temporary stream, both removed by fake_chip_stop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/chip.h"

struct FakeChip {
    Chip* chip = nullptr;
    std::string store_path;
    std::FILE* events = nullptr;
};

// A configuration with a fresh store path (no file yet: the chip creates it
// with its defaults), the event log and the given build id; no faults.
ChipConfig fake_chip_config(FakeChip* fake, std::uint16_t build_id);
// Creates the chip, attaches it to the fake serial port and powers it on.
// 1 on success; 0 with the chip's reason in *error.
int fake_chip_start(FakeChip* fake, const ChipConfig& config, std::string* error);
// Detaches and destroys the chip (if any), removes its store, closes its log.
void fake_chip_stop(FakeChip* fake);
// The event-log lines that contain needle, in order.
std::vector<std::string> fake_chip_events(FakeChip* fake, const char* needle);
