// Firmware identification: the adapter's 4-byte commands and the reply frames
// that carry its firmware version, on the open command port.
#pragma once

#include <cstdint>
#include <span>

#include "platform/deadline.h"

// The firmware variant: 1 for the CI firmware, 0 for the standard firmware.
// Set only by identify_firmware; read by the update sequence (image choice)
// and the chip configuration profiles (key values, device name).
extern int ci_firmware;

// Command codes, sent as 01 <code> 00 00.
inline constexpr std::uint8_t CMD_IDENTIFY = 0xF7;
inline constexpr std::uint8_t CMD_UNRECOGNISED = 0xF6;
inline constexpr std::uint8_t CMD_IDENTIFIED = 0xF8;
inline constexpr int ADAPTER_COMMAND_SIZE = 4;

// The reply frame whose data is the firmware version text.
inline constexpr std::uint16_t REPLY_CODE_VERSION = 1501;
inline constexpr int REPLY_DATA_SIZE = 256;

inline constexpr char CI_FIRMWARE_PREFIX[] = "Veltrane_Tools Marrowlink CI Firmware";
inline constexpr char STANDARD_FIRMWARE_PREFIX[] = "Veltrane_Tools Marrowlink Firmware";

// How long identify_firmware waits for the version frame. A live adapter
// answers the identify command within a fraction of a second (a dozen full
// frames take about 0.3 s at 115200 baud); a silent one makes every byte read
// last 1.5 s, so without a bound the wait would never end. A time, not a
// frame count, because one frame with a garbled length of up to 65535 silent
// bytes would otherwise take a day. The check comes before each byte read, so
// the wait ends at most one read time-out (1.5 s) after this.
inline constexpr std::uint32_t IDENTIFY_VERSION_WAIT_MS = 10000;

// What one identify_firmware saw, for a caller that shows it to people (the
// field tool): how many reply frames came, whether the version frame was
// among them, and its text. Filled as identify_firmware goes; it changes
// nothing identify_firmware does.
struct IdentifyReport {
    int frames_read;
    int version_frame_seen;
    char version_text[REPLY_DATA_SIZE];  // zero-terminated, as printed in the version line
};

// Writes the 4-byte command frame in one write; the count written is not checked.
void send_adapter_command(std::uint8_t code);

// Reads one whole reply frame byte by byte: sets *code and leaves the first
// REPLY_DATA_SIZE data bytes in data (zero-filled beyond the frame's data).
// Data past REPLY_DATA_SIZE is read and dropped, so the next frame starts in
// step. Returns 1 when the whole frame was read, 0 when the deadline passed
// first (the partial frame is not reported).
int read_reply_frame(std::span<std::uint8_t, REPLY_DATA_SIZE> data, Deadline deadline, std::uint16_t* code);

// Reads reply frames until the version frame, prints the version line and sets
// ci_firmware from the text's beginning. 1: a known variant. 0: neither prefix
// (after the version line), or no version frame within IDENTIFY_VERSION_WAIT_MS
// (no version line). ci_firmware is unchanged on 0. report (may be null) is
// filled from scratch.
int identify_firmware(IdentifyReport* report = nullptr);
