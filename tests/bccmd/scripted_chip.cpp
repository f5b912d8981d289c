#include "scripted_chip.h"

namespace {

constexpr std::uint8_t CHANNEL = 2;
constexpr std::uint16_t GET = 0;
constexpr std::uint16_t SET = 2;
constexpr std::uint16_t BUILD_ID = 0x2819;
constexpr std::uint16_t PS = 0x7003;

Bytes words_bytes(const Words& words)
{
    Bytes bytes;
    for (std::uint16_t word : words) {
        bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    return bytes;
}

// The answer's words, or empty for a request that gets none.
Words chip_answer(ScriptedChip* chip, const Words& request)
{
    if (request.size() < 9) {
        return {};
    }
    const std::uint16_t type = request[0];
    const std::uint16_t varid = request[3];
    Words answer(request.begin(), request.end());
    if (varid == BUILD_ID && type == GET) {
        answer[5] = chip->build_id;
    } else if (varid == PS && (type == GET || type == SET)) {
        const std::uint16_t key = request[5];
        const std::uint16_t n = request[6];
        if (type == SET) {
            chip->store[key] = Words(request.begin() + 8, request.begin() + 8 + n);
        } else {
            const Words& values = chip->store[key];
            for (std::uint16_t i = 0; i < n && 8u + i < answer.size(); ++i) {
                answer[8 + i] = i < values.size() ? values[i] : 0;
            }
        }
    } else {
        return {};  // resets and everything else: no answer
    }
    answer[0] = chip->type;
    answer[2] = static_cast<std::uint16_t>(answer[2] + chip->seqno_offset);
    answer[3] = static_cast<std::uint16_t>(answer[3] + chip->varid_offset);
    answer[4] = chip->status;
    return answer;
}

void chip_on_packet(BcspPeer* peer, const PeerFrame* packet, std::uint64_t now_ms)
{
    auto* chip = static_cast<ScriptedChip*>(peer->user);
    if (packet->channel != CHANNEL) {
        return;
    }
    const Words request = bytes_to_words(packet->payload);
    chip->requests.push_back(request);
    if (chip->silent) {
        return;
    }
    const Words answer = chip_answer(chip, request);
    if (answer.empty()) {
        return;
    }
    Bytes bytes = words_bytes(answer);
    if (chip->answer_bytes >= 0 && static_cast<std::size_t>(chip->answer_bytes) < bytes.size()) {
        bytes.resize(static_cast<std::size_t>(chip->answer_bytes));
    }
    peer_send_data(peer, CHANNEL, bytes, 1, now_ms + peer->latency_ms);
}

}  // namespace

void scripted_chip_attach(BcspPeer* peer, ScriptedChip* chip)
{
    peer->user = chip;
    peer->on_packet = chip_on_packet;
}

Words bytes_to_words(const Bytes& bytes)
{
    Words words;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        words.push_back(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return words;
}
