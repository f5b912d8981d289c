#include "chip_test_support.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::uint8_t reverse_byte(std::uint8_t b)
{
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & (1 << i)) {
            r = static_cast<std::uint8_t>(r | (0x80 >> i));
        }
    }
    return r;
}

void slip_put(Bytes& out, std::uint8_t b)
{
    if (b == 0xC0) {
        out.push_back(0xDB);
        out.push_back(0xDC);
    } else if (b == 0xDB) {
        out.push_back(0xDB);
        out.push_back(0xDD);
    } else {
        out.push_back(b);
    }
}

TestFrame decode_one(const Bytes& raw)
{
    TestFrame f;
    Bytes b;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == 0xDB) {
            if (i + 1 >= raw.size() || (raw[i + 1] != 0xDC && raw[i + 1] != 0xDD)) {
                f.why = "bad escape";
                return f;
            }
            b.push_back(raw[i + 1] == 0xDC ? 0xC0 : 0xDB);
            ++i;
        } else {
            b.push_back(raw[i]);
        }
    }
    if (b.size() < 4) {
        f.why = "short";
        return f;
    }
    if (static_cast<std::uint8_t>(b[0] + b[1] + b[2] + b[3]) != 0xFF) {
        f.why = "header checksum";
        return f;
    }
    f.reliable = b[0] >> 7;
    f.crc_present = (b[0] >> 6) & 1;
    f.ack = (b[0] >> 3) & 7;
    f.seq = b[0] & 7;
    f.channel = b[1] & 0x0F;
    std::size_t length = static_cast<std::size_t>((b[1] >> 4) | (b[2] << 4));
    if (b.size() != 4 + length + (f.crc_present ? 2 : 0)) {
        f.why = "length";
        return f;
    }
    if (f.crc_present) {
        std::uint16_t crc = test_crc(Bytes(b.begin(), b.begin() + 4 + static_cast<long>(length)));
        if (b[4 + length] != (crc >> 8) || b[5 + length] != (crc & 0xFF)) {
            f.why = "crc";
            return f;
        }
    }
    f.payload.assign(b.begin() + 4, b.begin() + 4 + static_cast<long>(length));
    f.intact = true;
    return f;
}

}  // namespace

const Bytes FRAME_SYNC = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0};
const Bytes FRAME_SYNC_RESP = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC, 0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0};
const Bytes FRAME_CONF = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAD, 0xEF, 0xAC, 0xED, 0xA1, 0xA6, 0xC0};
const Bytes FRAME_CONF_RESP = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE, 0xAD, 0xD0, 0xD0, 0x83, 0x58, 0xC0};

std::uint16_t test_crc(const Bytes& bytes)
{
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : bytes) {
        crc = static_cast<std::uint16_t>(crc ^ (reverse_byte(byte) << 8));
        for (int i = 0; i < 8; ++i) {
            std::uint16_t shifted = static_cast<std::uint16_t>(crc << 1);
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>(shifted ^ 0x1021) : shifted;
        }
    }
    return crc;
}

Bytes test_frame(int reliable, int seq, int ack, int channel, const Bytes& payload, bool with_crc)
{
    Bytes h(4);
    std::size_t n = payload.size();
    h[0] = static_cast<std::uint8_t>((reliable << 7) | (with_crc ? 0x40 : 0) | (ack << 3) | seq);
    h[1] = static_cast<std::uint8_t>(channel | ((n & 0x0F) << 4));
    h[2] = static_cast<std::uint8_t>(n >> 4);
    h[3] = static_cast<std::uint8_t>(0xFF - ((h[0] + h[1] + h[2]) & 0xFF));
    Bytes body = h;
    body.insert(body.end(), payload.begin(), payload.end());
    if (with_crc) {
        std::uint16_t crc = test_crc(body);
        body.push_back(static_cast<std::uint8_t>(crc >> 8));
        body.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    }
    Bytes out = {0xC0};
    for (std::uint8_t b : body) {
        slip_put(out, b);
    }
    out.push_back(0xC0);
    return out;
}

std::vector<TestFrame> test_decode(const Bytes& stream)
{
    std::vector<TestFrame> frames;
    Bytes raw;
    bool escape = false;
    for (std::uint8_t b : stream) {
        if (b == 0xC0 && !escape) {
            if (!raw.empty()) {
                frames.push_back(decode_one(raw));
            }
            raw.clear();
            continue;
        }
        escape = (b == 0xDB) && !escape;
        raw.push_back(b);
    }
    return frames;
}

