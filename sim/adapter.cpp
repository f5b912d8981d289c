// The adapter's firmware model; see adapter.h for its phases and timing.
#include "sim/adapter.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "sim/chip.h"

namespace {

constexpr std::size_t ADAPTER_QUEUE_BYTES = 8192;
constexpr std::size_t ADAPTER_HANDSHAKE_LENGTH = 15;
constexpr std::size_t ADAPTER_MAX_PNP_ID = 32;
constexpr int ADAPTER_LINE_HISTORY = 5;    // the wake-up sequence spans five line states
constexpr std::size_t TRANSMIT_BURST_BYTES = 64;
constexpr std::size_t RECEIVE_CHUNK_BYTES = 256;
constexpr std::uint64_t NEVER = UINT64_MAX;

struct LineState {
    int rts;
    int dtr;
    std::uint64_t start_ms;
    int observed;  // 0: the state was found, not seen to begin (the first report)
};

}  // namespace

struct Adapter {
    AdapterConfig config;
    char pnp_id[ADAPTER_MAX_PNP_ID + 1];
    char pnp_extra[ADAPTER_MAX_PNP_EXTRA + 1];
    char version_text[ADAPTER_MAX_VERSION_TEXT + 1];

    AdapterPhase phase;
    UartSettings host;

    int lines_known;
    LineState lines[ADAPTER_LINE_HISTORY];  // oldest first
    int line_count;
    AdapterWakeCheck wake;

    std::uint8_t queue[ADAPTER_QUEUE_BYTES];
    std::size_t queue_head;
    std::size_t queue_tail;
    std::uint64_t queue_not_before_ms;
    int silent_when_drained;
    std::uint64_t line_free_us;  // when the adapter's UART has finished its last character
    int tx_waiting_for_line;      // the last transmit stopped because the line was busy
    int tx_streaming;             // characters follow each other back to back

    char handshake_window[ADAPTER_HANDSHAKE_LENGTH];
    std::size_t handshake_count;
    std::uint8_t command[4];
    std::size_t command_count;

    std::uint64_t chip_start_ms;  // NEVER until the hand-over
    int chip_started;
};

namespace {

// ---------------------------------------------------------------------------
// Logs

void adapter_log(const Adapter* a, std::uint64_t now_ms, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void adapter_log(const Adapter* a, std::uint64_t now_ms, const char* format, ...) {
    if (!a->config.log) return;
    std::fprintf(a->config.log, "[%10" PRIu64 " ms] adapter: ", now_ms);
    va_list args;
    va_start(args, format);
    std::vfprintf(a->config.log, format, args);
    va_end(args);
    std::fputc('\n', a->config.log);
}

// fields: more JSON members, each starting with a comma, or "".
void adapter_event(const Adapter* a, std::uint64_t now_ms, const char* name, const char* fields, ...)
    __attribute__((format(printf, 4, 5)));
void adapter_event(const Adapter* a, std::uint64_t now_ms, const char* name, const char* fields, ...) {
    if (!a->config.event_log) return;
    std::fprintf(a->config.event_log, "{\"t_ms\":%" PRIu64 ",\"src\":\"adapter\",\"ev\":\"%s\"", now_ms, name);
    va_list args;
    va_start(args, fields);
    std::vfprintf(a->config.event_log, fields, args);
    va_end(args);
    std::fputs("}\n", a->config.event_log);
}

// Lower-case hex of up to RECEIVE_CHUNK_BYTES * UART_MAX_CHARS_PER_BYTE bytes.
struct HexText {
    char text[2 * RECEIVE_CHUNK_BYTES * UART_MAX_CHARS_PER_BYTE + 1];
};

HexText hex_text(const std::uint8_t* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    HexText h;
    std::size_t n = 0;
    for (std::size_t i = 0; i < count && n + 2 < sizeof h.text; i++) {
        h.text[n++] = digits[bytes[i] >> 4];
        h.text[n++] = digits[bytes[i] & 0xF];
    }
    h.text[n] = 0;
    return h;
}

// A JSON string body (without quotes) of a short text; bytes outside printable
// ASCII are escaped so the log stays valid UTF-8.
struct JsonText {
    char text[6 * ADAPTER_MAX_VERSION_TEXT + 1];
};

JsonText json_text(const char* s) {
    JsonText j;
    std::size_t n = 0;
    for (; *s && n + 7 < sizeof j.text; s++) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c == '"' || c == '\\') {
            j.text[n++] = '\\';
            j.text[n++] = static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            n += static_cast<std::size_t>(std::snprintf(j.text + n, sizeof j.text - n, "\\u%04x", c));
        } else {
            j.text[n++] = static_cast<char>(c);
        }
    }
    j.text[n] = 0;
    return j;
}

