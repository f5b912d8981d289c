// One direction of the serial line in time; see line_pacer.h.
#include "sim/line_pacer.h"

void line_pacer_reset(LinePacer* pacer) {
    pacer->head = 0;
    pacer->count = 0;
    pacer->line_free_us = 0;
    pacer->dropped = 0;
}

std::uint64_t line_time_us(const UartSettings* settings, std::size_t characters) {
    if (settings->baud == 0) return 0;
    const std::uint64_t parity_bits = settings->parity != 'N' ? 1 : 0;
    const std::uint64_t frame_bits = 1 + settings->data_bits + parity_bits + settings->stop_bits;
    return (characters * frame_bits * 1000000u + settings->baud - 1) / settings->baud;
}

LineBurst line_pacer_send(LinePacer* pacer, const std::uint8_t* bytes, std::size_t count, std::uint64_t duration_us,
                          std::uint64_t now_us) {
    const std::uint64_t start_us = pacer->line_free_us > now_us ? pacer->line_free_us : now_us;
    const LineBurst burst = {start_us, start_us + duration_us};
    pacer->line_free_us = burst.end_us;
    for (std::size_t i = 0; i < count; i++) {
        if (pacer->count == LINE_PACER_BYTES) {
            pacer->dropped += count - i;
            break;
        }
        const std::size_t slot = (pacer->head + pacer->count) % LINE_PACER_BYTES;
        pacer->bytes[slot] = bytes[i];
        pacer->arrival_us[slot] = start_us + duration_us * (i + 1) / count;
        pacer->count++;
    }
    return burst;
}

std::size_t line_pacer_take(LinePacer* pacer, std::uint64_t now_us, std::uint8_t* out, std::size_t out_size,
                            std::uint64_t* last_arrival_us) {
    std::size_t taken = 0;
    while (taken < out_size && pacer->count > 0 && pacer->arrival_us[pacer->head] <= now_us) {
        if (last_arrival_us) *last_arrival_us = pacer->arrival_us[pacer->head];
        out[taken++] = pacer->bytes[pacer->head];
        pacer->head = (pacer->head + 1) % LINE_PACER_BYTES;
        pacer->count--;
    }
    return taken;
}

std::uint64_t line_pacer_next_us(const LinePacer* pacer) {
    return pacer->count > 0 ? pacer->arrival_us[pacer->head] : LINE_PACER_NEVER_US;
}
