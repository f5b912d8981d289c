// Chip commands: the operations the configuration profiles perform on the
// Bluetooth chip, each one BCCMD transaction on the open BCSP port: read and
// write one persistent-store key, read the firmware build id, cold reset, and
// the persistent-store defragmenting reset.
//
// Results: 1 success, 0 failure. Nothing here prints; the caller prints the
// line that names the failed step.
#pragma once

#include <cstdint>

#include "bccmd/bccmd.h"

// Value words of one persistent-store key: 1 to PS_KEY_MAX_VALUE_WORDS (the
// room in a BCCMD message). Other counts are refused before anything is
// allocated or sent.
inline constexpr int PS_KEY_MIN_VALUE_WORDS = 1;
inline constexpr int PS_KEY_MAX_VALUE_WORDS = BCCMD_MAX_DATA_WORDS;  // 56

// The payload of a VARID_PS request and of its response: key, the count n of
// value words, the store selector (always 0), the n value words. Each
// persistent-store operation allocates one on the heap and frees it before it
// returns, on every path.
struct PsKeyRequest {
    std::uint16_t key;
    std::uint16_t length;  // n
    std::uint16_t stores;
    std::uint16_t values[PS_KEY_MAX_VALUE_WORDS];
};
inline constexpr int PS_KEY_REQUEST_HEADER_WORDS = 3;  // key, length, stores

// Each takes an optional result (may be null): how its transaction went.

// Reads key's n value words into out. The request's value words are sent as 0.
int ps_read(std::uint16_t key, int n, std::uint16_t* out, BccmdResult* result = nullptr);
// Writes n value words to key; done when the chip answers with status 0.
int ps_write(std::uint16_t key, int n, const std::uint16_t* values, BccmdResult* result = nullptr);
// Reads the firmware build id into *out; *out is left alone on failure.
int read_build_id(std::uint16_t* out, BccmdResult* result = nullptr);
// Asks the chip to restart; done once the request is acknowledged (the chip
// sends no answer).
int cold_reset(BccmdResult* result = nullptr);
// Asks the chip to defragment its persistent store and restart; done once the
// request is acknowledged.
int ps_defrag_reset(BccmdResult* result = nullptr);