const char* parity_name(char parity) {
    switch (parity) {
    case 'E': return "even";
    case 'O': return "odd";
    case 'M': return "mark";
    case 'S': return "space";
    default: return "none";
    }
}

// ---------------------------------------------------------------------------
// The adapter's UART

const UartSettings* adapter_device_settings(const Adapter* a) {
    switch (a->phase) {
    case ADAPTER_PHASE_WAIT_WAKE:
    case ADAPTER_PHASE_PNP_REPLY:
        return &ADAPTER_PNP_SETTINGS;
    case ADAPTER_PHASE_CHIP:
        return &ADAPTER_CHIP_SETTINGS;
    default:
        return &ADAPTER_COMMAND_SETTINGS;
    }
}

void adapter_set_phase(Adapter* a, AdapterPhase phase, std::uint64_t now_ms) {
    if (a->phase == phase) return;
    a->phase = phase;
    adapter_log(a, now_ms, "phase %s", adapter_phase_name(phase));
    adapter_event(a, now_ms, "phase", ",\"phase\":\"%s\"", adapter_phase_name(phase));
}

std::size_t queue_length(const Adapter* a) { return a->queue_tail - a->queue_head; }

void queue_clear(Adapter* a) {
    a->queue_head = 0;
    a->queue_tail = 0;
    a->silent_when_drained = 0;
}

// Queues bytes to send; the queue is sized for the largest reply, so a caller
// that overfills it has a bug: the excess is dropped and logged.
void queue_bytes(Adapter* a, const void* bytes, std::size_t count, std::uint64_t now_ms) {
    if (a->queue_head == a->queue_tail) a->queue_head = a->queue_tail = 0;
    const std::size_t room = ADAPTER_QUEUE_BYTES - a->queue_tail;
    if (count > room) {
        adapter_log(a, now_ms, "transmit queue full: %zu bytes dropped", count - room);
        count = room;
    }
    std::memcpy(a->queue + a->queue_tail, bytes, count);
    a->queue_tail += count;
}

void queue_frame(Adapter* a, std::uint16_t code, const std::uint8_t* data, std::uint16_t length, std::uint64_t now_ms) {
    const std::uint8_t header[4] = {static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code & 0xFF),
                                    static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
    queue_bytes(a, header, sizeof header, now_ms);
    queue_bytes(a, data, length, now_ms);
    adapter_event(a, now_ms, "frame_queued", ",\"code\":\"0x%04x\",\"length\":%u", code, length);
}

// Drops the queued bytes past `keep` (counted from `from`) and silences the
// adapter once the rest has gone out: the injected mid-reply silences.
void queue_cut(Adapter* a, std::size_t from, int keep, std::uint64_t now_ms) {
    const std::size_t k = keep < 0 ? 0 : static_cast<std::size_t>(keep);
    if (a->queue_tail > from + k) a->queue_tail = from + k;
    a->silent_when_drained = 1;
    adapter_event(a, now_ms, "fault", ",\"fault\":\"cut\",\"after_bytes\":%zu", k);
}

// ---------------------------------------------------------------------------
// Wake-up sequence

