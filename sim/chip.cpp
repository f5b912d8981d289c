#include "sim/chip.h"

#include <cstring>
#include <new>

#include "sim/chip_link.h"
#include "sim/line_noise.h"
#include "sim/ps_store.h"

namespace {

constexpr std::uint8_t CHIP_BCCMD_CHANNEL = 2;

constexpr std::uint16_t CHIP_BCCMD_GET_REQUEST = 0;
constexpr std::uint16_t CHIP_BCCMD_GET_RESPONSE = 1;
constexpr std::uint16_t CHIP_BCCMD_SET_REQUEST = 2;

constexpr std::uint16_t CHIP_VARID_BUILD_ID = 0x2819;
constexpr std::uint16_t CHIP_VARID_COLD_RESET = 0x4001;
constexpr std::uint16_t CHIP_VARID_PS_DEFRAG_RESET = 0x400F;
constexpr std::uint16_t CHIP_VARID_PS = 0x7003;

constexpr int BCCMD_HEADER_WORDS = 5;
constexpr int BCCMD_MIN_WORDS = 9;  // header and four payload words
constexpr int PS_HEADER_WORDS = 3;  // key, length, stores
constexpr int BCCMD_MAX_WORDS = CHIP_LINK_MAX_TX_PAYLOAD / 2;
static_assert(BCCMD_HEADER_WORDS + PS_HEADER_WORDS + PS_STORE_MAX_WORDS <= BCCMD_MAX_WORDS,
              "a full PS response must fit one packet");

// Seed offsets so that the receive noise and the garbage do not mirror the send noise.
constexpr unsigned CHIP_RX_NOISE_SEED_OFFSET = 0x5A5A5A5Au;
constexpr unsigned CHIP_GARBAGE_SEED_OFFSET = 0x3C3C3C3Cu;
// The frame delimiter: garbage never holds it, so it stays between the frames.
constexpr std::uint8_t CHIP_FRAME_DELIMITER = 0xC0;

constexpr std::size_t CHIP_PATH_CHARS = 4096;
constexpr std::size_t CHIP_WORDS_TEXT_CHARS = 1024;

char chip_create_why[512];

}  // namespace

struct Chip {
    ChipConfig config;
    char store_path[CHIP_PATH_CHARS];
    ChipLog log;
    ChipLink link;
    PsStore store;
    LineNoise tx_noise;
    LineNoise rx_noise;
    LineNoise garbage;         // draws the garbage bytes
    int garbage_left;          // garbage bytes still to send before the next frame; -1: sent, the frame is next
    int powered;
    int silent;
    int restarting;
    std::uint64_t restart_at_ms;
    const char* restart_reason;
    int resets_accepted;
    int packets_received;
    // Responses held back by answer_delay_ms, oldest first (all share one delay).
    std::uint8_t delayed[CHIP_DELAYED_ANSWERS][CHIP_LINK_MAX_TX_PAYLOAD];
    int delayed_length[CHIP_DELAYED_ANSWERS];
    std::uint64_t delayed_due_ms[CHIP_DELAYED_ANSWERS];
    int delayed_head;
    int delayed_count;
    int repeat_pending;
    std::uint8_t repeat_byte;
};

namespace {

// A BCCMD message as words, with its size.
struct ChipMessage {
    std::uint16_t words[BCCMD_MAX_WORDS];
    int count;
};

const char* type_name(std::uint16_t type)
{
    switch (type) {
    case CHIP_BCCMD_GET_REQUEST:
        return "get-request";
    case CHIP_BCCMD_GET_RESPONSE:
        return "get-response";
    case CHIP_BCCMD_SET_REQUEST:
        return "set-request";
    default:
        return "unknown-type";
    }
}

// Formats words for the logs: hex for the text log ("0x0004 0x0001"), decimal
// for the event log ("4,1").
void format_words(char* text, std::size_t size, const std::uint16_t* words, int count, int json)
{
    std::size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < count && used < size; ++i) {
        int n = json ? std::snprintf(text + used, size - used, "%s%u", i ? "," : "", words[i])
                     : std::snprintf(text + used, size - used, "%s0x%04x", i ? " " : "", words[i]);
        if (n < 0) {
            return;
        }
        used += static_cast<std::size_t>(n);
    }
}

