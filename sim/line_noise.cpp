#include "sim/line_noise.h"

namespace {

std::uint64_t line_noise_next(LineNoise* noise)
{
    noise->state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = noise->state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A uniform draw in [0, 1) compared with the rate; a rate of 0 never fires
// and costs no draw, so enabling one fault does not shift another's sequence.
int line_noise_roll(LineNoise* noise, double rate)
{
    if (rate <= 0.0) {
        return 0;
    }
    double draw = static_cast<double>(line_noise_next(noise) >> 11) * 0x1.0p-53;
    return draw < rate ? 1 : 0;
}

}  // namespace

void line_noise_init(LineNoise* noise, unsigned seed, double corrupt_rate, double drop_rate,
                     double repeat_rate)
{
    noise->corrupt_rate = corrupt_rate;
    noise->drop_rate = drop_rate;
    noise->repeat_rate = repeat_rate;
    noise->state = seed;
}

int line_noise_active(const LineNoise* noise)
{
    return noise->corrupt_rate > 0.0 || noise->drop_rate > 0.0 || noise->repeat_rate > 0.0;
}

int line_noise_apply(LineNoise* noise, std::uint8_t byte, std::uint8_t out[2], int* effect)
{
    *effect = LINE_NOISE_NONE;
    if (line_noise_roll(noise, noise->drop_rate)) {
        *effect = LINE_NOISE_DROPPED;
        return 0;
    }
    if (line_noise_roll(noise, noise->corrupt_rate)) {
        byte = static_cast<std::uint8_t>(byte ^ (1u << (line_noise_next(noise) % 8)));
        *effect |= LINE_NOISE_CORRUPTED;
    }
    out[0] = byte;
    if (line_noise_roll(noise, noise->repeat_rate)) {
        out[1] = byte;
        *effect |= LINE_NOISE_REPEATED;
        return 2;
    }
    return 1;
}

std::uint8_t line_noise_random_byte(LineNoise* noise)
{
    return static_cast<std::uint8_t>(line_noise_next(noise) >> 56);
}