void wake_check(Adapter* a, std::uint64_t now_ms) {
    AdapterWakeCheck w = {};
    w.checked = 1;
    static const int want_dtr[ADAPTER_LINE_HISTORY] = {0, 1, 0, 1, 1};
    static const int want_rts[ADAPTER_LINE_HISTORY] = {0, 0, 0, 0, 1};
    w.order_ok = a->line_count == ADAPTER_LINE_HISTORY;
    for (int i = 0; w.order_ok && i < ADAPTER_LINE_HISTORY; i++)
        w.order_ok = a->lines[i].rts == want_rts[i] && a->lines[i].dtr == want_dtr[i];

    int too_short = 0;
    int too_long = 0;
    if (w.order_ok) {
        for (int i = 0; i < 4; i++) {
            w.step_ms[i] = static_cast<std::uint32_t>(a->lines[i + 1].start_ms - a->lines[i].start_ms);
            if (w.step_ms[i] + ADAPTER_WAKE_EARLY_TOLERANCE_MS < ADAPTER_WAKE_STEP_MS[i]) too_short = 1;
            // A first state found already in place has no known beginning.
            if ((i > 0 || a->lines[0].observed) && w.step_ms[i] > ADAPTER_WAKE_STEP_MS[i] + ADAPTER_WAKE_LATE_TOLERANCE_MS)
                too_long = 1;
        }
    }
    w.timing_ok = w.order_ok && !too_short && !too_long;
    w.answered = w.order_ok && !too_short && a->config.fault != ADAPTER_FAULT_SILENT;
    a->wake = w;

    const char* verdict = !w.order_ok ? "wrong order" : too_short ? "step too short" : too_long ? "late" : "ok";
    adapter_log(a, now_ms, "wake-up sequence %s: steps %u/%u/%u/%u ms (nominal 500/200/200/200)%s", verdict,
                w.step_ms[0], w.step_ms[1], w.step_ms[2], w.step_ms[3], w.answered ? "" : ", not answered");
    adapter_event(a, now_ms, "wake",
                  ",\"ok\":%d,\"order_ok\":%d,\"timing_ok\":%d,\"answered\":%d,\"verdict\":\"%s\","
                  "\"steps_ms\":[%u,%u,%u,%u]",
                  w.order_ok && w.timing_ok, w.order_ok, w.timing_ok, w.answered, verdict, w.step_ms[0], w.step_ms[1],
                  w.step_ms[2], w.step_ms[3]);
}

void pnp_reply_start(Adapter* a, std::uint64_t now_ms) {
    queue_clear(a);
    a->handshake_count = 0;
    a->command_count = 0;
    const char* id = a->config.fault == ADAPTER_FAULT_WRONG_ID ? ADAPTER_WRONG_PNP_ID : a->pnp_id;
    queue_bytes(a, "(", 1, now_ms);
    queue_bytes(a, a->config.pnp_revision, 2, now_ms);
    queue_bytes(a, id, std::strlen(id), now_ms);
    queue_bytes(a, a->pnp_extra, std::strlen(a->pnp_extra), now_ms);
    queue_bytes(a, ")", 1, now_ms);
    if (a->config.fault == ADAPTER_FAULT_PNP_CUT) queue_cut(a, 0, a->config.fault_param, now_ms);
    a->queue_not_before_ms = now_ms + ADAPTER_PNP_REPLY_DELAY_MS;
    adapter_set_phase(a, ADAPTER_PHASE_PNP_REPLY, now_ms);
    adapter_log(a, now_ms, "Plug-and-Play reply with identifier %s", id);
    adapter_event(a, now_ms, "pnp_sent", ",\"id\":\"%s\"", json_text(id).text);
}

// ---------------------------------------------------------------------------
// Commands

int clamp_garbage(int count) {
    return count < 0 ? 0 : count > ADAPTER_MAX_GARBAGE_BYTES ? ADAPTER_MAX_GARBAGE_BYTES : count;
}

void queue_garbage(Adapter* a, int count, std::uint64_t now_ms) {
    if (count <= 0) return;
    std::uint8_t garbage[ADAPTER_MAX_GARBAGE_BYTES];
    std::memset(garbage, ADAPTER_GARBAGE_BYTE, sizeof garbage);
    queue_bytes(a, garbage, static_cast<std::size_t>(count), now_ms);
    adapter_event(a, now_ms, "garbage_queued", ",\"length\":%d", count);
}

