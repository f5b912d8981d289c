// libFuzzer harness for the BCCMD layer's handling of what the chip sends:
// the response check (any bytes, any expected varid, any word count) and the
// request builder fed a caller's payload with any count word.
//
// Not part of the default build. Build and run with clang:
//   mkdir -p build/fuzz
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. \
//       fuzz/bccmd_response_fuzz.cpp bccmd/bccmd.cpp -o build/fuzz/bccmd_response_fuzz
//   build/fuzz/bccmd_response_fuzz -max_total_time=60
//
// The BCSP port driver is replaced by the two calls below: the "received"
// packet is the fuzzer's bytes, cut to the caller's capacity as the driver
// guarantees, and a send checks its length against the message buffer. The
// platform's clock, read only to time-stamp a noted failure, stands still.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bccmd/bccmd.h"
#include "platform/platform.h"

namespace {

const std::uint8_t* fuzz_packet;
std::size_t fuzz_packet_size;

}  // namespace

std::uint64_t clock_ms()
{
    return 0;
}

int bcsp_port_send(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel)
{
    if (channel != BCCMD_CHANNEL || length > BCCMD_MESSAGE_BYTES || length < 2 * BCCMD_MIN_MESSAGE_WORDS ||
        payload == nullptr) {
        std::abort();
    }
    // Every byte handed over must be initialised and readable.
    volatile std::uint8_t sum = 0;
    for (std::uint16_t i = 0; i < length; ++i) {
        sum = static_cast<std::uint8_t>(sum + payload[i]);
    }
    return 1;
}

int bcsp_port_receive(std::uint8_t* buffer, std::size_t capacity, int channel)
{
    if (channel != BCCMD_CHANNEL || fuzz_packet_size == 0 || fuzz_packet_size > capacity) {
        return 0;  // the driver never passes up an empty or oversized packet
    }
    std::memcpy(buffer, fuzz_packet, fuzz_packet_size);
    return static_cast<int>(fuzz_packet_size);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    const std::uint16_t varid = static_cast<std::uint16_t>(data[0] | (data[1] << 8));
    const int count = data[2] % 72;  // past the 59 words a response can hold
    const std::uint8_t* rest = data + 3;
    const std::size_t rest_size = size - 3;

    // The response check on exactly the received bytes, with an out buffer of
    // exactly count words: ASan sees any read or write past either.
    std::vector<std::uint8_t> packet(rest, rest + rest_size);
    std::vector<std::uint16_t> out(static_cast<std::size_t>(count) + 1, 0xA5A5);
    std::uint16_t* out_words = count > 0 ? out.data() : nullptr;
    const std::uint16_t sentinel = out[static_cast<std::size_t>(count)];
    const int accepted = bccmd_check_response(packet.data(), packet.size(), varid, count, out_words);
    if (out[static_cast<std::size_t>(count)] != sentinel) {
        std::abort();  // wrote past count words
    }
    if (accepted && packet.size() < 10) {
        std::abort();  // accepted without a whole header
    }

    // The same through bccmd_get_response, the response arriving whole.
    fuzz_packet = packet.data();
    fuzz_packet_size = packet.size();
    bccmd_get_response(varid, count, out_words);

    // The request builder with a payload of exactly 3 + n words, n taken from
    // the input as the count word.
    if (rest_size >= 2) {
        const std::size_t n = rest[0] | ((rest[1] & 0x01) << 8);  // 0..511
        std::vector<std::uint16_t> payload(3 + n, 0x1111);
        payload[1] = static_cast<std::uint16_t>(n);
        for (std::size_t i = 0; i + 2 < rest_size && i < payload.size(); ++i) {
            if (i != 1) {
                payload[i] = static_cast<std::uint16_t>(rest[i + 2] * 257);
            }
        }
        bccmd_request(varid, data[2] & 1, payload.data());
        bccmd_request(VARID_PS, 1, payload.data());
    }
    return 0;
}