void log_message(Chip* chip, std::uint64_t now_ms, const char* dir, const ChipMessage* message)
{
    const std::uint16_t* w = message->words;
    int payload = message->count - BCCMD_HEADER_WORDS;
    char words[CHIP_WORDS_TEXT_CHARS];
    format_words(words, sizeof words, w + BCCMD_HEADER_WORDS, payload, 0);
    chip_log_text(&chip->log, now_ms, "chip    BCCMD %s %s seqno %u varid 0x%04x status %u length %u: %s",
                  dir[0] == 'r' ? "<-" : "->", type_name(w[0]), w[2], w[3], w[4], w[1], words);
    format_words(words, sizeof words, w + BCCMD_HEADER_WORDS, payload, 1);
    chip_log_event(&chip->log, now_ms, "bccmd",
                   ",\"dir\":\"%s\",\"type\":%u,\"length\":%u,\"seqno\":%u,\"varid\":\"0x%04x\",\"status\":%u,"
                   "\"payload\":[%s]",
                   dir, w[0], w[1], w[2], w[3], w[4], words);
}

void log_key(Chip* chip, std::uint64_t now_ms, const char* ev, std::uint16_t key, const std::uint16_t* values,
             int count)
{
    char words[CHIP_WORDS_TEXT_CHARS];
    format_words(words, sizeof words, values, count, 0);
    chip_log_text(&chip->log, now_ms, "chip    store: %s 0x%04x = %s", ev[3] == 'w' ? "write" : "read", key, words);
    format_words(words, sizeof words, values, count, 1);
    chip_log_event(&chip->log, now_ms, ev, ",\"key\":\"0x%04x\",\"values\":[%s]", key, words);
}

void ignore(Chip* chip, std::uint64_t now_ms, const char* reason)
{
    chip_log_text(&chip->log, now_ms, "chip: packet ignored (%s)", reason);
    chip_log_event(&chip->log, now_ms, "ignored", ",\"reason\":\"%s\"", reason);
}

