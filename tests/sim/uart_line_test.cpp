// The bit-level serial line: equal settings pass bytes through, and each kind
// of mismatch garbles them the way a real receiver would.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/uart_line.h"

namespace {

constexpr UartSettings L1200_8N1 = {1200, 8, 'N', 1, 1};
constexpr UartSettings L115200_8N1 = {115200, 8, 'N', 1, 1};
constexpr UartSettings L115200_8E1 = {115200, 8, 'E', 1, 1};
constexpr UartSettings L115200_8E1_UNCHECKED = {115200, 8, 'E', 1, 0};

std::vector<UartChar> convey(const UartSettings& tx, const UartSettings& rx, const std::vector<std::uint8_t>& bytes) {
    std::vector<UartChar> out(bytes.size() * UART_MAX_CHARS_PER_BYTE + 1);
    out.resize(uart_line_convey(&tx, &rx, bytes.data(), bytes.size(), out.data(), out.size()));
    return out;
}

std::vector<std::uint8_t> receive(const UartSettings& tx, const UartSettings& rx, UartErrorPolicy policy,
                                  const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> out(bytes.size() * UART_MAX_CHARS_PER_BYTE + 1);
    out.resize(uart_line_receive(&tx, &rx, policy, bytes.data(), bytes.size(), out.data(), out.size()));
    return out;
}

std::vector<std::uint8_t> all_bytes() {
    std::vector<std::uint8_t> v;
    for (int i = 0; i < 256; i++) v.push_back(static_cast<std::uint8_t>(i));
    return v;
}

int ones(std::uint8_t b) {
    int n = 0;
    for (; b; b = static_cast<std::uint8_t>(b & (b - 1))) n++;
    return n;
}

}  // namespace

TEST(UartLine, EqualSettingsPassEveryByteUnchanged) {
    const std::vector<std::uint8_t> bytes = all_bytes();
    for (const UartSettings& s : {L1200_8N1, L115200_8N1, L115200_8E1, UartSettings{9600, 8, 'O', 2, 1}}) {
        const std::vector<UartChar> got = convey(s, s, bytes);
        ASSERT_EQ(got.size(), bytes.size());
        for (std::size_t i = 0; i < bytes.size(); i++) {
            EXPECT_EQ(got[i].value, bytes[i]);
            EXPECT_EQ(got[i].errors, 0);
        }
    }
}

TEST(UartLine, SevenDataBitsLoseTheTopBit) {
    const UartSettings s = {9600, 7, 'N', 1, 1};
    const std::vector<UartChar> got = convey(s, s, {0xC1, 0x41});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].value, 0x41);
    EXPECT_EQ(got[1].value, 0x41);
}

// The bit-level path (not the equal-settings shortcut): two stop bits sent,
// one expected, frames the same characters.
TEST(UartLine, ExtraStopBitIsHarmless) {
    const UartSettings tx = {115200, 8, 'N', 2, 1};
    const std::vector<std::uint8_t> bytes = all_bytes();
    const std::vector<UartChar> got = convey(tx, L115200_8N1, bytes);
    ASSERT_EQ(got.size(), bytes.size());
    for (std::size_t i = 0; i < bytes.size(); i++) EXPECT_EQ(got[i].value, bytes[i]) << i;
}

// Host at 8N1 reading a chip at 8E1: the parity bit lands where the stop bit
// belongs, so every byte with an even number of ones (parity bit 0) is a
// framing error and the others arrive intact.
TEST(UartLine, EvenParitySenderToNoParityReceiver) {
    for (int b = 0; b < 256; b++) {
        const std::vector<UartChar> got = convey(L115200_8E1, L115200_8N1, {static_cast<std::uint8_t>(b)});
        ASSERT_EQ(got.size(), 1u) << b;
        EXPECT_EQ(got[0].value, b);
        EXPECT_EQ(got[0].errors, ones(static_cast<std::uint8_t>(b)) % 2 == 0 ? UART_ERROR_FRAMING : 0) << b;
    }
}