// Garbage before the first frame, and between each frame and the one before it.
void queue_garbage_before_frame(Adapter* a, int* frames_queued, std::uint64_t now_ms) {
    queue_garbage(a, *frames_queued == 0 ? a->config.garbage_before_frames : a->config.garbage_between_frames, now_ms);
    *frames_queued += 1;
}

void identify_reply(Adapter* a, std::uint64_t now_ms) {
    int frames_queued = 0;
    for (int i = 0; i < a->config.frames_before; i++) {
        const std::uint16_t code = ADAPTER_OTHER_FRAME_CODES[i % (sizeof ADAPTER_OTHER_FRAME_CODES / sizeof(std::uint16_t))];
        // The data holds a zero byte and the version code, so that an updater
        // that scans for 05 DD instead of reading whole frames goes wrong.
        const std::uint8_t data[8] = {'F', 'R', 'M', static_cast<std::uint8_t>(i), 0x00, 0x05, 0xDD, 0xFF};
        queue_garbage_before_frame(a, &frames_queued, now_ms);
        queue_frame(a, code, data, sizeof data, now_ms);
    }
    if (a->config.oversized_frame) {
        std::uint8_t data[ADAPTER_OVERSIZED_FRAME_BYTES];
        for (std::size_t i = 0; i < sizeof data; i++) data[i] = static_cast<std::uint8_t>('A' + i % 26);
        // Past the updater's 256-byte buffer: what a reader that stops there
        // would take for the next frame header, a version frame saying "BAD".
        static const std::uint8_t bogus[] = {0x05, 0xDD, 0x00, 0x04, 'B', 'A', 'D', 0x00};
        std::memcpy(data + 256, bogus, sizeof bogus);
        queue_garbage_before_frame(a, &frames_queued, now_ms);
        queue_frame(a, ADAPTER_OVERSIZED_FRAME_CODE, data, sizeof data, now_ms);
    }
    if (a->config.fault == ADAPTER_FAULT_NO_VERSION) {
        adapter_event(a, now_ms, "fault", ",\"fault\":\"no_version\"");
        return;
    }
    queue_garbage_before_frame(a, &frames_queued, now_ms);
    const std::size_t version_start = a->queue_tail;
    const std::size_t text_length = std::strlen(a->version_text);
    const std::uint16_t length = static_cast<std::uint16_t>(text_length + (a->config.version_terminator ? 1 : 0));
    queue_frame(a, ADAPTER_REPLY_CODE_VERSION, reinterpret_cast<const std::uint8_t*>(a->version_text), length, now_ms);
    if (a->config.fault == ADAPTER_FAULT_VERSION_CUT) queue_cut(a, version_start, a->config.fault_param, now_ms);
    adapter_log(a, now_ms, "version frame: \"%s\"", a->version_text);
    adapter_event(a, now_ms, "version_sent", ",\"text\":\"%s\"", json_text(a->version_text).text);
}

void command_run(Adapter* a, std::uint64_t now_ms) {
    const std::uint8_t code = a->command[1];
    const HexText bytes = hex_text(a->command, 4);
    const char* name = code == ADAPTER_CMD_IDENTIFY       ? "identify"
                       : code == ADAPTER_CMD_UNRECOGNISED ? "unrecognised"
                       : code == ADAPTER_CMD_IDENTIFIED   ? "identified"
                                                          : "unknown";
    adapter_log(a, now_ms, "command %s (%s)", bytes.text, name);
    adapter_event(a, now_ms, "command", ",\"code\":\"0x%02x\",\"name\":\"%s\",\"bytes\":\"%s\"", code, name, bytes.text);
    if (a->command[2] != 0 || a->command[3] != 0) adapter_log(a, now_ms, "command carries a non-zero length");

    if (code == ADAPTER_CMD_IDENTIFY) {
        identify_reply(a, now_ms);
    } else if (code == ADAPTER_CMD_UNRECOGNISED) {
        adapter_log(a, now_ms, "the updater did not recognise this adapter");
    } else if (code == ADAPTER_CMD_IDENTIFIED) {
        if (queue_length(a) != 0) adapter_log(a, now_ms, "hand-over drops %zu unsent bytes", queue_length(a));
        queue_clear(a);
        a->chip_start_ms = now_ms + ADAPTER_CHIP_START_DELAY_MS;
        adapter_set_phase(a, ADAPTER_PHASE_CHIP, now_ms);
        adapter_event(a, now_ms, "handover", ",\"chip_start_ms\":%" PRIu64, a->chip_start_ms);
    }
}

