// libFuzzer harness for the BCSP engine: arbitrary bytes from the line go
// through bcsp_poll, with the link still unsynced or already established,
// with receive buffers from empty to full size and a packet of our own in
// flight. Buffers are allocated at their exact capacity, so the address
// sanitizer sees any write or read past them; the engine's own invariants
// are checked after every poll.
//
// Build and run (not part of the default build):
//   clang++ -fsanitize=fuzzer,address,undefined -std=c++20 -I. \
//       fuzz/bcsp_engine_fuzz.cpp bcsp/bcsp_wire.cpp bcsp/bcsp_engine.cpp -o /tmp/bcsp_engine_fuzz
//   /tmp/bcsp_engine_fuzz -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>

#include "bcsp/bcsp_engine.h"

namespace {

std::deque<std::uint8_t> line_input;

// First byte of the input: how to set the engine up.
constexpr std::uint8_t FUZZ_ESTABLISH = 0x01;      // run link establishment before the fuzz bytes
constexpr std::uint8_t FUZZ_SMALL_BUFFER = 0x02;   // receive capacity from the second byte (0-255), else 512
constexpr std::uint8_t FUZZ_SEND_RELIABLE = 0x04;  // hand a reliable packet of our own
constexpr std::uint8_t FUZZ_SEND_UNRELIABLE = 0x08;
constexpr std::uint8_t FUZZ_NULL_PAYLOAD = 0x10;   // our packet with a null payload (and maybe a length)
constexpr std::uint8_t FUZZ_FRAMED = 0x20;         // wrap each piece into a frame with valid checksum and CRC

constexpr std::uint16_t FULL_CAPACITY = 512;
constexpr int ESTABLISH_POLL_LIMIT = 200;

// The peer's SYNC_RESP and CONF_RESP, enough to establish the link.
constexpr std::uint8_t PEER_SYNC_RESP[] = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC, 0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0};
constexpr std::uint8_t PEER_CONF_RESP[] = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE, 0xAD, 0xD0, 0xD0, 0x83, 0x58, 0xC0};

void push_escaped(std::uint8_t byte)
{
    if (byte == SLIP_END || byte == SLIP_ESC) {
        line_input.push_back(SLIP_ESC);
        line_input.push_back(byte == SLIP_END ? SLIP_ESC_END : SLIP_ESC_ESC);
    } else {
        line_input.push_back(byte);
    }
}

// Turns a piece into a frame that passes the header and CRC checks, so that
// the fuzzer reaches sequencing, acknowledgement and link establishment
// without guessing checksums. piece[0] is header byte 0 (flags, ack, seq);
// piece[1] gives the channel and, when bit 4 is set, a link-establishment
// payload chosen by bits 5-6 in place of the rest of the piece.
void push_frame(const std::uint8_t* piece, std::size_t length)
{
    if (length < 2) {
        return;
    }
    const std::uint8_t* payload = piece + 2;
    std::size_t payload_length = length - 2;
    if (piece[1] & 0x10) {
        payload = BCSP_LE_PAYLOADS[(piece[1] >> 5) & 0x03].data();
        payload_length = BCSP_LE_PAYLOAD_BYTES;
    }
    std::uint8_t header[BCSP_HEADER_BYTES];
    header[0] = piece[0];
    header[1] = static_cast<std::uint8_t>((piece[1] & 0x0F) | ((payload_length & 0x0F) << 4));
    header[2] = static_cast<std::uint8_t>(payload_length >> 4);
    header[3] = bcsp_header_checksum(header[0], header[1], header[2]);
    std::uint16_t crc = BCSP_CRC_INITIAL;
    line_input.push_back(SLIP_END);
    for (std::uint8_t byte : header) {
        crc = bcsp_crc_update(byte, crc);
        push_escaped(byte);
    }
    for (std::size_t i = 0; i < payload_length; ++i) {
        crc = bcsp_crc_update(payload[i], crc);
        push_escaped(payload[i]);
    }
    if (header[0] & BCSP_HEADER_CRC_PRESENT) {
        crc = bcsp_crc_reverse(crc);
        push_escaped(static_cast<std::uint8_t>(crc >> 8));
        push_escaped(static_cast<std::uint8_t>(crc & 0xFF));
    }
    line_input.push_back(SLIP_END);
}

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