// Chip at 8E1 reading a host at 8N1: the stop bit is read as parity, so bytes
// with an even number of ones fail the parity check; back to back, the next
// start bit is read as the stop bit: a framing error.
TEST(UartLine, NoParitySenderToEvenParityReceiver) {
    const std::vector<UartChar> single = convey(L115200_8N1, L115200_8E1, {0x03});
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].errors, UART_ERROR_PARITY);
    const std::vector<UartChar> odd = convey(L115200_8N1, L115200_8E1, {0x01});
    ASSERT_EQ(odd.size(), 1u);
    EXPECT_EQ(odd[0].errors, 0);
    const std::vector<UartChar> unchecked = convey(L115200_8N1, L115200_8E1_UNCHECKED, {0x03});
    ASSERT_EQ(unchecked.size(), 1u);
    EXPECT_EQ(unchecked[0].errors, 0);

    const std::vector<UartChar> burst = convey(L115200_8N1, L115200_8E1, {0x01, 0x01});
    ASSERT_GE(burst.size(), 1u);
    EXPECT_TRUE(burst[0].errors & UART_ERROR_FRAMING);
}

TEST(UartLine, SlowSenderLooksLikeBreaksToAFastReceiver) {
    // 0x00 at 1200: nine low bits = 864 bit times at 115200: one NUL with a framing error.
    const std::vector<UartChar> zero = convey(L1200_8N1, L115200_8N1, {0x00});
    ASSERT_EQ(zero.size(), 1u);
    EXPECT_EQ(zero[0].value, 0x00);
    EXPECT_EQ(zero[0].errors, UART_ERROR_FRAMING);
    // 0x55 alternates: one character per falling edge, at most UART_MAX_CHARS_PER_BYTE.
    const std::vector<UartChar> alternating = convey(L1200_8N1, L115200_8N1, {0x55});
    EXPECT_EQ(alternating.size(), 5u);
    const std::vector<std::uint8_t> text(reinterpret_cast<const std::uint8_t*>("(\x01$QXZ4702)"),
                                         reinterpret_cast<const std::uint8_t*>("(\x01$QXZ4702)") + 11);
    const std::vector<std::uint8_t> seen = receive(L1200_8N1, L115200_8N1, UART_ERRORS_AS_NUL, text);
    EXPECT_NE(seen, text);
    EXPECT_LE(seen.size(), text.size() * UART_MAX_CHARS_PER_BYTE);
}

TEST(UartLine, FastSenderIsMostlyLostOnASlowReceiver) {
    const char* request = "LUMA PORT SETUP";
    const std::vector<std::uint8_t> bytes(request, request + std::strlen(request));
    const std::vector<std::uint8_t> dropped = receive(L115200_8N1, L1200_8N1, UART_ERRORS_DROPPED, bytes);
    EXPECT_LT(dropped.size(), 3u);
    const std::vector<std::uint8_t> as_nul = receive(L115200_8N1, L1200_8N1, UART_ERRORS_AS_NUL, bytes);
    EXPECT_NE(as_nul, bytes);
}

TEST(UartLine, ErrorPolicies) {
    // 0x03 from 8E1 to 8N1 is a framing error: NUL for a tty, gone for the adapter.
    const std::vector<std::uint8_t> bytes = {0x01, 0x03, 0x07};
    EXPECT_EQ(receive(L115200_8E1, L115200_8N1, UART_ERRORS_AS_NUL, bytes), (std::vector<std::uint8_t>{0x01, 0x00, 0x07}));
    EXPECT_EQ(receive(L115200_8E1, L115200_8N1, UART_ERRORS_DROPPED, bytes), (std::vector<std::uint8_t>{0x01, 0x07}));
}

TEST(UartLine, HungUpLineCarriesNothingAndOutputIsBounded) {
    const UartSettings hung_up = {0, 8, 'N', 1, 0};
    EXPECT_TRUE(convey(hung_up, L115200_8N1, {1, 2, 3}).empty());
    EXPECT_TRUE(convey(L115200_8N1, hung_up, {1, 2, 3}).empty());
    UartChar out[2];
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(uart_line_convey(&L115200_8N1, &L115200_8N1, bytes, 4, out, 2), 2u);
    EXPECT_EQ(uart_line_convey(&L1200_8N1, &L115200_8N1, bytes, 4, out, 2), 2u);
}

TEST(UartLine, CharacterTimes) {
    EXPECT_EQ(uart_char_time_us(&L1200_8N1), 8334u);   // 10 bits
    EXPECT_EQ(uart_char_time_us(&L115200_8E1), 96u);   // 11 bits, rounded up
    char text[24];
    uart_settings_text(&L115200_8E1, text, sizeof text);
    EXPECT_STREQ(text, "115200 8E1");
}
