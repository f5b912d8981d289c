// The simulated Bluetooth chip behind the adapter: its BCSP link (written on
// its own, not from the updater's engine, so that the two check each other),
// its BCCMD handler and its persistent store.
//
// The model is pure: bytes in, bytes out, with the time passed in by the
// caller. The simulator's main loop feeds it from the pseudo-terminal; unit
// tests feed it from the fake platform's serial port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct ChipConfig {
    const char* store_path;      // persistent store file; created with defaults when missing
    std::uint16_t build_id;      // answered to the build-id get request
    std::FILE* log;              // readable log of every exchange, or null
    std::FILE* event_log;        // machine-readable log (one JSON object per line), or null
    // Faults (0 / -1 = off); see chip.cpp for the exact meaning of each.
    int error_status_key;        // answer BCCMD PS requests for this key with a non-zero status
    int error_status_varid;      // answer requests for this varid with a non-zero status
    int silent_after_packets;    // stop answering anything after this many received packets
    int no_ack;                  // never acknowledge reliable packets
    int no_link;                 // never take part in link establishment
    int reset_after_packets;     // restart (peer reset) after this many received packets
    double corrupt_rate;         // per byte sent: probability of flipping bits
    double drop_rate;            // per byte sent: probability of dropping it
    double repeat_rate;          // per byte sent: probability of sending it twice
    unsigned seed;               // random seed for the byte faults
};

struct Chip;

Chip* chip_create(const ChipConfig* config);
void chip_destroy(Chip* chip);

// The chip starts (or restarts) its BCSP link: link establishment begins.
void chip_power_on(Chip* chip, std::uint64_t now_ms);
// One byte arrived on the chip's UART.
void chip_receive_byte(Chip* chip, std::uint8_t byte, std::uint64_t now_ms);
// The next byte the chip sends at now_ms, if any: 1 and *byte set, else 0.
int chip_transmit_byte(Chip* chip, std::uint64_t now_ms, std::uint8_t* byte);
// The time at which the chip next has something to do (a retransmission, a
// restart); UINT64_MAX when it only waits for bytes.
std::uint64_t chip_next_event_ms(const Chip* chip);