struct Receiver {
    std::unique_ptr<std::uint8_t[]> buffer;
    std::uint16_t capacity;
    BcspPacket packet;

    void arm()
    {
        packet = BcspPacket{};
        packet.payload = buffer.get();
        packet.length = capacity;
        bcsp_receive_packet(&packet);
    }
};

// One poll plus the checks that must hold whatever arrived.
void poll_checked(Receiver& receiver)
{
    std::uint8_t activity = 0;
    const std::uint8_t hint = bcsp_poll(&activity);
    check(hint <= static_cast<std::uint8_t>(BCSP_QUIET_POLLS));
    check((activity & ~0x0F) == 0);
    check(bcsp_engine.le_state <= LINK_ESTABLISHED);
    check(bcsp_engine.le_next_message <= LE_MESSAGE_NONE);
    check(bcsp_engine.rx_index >= -4 && bcsp_engine.rx_index <= receiver.capacity);
    if (activity & ACTIVITY_RECEIVED) {
        check(receiver.packet.length <= receiver.capacity);
        check(receiver.packet.channel != BCSP_LE_CHANNEL);
        check(bcsp_engine.receive_packet == nullptr);
        receiver.arm();
    }
}

}  // namespace

void bcsp_put_uart(std::uint8_t) {}

std::uint8_t bcsp_get_uart(std::uint8_t* out)
{
    if (line_input.empty()) {
        return 0;
    }
    *out = line_input.front();
    line_input.pop_front();
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    line_input.clear();
    bcsp_engine = BcspEngineState{};
    bcsp_initialize();

    Receiver receiver;
    receiver.capacity = (flags & FUZZ_SMALL_BUFFER) ? data[1] : FULL_CAPACITY;
    receiver.buffer.reset(receiver.capacity > 0 ? new std::uint8_t[receiver.capacity] : nullptr);
    receiver.arm();

    if (flags & FUZZ_ESTABLISH) {
        line_input.insert(line_input.end(), std::begin(PEER_SYNC_RESP), std::end(PEER_SYNC_RESP));
        line_input.insert(line_input.end(), std::begin(PEER_CONF_RESP), std::end(PEER_CONF_RESP));
        for (int i = 0; i < ESTABLISH_POLL_LIMIT && bcsp_engine.le_state != LINK_ESTABLISHED; ++i) {
            poll_checked(receiver);
        }
        // Below 6 bytes the CONF_RESP cannot be stored and the link stays down.
        check(receiver.capacity < 6 || bcsp_engine.le_state == LINK_ESTABLISHED);
    }

    // Our own packet, at its exact length so reads past it are caught too.
    const std::uint16_t send_length = data[2] % 64;
    std::unique_ptr<std::uint8_t[]> send_bytes(new std::uint8_t[send_length > 0 ? send_length : 1]);
    for (std::uint16_t i = 0; i < send_length; ++i) {
        send_bytes[i] = static_cast<std::uint8_t>(i * 37);
    }
    BcspPacket send{};
    send.channel = 2;
    send.reliable = (flags & FUZZ_SEND_RELIABLE) ? 1 : 0;
    send.use_crc = 1;
    send.length = send_length;
    send.payload = (flags & FUZZ_NULL_PAYLOAD) ? nullptr : send_bytes.get();
    if (flags & (FUZZ_SEND_RELIABLE | FUZZ_SEND_UNRELIABLE)) {
        bcsp_send_packet(&send);
    }

    // The rest arrives in pieces whose sizes come from the input itself.
    std::size_t position = 3;
    while (position < size) {
        const std::size_t piece = 1 + data[position] % 48;
        const int polls = 1 + data[position] / 64;
        ++position;
        const std::size_t available = piece < size - position ? piece : size - position;
        if (flags & FUZZ_FRAMED) {
            push_frame(data + position, available);
        } else {
            line_input.insert(line_input.end(), data + position, data + position + available);
        }
        position += available;
        for (int i = 0; i < polls; ++i) {
            poll_checked(receiver);
        }
    }
    // Let the transmit side run on with whatever state the bytes left.
    for (int i = 0; i < 100; ++i) {
        poll_checked(receiver);
    }
    bcsp_engine = BcspEngineState{};
    return 0;
}
