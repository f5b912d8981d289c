// The stream decoders of the wire trace. They use the updater's own
// definitions (cmdport, bcsp_wire, bccmd) so that a trace reads the bytes as
// the updater reads them.
#include "trace/trace_decode.h"

#include <cstdio>

#include "bccmd/bccmd.h"
#include "bccmd/bccmd_names.h"
#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_wire.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "driver/profiles.h"

namespace {

// A frame without a closing delimiter is reported once it is this long: a
// line of noise must not grow the decoder without end.
constexpr std::size_t TRACE_BCSP_FRAME_MAX_BYTES = 8192;
// Bytes that fit no unit are reported in runs of at most this many.
constexpr std::size_t TRACE_OTHER_MAX_BYTES = 256;

constexpr std::size_t REPLY_HEADER_BYTES = 4;

std::string trace_hex_word(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(value));
    return text;
}

std::uint16_t trace_word(const std::uint8_t* bytes, std::size_t word)
{
    return static_cast<std::uint16_t>(bytes[2 * word] | (bytes[2 * word + 1] << 8));
}

// The Plug-and-Play reply held so far: "(", two revision bytes, the identifier
// and whatever follows it up to ")".
TraceJson trace_pnp_decode(const std::vector<std::uint8_t>& unit, bool complete)
{
    TraceJson item{{"kind", "pnp_reply"}};
    const std::size_t text_begin = 1 + PNP_IGNORED_BYTES;
    const std::size_t text_end = complete ? unit.size() - 1 : unit.size();
    if (unit.size() >= text_begin) {
        item["revision"] = trace_hex(unit.data() + 1, PNP_IGNORED_BYTES);
    }
    if (text_end > text_begin) {
        const std::size_t id_length =
            text_end - text_begin < static_cast<std::size_t>(PNP_IDENTIFIER_LENGTH) ? text_end - text_begin
                                                                                     : PNP_IDENTIFIER_LENGTH;
        const std::uint8_t* id = unit.data() + text_begin;
        bool known = true;
        for (std::size_t i = 0; i < id_length; ++i) {
            known = known && (id[i] == static_cast<std::uint8_t>(PNP_IDENTIFIER_FIRST[i]) ||
                              id[i] == static_cast<std::uint8_t>(PNP_IDENTIFIER_SECOND[i]));
        }
        item["pnp_id"] = trace_text(id, id_length);
        item["known"] = known;
        if (text_end - text_begin > id_length) {
            item["extra"] = trace_text(id + id_length, text_end - text_begin - id_length);
        }
    }
    return item;
}

const char* trace_command_name(std::uint8_t code)
{
    switch (code) {
    case CMD_IDENTIFY: return "identify";
    case CMD_UNRECOGNISED: return "unrecognised";
    case CMD_IDENTIFIED: return "identified";
    default: return "unknown";
    }
}

TraceJson trace_command_decode(const std::vector<std::uint8_t>& unit)
{
    if (unit[0] != SETUP_REQUEST[0]) {
        TraceJson item{{"kind", "command"}};
        if (unit.size() > 1) {
            item["code"] = trace_hex_word(unit[1]);
            item["name"] = trace_command_name(unit[1]);
        }
        return item;
    }
    const std::string text(unit.begin(), unit.end());
    return TraceJson{{"kind", "handshake_request"},
                     {"text", trace_text(unit.data(), unit.size())},
                     {"ok", text == SETUP_REQUEST}};
}

