// The serial line between the host's UART and the adapter's, simulated bit by
// bit so that mismatched settings garble bytes the way real hardware does.
//
// The sender puts each character on the line as a start bit, its data bits
// (least significant first), an optional parity bit and its stop bits, back to
// back within one burst, with the line idle (high) before and after. The
// receiver, at its own settings, waits for a falling edge, samples the middle
// of each of its bit periods and reports each character with its errors:
// a stop bit sampled low is a framing error, a parity bit that does not match
// is a parity error (only when the receiver checks parity). Equal settings pass
// every byte unchanged; different baud rates, data bits, parity or stop bits
// give what a real receiver would make of the waveform: altered bytes, extra
// bytes, lost bytes.
#pragma once

#include <cstddef>
#include <cstdint>

struct UartSettings {
    std::uint32_t baud;         // bits per second; 0 = the line is hung up (nothing gets through)
    std::uint8_t data_bits;     // 5 to 8
    char parity;                // 'N' none, 'E' even, 'O' odd, 'M' mark, 'S' space
    std::uint8_t stop_bits;     // 1 or 2
    std::uint8_t check_parity;  // receiver side: flag characters whose parity bit is wrong
};

inline constexpr std::uint8_t UART_ERROR_FRAMING = 0x01;
inline constexpr std::uint8_t UART_ERROR_PARITY = 0x02;

struct UartChar {
    std::uint8_t value;
    std::uint8_t errors;  // UART_ERROR_* bits
};

// A character on the line can make the receiver see at most one character per
// falling edge: a start bit plus one per alternating data bit.
inline constexpr std::size_t UART_MAX_CHARS_PER_BYTE = 6;

// The time one character takes on the line at these settings, in microseconds
// (rounded up). Used to pace a sender at its line rate.
std::uint32_t uart_char_time_us(const UartSettings* settings);

// 1 when both ends frame characters the same way, so bytes pass unchanged.
int uart_settings_match(const UartSettings* a, const UartSettings* b);

// What a receiver at `rx` makes of `count` bytes sent back to back at `tx`.
// Writes at most out_size characters to out and returns how many it wrote;
// characters past out_size are lost (size out for UART_MAX_CHARS_PER_BYTE per
// byte to keep them all).
std::size_t uart_line_convey(const UartSettings* tx, const UartSettings* rx, const std::uint8_t* bytes,
                             std::size_t count, UartChar* out, std::size_t out_size);

// How a receiver hands on a character with errors.
enum UartErrorPolicy {
    UART_ERRORS_AS_NUL,  // as a POSIX tty without IGNPAR/PARMRK: the character becomes 0x00
    UART_ERRORS_DROPPED, // as the adapter's firmware: the character is discarded
};

// uart_line_convey, then the policy: plain bytes as the receiver passes them on.
// out_size as above.
std::size_t uart_line_receive(const UartSettings* tx, const UartSettings* rx, UartErrorPolicy policy,
                              const std::uint8_t* bytes, std::size_t count, std::uint8_t* out, std::size_t out_size);

// "115200 8E1" style text for logs; buffer of at least 24 bytes.
void uart_settings_text(const UartSettings* settings, char* text, std::size_t text_size);
