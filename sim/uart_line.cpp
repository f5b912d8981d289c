// Bit-level model of one direction of a serial line; see uart_line.h.
//
// Time is counted in units of 1 / (2 * tx_baud * rx_baud) seconds, so that a
// sender's bit (2 * rx_baud units) and half a receiver's bit (tx_baud units)
// are both whole numbers and no rounding creeps in over a long burst.
#include "sim/uart_line.h"

#include <cstdio>

namespace {

int uart_has_parity(const UartSettings* s) { return s->parity != 'N'; }

int uart_frame_bits(const UartSettings* s) { return 1 + s->data_bits + uart_has_parity(s) + s->stop_bits; }

int uart_parity_bit(char parity, std::uint8_t value, int data_bits) {
    int ones = 0;
    for (int i = 0; i < data_bits; i++) ones += (value >> i) & 1;
    switch (parity) {
    case 'E': return ones & 1;
    case 'O': return (ones & 1) ^ 1;
    case 'M': return 1;
    default: return 0;  // 'S'
    }
}

// The sender's waveform: bit `index` of the burst (negative or past its end: idle, high).
struct UartWave {
    const UartSettings* tx;
    const std::uint8_t* bytes;
    std::uint64_t bit_count;
    int frame_bits;
};

int uart_wave_bit(const UartWave* w, std::int64_t index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= w->bit_count) return 1;
    const std::uint64_t frame = static_cast<std::uint64_t>(index) / w->frame_bits;
    const int pos = static_cast<int>(static_cast<std::uint64_t>(index) % w->frame_bits);
    const std::uint8_t byte = w->bytes[frame];
    const int d = w->tx->data_bits;
    if (pos == 0) return 0;
    if (pos <= d) return (byte >> (pos - 1)) & 1;
    if (uart_has_parity(w->tx) && pos == d + 1) return uart_parity_bit(w->tx->parity, byte, d);
    return 1;
}

int uart_valid(const UartSettings* s) {
    return s->baud != 0 && s->data_bits >= 5 && s->data_bits <= 8 && (s->stop_bits == 1 || s->stop_bits == 2) &&
           (s->parity == 'N' || s->parity == 'E' || s->parity == 'O' || s->parity == 'M' || s->parity == 'S');
}

}  // namespace

std::uint32_t uart_char_time_us(const UartSettings* settings) {
    if (settings->baud == 0) return 0;
    const std::uint64_t bits = static_cast<std::uint64_t>(uart_frame_bits(settings));
    return static_cast<std::uint32_t>((bits * 1000000u + settings->baud - 1) / settings->baud);
}

int uart_settings_match(const UartSettings* a, const UartSettings* b) {
    return a->baud == b->baud && a->data_bits == b->data_bits && a->parity == b->parity && a->stop_bits == b->stop_bits;
}

std::size_t uart_line_convey(const UartSettings* tx, const UartSettings* rx, const std::uint8_t* bytes,
                             std::size_t count, UartChar* out, std::size_t out_size) {
    if (!uart_valid(tx) || !uart_valid(rx)) return 0;  // a hung-up or nonsense line carries nothing
    std::size_t produced = 0;
    if (uart_settings_match(tx, rx)) {
        const std::uint8_t mask = static_cast<std::uint8_t>((1u << tx->data_bits) - 1);
        for (std::size_t i = 0; i < count && produced < out_size; i++) out[produced++] = {static_cast<std::uint8_t>(bytes[i] & mask), 0};
        return produced;
    }

    const UartWave wave = {tx, bytes, static_cast<std::uint64_t>(count) * uart_frame_bits(tx), uart_frame_bits(tx)};
    const std::uint64_t tx_bit = 2ull * rx->baud;  // one sender bit, in time units
    const std::uint64_t rx_half = tx->baud;        // half a receiver bit
    auto line_at = [&](std::uint64_t t) { return uart_wave_bit(&wave, static_cast<std::int64_t>(t / tx_bit)); };

    const int d = rx->data_bits;
    const int parity_index = uart_has_parity(rx) ? d + 1 : -1;
    const int stop_index = d + 1 + uart_has_parity(rx);
    std::uint64_t ready = 0;
    while (produced < out_size) {
        // The next high-to-low edge at or after the moment the receiver is ready.
        std::uint64_t index = (ready + tx_bit - 1) / tx_bit;
        while (index < wave.bit_count &&
               !(uart_wave_bit(&wave, static_cast<std::int64_t>(index)) == 0 &&
                 uart_wave_bit(&wave, static_cast<std::int64_t>(index) - 1) == 1))
            index++;
        if (index >= wave.bit_count) break;  // idle from here on
        const std::uint64_t edge = index * tx_bit;
        auto sample = [&](int k) { return line_at(edge + (2ull * k + 1) * rx_half); };

        if (sample(0) != 0) {  // a glitch shorter than half a bit: not a start bit
            ready = edge + rx_half;
            continue;
        }
        std::uint8_t value = 0;
        for (int k = 1; k <= d; k++) value = static_cast<std::uint8_t>(value | (sample(k) << (k - 1)));
        std::uint8_t errors = 0;
        if (parity_index > 0 && rx->check_parity && sample(parity_index) != uart_parity_bit(rx->parity, value, d))
            errors |= UART_ERROR_PARITY;
        if (sample(stop_index) == 0) errors |= UART_ERROR_FRAMING;
        out[produced++] = {value, errors};
        ready = edge + (2ull * stop_index + 1) * rx_half;  // ready again from the middle of the stop bit
    }
    return produced;
}

std::size_t uart_line_receive(const UartSettings* tx, const UartSettings* rx, UartErrorPolicy policy,
                              const std::uint8_t* bytes, std::size_t count, std::uint8_t* out, std::size_t out_size) {
    // Bursts are conveyed in pieces so that the character buffer stays fixed;
    // each piece starts from an idle line, as it does when a sender pauses.
    constexpr std::size_t PIECE_BYTES = 64;
    UartChar chars[PIECE_BYTES * UART_MAX_CHARS_PER_BYTE];
    std::size_t produced = 0;
    for (std::size_t done = 0; done < count && produced < out_size;) {
        const std::size_t piece = count - done < PIECE_BYTES ? count - done : PIECE_BYTES;
        const std::size_t n = uart_line_convey(tx, rx, bytes + done, piece, chars, sizeof chars / sizeof chars[0]);
        for (std::size_t i = 0; i < n && produced < out_size; i++) {
            if (chars[i].errors == 0)
                out[produced++] = chars[i].value;
            else if (policy == UART_ERRORS_AS_NUL)
                out[produced++] = 0;
        }
        done += piece;
    }
    return produced;
}

void uart_settings_text(const UartSettings* settings, char* text, std::size_t text_size) {
    std::snprintf(text, text_size, "%lu %u%c%u", static_cast<unsigned long>(settings->baud),
                  static_cast<unsigned>(settings->data_bits), settings->parity, static_cast<unsigned>(settings->stop_bits));
}
