#include "bcsp_peer.h"

#include "fake_platform.h"

const std::uint8_t PEER_LE_PAYLOADS[4][4] = {
    {0xDA, 0xDC, 0xED, 0xED},  // SYNC
    {0xAC, 0xAF, 0xEF, 0xEE},  // SYNC_RESP
    {0xAD, 0xEF, 0xAC, 0xED},  // CONF
    {0xDE, 0xAD, 0xD0, 0xD0},  // CONF_RESP
};

namespace {

constexpr int LE_SYNC = 0;
constexpr int LE_SYNC_RESP = 1;
constexpr int LE_CONF = 2;
constexpr int LE_CONF_RESP = 3;

void put_escaped(Bytes* wire, std::uint8_t byte)
{
    if (byte == 0xC0) {
        wire->push_back(0xDB);
        wire->push_back(0xDC);
    } else if (byte == 0xDB) {
        wire->push_back(0xDB);
        wire->push_back(0xDD);
    } else {
        wire->push_back(byte);
    }
}

void peer_queue(BcspPeer* peer, const Bytes& wire, std::uint64_t at_ms)
{
    (void)peer;
    fake_serial_receive(wire.data(), wire.size(), at_ms);
}

int le_message_of(const Bytes& payload)
{
    if (payload.size() < 4) {
        return -1;
    }
    for (int m = 0; m < 4; ++m) {
        if (payload[0] == PEER_LE_PAYLOADS[m][0] && payload[1] == PEER_LE_PAYLOADS[m][1] &&
            payload[2] == PEER_LE_PAYLOADS[m][2] && payload[3] == PEER_LE_PAYLOADS[m][3]) {
            return m;
        }
    }
    return -1;
}

// Checks one de-escaped run between delimiters; fills frame when intact.
int peer_parse(const Bytes& raw, PeerFrame* frame)
{
    if (raw.size() < 4) {
        return 0;
    }
    if (((raw[0] + raw[1] + raw[2] + raw[3]) & 0xFF) != 0xFF) {
        return 0;
    }
    const int crc_present = (raw[0] >> 6) & 1;
    const std::size_t length = static_cast<std::size_t>((raw[1] >> 4) | (raw[2] << 4));
    if (raw.size() != 4 + length + (crc_present ? 2 : 0)) {
        return 0;
    }
    if (crc_present) {
        const std::uint16_t crc = peer_crc(Bytes(raw.begin(), raw.begin() + 4 + static_cast<long>(length)));
        if (raw[4 + length] != (crc >> 8) || raw[5 + length] != (crc & 0xFF)) {
            return 0;
        }
    }
    frame->reliable = (raw[0] >> 7) & 1;
    frame->seq = raw[0] & 7;
    frame->ack = (raw[0] >> 3) & 7;
    frame->channel = raw[1] & 0x0F;
    frame->payload.assign(raw.begin() + 4, raw.begin() + 4 + static_cast<long>(length));
    return 1;
}

void peer_on_frame(BcspPeer* peer, const PeerFrame& frame, std::uint64_t now_ms)
{
    peer->frames.push_back(frame);
    const std::uint64_t at_ms = now_ms + peer->latency_ms;
    if (frame.channel == 1) {
        const int message = le_message_of(frame.payload);
        if (message < 0) {
            return;
        }
        peer->le_messages[message] += 1;
        if (!peer->link_enabled) {
            return;
        }
        if (message == LE_SYNC) {
            // The host has (re)started its link: sequencing starts afresh.
            peer->expected_seq = 0;
            peer->tx_seq = 0;
            peer_send_le(peer, LE_SYNC_RESP, at_ms);
        } else if (message == LE_CONF) {
            peer_send_le(peer, LE_CONF_RESP, at_ms);
        }
        return;
    }
    if (!frame.reliable || frame.payload.empty()) {
        return;
    }
    if (frame.seq != peer->expected_seq) {
        if (peer->ack_enabled) {
            peer_send_ack(peer, at_ms);  // a repeat: acknowledge again
        }
        return;
    }
    peer->expected_seq = (peer->expected_seq + 1) % 8;
    peer->packets.push_back(frame);
    if (peer->ack_enabled) {
        peer_send_ack(peer, at_ms);
    }
    if (peer->on_packet != nullptr) {
        peer->on_packet(peer, &peer->packets.back(), now_ms);
    }
}

void peer_on_write(void* context, const std::uint8_t* bytes, std::size_t count, std::uint64_t now_ms)
{
    auto* peer = static_cast<BcspPeer*>(context);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t byte = bytes[i];
        if (byte == 0xC0) {
            PeerFrame frame{};
            frame.at_ms = now_ms;
            if (peer_parse(peer->partial, &frame)) {
                peer_on_frame(peer, frame, now_ms);
            } else if (peer->partial.size() >= 4) {
                peer->damaged_frames += 1;
            }
            peer->partial.clear();
            peer->escape = 0;
            continue;
        }
        if (peer->escape) {
            peer->escape = 0;
            byte = byte == 0xDC ? 0xC0 : byte == 0xDD ? 0xDB : byte;
        } else if (byte == 0xDB) {
            peer->escape = 1;
            continue;
        }
        peer->partial.push_back(byte);
    }
}