void command_byte(Adapter* a, std::uint8_t byte, std::uint64_t now_ms) {
    if (a->command_count == 0 && byte != 0x01) {  // not the start of a command frame
        adapter_event(a, now_ms, "stray_byte", ",\"byte\":\"%02x\"", byte);
        return;
    }
    a->command[a->command_count++] = byte;
    if (a->command_count < 4) return;
    a->command_count = 0;
    command_run(a, now_ms);
}

void handshake_byte(Adapter* a, std::uint8_t byte, std::uint64_t now_ms) {
    // A sliding window over the last 15 bytes: noise before the request is skipped.
    if (a->handshake_count == ADAPTER_HANDSHAKE_LENGTH) {
        std::memmove(a->handshake_window, a->handshake_window + 1, ADAPTER_HANDSHAKE_LENGTH - 1);
        a->handshake_count--;
    }
    a->handshake_window[a->handshake_count++] = static_cast<char>(byte);
    if (a->handshake_count < ADAPTER_HANDSHAKE_LENGTH ||
        std::memcmp(a->handshake_window, ADAPTER_HANDSHAKE_REQUEST, ADAPTER_HANDSHAKE_LENGTH) != 0)
        return;
    a->handshake_count = 0;
    const char* answer = a->config.fault == ADAPTER_FAULT_WRONG_HANDSHAKE ? ADAPTER_WRONG_HANDSHAKE_ANSWER
                         : a->config.handshake_answer != nullptr        ? a->config.handshake_answer
                                                                        : ADAPTER_HANDSHAKE_ANSWER;
    queue_bytes(a, answer, std::strlen(answer), now_ms);
    a->queue_not_before_ms = now_ms;
    adapter_log(a, now_ms, "setup request received, answering \"%s\"", answer);
    adapter_event(a, now_ms, "handshake", ",\"answer\":\"%s\"", answer);
    adapter_set_phase(a, ADAPTER_PHASE_COMMANDS, now_ms);
}

void adapter_advance(Adapter* a, std::uint64_t now_ms) {
    if (a->chip_started || now_ms < a->chip_start_ms) return;
    a->chip_started = 1;
    adapter_log(a, now_ms, "chip released from reset: its BCSP link starts at 115200 8E1");
    adapter_event(a, now_ms, "chip_power_on", ",\"chip\":%d", a->config.chip != nullptr);
    if (a->config.chip) chip_power_on(a->config.chip, now_ms);
}

void copy_text(char* to, std::size_t size, const char* from) {
    std::size_t n = std::strlen(from);
    if (n >= size) n = size - 1;
    std::memcpy(to, from, n);
    to[n] = 0;
}

// The next byte the adapter's UART sends, if one is ready at now_ms.
int adapter_next_byte(Adapter* a, std::uint64_t now_ms, std::uint8_t* byte) {
    if (a->phase == ADAPTER_PHASE_CHIP)
        return a->chip_started && a->config.chip && chip_transmit_byte(a->config.chip, now_ms, byte);
    if (a->phase == ADAPTER_PHASE_SILENT || queue_length(a) == 0 || now_ms < a->queue_not_before_ms) return 0;
    *byte = a->queue[a->queue_head++];
    return 1;
}

