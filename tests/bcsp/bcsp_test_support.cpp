#include "tests/bcsp/bcsp_test_support.h"

ScriptedUart* scripted_uart = nullptr;

void bcsp_put_uart(std::uint8_t byte)
{
    if (scripted_uart != nullptr) {
        scripted_uart->output.push_back(byte);
    }
}

std::uint8_t bcsp_get_uart(std::uint8_t* out)
{
    if (scripted_uart == nullptr || scripted_uart->input.empty()) {
        return 0;
    }
    *out = scripted_uart->input.front();
    scripted_uart->input.pop_front();
    return 1;
}

namespace {

// The four message payloads, written out again here rather than taken from
// the engine's table.
const std::uint8_t LE_PAYLOADS[4][4] = {
    {0xDA, 0xDC, 0xED, 0xED},
    {0xAC, 0xAF, 0xEF, 0xEE},
    {0xAD, 0xEF, 0xAC, 0xED},
    {0xDE, 0xAD, 0xD0, 0xD0},
};

std::uint16_t mirror16(std::uint16_t value)
{
    std::uint16_t result = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (value & (1u << bit)) {
            result = static_cast<std::uint16_t>(result | (0x8000u >> bit));
        }
    }
    return result;
}

void escape_into(Bytes& wire, std::uint8_t byte)
{
    if (byte == 0xC0) {
        wire.push_back(0xDB);
        wire.push_back(0xDC);
    } else if (byte == 0xDB) {
        wire.push_back(0xDB);
        wire.push_back(0xDD);
    } else {
        wire.push_back(byte);
    }
}

PeerFrame check_frame(const Bytes& raw)
{
    PeerFrame frame;
    frame.raw = raw;
    const std::uint8_t* h = raw.data();
    frame.header_ok = ((h[0] + h[1] + h[2] + h[3]) & 0xFF) == 0xFF;
    frame.crc_present = (h[0] >> 6) & 1;
    frame.reliable = (h[0] >> 7) & 1;
    frame.seq = h[0] & 7;
    frame.ack = (h[0] >> 3) & 7;
    frame.channel = h[1] & 0x0F;
    const std::size_t length = static_cast<std::size_t>((h[1] >> 4) | (h[2] << 4));
    const std::size_t expected = 4 + length + (frame.crc_present ? 2 : 0);
    if (!frame.header_ok || raw.size() != expected) {
        return frame;
    }
    frame.payload.assign(raw.begin() + 4, raw.begin() + 4 + static_cast<std::ptrdiff_t>(length));
    if (frame.crc_present) {
        const Bytes covered(raw.begin(), raw.begin() + 4 + static_cast<std::ptrdiff_t>(length));
        const std::uint16_t crc = reference_crc(covered);
        if (raw[expected - 2] != (crc >> 8) || raw[expected - 1] != (crc & 0xFF)) {
            return frame;
        }
    }
    frame.intact = 1;
    return frame;
}

}  // namespace

std::uint16_t reference_crc(const Bytes& bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1);
        }
    }
    return mirror16(crc);
}

Bytes peer_header_bytes(const PeerHeader& header, int payload_size)
{
    const int length = header.length >= 0 ? header.length : payload_size;
    Bytes h(4);
    h[0] = static_cast<std::uint8_t>((header.reliable ? 0x80 : 0) | (header.crc_present ? 0x40 : 0) |
                                     ((header.ack & 7) << 3) | (header.seq & 7));
    h[1] = static_cast<std::uint8_t>((header.channel & 0x0F) | ((length & 0x0F) << 4));
    h[2] = static_cast<std::uint8_t>((length >> 4) & 0xFF);
    h[3] = static_cast<std::uint8_t>(0xFF - ((h[0] + h[1] + h[2]) & 0xFF));
    return h;
}

Bytes peer_frame(const PeerHeader& header, const Bytes& payload)
{
    Bytes raw = peer_header_bytes(header, static_cast<int>(payload.size()));
    append(raw, payload);
    if (header.crc_present) {
        const std::uint16_t crc = reference_crc(raw);
        raw.push_back(static_cast<std::uint8_t>(crc >> 8));
        raw.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    }
    return peer_wrap(raw);
}

Bytes peer_wrap(const Bytes& raw)
{
    Bytes wire{0xC0};
    for (std::uint8_t byte : raw) {
        escape_into(wire, byte);
    }
    wire.push_back(0xC0);
    return wire;
}

Bytes peer_le_frame(int message)
{
    const Bytes payload(LE_PAYLOADS[message], LE_PAYLOADS[message] + 4);
    return peer_frame(PeerHeader{0, 0, 0, 1, 1, -1}, payload);
}

Bytes peer_ack_frame(int ack)
{
    return peer_frame(PeerHeader{0, 0, ack, 0, 1, -1}, Bytes{});
}

std::vector<PeerFrame> peer_decode(const Bytes& wire)
{
    std::vector<PeerFrame> frames;
    Bytes raw;
    int escape = 0;
    int opened = 0;
    for (std::uint8_t byte : wire) {
        if (escape) {
            escape = 0;
            raw.push_back(byte == 0xDC ? 0xC0 : byte == 0xDD ? 0xDB : byte);
        } else if (byte == 0xC0) {
            if (opened && raw.size() >= 4) {
                frames.push_back(check_frame(raw));
            }
            raw.clear();
            opened = 1;
        } else if (byte == 0xDB) {
            escape = 1;
        } else {
            raw.push_back(byte);
        }
    }
    return frames;
}

int peer_le_message(const PeerFrame& frame)
{
    if (!frame.intact || frame.channel != 1 || frame.payload.size() < 4) {
        return -1;
    }
    for (int message = 0; message < 4; ++message) {
        if (Bytes(frame.payload.begin(), frame.payload.begin() + 4) ==
            Bytes(LE_PAYLOADS[message], LE_PAYLOADS[message] + 4)) {
            return message;
        }
    }
    return -1;
}

void append(Bytes& to, const Bytes& from)
{
    to.insert(to.end(), from.begin(), from.end());
}
