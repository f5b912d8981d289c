// libFuzzer target for the BCSP port driver's receive side: whatever the chip
// sends after the link is up, through bcsp_port_receive (the held packet, the
// channel filter, packets longer than the caller's buffer) or through
// bccmd_get_response on top of it, optionally with a send of our own waiting
// for its acknowledgement first.
//
// The fuzzer's bytes are the line: the fake serial port (tests/fake) plays
// them to the driver on its virtual clock, so the driver's 1 ms idle sleeps
// and its bounded waits cost no real time. The peer's CONF_RESP comes first,
// so the link is established at once; after the fuzzer's bytes come a peer's
// repair of the link and a small end-marker packet, so that the last call
// need not wait out its time limit.
//
// Input: byte 0 picks the set-up (FUZZ_* bits below), byte 1 is a parameter
// (channel and buffer size, or varid and word count), the rest is the line,
// raw or (FUZZ_FRAMED) as pieces wrapped into frames with a valid header
// checksum and CRC.
//
// Checked besides the sanitizers (the caller's buffers are heap blocks of
// exactly their size): every call ends within its time limit on the virtual
// clock; a receive returns at most the caller's capacity; in framed mode a
// received packet is, byte for byte, one of the packets sent on its channel;
// bccmd_get_response writes no word past count; nothing is printed with the
// diagnostics off; the fake saw no misuse (double close, unbalanced timer).
//
// Build and run: scripts/fuzz (all targets), or see fuzz/README.md.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "bccmd/bccmd.h"
#include "bcsp/bcsp_port.h"
#include "bcsp/bcsp_wire.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "fuzz_serial_line.h"

