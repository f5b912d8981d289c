// The wire trace's stream decoders: byte streams of every phase and the units
// they decode to. Each stream is fed whole and again one byte at a time; both
// must give the same units.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bcsp/bcsp_wire.h"
#include "trace/trace_decode.h"

namespace {

std::vector<std::uint8_t> bytes_of(const std::string& text)
{
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> unhex(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(trace_unhex(hex, &bytes)) << hex;
    return bytes;
}

// A BCSP frame as the wire carries it, built with the wire format's own header
// and CRC calls and escaped by hand.
std::vector<std::uint8_t> bcsp_frame(int reliable, int seq, int ack, int channel, const std::vector<std::uint8_t>& payload,
                                     bool break_crc = false)
{
    std::vector<std::uint8_t> plain(BCSP_HEADER_BYTES);
    bcsp_header_build(plain.data(), reliable, seq, ack, channel, static_cast<int>(payload.size()));
    plain.insert(plain.end(), payload.begin(), payload.end());
    std::uint16_t crc = BCSP_CRC_INITIAL;
    for (const std::uint8_t byte : plain) {
        crc = bcsp_crc_update(byte, crc);
    }
    crc = static_cast<std::uint16_t>(bcsp_crc_reverse(crc) ^ (break_crc ? 1 : 0));
    plain.push_back(static_cast<std::uint8_t>(crc >> 8));
    plain.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    std::vector<std::uint8_t> wire{SLIP_END};
    for (const std::uint8_t byte : plain) {
        if (byte == SLIP_END || byte == SLIP_ESC) {
            wire.push_back(SLIP_ESC);
            wire.push_back(byte == SLIP_END ? SLIP_ESC_END : SLIP_ESC_ESC);
        } else {
            wire.push_back(byte);
        }
    }
    wire.push_back(SLIP_END);
    return wire;
}

// A BCCMD message: the words low byte first.
std::vector<std::uint8_t> bccmd(std::vector<std::uint16_t> words)
{
    std::vector<std::uint8_t> bytes;
    for (const std::uint16_t word : words) {
        bytes.push_back(static_cast<std::uint8_t>(word & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    return bytes;
}

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts)
{
    std::vector<std::uint8_t> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct DecodeCase {
    const char* name;
    TracePhase phase;
    TraceDirection direction;
    std::vector<std::uint8_t> stream;
    // Each unit's expected fields (a unit may have more).
    std::vector<TraceJson> units;
};

const std::vector<std::uint8_t> BUILD_ID_REQUEST = bccmd({0, 9, 0, 0x2819, 0, 0, 0, 0, 0});
const std::vector<std::uint8_t> BUILD_ID_RESPONSE = bccmd({1, 9, 0, 0x2819, 0, 4835, 0, 0, 0});
const std::vector<std::uint8_t> PS_REFUSED = bccmd({1, 9, 7, 0x7003, 8, 0x024b, 1, 0, 0x20});
const std::vector<std::uint8_t> PS_NAME = bccmd({1, 10, 3, 0x7003, 0, 0x0108, 2, 0, 0x694b, 0x0063});

std::vector<DecodeCase> decode_cases()
{
    using Json = TraceJson;
    const auto in = TraceDirection::from_device;
    const auto out = TraceDirection::to_device;
    return {
        {"pnp reply with extra bytes", TracePhase::pnp, in, bytes_of("(\x01\x24QXZ4702\x5c\x21)"),
         {Json{{"kind", "pnp_reply"}, {"revision", "0124"}, {"pnp_id", "QXZ4702"}, {"known", true},
               {"extra", "\\x5c!"}, {"bytes", "28012451585a343730325c2129"}}}},
        {"pnp reply with a wrong identifier", TracePhase::pnp, in, bytes_of("(\x01\x24QXZ4709)"),
         {Json{{"kind", "pnp_reply"}, {"pnp_id", "QXZ4709"}, {"known", false}}}},
        {"pnp reply mixing both identifiers", TracePhase::pnp, in, bytes_of("(\x01\x24QXZ5702)"),
         {Json{{"kind", "pnp_reply"}, {"pnp_id", "QXZ5702"}, {"known", true}}}},
        {"line noise before the pnp reply", TracePhase::pnp, in, bytes_of("\xff\xfe(\x01\x24QXZ5830)"),
         {Json{{"kind", "other"}, {"bytes", "fffe"}}, Json{{"kind", "pnp_reply"}, {"pnp_id", "QXZ5830"}}}},
        {"a ')' among the ignored bytes does not end the reply", TracePhase::pnp, in, bytes_of("()\x24QXZ4702)"),
         {Json{{"kind", "pnp_reply"}, {"revision", "2924"}, {"pnp_id", "QXZ4702"}}}},
        {"setup request and the three commands", TracePhase::command, out,
         joined({bytes_of("LUMA PORT SETUP"), unhex("01f70000"), unhex("01f80000"), unhex("01f60000")}),
         {Json{{"kind", "handshake_request"}, {"text", "LUMA PORT SETUP"}, {"ok", true}},
          Json{{"kind", "command"}, {"code", "0x00f7"}, {"name", "identify"}, {"bytes", "01f70000"}},
          Json{{"kind", "command"}, {"name", "identified"}}, Json{{"kind", "command"}, {"name", "unrecognised"}}}},
        {"handshake, another frame, the version frame", TracePhase::command, in,
         joined({bytes_of("LUMA PORT READY"), unhex("010100026162"),
                 joined({unhex("05dd0029"), bytes_of("Veltrane_Tools Marrowlink Firmware 1.2.9"), unhex("00")})}),
         {Json{{"kind", "handshake_answer"}, {"text", "LUMA PORT READY"}, {"ok", true}},
          Json{{"kind", "reply_frame"}, {"code", 257}, {"length", 2}},
          Json{{"kind", "reply_frame"}, {"code", 1501}, {"length", 41},
               {"version", "Veltrane_Tools Marrowlink Firmware 1.2.9"}, {"variant", "standard"}}}},
        {"CI firmware, text without its zero byte", TracePhase::command, in,
         joined({bytes_of("LUMA PORT READY"), unhex("05dd0025"), bytes_of("Veltrane_Tools Marrowlink CI Firmware")}),
         {Json{{"kind", "handshake_answer"}, {"ok", true}},
          Json{{"kind", "reply_frame"}, {"version", "Veltrane_Tools Marrowlink CI Firmware"}, {"variant", "ci"}}}},
        {"the swapped version code is another frame", TracePhase::command, in,
         joined({bytes_of("LUMA PORT READY"), unhex("dd0500017a")}),
         {Json{{"kind", "handshake_answer"}, {"ok", true}}, Json{{"kind", "reply_frame"}, {"code", 0xdd05}}}},
        {"wrong handshake answer ends at its first wrong byte", TracePhase::command, in,
         joined({bytes_of("LUMB"), unhex("05dd0001"), bytes_of("x")}),
         {Json{{"kind", "handshake_answer"}, {"text", "LUMB"}, {"ok", false}},
          Json{{"kind", "reply_frame"}, {"code", 1501}, {"version", "x"}, {"variant", "unknown"}}}},
        {"SYNC", TracePhase::bcsp, out, unhex("c0404100" "7edadceded" "a97ac0"),
         {Json{{"kind", "bcsp"}, {"le", "SYNC"}, {"channel", 1}, {"reliable", false}, {"crc", "ok"},
               {"check", "ok"}, {"bytes", "c04041007edadceded" "a97ac0"}}}},
        {"a frame without its closing delimiter is not complete", TracePhase::bcsp, in,
         unhex("c04041007edeadd0d0"), {}},
        {"acknowledgement 1", TracePhase::bcsp, in, unhex("c0480000b75e8cc0"),
         {Json{{"kind", "bcsp"}, {"channel", 0}, {"ack", 1}, {"length", 0}, {"check", "ok"}}}},
        {"escaped header byte", TracePhase::bcsp, out, unhex("c0dbdc32000d01020356b4c0"),
         {Json{{"kind", "bcsp"}, {"seq", 0}, {"reliable", true}, {"channel", 2}, {"length", 3},
               {"payload", "010203"}, {"check", "ok"}, {"bccmd", Json{{"short", true}}}}}},
        {"a damaged CRC", TracePhase::bcsp, in, unhex("c04041007edadceded" "a97bc0"),
         {Json{{"kind", "bcsp"}, {"crc", "bad"}, {"check", "crc"}}}},
        {"a damaged header", TracePhase::bcsp, in, unhex("c04041007fdadceded" "a97ac0"),
         {Json{{"kind", "bcsp"}, {"header", "bad"}, {"check", "header_checksum"}}}},
        {"noise before the first delimiter, then a short frame", TracePhase::bcsp, in, unhex("1234c00102c0"),
         {Json{{"kind", "other"}, {"bytes", "1234"}}, Json{{"kind", "bcsp"}, {"check", "short"}}}},
        {"build id request and a repeat of it", TracePhase::bcsp, out,
         joined({bcsp_frame(1, 0, 0, 2, BUILD_ID_REQUEST), bcsp_frame(1, 0, 0, 2, BUILD_ID_REQUEST)}),
         {Json{{"kind", "bcsp"}, {"bccmd", Json{{"type", "get"}, {"length", 9}, {"seqno", 0}, {"varid", "BUILD_ID"},
                                               {"status", "OK"}}}},
          Json{{"kind", "bcsp"}, {"retransmission", true}}}},
        {"build id answer", TracePhase::bcsp, in, bcsp_frame(1, 0, 1, 2, BUILD_ID_RESPONSE),
         {Json{{"kind", "bcsp"}, {"ack", 1}, {"bccmd", Json{{"type", "response"}, {"build_id", 4835}}}}}},
        {"a key refused with an error status", TracePhase::bcsp, in, bcsp_frame(1, 3, 4, 2, PS_REFUSED),
         {Json{{"kind", "bcsp"},
               {"bccmd", Json{{"varid", "PS"}, {"status", "ERROR"}, {"seqno", 7},
                              {"ps", Json{{"key", "0x024b"}, {"length", 1}, {"words", Json::array({0x20})}}}}}}}},
        {"the device name read", TracePhase::bcsp, in, bcsp_frame(1, 1, 2, 2, PS_NAME),
         {Json{{"kind", "bcsp"},
               {"bccmd", Json{{"ps", Json{{"key", "0x0108"}, {"words", Json::array({0x694b, 0x0063})},
                                          {"device_name", "Kic"}}}}}}}},
        {"a varid without a name, an unnamed status", TracePhase::bcsp, in,
         bcsp_frame(0, 0, 0, 2, bccmd({1, 9, 0, 0x1002, 0x77, 5, 6, 7, 8})),
         {Json{{"kind", "bcsp"}, {"bccmd", Json{{"varid", "0x1002"}, {"status", 0x77},
                                               {"words", Json::array({5, 6, 7, 8})}}}}}},
        {"nothing is expected in an unknown phase", TracePhase::unknown, in, unhex("c0c0"),
         {Json{{"kind", "other"}, {"bytes", "c0c0"}}}},
    };
}

// Every field of expected is in actual with that value (objects: recursively).
bool json_has(const TraceJson& actual, const TraceJson& expected)
{
    if (!expected.is_object()) {
        return actual == expected;
    }
    for (const auto& [field, value] : expected.items()) {
        if (!actual.is_object() || !actual.contains(field) || !json_has(actual[field], value)) {
            return false;
        }
    }
    return true;
}

void expect_units(const DecodeCase& c, const TraceJson& units, const char* how)
{
    ASSERT_EQ(units.size(), c.units.size()) << c.name << " (" << how << "): " << units.dump();
    for (std::size_t i = 0; i < c.units.size(); ++i) {
        EXPECT_TRUE(json_has(units[i], c.units[i]))
            << c.name << " (" << how << "), unit " << i << ": " << units[i].dump() << "\nwanted " << c.units[i].dump();
    }
}

TEST(TraceDecode, StreamsDecodeAlikeWholeAndByteByByte)
{
    for (const DecodeCase& c : decode_cases()) {
        TraceJson out = TraceJson::array();
        TraceStreamDecoder whole(c.direction);
        whole.restart(c.phase, out);
        whole.feed(c.stream.data(), c.stream.size(), out);
        expect_units(c, out, "whole");

        TraceJson single = TraceJson::array();
        TraceStreamDecoder bytewise(c.direction);
        bytewise.restart(c.phase, single);
        for (const std::uint8_t byte : c.stream) {
            bytewise.feed(&byte, 1, single);
        }
        if (c.phase != TracePhase::unknown) {  // there each feed is its own unit
            expect_units(c, single, "byte by byte");
        }
    }
}

TEST(TraceDecode, RestartReportsTheUnfinishedUnit)
{
    struct Cut {
        TracePhase phase;
        TraceDirection direction;
        std::string stream;
        TraceJson expected;
    };
    const std::vector<Cut> cuts = {
        {TracePhase::pnp, TraceDirection::from_device, "(\x01\x24QX",
         TraceJson{{"kind", "pnp_reply"}, {"pnp_id", "QX"}, {"complete", false}, {"bytes", "2801245158"}}},
        {TracePhase::command, TraceDirection::from_device, std::string("LUMA PORT READY\x05\xdd\x00\x09Velt", 23),
         TraceJson{{"kind", "reply_frame"}, {"code", 1501}, {"version", "Velt"}, {"complete", false}}},
        {TracePhase::bcsp, TraceDirection::from_device, "\xc0\x40\x41",
         TraceJson{{"kind", "bcsp"}, {"check", "unfinished"}, {"complete", false}, {"bytes", "c04041"}}},
    };
    for (const Cut& cut : cuts) {
        TraceJson out = TraceJson::array();
        TraceStreamDecoder decoder(cut.direction);
        decoder.restart(cut.phase, out);
        decoder.feed(reinterpret_cast<const std::uint8_t*>(cut.stream.data()), cut.stream.size(), out);
        out = TraceJson::array();
        decoder.restart(TracePhase::unknown, out);
        ASSERT_EQ(out.size(), 1u) << out.dump();
        EXPECT_TRUE(json_has(out[0], cut.expected)) << out[0].dump();
    }
}

TEST(TraceDecode, PhaseFollowsTheLineSettings)
{
    struct Settings {
        std::uint32_t baud;
        std::uint8_t parity;
        std::uint8_t stop_bits;
        std::uint8_t byte_size;
        TracePhase phase;
    };
    const Settings table[] = {
        {1200, SERIAL_NOPARITY, SERIAL_ONESTOPBIT, 8, TracePhase::pnp},
        {115200, SERIAL_NOPARITY, SERIAL_ONESTOPBIT, 8, TracePhase::command},
        {115200, SERIAL_EVENPARITY, SERIAL_ONESTOPBIT, 8, TracePhase::bcsp},
        {115200, SERIAL_ODDPARITY, SERIAL_ONESTOPBIT, 8, TracePhase::unknown},
        {115200, SERIAL_NOPARITY, SERIAL_TWOSTOPBITS, 8, TracePhase::unknown},
        {1200, SERIAL_EVENPARITY, SERIAL_ONESTOPBIT, 8, TracePhase::unknown},
        {9600, SERIAL_NOPARITY, SERIAL_ONESTOPBIT, 8, TracePhase::unknown},
        {115200, SERIAL_NOPARITY, SERIAL_ONESTOPBIT, 7, TracePhase::unknown},
    };
    for (const Settings& s : table) {
        SerialState state{};
        state.baud_rate = s.baud;
        state.parity = s.parity;
        state.stop_bits = s.stop_bits;
        state.byte_size = s.byte_size;
        EXPECT_EQ(trace_phase_of(state), s.phase) << s.baud << " parity " << int(s.parity);
    }
}

TEST(TraceDecode, HexRoundTripsAndRefusesWhatIsNotHex)
{
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(trace_unhex("00ff7Ac0", &bytes));
    EXPECT_EQ(trace_hex(bytes.data(), bytes.size()), "00ff7ac0");
    for (const char* bad : {"0", "0g", "zz", "00 "}) {
        EXPECT_FALSE(trace_unhex(bad, &bytes)) << bad;
    }
}

}  // namespace