void send_message(Chip* chip, std::uint64_t now_ms, ChipMessage* message)
{
    message->words[1] = static_cast<std::uint16_t>(message->count);
    std::uint8_t bytes[CHIP_LINK_MAX_TX_PAYLOAD];
    for (int i = 0; i < message->count; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(message->words[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(message->words[i] >> 8);
    }
    log_message(chip, now_ms, "tx", message);
    const int delayed = chip->config.answer_delay_ms > 0 && (chip->config.answer_delay_packet == 0 ||
                                                             chip->config.answer_delay_packet == chip->packets_received);
    if (!delayed) {
        chip_link_send(&chip->link, CHIP_BCCMD_CHANNEL, bytes, message->count * 2, now_ms);
        return;
    }
    if (chip->delayed_count == CHIP_DELAYED_ANSWERS) {
        chip_log_text(&chip->log, now_ms, "chip: too many delayed responses, one dropped");
        chip_log_event(&chip->log, now_ms, "tx_dropped", ",\"reason\":\"delay_full\"");
        return;
    }
    const int slot = (chip->delayed_head + chip->delayed_count) % CHIP_DELAYED_ANSWERS;
    std::memcpy(chip->delayed[slot], bytes, static_cast<std::size_t>(message->count) * 2);
    chip->delayed_length[slot] = message->count * 2;
    chip->delayed_due_ms[slot] = now_ms + static_cast<std::uint64_t>(chip->config.answer_delay_ms);
    ++chip->delayed_count;
    chip_log_event(&chip->log, now_ms, "answer_delayed", ",\"due\":%llu",
                   static_cast<unsigned long long>(chip->delayed_due_ms[slot]));
}

// Sends the held-back responses that are due (in order: they share one delay).
void send_delayed(Chip* chip, std::uint64_t now_ms)
{
    while (chip->delayed_count > 0 && chip->delayed_due_ms[chip->delayed_head] <= now_ms) {
        const int slot = chip->delayed_head;
        chip_link_send(&chip->link, CHIP_BCCMD_CHANNEL, chip->delayed[slot], chip->delayed_length[slot], now_ms);
        chip->delayed_head = (slot + 1) % CHIP_DELAYED_ANSWERS;
        --chip->delayed_count;
    }
}

// A response that mirrors the request: same seqno, varid and payload.
// The status of the error_status_* faults' answers.
std::uint16_t fault_status(const Chip* chip)
{
    return chip->config.error_status != 0 ? chip->config.error_status : CHIP_STATUS_ERROR;
}

void reply_echo(Chip* chip, std::uint64_t now_ms, const ChipMessage* request, std::uint16_t status)
{
    ChipMessage response = *request;
    if (response.count < BCCMD_MIN_WORDS) {
        for (int i = response.count; i < BCCMD_MIN_WORDS; ++i) {
            response.words[i] = 0;
        }
        response.count = BCCMD_MIN_WORDS;
    }
    response.words[0] = CHIP_BCCMD_GET_RESPONSE;
    response.words[4] = status;
    send_message(chip, now_ms, &response);
}

// The chip goes down for good: nothing more is sent or answered.
void fall_silent(Chip* chip)
{
    chip->silent = 1;
    chip->delayed_count = 0;
    chip->restarting = 0;
    chip_link_halt(&chip->link);
    chip_link_drop_queue(&chip->link);
}

void restart(Chip* chip, std::uint64_t now_ms, const char* reason)
{
    chip->restarting = 0;
    chip->repeat_pending = 0;
    chip->garbage_left = 0;
    chip->delayed_count = 0;  // answers not yet sent die with the link
    chip_log_text(&chip->log, now_ms, "chip: restart (%s)", reason);
    chip_log_event(&chip->log, now_ms, "restart", ",\"reason\":\"%s\"", reason);
    chip_link_reset(&chip->link, now_ms);
}

void request_reset(Chip* chip, std::uint64_t now_ms, const char* reason)
{
    const int slow = chip->config.slow_boot_ms > 0 && chip->resets_accepted == 0;
    chip->resets_accepted += 1;
    chip->restarting = 1;
    chip->restart_at_ms = now_ms + (slow ? static_cast<std::uint64_t>(chip->config.slow_boot_ms) : CHIP_RESTART_DELAY_MS);
    chip->restart_reason = reason;
    chip_log_text(&chip->log, now_ms, "chip: %s accepted, restarting at %llu ms", reason,
                  static_cast<unsigned long long>(chip->restart_at_ms));
    chip_log_event(&chip->log, now_ms, "reset_request", ",\"reason\":\"%s\",\"restart_at\":%llu", reason,
                   static_cast<unsigned long long>(chip->restart_at_ms));
}

void ps_get(Chip* chip, std::uint64_t now_ms, const ChipMessage* request)
{
    std::uint16_t key = request->words[5];
    int asked = request->words[6];
    const PsEntry* entry = ps_store_find(&chip->store, key);
    if (entry == nullptr) {
        reply_echo(chip, now_ms, request, CHIP_STATUS_NO_VALUE);
        return;
    }
    // The chip answers only a read of the key's own length, as a real one
    // does: the host must know (or find) it.
    if (asked < entry->length) {
        reply_echo(chip, now_ms, request, CHIP_STATUS_TOO_BIG);
        return;
    }
    if (asked > entry->length) {
        reply_echo(chip, now_ms, request, CHIP_STATUS_BAD_REQUEST);
        return;
    }
    log_key(chip, now_ms, "ps_read", key, entry->values, entry->length);
    ChipMessage response = *request;
    response.words[0] = CHIP_BCCMD_GET_RESPONSE;
    response.words[4] = CHIP_STATUS_OK;
    response.words[6] = entry->length;
    int first = BCCMD_HEADER_WORDS + PS_HEADER_WORDS;
    response.count = first + entry->length;
    if (response.count < BCCMD_MIN_WORDS) {
        response.count = BCCMD_MIN_WORDS;
    }
    for (int i = first; i < response.count; ++i) {
        response.words[i] = i - first < entry->length ? entry->values[i - first] : 0;
    }
    send_message(chip, now_ms, &response);
}

void ps_set(Chip* chip, std::uint64_t now_ms, const ChipMessage* request)
{
    std::uint16_t key = request->words[5];
    int length = request->words[6];
    const std::uint16_t* values = &request->words[BCCMD_HEADER_WORDS + PS_HEADER_WORDS];

    const PsEntry* old_entry = ps_store_find(&chip->store, key);
    PsEntry old = {};
    int had_old = old_entry != nullptr;
    if (had_old) {
        old = *old_entry;
    }
    if (!ps_store_set(&chip->store, key, values, length)) {
        reply_echo(chip, now_ms, request, CHIP_STATUS_TOO_BIG);
        return;
    }
    if (!ps_store_save(&chip->store, chip->store_path)) {
        // Put the old value back so the chip never claims what its file lacks.
        if (had_old) {
            ps_store_set(&chip->store, key, old.values, old.length);
        } else {
            ps_store_remove(&chip->store, key);
        }
        chip_log_text(&chip->log, now_ms, "chip: store file %s could not be written", chip->store_path);
        chip_log_event(&chip->log, now_ms, "store_error", "%s", "");
        reply_echo(chip, now_ms, request, CHIP_STATUS_ERROR);
        return;
    }
    log_key(chip, now_ms, "ps_write", key, values, length);
    reply_echo(chip, now_ms, request, CHIP_STATUS_OK);
}

void ps_request(Chip* chip, std::uint64_t now_ms, const ChipMessage* request)
{
    std::uint16_t type = request->words[0];
    int length = request->count < BCCMD_HEADER_WORDS + PS_HEADER_WORDS ? 0 : request->words[6];
    int needed = BCCMD_HEADER_WORDS + PS_HEADER_WORDS + (type == CHIP_BCCMD_SET_REQUEST ? length : 0);
    if (request->count < BCCMD_HEADER_WORDS + PS_HEADER_WORDS || length == 0 || request->count < needed) {
        reply_echo(chip, now_ms, request, CHIP_STATUS_BAD_REQUEST);
        return;
    }
    if (length > PS_STORE_MAX_WORDS) {
        reply_echo(chip, now_ms, request, CHIP_STATUS_TOO_BIG);
        return;
    }
    if (chip->config.error_status_key > 0 && request->words[5] == chip->config.error_status_key) {
        chip_log_text(&chip->log, now_ms, "chip: fault: error status for key 0x%04x", request->words[5]);
        chip_log_event(&chip->log, now_ms, "fault", ",\"name\":\"error_status\",\"key\":\"0x%04x\"",
                       request->words[5]);
        reply_echo(chip, now_ms, request, fault_status(chip));
        return;
    }
    if (chip->config.echo_requests) {
        chip_log_text(&chip->log, now_ms, "chip: fault: request for key 0x%04x echoed", request->words[5]);
        chip_log_event(&chip->log, now_ms, "fault", ",\"name\":\"echo\",\"key\":\"0x%04x\"", request->words[5]);
        reply_echo(chip, now_ms, request, CHIP_STATUS_OK);
        return;
    }
    if (type == CHIP_BCCMD_SET_REQUEST) {
        ps_set(chip, now_ms, request);
    } else {
        ps_get(chip, now_ms, request);
    }
}

void bccmd_request(Chip* chip, std::uint64_t now_ms)
{
    const ChipLinkDelivered* packet = &chip->link.delivered;
    ChipMessage request = {};
    request.count = packet->length / 2;
    if (request.count > BCCMD_MAX_WORDS) {
        request.count = BCCMD_MAX_WORDS;  // a response echoes at most this much
    }
    for (int i = 0; i < request.count; ++i) {
        request.words[i] = static_cast<std::uint16_t>(packet->payload[2 * i] | (packet->payload[2 * i + 1] << 8));
    }
    if (request.count < BCCMD_HEADER_WORDS) {
        ignore(chip, now_ms, "bccmd_short");
        return;
    }
    log_message(chip, now_ms, "rx", &request);
    std::uint16_t type = request.words[0];
    std::uint16_t varid = request.words[3];
    if (type != CHIP_BCCMD_GET_REQUEST && type != CHIP_BCCMD_SET_REQUEST) {
        ignore(chip, now_ms, "bccmd_type");
        return;
    }
    if (chip->config.error_status_varid > 0 && varid == chip->config.error_status_varid) {
        chip_log_text(&chip->log, now_ms, "chip: fault: error status for varid 0x%04x", varid);
        chip_log_event(&chip->log, now_ms, "fault", ",\"name\":\"error_status\",\"varid\":\"0x%04x\"", varid);
        reply_echo(chip, now_ms, &request, fault_status(chip));
        return;
    }
    int is_set = type == CHIP_BCCMD_SET_REQUEST;
    switch (varid) {
    case CHIP_VARID_PS:
        ps_request(chip, now_ms, &request);
        break;
    case CHIP_VARID_BUILD_ID:
        if (is_set) {
            reply_echo(chip, now_ms, &request, CHIP_STATUS_BAD_REQUEST);
        } else {
            ChipMessage response = request;
            if (response.count < BCCMD_MIN_WORDS) {
                response.count = BCCMD_MIN_WORDS;
            }
            response.words[5] = chip->config.build_id;
            reply_echo(chip, now_ms, &response, CHIP_STATUS_OK);
        }
        break;
    case CHIP_VARID_COLD_RESET:
    case CHIP_VARID_PS_DEFRAG_RESET:
        if (!is_set) {
            reply_echo(chip, now_ms, &request, CHIP_STATUS_BAD_REQUEST);
        } else {
            request_reset(chip, now_ms, varid == CHIP_VARID_COLD_RESET ? "cold_reset" : "ps_defrag_reset");
        }
        break;
    default:
        reply_echo(chip, now_ms, &request, CHIP_STATUS_NO_SUCH_VARID);
        break;
    }
}

// A new data packet from the host: apply the packet-counting faults, then
// serve it, then make sure it is acknowledged.
void on_packet(Chip* chip, std::uint64_t now_ms)
{
    ++chip->packets_received;
    if (chip->config.silent_after_packets > 0 && chip->packets_received >= chip->config.silent_after_packets) {
        fall_silent(chip);
        chip_log_text(&chip->log, now_ms, "chip: fault: silent from packet %d on", chip->packets_received);
        chip_log_event(&chip->log, now_ms, "fault", ",\"name\":\"silent\",\"packet\":%d", chip->packets_received);
        return;
    }
    if (chip->config.reset_after_packets > 0 && chip->packets_received == chip->config.reset_after_packets) {
        chip_log_text(&chip->log, now_ms, "chip: fault: restart on packet %d", chip->packets_received);
        chip_log_event(&chip->log, now_ms, "fault", ",\"name\":\"reset\",\"packet\":%d", chip->packets_received);
        restart(chip, now_ms, "fault");
        return;
    }
    if (chip->config.no_answer_after_packets > 0 &&
        chip->packets_received >= chip->config.no_answer_after_packets) {
        chip_log_text(&chip->log, now_ms, "chip: fault: packet %d acknowledged, not answered", chip->packets_received);
        chip_log_event(&chip->log, now_ms, "fault", ",\"name\":\"no_answer\",\"packet\":%d", chip->packets_received);
    } else if (chip->link.delivered.channel != CHIP_BCCMD_CHANNEL) {
        ignore(chip, now_ms, "channel");
    } else {
        bccmd_request(chip, now_ms);
    }
    chip_link_flush_ack(&chip->link, now_ms);
    if (chip->restarting) {
        chip_link_halt(&chip->link);
    }
}

// The accepted reset takes effect once it is due and the UART has sent what
// was queued when it was accepted (the acknowledgement): on the line those
// bytes leave within a millisecond, long before the restart, however late
// the simulator gets round to taking them.
int restart_due(const Chip* chip, std::uint64_t now_ms)
{
    return chip->restarting && now_ms >= chip->restart_at_ms && !chip_link_sending(&chip->link);
}

// Timers that are due: the pending restart, then the link's repeats.
void advance(Chip* chip, std::uint64_t now_ms)
{
    if (restart_due(chip, now_ms) && chip->config.no_restart) {
        chip_log_text(&chip->log, chip->restart_at_ms, "chip: fault: no restart after %s", chip->restart_reason);
        chip_log_event(&chip->log, chip->restart_at_ms, "fault", ",\"name\":\"no_restart\",\"reason\":\"%s\"",
                       chip->restart_reason);
        fall_silent(chip);
    } else if (restart_due(chip, now_ms)) {
        // Logged at the moment it was due, however late the caller looks.
        restart(chip, chip->restart_at_ms, chip->restart_reason);
    }
    if (!chip->silent && !chip->restarting) {
        send_delayed(chip, now_ms);
        chip_link_run_timers(&chip->link, now_ms);
    }
}

void log_noise(Chip* chip, std::uint64_t now_ms, const char* dir, std::uint8_t byte, int effect)
{
    const char* what = (effect & LINE_NOISE_DROPPED)                                   ? "drop"
                       : (effect & LINE_NOISE_CORRUPTED) && (effect & LINE_NOISE_REPEATED) ? "corrupt+repeat"
                       : (effect & LINE_NOISE_CORRUPTED)                                   ? "corrupt"
                                                                                           : "repeat";
    chip_log_text(&chip->log, now_ms, "chip: line noise (%s): byte 0x%02x %s",
                  dir[0] == 't' ? "sent" : "received", byte, what);
    chip_log_event(&chip->log, now_ms, "noise", ",\"dir\":\"%s\",\"byte\":%u,\"effect\":\"%s\"", dir, byte, what);
}

// Before a frame's opening delimiter: starts the run of garbage bytes, if any.
int starts_frame(const Chip* chip)
{
    return chip->link.queue_count > 0 && chip->link.queue[chip->link.queue_head].sent == 0;
}

std::uint8_t garbage_byte(Chip* chip)
{
    std::uint8_t byte = CHIP_FRAME_DELIMITER;
    while (byte == CHIP_FRAME_DELIMITER) {
        byte = line_noise_random_byte(&chip->garbage);
    }
    return byte;
}

}  // namespace

const char* chip_create_error()
{
    return chip_create_why;
}

Chip* chip_create(const ChipConfig* config)
{
    chip_create_why[0] = '\0';
    if (config->store_path == nullptr || std::strlen(config->store_path) >= CHIP_PATH_CHARS - 8) {
        std::snprintf(chip_create_why, sizeof chip_create_why, "no usable store file path");
        return nullptr;
    }
    Chip* chip = new (std::nothrow) Chip{};
    if (chip == nullptr) {
        std::snprintf(chip_create_why, sizeof chip_create_why, "out of memory");
        return nullptr;
    }
    chip->config = *config;
    std::snprintf(chip->store_path, sizeof chip->store_path, "%s", config->store_path);
    chip->config.store_path = chip->store_path;
    chip->log.text = config->log;
    chip->log.events = config->event_log;
    chip->link.log = &chip->log;
    chip->link.no_link = config->no_link > 0;
    chip->link.no_ack = config->no_ack > 0;
    chip_link_halt(&chip->link);
    line_noise_init(&chip->tx_noise, config->seed, config->corrupt_rate, config->drop_rate, config->repeat_rate);
    line_noise_init(&chip->rx_noise, config->seed + CHIP_RX_NOISE_SEED_OFFSET, config->rx_corrupt_rate,
                    config->rx_drop_rate, config->rx_repeat_rate);
    line_noise_init(&chip->garbage, config->seed + CHIP_GARBAGE_SEED_OFFSET, 0.0, 0.0, 0.0);

    int created = 0;
    if (!ps_store_open(&chip->store, chip->store_path, &created, chip_create_why, sizeof chip_create_why)) {
        chip_log_text(&chip->log, 0, "chip: persistent store unusable: %s", chip_create_why);
        delete chip;
        return nullptr;
    }
    chip_log_text(&chip->log, 0, "chip: persistent store %s %s, %d keys", chip->store_path,
                  created ? "created with defaults" : "loaded", chip->store.count);
    return chip;
}

void chip_destroy(Chip* chip)
{
    delete chip;
}

void chip_power_on(Chip* chip, std::uint64_t now_ms)
{
    chip->powered = 1;
    chip->restarting = 0;
    chip->repeat_pending = 0;
    chip->garbage_left = 0;
    chip->delayed_count = 0;
    chip_log_text(&chip->log, now_ms, "chip: power on");
    chip_log_event(&chip->log, now_ms, "power_on", "%s", "");
    if (chip->silent) {
        return;  // a chip that went silent stays silent for its whole life
    }
    if (chip->config.late_link_ms > 0) {
        // A chip slow to start after the hand-over: it comes up as after a reset, late.
        chip->restarting = 1;
        chip->restart_at_ms = now_ms + static_cast<std::uint64_t>(chip->config.late_link_ms);
        chip->restart_reason = "late_link";
        chip_log_event(&chip->log, now_ms, "fault", ",\"name\":\"late_link\",\"start_at\":%llu",
                       static_cast<unsigned long long>(chip->restart_at_ms));
        return;
    }
    chip_link_reset(&chip->link, now_ms);
}

void chip_receive_byte(Chip* chip, std::uint8_t byte, std::uint64_t now_ms)
{
    if (!chip->powered || chip->silent) {
        return;
    }
    advance(chip, now_ms);
    std::uint8_t bytes[2];
    int count = 1;
    bytes[0] = byte;
    if (line_noise_active(&chip->rx_noise)) {
        int effect = 0;
        count = line_noise_apply(&chip->rx_noise, byte, bytes, &effect);
        if (effect != LINE_NOISE_NONE) {
            log_noise(chip, now_ms, "rx", byte, effect);
        }
    }
    for (int i = 0; i < count; ++i) {
        if (chip->restarting || chip->silent) {
            return;  // going down: the byte is lost
        }
        if (chip_link_receive_byte(&chip->link, bytes[i], now_ms) == CHIP_LINK_DELIVERED) {
            on_packet(chip, now_ms);
        }
    }
}

int chip_transmit_byte(Chip* chip, std::uint64_t now_ms, std::uint8_t* byte)
{
    if (!chip->powered || chip->silent) {
        return 0;
    }
    advance(chip, now_ms);
    if (chip->repeat_pending) {
        chip->repeat_pending = 0;
        *byte = chip->repeat_byte;
        return 1;
    }
    if (chip->garbage_left == 0 && chip->config.garbage_between_frames > 0 && starts_frame(chip)) {
        chip->garbage_left = chip->config.garbage_between_frames;
        chip_log_text(&chip->log, now_ms, "chip: line garbage: %d bytes", chip->garbage_left);
        chip_log_event(&chip->log, now_ms, "garbage", ",\"bytes\":%d", chip->garbage_left);
    }
    if (chip->garbage_left > 0) {
        *byte = garbage_byte(chip);
        chip->garbage_left = chip->garbage_left == 1 ? -1 : chip->garbage_left - 1;
        return 1;
    }
    std::uint8_t next = 0;
    while (chip_link_transmit_byte(&chip->link, now_ms, &next)) {
        if (chip->garbage_left < 0) {
            chip->garbage_left = 0;  // the frame has begun: the next one gets its own garbage
        }
        if (!line_noise_active(&chip->tx_noise)) {
            *byte = next;
            return 1;
        }
        std::uint8_t out[2];
        int effect = 0;
        int count = line_noise_apply(&chip->tx_noise, next, out, &effect);
        if (effect != LINE_NOISE_NONE) {
            log_noise(chip, now_ms, "tx", next, effect);
        }
        if (count == 0) {
            continue;  // dropped on the line
        }
        if (count == 2) {
            chip->repeat_pending = 1;
            chip->repeat_byte = out[1];
        }
        *byte = out[0];
        return 1;
    }
    return 0;
}

std::uint64_t chip_next_event_ms(const Chip* chip)
{
    if (!chip->powered || chip->silent) {
        return UINT64_MAX;
    }
    if (chip->repeat_pending || chip->garbage_left > 0) {
        return 0;
    }
    std::uint64_t next = chip_link_next_event_ms(&chip->link);
    if (chip->restarting && chip->restart_at_ms < next) {
        next = chip->restart_at_ms;
    }
    if (chip->delayed_count > 0 && !chip->restarting && chip->delayed_due_ms[chip->delayed_head] < next) {
        next = chip->delayed_due_ms[chip->delayed_head];
    }
    return next;
}
