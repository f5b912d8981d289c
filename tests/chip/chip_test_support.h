// Test-side helpers for the simulated chip: a small BCSP encoder and decoder
// written here on their own (not shared with the chip or the updater), a
// BCCMD message builder, and a rig that runs one chip on a hand-advanced
// clock with its logs in temporary files.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "sim/chip.h"

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;

// The frame check sequence as transmitted: CRC-16/MCRF4XX, then bit-reversed.
// Computed here as the plain (MSB-first) CCITT CRC over bit-reversed bytes,
// which gives the same value by a different road.
std::uint16_t test_crc(const Bytes& bytes);

struct TestFrame {
    bool intact = false;
    std::string why;  // when not intact
    int reliable = 0;
    int seq = 0;
    int ack = 0;
    int crc_present = 0;
    int channel = 0;
    Bytes payload;
};

// Encodes one frame: header from the fields, payload, CRC when asked, SLIP.
Bytes test_frame(int reliable, int seq, int ack, int channel, const Bytes& payload, bool with_crc = true);
// Splits a byte stream at delimiters and decodes every non-empty frame.
std::vector<TestFrame> test_decode(const Bytes& stream);

// The link-establishment frames, byte for byte as they travel.
extern const Bytes FRAME_SYNC;
extern const Bytes FRAME_SYNC_RESP;
extern const Bytes FRAME_CONF;
extern const Bytes FRAME_CONF_RESP;
// Name of a decoded channel-1 frame ("SYNC", ...), or "" for anything else.
std::string test_le_name(const TestFrame& frame);

// A BCCMD message: type, length (header + payload words), seqno, varid,
// status 0, then the payload padded to at least four words.
Bytes test_bccmd(std::uint16_t type, std::uint16_t seqno, std::uint16_t varid, const Words& payload);
Words test_words(const Bytes& bytes);

class ChipRig : public ::testing::Test {
public:
    void SetUp() override;
    void TearDown() override;

    // Creates the chip with config (store path, logs filled in here).
    void create(ChipConfig config);
    void create() { create(ChipConfig{}); }
    // Power on and run a whole link establishment with hand-built frames.
    void establish();

    void feed(const Bytes& bytes);
    Bytes drain();  // everything the chip sends at now
    std::vector<TestFrame> exchange(const Bytes& bytes)
    {
        feed(bytes);
        return test_decode(drain());
    }
    // Reliable BCCMD request with the host's next seq, acknowledging what the
    // chip sent so far; returns the frames the chip sends back at once.
    std::vector<TestFrame> request(const Bytes& message);

    // The event-log lines whose "ev" is name.
    std::vector<std::string> events(const std::string& name);
    std::string store_text();

    std::string dir;
    std::string store_path;
    std::FILE* text_log = nullptr;
    std::FILE* event_log = nullptr;
    Chip* chip = nullptr;
    std::uint64_t now = 0;
    int host_seq = 0;    // seq of the host's next reliable packet
    int host_ack = 0;    // what the host acknowledges: the chip's next seq
};

// Value of a numeric field in one event line, or -1.
long long event_number(const std::string& line, const std::string& field);
// The first frame that carries a BCCMD message, if any (a copy: the frames
// are often a temporary).
std::optional<TestFrame> find_bccmd(const std::vector<TestFrame>& frames);