TraceJson trace_reply_frame_decode(const std::vector<std::uint8_t>& unit)
{
    TraceJson item{{"kind", "reply_frame"}};
    if (unit.size() < REPLY_HEADER_BYTES) {
        return item;
    }
    const std::uint16_t code = static_cast<std::uint16_t>(unit[0] << 8 | unit[1]);
    item["code"] = code;
    item["length"] = unit[2] << 8 | unit[3];
    if (code != REPLY_CODE_VERSION) {
        return item;
    }
    const std::uint8_t* data = unit.data() + REPLY_HEADER_BYTES;
    std::size_t text_length = 0;
    while (REPLY_HEADER_BYTES + text_length < unit.size() && data[text_length] != 0) {
        ++text_length;
    }
    const std::string text(data, data + text_length);
    item["version"] = trace_text(data, text_length);
    item["variant"] = text.starts_with(CI_FIRMWARE_PREFIX)         ? "ci"
                      : text.starts_with(STANDARD_FIRMWARE_PREFIX) ? "standard"
                                                                   : "unknown";
    return item;
}

}  // namespace

std::string trace_text(const std::uint8_t* bytes, std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\' && bytes[i] != '"') {
            text += static_cast<char>(bytes[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(bytes[i]));
            text += escaped;
        }
    }
    return text;
}


const char* trace_phase_name(TracePhase phase)
{
    switch (phase) {
    case TracePhase::pnp: return "pnp";
    case TracePhase::command: return "command";
    case TracePhase::bcsp: return "bcsp";
    default: return "unknown";
    }
}

TracePhase trace_phase_of(const SerialState& state)
{
    if (state.byte_size != 8 || state.stop_bits != SERIAL_ONESTOPBIT) {
        return TracePhase::unknown;
    }
    if (state.baud_rate == PNP_BAUD_RATE && state.parity == SERIAL_NOPARITY) {
        return TracePhase::pnp;
    }
    if (state.baud_rate == HANDSHAKE_BAUD_RATE) {
        return state.parity == SERIAL_NOPARITY     ? TracePhase::command
               : state.parity == SERIAL_EVENPARITY ? TracePhase::bcsp
                                                   : TracePhase::unknown;
    }
    return TracePhase::unknown;
}

std::string trace_hex(const std::uint8_t* bytes, std::size_t count)
{
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string text(2 * count, '0');
    for (std::size_t i = 0; i < count; ++i) {
        text[2 * i] = DIGITS[bytes[i] >> 4];
        text[2 * i + 1] = DIGITS[bytes[i] & 0x0F];
    }
    return text;
}

bool trace_unhex(const std::string& text, std::vector<std::uint8_t>* bytes)
{
    if (text.size() % 2 != 0) {
        return false;
    }
    bytes->clear();
    bytes->reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return false;
            }
            value = value * 16 + digit;
        }
        bytes->push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

TraceJson trace_bccmd_decode(const std::uint8_t* bytes, std::size_t count)
{
    const std::size_t words = count / 2;
    TraceJson message;
    if (words < static_cast<std::size_t>(BCCMD_HEADER_WORDS)) {
        message["short"] = true;
        return message;
    }
    const std::uint16_t type = trace_word(bytes, 0);
    const std::uint16_t varid = trace_word(bytes, 3);
    const std::uint16_t status = trace_word(bytes, 4);
    const char* type_name = bccmd_type_name(type);
    const char* varid_name = bccmd_varid_name(varid);
    const char* status_name = bccmd_status_name(status);
    message["type"] = type_name != nullptr ? TraceJson(type_name) : TraceJson(type);
    message["length"] = trace_word(bytes, 1);
    message["seqno"] = trace_word(bytes, 2);
    message["varid"] = varid_name != nullptr ? varid_name : trace_hex_word(varid);
    message["status"] = status_name != nullptr ? TraceJson(status_name) : TraceJson(status);
    const std::size_t payload = BCCMD_HEADER_WORDS;
    if (varid == VARID_PS && words >= payload + PS_KEY_REQUEST_HEADER_WORDS) {
        const std::uint16_t n = trace_word(bytes, payload + 1);
        TraceJson values = TraceJson::array();
        for (std::size_t i = 0; i < n && payload + PS_KEY_REQUEST_HEADER_WORDS + i < words; ++i) {
            values.push_back(trace_word(bytes, payload + PS_KEY_REQUEST_HEADER_WORDS + i));
        }
        const std::uint16_t key = trace_word(bytes, payload);
        message["ps"] = TraceJson{{"key", trace_hex_word(key)},
                                  {"length", n},
                                  {"stores", trace_word(bytes, payload + 2)},
                                  {"words", values}};
        if (key == PSKEY_DEVICE_NAME) {
            // Two characters a word, the first in the low byte, up to a zero.
            std::vector<std::uint8_t> text;
            for (const TraceJson& word : values) {
                const std::uint16_t w = word.get<std::uint16_t>();
                text.push_back(static_cast<std::uint8_t>(w & 0xFF));
                text.push_back(static_cast<std::uint8_t>(w >> 8));
            }
            std::size_t length = 0;
            while (length < text.size() && text[length] != 0) {
                ++length;
            }
            message["ps"]["device_name"] = trace_text(text.data(), length);
        }
    } else if (varid == VARID_BUILD_ID && type == BCCMD_GET_RESPONSE && words > payload) {
        message["build_id"] = trace_word(bytes, payload);
    } else {
        TraceJson values = TraceJson::array();
        for (std::size_t i = payload; i < words; ++i) {
            values.push_back(trace_word(bytes, i));
        }
        message["words"] = values;
    }
    return message;
}