std::string test_le_name(const TestFrame& f)
{
    if (!f.intact || f.channel != 1 || f.reliable || f.payload.size() != 4) {
        return "";
    }
    const char* names[] = {"SYNC", "SYNC_RESP", "CONF", "CONF_RESP"};
    const Bytes* frames[] = {&FRAME_SYNC, &FRAME_SYNC_RESP, &FRAME_CONF, &FRAME_CONF_RESP};
    for (int i = 0; i < 4; ++i) {
        if (Bytes(frames[i]->begin() + 5, frames[i]->begin() + 9) == f.payload) {
            return names[i];
        }
    }
    return "";
}

Bytes test_bccmd(std::uint16_t type, std::uint16_t seqno, std::uint16_t varid, const Words& payload)
{
    Words w = {type, 0, seqno, varid, 0};
    w.insert(w.end(), payload.begin(), payload.end());
    while (w.size() < 9) {
        w.push_back(0);
    }
    w[1] = static_cast<std::uint16_t>(w.size());
    Bytes out;
    for (std::uint16_t x : w) {
        out.push_back(static_cast<std::uint8_t>(x & 0xFF));
        out.push_back(static_cast<std::uint8_t>(x >> 8));
    }
    return out;
}

Words test_words(const Bytes& bytes)
{
    Words w;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        w.push_back(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return w;
}

void ChipRig::SetUp()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "chip_test_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    store_path = dir + "/ps_store.txt";
    text_log = std::fopen((dir + "/chip.log").c_str(), "w+");
    event_log = std::fopen((dir + "/events.jsonl").c_str(), "w+");
    ASSERT_NE(text_log, nullptr);
    ASSERT_NE(event_log, nullptr);
}

void ChipRig::TearDown()
{
    if (chip != nullptr) {
        chip_destroy(chip);
    }
    std::fclose(text_log);
    std::fclose(event_log);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void ChipRig::create(ChipConfig config)
{
    config.store_path = store_path.c_str();
    config.log = text_log;
    config.event_log = event_log;
    if (config.build_id == 0) {
        config.build_id = 1234;
    }
    chip = chip_create(&config);
    ASSERT_NE(chip, nullptr) << chip_create_error();
}

void ChipRig::feed(const Bytes& bytes)
{
    for (std::uint8_t b : bytes) {
        chip_receive_byte(chip, b, now);
    }
}

Bytes ChipRig::drain()
{
    Bytes out;
    std::uint8_t b = 0;
    // Bounded: a chip that never stops sending is a failure, not a hang.
    for (int i = 0; i < 100000 && chip_transmit_byte(chip, now, &b); ++i) {
        out.push_back(b);
    }
    return out;
}

void ChipRig::establish()
{
    std::size_t established = events("link_established").size();
    chip_power_on(chip, now);
    std::vector<TestFrame> f = test_decode(drain());
    ASSERT_EQ(f.size(), 1u);
    ASSERT_EQ(test_le_name(f[0]), "SYNC");
    f = exchange(FRAME_SYNC);
    ASSERT_EQ(f.size(), 1u);
    ASSERT_EQ(test_le_name(f[0]), "SYNC_RESP");
    f = exchange(FRAME_SYNC_RESP);
    ASSERT_EQ(f.size(), 1u);
    ASSERT_EQ(test_le_name(f[0]), "CONF");
    f = exchange(FRAME_CONF);
    ASSERT_EQ(f.size(), 1u);
    ASSERT_EQ(test_le_name(f[0]), "CONF_RESP");
    f = exchange(FRAME_CONF_RESP);
    ASSERT_TRUE(f.empty());
    ASSERT_EQ(events("link_established").size(), established + 1);
    host_seq = 0;
    host_ack = 0;
}

std::vector<TestFrame> ChipRig::request(const Bytes& message)
{
    std::vector<TestFrame> frames = exchange(test_frame(1, host_seq, host_ack, 2, message));
    host_seq = (host_seq + 1) & 7;
    for (const TestFrame& f : frames) {
        if (f.intact && f.reliable) {
            host_ack = (f.seq + 1) & 7;
        }
    }
    return frames;
}

std::vector<std::string> ChipRig::events(const std::string& name)
{
    std::fflush(event_log);
    std::ifstream in(dir + "/events.jsonl");
    std::vector<std::string> lines;
    std::string line;
    std::string needle = "\"ev\":\"" + name + "\"";
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string ChipRig::store_text()
{
    std::ifstream in(store_path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

long long event_number(const std::string& line, const std::string& field)
{
    std::string needle = "\"" + field + "\":";
    std::size_t at = line.find(needle);
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtoll(line.c_str() + at + needle.size(), nullptr, 10);
}

std::optional<TestFrame> find_bccmd(const std::vector<TestFrame>& frames)
{
    for (const TestFrame& f : frames) {
        if (f.intact && f.channel == 2 && f.payload.size() >= 10) {
            return f;
        }
    }
    return std::nullopt;
}