namespace {

constexpr std::uint8_t FUZZ_FRAMED = 0x01;       // pieces wrapped into valid frames
constexpr std::uint8_t FUZZ_AUTO_SEQ = 0x02;     // framed: reliable frames numbered in sequence
constexpr std::uint8_t FUZZ_BCCMD = 0x04;        // bccmd_get_response, else bcsp_port_receive
constexpr std::uint8_t FUZZ_SEND_FIRST = 0x08;   // bcsp_port_send a BCCMD request before receiving
constexpr std::uint8_t FUZZ_DIAGNOSTICS = 0x10;  // bcsp_diagnostics on
// All three bits: no answering peer after the bytes (see build_line). Runs
// without it wait out every time limit (thousands of polls), so they are
// kept to one input in eight.
constexpr std::uint8_t FUZZ_NO_REPAIR = 0xE0;
// 0x40 without 0x80: the bytes arrive 1 ms apart instead of together, so that
// frames come in pieces across the driver's idle pauses (one input in four).
constexpr std::uint8_t FUZZ_SPACED_MASK = 0xC0;
constexpr std::uint8_t FUZZ_SPACED = 0x40;
constexpr std::uint32_t FUZZ_SPACED_GAP_MS = 1;

constexpr std::size_t FUZZ_HEADER_BYTES = 2;
constexpr int ADAPTER_PORT = 1;
constexpr int BCSP_BAUD = 115200;
constexpr std::size_t PIECE_MAX_BYTES = 48;
constexpr std::uint8_t END_MARKER_BYTE = 0xE5;
// A wait ends at the first poll after its deadline; polls are 1 ms apart.
constexpr std::uint64_t WAIT_SLACK_MS = 2;

constexpr std::uint16_t FUZZ_VARIDS[] = {VARID_BUILD_ID, VARID_PS, VARID_COLD_RESET, 0x2818};
// Channels to wait on: acknowledgement, BCCMD, two that nothing here uses.
// Not channel 1: the engine consumes link establishment itself.
constexpr int FUZZ_CHANNELS[] = {BCSP_ACK_CHANNEL, BCCMD_CHANNEL, 3, 15};

std::vector<std::uint8_t> line;
// Framed mode: the payload of every packet sent, by channel.
std::vector<std::vector<std::uint8_t>> sent_payloads[16];

void push_escaped(std::uint8_t byte)
{
    if (byte == SLIP_END || byte == SLIP_ESC) {
        line.push_back(SLIP_ESC);
        line.push_back(byte == SLIP_END ? SLIP_ESC_END : SLIP_ESC_ESC);
    } else {
        line.push_back(byte);
    }
}

void push_frame(std::uint8_t byte0, std::uint8_t channel, const std::uint8_t* payload, std::size_t length)
{
    std::uint8_t header[BCSP_HEADER_BYTES];
    header[0] = byte0;
    header[1] = static_cast<std::uint8_t>((channel & 0x0F) | ((length & 0x0F) << 4));
    header[2] = static_cast<std::uint8_t>(length >> 4);
    header[3] = bcsp_header_checksum(header[0], header[1], header[2]);
    std::uint16_t crc = BCSP_CRC_INITIAL;
    line.push_back(SLIP_END);
    for (std::uint8_t byte : header) {
        crc = bcsp_crc_update(byte, crc);
        push_escaped(byte);
    }
    for (std::size_t i = 0; i < length; ++i) {
        crc = bcsp_crc_update(payload[i], crc);
        push_escaped(payload[i]);
    }
    if (byte0 & BCSP_HEADER_CRC_PRESENT) {
        crc = bcsp_crc_reverse(crc);
        push_escaped(static_cast<std::uint8_t>(crc >> 8));
        push_escaped(static_cast<std::uint8_t>(crc & 0xFF));
    }
    line.push_back(SLIP_END);
}

// piece[0]: header byte 0 (reliable, CRC, ack, seq); piece[1]: the channel,
// or with bit 4 a link-establishment message chosen by bits 5-6; the rest is
// the payload.
void push_piece(const std::uint8_t* piece, std::size_t length, int auto_seq, int* next_seq)
{
    if (length < 2) {
        return;
    }
    std::uint8_t byte0 = piece[0];
    if (auto_seq && (byte0 & BCSP_HEADER_RELIABLE)) {
        byte0 = static_cast<std::uint8_t>((byte0 & ~0x07) | *next_seq);
        *next_seq = (*next_seq + 1) & 0x07;
    }
    if (piece[1] & 0x10) {
        const auto& message = BCSP_LE_PAYLOADS[(piece[1] >> 5) & 0x03];
        push_frame(byte0, BCSP_LE_CHANNEL, message.data(), message.size());
        return;
    }
    const std::uint8_t channel = piece[1] & 0x0F;
    push_frame(byte0, channel, piece + 2, length - 2);
    sent_payloads[channel].emplace_back(piece + 2, piece + length);
}

int sent_on(int channel, const std::uint8_t* bytes, std::size_t count)
{
    for (const auto& payload : sent_payloads[channel]) {
        if (payload.size() == count && std::memcmp(payload.data(), bytes, count) == 0) {
            return 1;
        }
    }
    return 0;
}

void build_line(std::uint8_t mode, const std::uint8_t* data, std::size_t size, int channel)
{
    line.clear();
    for (auto& payloads : sent_payloads) {
        payloads.clear();
    }
    const auto& conf_resp = BCSP_LE_PAYLOADS[LE_MESSAGE_CONF_RESP];
    push_frame(BCSP_HEADER_CRC_PRESENT, BCSP_LE_CHANNEL, conf_resp.data(), conf_resp.size());
    if (mode & FUZZ_FRAMED) {
        int next_seq = 0;
        std::size_t position = 0;
        while (position < size) {
            const std::size_t piece = 1 + data[position] % PIECE_MAX_BYTES;
            position += 1;
            const std::size_t available = piece < size - position ? piece : size - position;
            push_piece(data + position, available, (mode & FUZZ_AUTO_SEQ) != 0, &next_seq);
            position += available;
        }
    } else {
        line.insert(line.end(), data, data + size);
    }
    // Two delimiters end whatever the bytes left open (an escape eats one).
    line.push_back(SLIP_END);
    line.push_back(SLIP_END);
    if ((mode & FUZZ_NO_REPAIR) != FUZZ_NO_REPAIR) {
        // A peer that answers: CONF_RESP re-establishes a link that the bytes
        // reset (it changes nothing on a live link), and an acknowledgement
        // releases our first packet, sent again or not. Without these a reset
        // link or a lost acknowledgement runs each wait to its time limit.
        push_frame(BCSP_HEADER_CRC_PRESENT, BCSP_LE_CHANNEL, conf_resp.data(), conf_resp.size());
        push_frame(BCSP_HEADER_CRC_PRESENT | (1 << 3), BCSP_ACK_CHANNEL, nullptr, 0);
    }
    // The end marker, unreliable, on the channel being waited for.
    const std::uint8_t marker = END_MARKER_BYTE;
    push_frame(BCSP_HEADER_CRC_PRESENT, static_cast<std::uint8_t>(channel), &marker, 1);
    sent_payloads[channel].emplace_back(1, marker);
}

int line_consumed()
{
    return fuzz_line_unsent() == 0 && fake_serial_pending() == 0;
}

void fuzz_receive(std::uint8_t parameter, int framed)
{
    const int channel = FUZZ_CHANNELS[parameter & 0x03];
    const std::size_t capacity = 1 + static_cast<std::size_t>(parameter >> 2) * 9;  // 1 to 568 bytes
    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[capacity > 0 ? capacity : 1]);
    for (;;) {
        const std::uint64_t start_ms = fake_now_ms();
        const int count = bcsp_port_receive(buffer.get(), capacity, channel);
        FUZZ_REQUIRE(fake_now_ms() <= start_ms + BCSP_RECEIVE_TIMEOUT_MS + WAIT_SLACK_MS);
        FUZZ_REQUIRE(count >= 0 && static_cast<std::size_t>(count) <= capacity);
        if (count == 0) {
            return;
        }
        if (framed) {
            FUZZ_REQUIRE(sent_on(channel, buffer.get(), static_cast<std::size_t>(count)));
        }
        if (line_consumed()) {
            return;
        }
    }
}