void TraceStreamDecoder::emit(TraceJson unit, TraceJson& out)
{
    unit["bytes"] = trace_hex(unit_.data(), unit_.size());
    out.push_back(std::move(unit));
    unit_.clear();
}

void TraceStreamDecoder::emit_other(TraceJson& out)
{
    if (!other_.empty()) {
        out.push_back(TraceJson{{"kind", "other"}, {"bytes", trace_hex(other_.data(), other_.size())}});
        other_.clear();
    }
}

void TraceStreamDecoder::restart(TracePhase phase, TraceJson& out)
{
    // A frame's closing delimiter is held as the next one's opening: alone it is nothing.
    const bool lone_delimiter = phase_ == TracePhase::bcsp && unit_.size() == 1 && frame_.empty();
    if (!unit_.empty() && !lone_delimiter) {
        TraceJson unit;
        if (phase_ == TracePhase::pnp) {
            unit = trace_pnp_decode(unit_, false);
        } else if (phase_ == TracePhase::command && direction_ == TraceDirection::to_device) {
            unit = trace_command_decode(unit_);
        } else if (phase_ == TracePhase::command && handshake_done_) {
            unit = trace_reply_frame_decode(unit_);
        } else if (phase_ == TracePhase::command) {
            unit = TraceJson{{"kind", "handshake_answer"}, {"text", trace_text(unit_.data(), unit_.size())},
                             {"ok", false}};
        } else {
            unit = TraceJson{{"kind", "bcsp"}, {"check", "unfinished"}};
        }
        unit["complete"] = false;
        emit(std::move(unit), out);
    }
    emit_other(out);
    phase_ = phase;
    unit_.clear();
    frame_.clear();
    escape_ = false;
    in_frame_ = false;
    handshake_done_ = false;
    last_reliable_.clear();
}