// After the queue has drained: the end of the Plug-and-Play reply moves the
// UART to 115200; a cut reply leaves the adapter silent.
void adapter_drained(Adapter* a, std::uint64_t now_ms) {
    if (queue_length(a) != 0 || a->phase == ADAPTER_PHASE_CHIP || a->phase == ADAPTER_PHASE_SILENT) return;
    if (a->silent_when_drained) {
        a->silent_when_drained = 0;
        adapter_set_phase(a, ADAPTER_PHASE_SILENT, now_ms);
    } else if (a->phase == ADAPTER_PHASE_PNP_REPLY) {
        adapter_set_phase(a, ADAPTER_PHASE_HANDSHAKE, now_ms);
    }
}

}  // namespace

AdapterConfig adapter_default_config() {
    AdapterConfig c = {};
    c.pnp_id = ADAPTER_DEFAULT_PNP_ID;
    c.pnp_revision[0] = 0x01;  // Plug-and-Play revision 1.0
    c.pnp_revision[1] = 0x24;
    c.pnp_extra = "";
    c.version_text = ADAPTER_VERSION_STANDARD;
    c.version_terminator = 1;
    c.fault = ADAPTER_FAULT_NONE;
    c.pacing = 1;
    c.host = {38400, 8, 'N', 1, 0};
    return c;
}

Adapter* adapter_create(const AdapterConfig* config, std::uint64_t now_ms) {
    Adapter* a = new Adapter();
    a->config = *config;
    copy_text(a->pnp_id, sizeof a->pnp_id, config->pnp_id ? config->pnp_id : ADAPTER_DEFAULT_PNP_ID);
    copy_text(a->pnp_extra, sizeof a->pnp_extra, config->pnp_extra ? config->pnp_extra : "");
    copy_text(a->version_text, sizeof a->version_text, config->version_text ? config->version_text : ADAPTER_VERSION_STANDARD);
    if (a->config.frames_before < 0) a->config.frames_before = 0;
    if (a->config.frames_before > ADAPTER_MAX_FRAMES_BEFORE) a->config.frames_before = ADAPTER_MAX_FRAMES_BEFORE;
    a->config.garbage_before_frames = clamp_garbage(a->config.garbage_before_frames);
    a->config.garbage_between_frames = clamp_garbage(a->config.garbage_between_frames);
    a->phase = ADAPTER_PHASE_WAIT_WAKE;
    a->host = config->host;
    a->chip_start_ms = NEVER;
    if (config->start_in_chip_phase) {  // the command-port phase is skipped: the chip starts now
        a->phase = ADAPTER_PHASE_CHIP;
        a->chip_start_ms = now_ms;
    }
    a->line_free_us = now_ms * 1000;
    adapter_log(a, now_ms, "powered on, waiting for the wake-up sequence at 1200 8N1");
    adapter_event(a, now_ms, "phase", ",\"phase\":\"%s\"", adapter_phase_name(a->phase));
    return a;
}

void adapter_destroy(Adapter* adapter) { delete adapter; }

void adapter_host_settings(Adapter* a, const UartSettings* host, std::uint64_t now_ms) {
    adapter_advance(a, now_ms);
    if (uart_settings_match(&a->host, host) && a->host.check_parity == host->check_parity) return;
    a->host = *host;
    char text[32];
    uart_settings_text(host, text, sizeof text);
    adapter_log(a, now_ms, "host line settings %s%s", text, host->check_parity ? " (parity checked)" : "");
    adapter_event(a, now_ms, "line", ",\"baud\":%u,\"bits\":%u,\"parity\":\"%s\",\"stop\":%u,\"check_parity\":%u",
                  host->baud, host->data_bits, parity_name(host->parity), host->stop_bits, host->check_parity);
}