void peer_on_open(void* context, std::uint64_t)
{
    auto* peer = static_cast<BcspPeer*>(context);
    peer->opens += 1;
    peer->partial.clear();
    peer->escape = 0;
}

}  // namespace

std::uint16_t peer_crc(const Bytes& bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : static_cast<std::uint16_t>(crc >> 1);
        }
    }
    std::uint16_t reversed = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (crc & (1u << bit)) {
            reversed = static_cast<std::uint16_t>(reversed | (1u << (15 - bit)));
        }
    }
    return reversed;
}

Bytes peer_frame_bytes(int reliable, int seq, int ack, int channel, const Bytes& payload)
{
    const std::size_t length = payload.size();
    Bytes raw = {
        static_cast<std::uint8_t>((reliable << 7) | 0x40 | (ack << 3) | seq),
        static_cast<std::uint8_t>(((length & 0x0F) << 4) | (channel & 0x0F)),
        static_cast<std::uint8_t>(length >> 4),
        0,
    };
    raw[3] = static_cast<std::uint8_t>(0xFF - ((raw[0] + raw[1] + raw[2]) & 0xFF));
    raw.insert(raw.end(), payload.begin(), payload.end());
    const std::uint16_t crc = peer_crc(raw);
    raw.push_back(static_cast<std::uint8_t>(crc >> 8));
    raw.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    Bytes wire = {0xC0};
    for (std::uint8_t byte : raw) {
        put_escaped(&wire, byte);
    }
    wire.push_back(0xC0);
    return wire;
}

void peer_attach(BcspPeer* peer)
{
    FakeSerialDevice device{};
    device.context = peer;
    device.on_write = peer_on_write;
    device.on_open = peer_on_open;
    fake_serial_attach(&device);
}

void peer_send_le(BcspPeer* peer, int message, std::uint64_t at_ms)
{
    const Bytes payload(PEER_LE_PAYLOADS[message], PEER_LE_PAYLOADS[message] + 4);
    peer_queue(peer, peer_frame_bytes(0, 0, 0, 1, payload), at_ms);
}

void peer_send_ack(BcspPeer* peer, std::uint64_t at_ms)
{
    peer_queue(peer, peer_frame_bytes(0, 0, peer->expected_seq, 0, Bytes{}), at_ms);
}

void peer_send_data(BcspPeer* peer, int channel, const Bytes& payload, int reliable, std::uint64_t at_ms, int ack)
{
    const int seq = reliable ? peer->tx_seq : 0;
    if (reliable) {
        peer->tx_seq = (peer->tx_seq + 1) % 8;
    }
    peer_queue(peer, peer_frame_bytes(reliable, seq, ack < 0 ? peer->expected_seq : ack, channel, payload), at_ms);
}

void peer_restart(BcspPeer* peer, std::uint64_t at_ms)
{
    peer->expected_seq = 0;
    peer->tx_seq = 0;
    peer_send_le(peer, LE_SYNC, at_ms);
}