void TraceStreamDecoder::feed(const std::uint8_t* bytes, std::size_t count, TraceJson& out)
{
    if (phase_ == TracePhase::unknown || (phase_ == TracePhase::pnp && direction_ == TraceDirection::to_device)) {
        // Nothing is expected here: the bytes as they came.
        if (count > 0) {
            out.push_back(TraceJson{{"kind", "other"}, {"bytes", trace_hex(bytes, count)}});
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        feed_byte(bytes[i], out);
    }
    if (other_.size() >= TRACE_OTHER_MAX_BYTES) {
        emit_other(out);
    }
}

void TraceStreamDecoder::feed_byte(std::uint8_t byte, TraceJson& out)
{
    switch (phase_) {
    case TracePhase::pnp: feed_pnp(byte, out); break;
    case TracePhase::command:
        if (direction_ == TraceDirection::to_device) {
            feed_command_out(byte, out);
        } else {
            feed_command_in(byte, out);
        }
        break;
    case TracePhase::bcsp: feed_bcsp(byte, out); break;
    default: break;
    }
}

// "(", two bytes compared with nothing, then the identifier up to ")".
void TraceStreamDecoder::feed_pnp(std::uint8_t byte, TraceJson& out)
{
    if (unit_.empty() && byte != PNP_REPLY_BEGIN) {
        other_.push_back(byte);
        return;
    }
    if (unit_.empty()) {
        emit_other(out);
    }
    unit_.push_back(byte);
    const bool closed = unit_.size() > 1 + static_cast<std::size_t>(PNP_IGNORED_BYTES) && byte == PNP_REPLY_END;
    if (closed) {
        emit(trace_pnp_decode(unit_, true), out);
    } else if (unit_.size() >= static_cast<std::size_t>(PNP_REPLY_MAX_BYTES)) {
        TraceJson unit = trace_pnp_decode(unit_, false);
        unit["complete"] = false;
        emit(std::move(unit), out);
    }
}

// The setup request, then 4-byte commands 01 code 00 00.
void TraceStreamDecoder::feed_command_out(std::uint8_t byte, TraceJson& out)
{
    if (unit_.empty() && byte != static_cast<std::uint8_t>(SETUP_REQUEST[0]) && byte != 0x01) {
        other_.push_back(byte);
        return;
    }
    if (unit_.empty()) {
        emit_other(out);
    }
    unit_.push_back(byte);
    const std::size_t size = unit_[0] == 0x01 ? ADAPTER_COMMAND_SIZE : SETUP_TEXT_LENGTH;
    if (unit_.size() == size) {
        emit(trace_command_decode(unit_), out);
    }
}

// The handshake answer (up to its first wrong byte, where the updater stops
// reading), then reply frames: code and length, high byte first, and the data.
void TraceStreamDecoder::feed_command_in(std::uint8_t byte, TraceJson& out)
{
    unit_.push_back(byte);
    if (!handshake_done_) {
        const std::size_t at = unit_.size() - 1;
        const bool right = byte == static_cast<std::uint8_t>(SETUP_ANSWER[at]);
        if (!right || unit_.size() == SETUP_TEXT_LENGTH) {
            handshake_done_ = true;
            emit(TraceJson{{"kind", "handshake_answer"},
                           {"text", trace_text(unit_.data(), unit_.size())},
                           {"ok", right && unit_.size() == SETUP_TEXT_LENGTH}},
                 out);
        }
        return;
    }
    if (unit_.size() >= REPLY_HEADER_BYTES &&
        unit_.size() == REPLY_HEADER_BYTES + static_cast<std::size_t>(unit_[2] << 8 | unit_[3])) {
        emit(trace_reply_frame_decode(unit_), out);
    }
}

void TraceStreamDecoder::feed_bcsp(std::uint8_t byte, TraceJson& out)
{
    if (byte == SLIP_END && !escape_) {
        if (!in_frame_) {
            emit_other(out);
            in_frame_ = true;
        } else if (!frame_.empty()) {
            unit_.push_back(byte);
            bcsp_frame_end(out);
        }
        unit_.assign(1, byte);
        frame_.clear();
        return;
    }
    if (!in_frame_) {
        other_.push_back(byte);
        return;
    }
    unit_.push_back(byte);
    if (escape_) {
        escape_ = false;
        frame_.push_back(byte == SLIP_ESC_END ? SLIP_END : byte == SLIP_ESC_ESC ? SLIP_ESC : byte);
    } else if (byte == SLIP_ESC) {
        escape_ = true;
    } else {
        frame_.push_back(byte);
    }
    if (unit_.size() >= TRACE_BCSP_FRAME_MAX_BYTES) {
        emit(TraceJson{{"kind", "bcsp"}, {"check", "too_long"}}, out);
        frame_.clear();
        in_frame_ = false;
    }
}

// A frame between two delimiters, checked as the updater's engine checks it.
void TraceStreamDecoder::bcsp_frame_end(TraceJson& out)
{
    TraceJson item{{"kind", "bcsp"}};
    if (frame_.size() < static_cast<std::size_t>(BCSP_HEADER_BYTES)) {
        item["check"] = "short";
        emit(std::move(item), out);
        return;
    }
    const std::uint8_t* header = frame_.data();
    const std::size_t length = static_cast<std::size_t>(bcsp_header_payload_length(header));
    const bool crc_present = bcsp_header_crc_present(header) != 0;
    const std::size_t stored = frame_.size() - BCSP_HEADER_BYTES;
    const bool header_ok = bcsp_header_intact(header) != 0;
    const bool length_ok = stored == length + (crc_present ? BCSP_CRC_BYTES : 0);
    bool crc_ok = true;
    if (crc_present && length_ok) {
        std::uint16_t crc = BCSP_CRC_INITIAL;
        for (std::size_t i = 0; i < BCSP_HEADER_BYTES + length; ++i) {
            crc = bcsp_crc_update(frame_[i], crc);
        }
        const std::uint16_t sent = static_cast<std::uint16_t>(frame_[BCSP_HEADER_BYTES + length] << 8 |
                                                              frame_[BCSP_HEADER_BYTES + length + 1]);
        crc_ok = bcsp_crc_reverse(crc) == sent;
    }
    const int channel = bcsp_header_channel(header);
    const bool reliable = bcsp_header_reliable(header) != 0;
    item["seq"] = bcsp_header_seq(header);
    item["ack"] = bcsp_header_ack(header);
    item["reliable"] = reliable;
    item["channel"] = channel;
    item["length"] = length;
    item["header"] = header_ok ? "ok" : "bad";
    item["crc"] = !crc_present ? "absent" : !length_ok ? "unchecked" : crc_ok ? "ok" : "bad";
    const bool ok = header_ok && length_ok && crc_ok;
    item["check"] = !header_ok ? "header_checksum" : !length_ok ? "length" : !crc_ok ? "crc" : "ok";
    const std::uint8_t* payload = frame_.data() + BCSP_HEADER_BYTES;
    const std::size_t payload_bytes = stored < length ? stored : length;
    item["payload"] = trace_hex(payload, payload_bytes);
    if (ok && channel == BCSP_LE_CHANNEL) {
        const std::uint8_t message = bcsp_match_le_message(payload, static_cast<int>(length));
        static constexpr const char* LE_NAMES[] = {"SYNC", "SYNC_RESP", "CONF", "CONF_RESP"};
        item["le"] = message < BCSP_LE_MESSAGE_COUNT ? LE_NAMES[message] : "unknown";
    }
    if (ok && reliable) {
        const std::string key = std::to_string(bcsp_header_seq(header)) + ":" + item["payload"].get<std::string>();
        if (key == last_reliable_) {
            item["retransmission"] = true;
        }
        last_reliable_ = key;
    }
    if (ok && channel == BCCMD_CHANNEL) {
        item["bccmd"] = trace_bccmd_decode(payload, length);
    }
    emit(std::move(item), out);
}

void TraceDecoder::restart(TracePhase phase, TraceJson& out)
{
    for (TraceStreamDecoder* stream : {&to_device_, &from_device_}) {
        TraceJson held = TraceJson::array();
        stream->restart(phase, held);
        for (TraceJson& unit : held) {
            unit["dir"] = stream == &to_device_ ? "out" : "in";
            out.push_back(std::move(unit));
        }
    }
}

void TraceDecoder::feed(TraceDirection direction, const std::uint8_t* bytes, std::size_t count, TraceJson& out)
{
    (direction == TraceDirection::to_device ? to_device_ : from_device_).feed(bytes, count, out);
}