void adapter_modem_lines(Adapter* a, int rts, int dtr, std::uint64_t now_ms) {
    adapter_advance(a, now_ms);
    rts = rts != 0;
    dtr = dtr != 0;
    const int had_state = a->line_count > 0;
    const LineState last = had_state ? a->lines[a->line_count - 1] : LineState{};
    if (had_state && last.rts == rts && last.dtr == dtr) return;
    if (had_state && now_ms < last.start_ms) now_ms = last.start_ms;  // reports may lag each other

    if (a->line_count == ADAPTER_LINE_HISTORY) {
        std::memmove(a->lines, a->lines + 1, sizeof a->lines[0] * (ADAPTER_LINE_HISTORY - 1));
        a->line_count--;
    }
    a->lines[a->line_count++] = {rts, dtr, now_ms, a->lines_known};
    a->lines_known = 1;
    adapter_log(a, now_ms, "modem lines RTS %d DTR %d", rts, dtr);
    adapter_event(a, now_ms, "modem", ",\"rts\":%d,\"dtr\":%d", rts, dtr);

    const int rts_rose_with_dtr_high = had_state && !last.rts && last.dtr && rts && dtr;
    if (!rts_rose_with_dtr_high || a->phase == ADAPTER_PHASE_CHIP) return;
    if (a->phase == ADAPTER_PHASE_SILENT) {
        adapter_log(a, now_ms, "silenced by an injected fault: the wake-up sequence goes unanswered");
        return;
    }
    wake_check(a, now_ms);
    if (a->wake.answered) {
        pnp_reply_start(a, now_ms);
    } else if (a->config.fault == ADAPTER_FAULT_SILENT && a->wake.order_ok) {
        adapter_event(a, now_ms, "fault", ",\"fault\":\"silent\"");
        adapter_set_phase(a, ADAPTER_PHASE_SILENT, now_ms);
    }
}

void adapter_purge(Adapter* a, unsigned flags, std::uint64_t now_ms) {
    adapter_advance(a, now_ms);
    adapter_log(a, now_ms, "host purge%s%s", flags & ADAPTER_PURGE_HOST_RX ? " rx" : "", flags & ADAPTER_PURGE_HOST_TX ? " tx" : "");
    adapter_event(a, now_ms, "purge", ",\"rx\":%d,\"tx\":%d", (flags & ADAPTER_PURGE_HOST_RX) != 0,
                  (flags & ADAPTER_PURGE_HOST_TX) != 0);
}

void adapter_receive(Adapter* a, const std::uint8_t* bytes, std::size_t count, std::uint64_t now_ms) {
    adapter_advance(a, now_ms);
    for (std::size_t done = 0; done < count;) {
        const std::size_t chunk = count - done < RECEIVE_CHUNK_BYTES ? count - done : RECEIVE_CHUNK_BYTES;
        std::uint8_t got[RECEIVE_CHUNK_BYTES * UART_MAX_CHARS_PER_BYTE];
        const std::size_t n = uart_line_receive(&a->host, adapter_device_settings(a), UART_ERRORS_DROPPED, bytes + done,
                                                chunk, got, sizeof got);
        const int garbled = n != chunk || std::memcmp(got, bytes + done, n) != 0;
        const HexText sent = hex_text(bytes + done, chunk);
        const HexText seen = hex_text(got, n);
        adapter_log(a, now_ms, "rx %s%s%s", seen.text, garbled ? " garbled, host sent " : "", garbled ? sent.text : "");
        if (garbled)
            adapter_event(a, now_ms, "rx", ",\"bytes\":\"%s\",\"host_bytes\":\"%s\",\"garbled\":1", seen.text, sent.text);
        else
            adapter_event(a, now_ms, "rx", ",\"bytes\":\"%s\"", seen.text);

        for (std::size_t i = 0; i < n; i++) {
            switch (a->phase) {
            case ADAPTER_PHASE_HANDSHAKE: handshake_byte(a, got[i], now_ms); break;
            case ADAPTER_PHASE_COMMANDS: command_byte(a, got[i], now_ms); break;
            case ADAPTER_PHASE_CHIP:
                if (a->chip_started && a->config.chip) chip_receive_byte(a->config.chip, got[i], now_ms);
                break;
            default: break;  // waiting for the wake-up, replying, or silenced: input is ignored
            }
        }
        done += chunk;
    }
}

