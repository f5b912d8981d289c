// One direction of the serial line in time: bytes put on the line by a sender
// reach the other end only when they would have finished arriving over a real
// cable at the sender's rate (start bit, data bits, parity, stop bits per byte,
// back to back, one byte after the other).
//
// The simulator cannot slow down the updater's writes into the pseudo-terminal
// (they land there at once), nor does the pty pace what the simulator writes;
// with --pace-both it sends the bytes of both directions through a pacer each,
// so that a reply starts no earlier than on a real cable and the host sees the
// device's bytes at the line rate.
//
// Pure: the caller passes the time (microseconds on any monotonic clock).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/uart_line.h"

// Bytes that can be on their way at once in one direction: far more than the
// largest burst either side sends (the host's 4096-byte output queue).
inline constexpr std::size_t LINE_PACER_BYTES = 16384;
inline constexpr std::uint64_t LINE_PACER_NEVER_US = UINT64_MAX;

struct LinePacer {
    std::uint8_t bytes[LINE_PACER_BYTES];
    std::uint64_t arrival_us[LINE_PACER_BYTES];  // when each byte has fully arrived
    std::size_t head;                            // ring buffer: next byte to hand over
    std::size_t count;                           // bytes on their way
    std::uint64_t line_free_us;                  // when the sender's last character has left
    std::uint64_t dropped;                       // bytes refused because the pacer was full
};

// A burst put on the line: where it starts and ends on the line.
struct LineBurst {
    std::uint64_t start_us;  // the first character's start bit (now, or when the line is free)
    std::uint64_t end_us;    // the last character's stop bit
};

void line_pacer_reset(LinePacer* pacer);

// The time `characters` characters take at these settings, in microseconds,
// rounded up (exact over a whole burst, not rounded per character). 0 for a
// hung-up line.
std::uint64_t line_time_us(const UartSettings* settings, std::size_t characters);

// Puts a burst on the line at now_us: it starts when the line is free (at once
// when it is idle), lasts duration_us, and its `count` received bytes are
// spread evenly over it, the last arriving at its end. duration_us is the time
// of the characters the sender sent; count may differ from their number when
// the receiver's settings garble them. Bytes that do not fit are dropped and
// counted. Returns the burst's place on the line.
LineBurst line_pacer_send(LinePacer* pacer, const std::uint8_t* bytes, std::size_t count, std::uint64_t duration_us,
                          std::uint64_t now_us);

// Takes the bytes that have arrived by now_us, oldest first, at most out_size.
// *last_arrival_us (may be null) receives the arrival time of the last byte taken.
std::size_t line_pacer_take(LinePacer* pacer, std::uint64_t now_us, std::uint8_t* out, std::size_t out_size,
                            std::uint64_t* last_arrival_us);

// When the next byte arrives; LINE_PACER_NEVER_US when none is on its way.
std::uint64_t line_pacer_next_us(const LinePacer* pacer);
