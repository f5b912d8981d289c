// A noisy serial line for the simulated chip: each byte that passes may be
// dropped, have one bit flipped, or come out twice, at chosen rates.
//
// The noise is deterministic: the same seed and the same byte sequence give
// the same damage, so a failing test can be run again exactly. The generator
// is our own (splitmix64), not the standard library's distributions, whose
// results differ between library implementations.
#pragma once

#include <cstdint>

struct LineNoise {
    double corrupt_rate;  // probability that a byte gets one bit flipped
    double drop_rate;     // probability that a byte is lost
    double repeat_rate;   // probability that a byte comes out twice
    std::uint64_t state;  // generator state
};

// What happened to the last byte passed through the line.
enum LineNoiseEffect {
    LINE_NOISE_NONE = 0,
    LINE_NOISE_DROPPED = 1,
    LINE_NOISE_CORRUPTED = 2,
    LINE_NOISE_REPEATED = 4,
};

void line_noise_init(LineNoise* noise, unsigned seed, double corrupt_rate, double drop_rate,
                     double repeat_rate);
// 1 when any rate is above zero.
int line_noise_active(const LineNoise* noise);
// Passes one byte through the line. Returns how many bytes come out (0, 1 or
// 2), stored in out[0] and out[1]; *effect gets the LineNoiseEffect bits.
int line_noise_apply(LineNoise* noise, std::uint8_t byte, std::uint8_t out[2], int* effect);
// A byte drawn from the same generator: line garbage that no rate decides.
std::uint8_t line_noise_random_byte(LineNoise* noise);