std::size_t adapter_transmit(Adapter* a, std::uint64_t now_ms, std::uint8_t* out, std::size_t out_size,
                             std::size_t* produced) {
    adapter_advance(a, now_ms);
    *produced = 0;
    a->tx_waiting_for_line = 0;
    const UartSettings* device = adapter_device_settings(a);
    const std::uint64_t now_us = now_ms * 1000;
    const std::uint32_t char_us = uart_char_time_us(device);
    std::size_t limit = out_size / UART_MAX_CHARS_PER_BYTE;
    if (limit > TRANSMIT_BURST_BYTES) limit = TRANSMIT_BURST_BYTES;

    std::uint8_t sent[TRANSMIT_BURST_BYTES];
    std::size_t count = 0;
    while (count < limit) {
        // A character starts when the previous one has finished; after a pause
        // in the stream, no earlier than now.
        std::uint64_t start_us = a->line_free_us;
        if (!a->tx_streaming && start_us < now_us) start_us = now_us;
        if (a->config.pacing && start_us > now_us) {  // still shifting out the last character
            a->tx_waiting_for_line = 1;
            break;
        }
        if (!adapter_next_byte(a, now_ms, &sent[count])) {
            a->tx_streaming = 0;
            break;
        }
        count++;
        a->tx_streaming = 1;
        a->line_free_us = (a->config.pacing ? start_us : now_us) + char_us;
    }
    if (count == 0) return 0;

    *produced = uart_line_receive(device, &a->host, UART_ERRORS_AS_NUL, sent, count, out, out_size);
    const int garbled = *produced != count || std::memcmp(out, sent, count) != 0;
    const HexText bytes = hex_text(sent, count);
    const HexText seen = hex_text(out, *produced);
    adapter_log(a, now_ms, "tx %s%s%s", bytes.text, garbled ? " garbled, host got " : "", garbled ? seen.text : "");
    if (garbled)
        adapter_event(a, now_ms, "tx", ",\"bytes\":\"%s\",\"host_bytes\":\"%s\",\"garbled\":1", bytes.text, seen.text);
    else
        adapter_event(a, now_ms, "tx", ",\"bytes\":\"%s\"", bytes.text);
    adapter_drained(a, now_ms);
    return count;
}

std::uint64_t adapter_next_event_ms(const Adapter* a) {
    std::uint64_t next = NEVER;
    auto consider = [&next](std::uint64_t t) {
        if (t < next) next = t;
    };
    const std::uint64_t line_free_ms = (a->line_free_us + 999) / 1000;
    if (a->phase != ADAPTER_PHASE_CHIP && a->phase != ADAPTER_PHASE_SILENT && queue_length(a) != 0) {
        std::uint64_t t = a->queue_not_before_ms;
        if (a->config.pacing && line_free_ms > t) t = line_free_ms;
        consider(t);
    }
    if (!a->chip_started) {
        consider(a->chip_start_ms);
    } else if (a->config.chip) {
        // The chip says 0 while it has bytes waiting; those wait for the line.
        const std::uint64_t chip_next = chip_next_event_ms(a->config.chip);
        consider(a->tx_waiting_for_line && chip_next < line_free_ms ? line_free_ms : chip_next);
    }
    return next;
}

AdapterPhase adapter_phase(const Adapter* a) { return a->phase; }

const char* adapter_phase_name(AdapterPhase phase) {
    switch (phase) {
    case ADAPTER_PHASE_WAIT_WAKE: return "wait_wake";
    case ADAPTER_PHASE_PNP_REPLY: return "pnp_reply";
    case ADAPTER_PHASE_HANDSHAKE: return "handshake";
    case ADAPTER_PHASE_COMMANDS: return "commands";
    case ADAPTER_PHASE_CHIP: return "chip";
    case ADAPTER_PHASE_SILENT: return "silent";
    }
    return "?";
}

AdapterWakeCheck adapter_last_wake(const Adapter* a) { return a->wake; }