void fuzz_bccmd(std::uint8_t parameter)
{
    const std::uint16_t varid = FUZZ_VARIDS[parameter & 0x03];
    const int count = (parameter >> 2) % 61;  // up to two words past what a response can hold
    std::vector<std::uint16_t> out(static_cast<std::size_t>(count) + 1, 0xA5A5);
    for (;;) {
        const std::uint64_t start_ms = fake_now_ms();
        const int accepted = bccmd_get_response(varid, count, count > 0 ? out.data() : nullptr);
        FUZZ_REQUIRE(fake_now_ms() <= start_ms + BCSP_RECEIVE_TIMEOUT_MS + WAIT_SLACK_MS);
        FUZZ_REQUIRE(accepted == 0 || accepted == 1);
        FUZZ_REQUIRE(out[static_cast<std::size_t>(count)] == 0xA5A5);
        if (line_consumed() || (!accepted && fake_now_ms() - start_ms >= BCSP_RECEIVE_TIMEOUT_MS)) {
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < FUZZ_HEADER_BYTES) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::uint8_t parameter = data[1];
    const int framed = (mode & FUZZ_FRAMED) != 0;
    const int channel = (mode & FUZZ_BCCMD) ? BCCMD_CHANNEL : FUZZ_CHANNELS[parameter & 0x03];
    build_line(mode, data + FUZZ_HEADER_BYTES, size - FUZZ_HEADER_BYTES, channel);

    fake_reset();
    fuzz_line_reset();
    fuzz_line_attach();
    const std::uint32_t gap_ms = (mode & FUZZ_SPACED_MASK) == FUZZ_SPACED ? FUZZ_SPACED_GAP_MS : 0;
    fuzz_line_schedule(line.data(), line.size(), 0, gap_ms);
    // Every run starts from the engine's start-up state, as the program does.
    bcsp_engine = BcspEngineState{};
    bcsp_port_handle = PLATFORM_INVALID_HANDLE;
    bcsp_diagnostics = (mode & FUZZ_DIAGNOSTICS) ? 1 : 0;

    // The peer's CONF_RESP is the first frame on the line: the link is up.
    FUZZ_REQUIRE(bcsp_port_open(ADAPTER_PORT, BCSP_BAUD) == 1);

    if (mode & FUZZ_SEND_FIRST) {
        static const std::uint8_t request[] = {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x19, 0x28, 0x00,
                                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
        const std::uint64_t start_ms = fake_now_ms();
        const int sent = bcsp_port_send(request, sizeof request, BCCMD_CHANNEL);
        FUZZ_REQUIRE(sent == 0 || sent == 1);
        FUZZ_REQUIRE(fake_now_ms() <= start_ms + BCSP_SEND_TIMEOUT_MS + WAIT_SLACK_MS);
    }
    if (mode & FUZZ_BCCMD) {
        fuzz_bccmd(parameter);
    } else {
        fuzz_receive(parameter, framed);
    }

    bcsp_port_close();
    FUZZ_REQUIRE(bcsp_port_handle == PLATFORM_INVALID_HANDLE);
    FUZZ_REQUIRE(!fake_serial_is_open());
    FUZZ_REQUIRE(fake_faults().empty());
    if (!bcsp_diagnostics) {
        FUZZ_REQUIRE(fake_console_output().empty());
    }
    bcsp_diagnostics = 0;
    return 0;
}
