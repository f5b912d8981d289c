#include "sim/chip_link.h"

#include <cstdarg>
#include <cstring>

namespace {

constexpr std::uint8_t SLIP_END = 0xC0;
constexpr std::uint8_t SLIP_ESC = 0xDB;
constexpr std::uint8_t SLIP_ESC_END = 0xDC;
constexpr std::uint8_t SLIP_ESC_ESC = 0xDD;

constexpr std::uint8_t LE_CHANNEL = 1;
constexpr std::uint8_t ACK_CHANNEL = 0;

enum LeMessage { LE_SYNC = 0, LE_SYNC_RESP, LE_CONF, LE_CONF_RESP, LE_COUNT, LE_NONE = LE_COUNT };

constexpr std::uint8_t LE_PAYLOADS[LE_COUNT][4] = {
    {0xDA, 0xDC, 0xED, 0xED},
    {0xAC, 0xAF, 0xEF, 0xEE},
    {0xAD, 0xEF, 0xAC, 0xED},
    {0xDE, 0xAD, 0xD0, 0xD0},
};
constexpr const char* LE_NAMES[LE_COUNT] = {"SYNC", "SYNC_RESP", "CONF", "CONF_RESP"};

constexpr std::uint64_t NEVER = UINT64_MAX;

std::uint16_t crc_update(std::uint16_t crc, std::uint8_t byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408u) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

std::uint16_t crc_finish(std::uint16_t crc)
{
    std::uint16_t reversed = 0;
    for (int bit = 0; bit < 16; ++bit) {
        if (crc & (1u << bit)) {
            reversed = static_cast<std::uint16_t>(reversed | (1u << (15 - bit)));
        }
    }
    return reversed;
}

int le_match(const std::uint8_t* payload, int length)
{
    if (length < 4) {
        return LE_NONE;
    }
    for (int m = 0; m < LE_COUNT; ++m) {
        if (std::memcmp(payload, LE_PAYLOADS[m], 4) == 0) {
            return m;
        }
    }
    return LE_NONE;
}

void make_header(std::uint8_t header[4], int reliable, std::uint8_t ack, std::uint8_t seq, std::uint8_t channel,
                 int length)
{
    header[0] = static_cast<std::uint8_t>((reliable ? 0x80 : 0x00) | 0x40 | ((ack & 7) << 3) | (seq & 7));
    header[1] = static_cast<std::uint8_t>((channel & 0x0F) | ((length & 0x0F) << 4));
    header[2] = static_cast<std::uint8_t>((length >> 4) & 0xFF);
    header[3] = static_cast<std::uint8_t>(~(header[0] + header[1] + header[2]));
}

void frame_put(ChipLinkFrame* frame, std::uint8_t byte)
{
    if (byte == SLIP_END) {
        frame->bytes[frame->length++] = SLIP_ESC;
        frame->bytes[frame->length++] = SLIP_ESC_END;
    } else if (byte == SLIP_ESC) {
        frame->bytes[frame->length++] = SLIP_ESC;
        frame->bytes[frame->length++] = SLIP_ESC_ESC;
    } else {
        frame->bytes[frame->length++] = byte;
    }
}

void frame_encode(ChipLinkFrame* frame, const std::uint8_t header[4], const std::uint8_t* payload, int length)
{
    std::uint16_t crc = 0xFFFF;
    frame->length = 0;
    frame->sent = 0;
    frame->bytes[frame->length++] = SLIP_END;
    for (int i = 0; i < 4; ++i) {
        crc = crc_update(crc, header[i]);
        frame_put(frame, header[i]);
    }
    for (int i = 0; i < length; ++i) {
        crc = crc_update(crc, payload[i]);
        frame_put(frame, payload[i]);
    }
    crc = crc_finish(crc);
    frame_put(frame, static_cast<std::uint8_t>(crc >> 8));
    frame_put(frame, static_cast<std::uint8_t>(crc & 0xFF));
    frame->bytes[frame->length++] = SLIP_END;
}

// Readable summary of a frame for the text log.
void describe_frame(char* text, std::size_t size, const std::uint8_t header[4], const std::uint8_t* payload,
                    int length)
{
    int reliable = header[0] >> 7;
    int ack = (header[0] >> 3) & 7;
    int seq = header[0] & 7;
    int channel = header[1] & 0x0F;
    if (channel == LE_CHANNEL && !reliable) {
        int m = le_match(payload, length);
        std::snprintf(text, size, "%s", m == LE_NONE ? "unknown link-establishment message" : LE_NAMES[m]);
    } else if (channel == ACK_CHANNEL && !reliable && length == 0) {
        std::snprintf(text, size, "ack %d", ack);
    } else if (reliable) {
        std::snprintf(text, size, "reliable seq %d ack %d channel %d, %d bytes", seq, ack, channel, length);
    } else {
        std::snprintf(text, size, "unreliable ack %d channel %d, %d bytes", ack, channel, length);
    }
}

void log_frame(const ChipLink* link, std::uint64_t now_ms, const char* direction, const std::uint8_t header[4],
               const std::uint8_t* payload, int length, int retry)
{
    char text[96];
    describe_frame(text, sizeof text, header, payload, length);
    int reliable = header[0] >> 7;
    int channel = header[1] & 0x0F;
    chip_log_text(link->log, now_ms, "chip %s %s%s", direction[0] == 't' ? "->" : "<-", text,
                  retry ? " (again)" : "");
    char msg[32] = "";
    if (channel == LE_CHANNEL && !reliable) {
        int m = le_match(payload, length);
        std::snprintf(msg, sizeof msg, ",\"msg\":\"%s\"", m == LE_NONE ? "unknown" : LE_NAMES[m]);
    }
    chip_log_event(link->log, now_ms, direction, ",\"rel\":%d,\"seq\":%d,\"ack\":%d,\"ch\":%d,\"len\":%d%s%s",
                   reliable, header[0] & 7, (header[0] >> 3) & 7, channel, length, msg,
                   retry ? ",\"retry\":1" : "");
}

int queue_frame(ChipLink* link, std::uint64_t now_ms, const std::uint8_t header[4], const std::uint8_t* payload,
                int length, int kind, int retry)
{
    if (link->queue_count == CHIP_LINK_TX_QUEUE_FRAMES) {
        chip_log_text(link->log, now_ms, "chip: transmit queue full, frame dropped");
        chip_log_event(link->log, now_ms, "tx_dropped", ",\"reason\":\"queue_full\"");
        return 0;
    }
    ChipLinkFrame* frame = &link->queue[(link->queue_head + link->queue_count) % CHIP_LINK_TX_QUEUE_FRAMES];
    frame_encode(frame, header, payload, length);
    frame->kind = kind;
    frame->seq = static_cast<std::uint8_t>(header[0] & 7);
    ++link->queue_count;
    log_frame(link, now_ms, "tx", header, payload, length, retry);
    return 1;
}

int queue_le(ChipLink* link, std::uint64_t now_ms, int message, int retry)
{
    static constexpr std::uint8_t LE_HEADER[4] = {0x40, 0x41, 0x00, 0x7E};
    int kind = message == LE_SYNC ? CHIP_FRAME_SYNC : message == LE_CONF ? CHIP_FRAME_CONF : CHIP_FRAME_OTHER;
    return queue_frame(link, now_ms, LE_HEADER, LE_PAYLOADS[message], 4, kind, retry);
}

int queue_outstanding(ChipLink* link, std::uint64_t now_ms, int retry)
{
    std::uint8_t header[4];
    const ChipLinkPacket* packet = &link->outstanding_packet;
    make_header(header, 1, link->rx_expected, link->outstanding_seq, packet->channel, packet->length);
    // This header carries the acknowledgement as well.
    link->ack_owed = 0;
    return queue_frame(link, now_ms, header, packet->payload, packet->length, CHIP_FRAME_RELIABLE, retry);
}

void start_reliable(ChipLink* link, std::uint64_t now_ms, const ChipLinkPacket* packet)
{
    link->outstanding = 1;
    link->outstanding_seq = link->tx_seq;
    link->outstanding_packet = *packet;
    link->retransmit_due_ms = NEVER;
    if (!queue_outstanding(link, now_ms, 0)) {
        link->retransmit_due_ms = now_ms + CHIP_LINK_RELIABLE_RETRANSMIT_MS;  // no room now: its repeat sends it
    }
}

void on_acknowledged(ChipLink* link, std::uint64_t now_ms)
{
    chip_log_text(link->log, now_ms, "chip: host acknowledged seq %d", link->outstanding_seq);
    chip_log_event(link->log, now_ms, "acked", ",\"seq\":%d", link->outstanding_seq);
    link->outstanding = 0;
    link->tx_seq = static_cast<std::uint8_t>((link->tx_seq + 1) & 7);
    link->retransmit_due_ms = NEVER;
    if (link->pending_count > 0) {
        ChipLinkPacket* next = &link->pending[link->pending_head];
        link->pending_head = (link->pending_head + 1) % CHIP_LINK_PENDING_PACKETS;
        --link->pending_count;
        start_reliable(link, now_ms, next);
    }
}

// Drops queued frames that have not started; one already partly on the wire
// is finished, as a UART would.
void drop_unstarted_frames(ChipLink* link)
{
    if (link->queue_count > 0 && link->queue[link->queue_head].sent > 0) {
        link->queue_count = 1;
    } else {
        link->queue_count = 0;
    }
}

void ignore(const ChipLink* link, std::uint64_t now_ms, const char* reason)
{
    chip_log_text(link->log, now_ms, "chip: frame ignored (%s)", reason);
    chip_log_event(link->log, now_ms, "ignored", ",\"reason\":\"%s\"", reason);
}

void handle_le(ChipLink* link, std::uint64_t now_ms, const std::uint8_t* payload, int length)
{
    if (link->no_link) {
        ignore(link, now_ms, "no_link");
        return;
    }
    switch (le_match(payload, length)) {
    case LE_SYNC:
        if (link->state == CHIP_LINK_ESTABLISHED) {
            chip_log_text(link->log, now_ms, "chip: SYNC while established: the host restarted, link starts afresh");
            chip_log_event(link->log, now_ms, "peer_reset", "%s", "");
            chip_link_reset(link, now_ms);
        }
        queue_le(link, now_ms, LE_SYNC_RESP, 0);
        break;
    case LE_SYNC_RESP:
        if (link->state == CHIP_LINK_UNSYNCED) {
            link->state = CHIP_LINK_SYNCED;
            link->sync_due_ms = NEVER;
            chip_log_text(link->log, now_ms, "chip: link synced");
            chip_log_event(link->log, now_ms, "link_synced", "%s", "");
            if (!queue_le(link, now_ms, LE_CONF, 0)) {
                link->conf_due_ms = now_ms + CHIP_LINK_LE_RETRANSMIT_MS;
            }
        }
        break;
    case LE_CONF:
        if (link->state == CHIP_LINK_UNSYNCED) {
            ignore(link, now_ms, "conf_while_unsynced");
        } else {
            queue_le(link, now_ms, LE_CONF_RESP, 0);
        }
        break;
    case LE_CONF_RESP:
        if (link->state == CHIP_LINK_SYNCED) {
            link->state = CHIP_LINK_ESTABLISHED;
            link->conf_due_ms = NEVER;
            chip_log_text(link->log, now_ms, "chip: link established");
            chip_log_event(link->log, now_ms, "link_established", "%s", "");
        }
        break;
    default:
        ignore(link, now_ms, "le_unknown");
        break;
    }
}

void frame_bad(const ChipLink* link, std::uint64_t now_ms, const char* reason)
{
    chip_log_text(link->log, now_ms, "chip <- damaged frame dropped (%s, %d bytes)", reason, link->rx_count);
    chip_log_event(link->log, now_ms, "frame_bad", ",\"reason\":\"%s\",\"bytes\":%d", reason, link->rx_count);
}

int handle_frame(ChipLink* link, std::uint64_t now_ms)
{
    const std::uint8_t* header = link->rx;
    const std::uint8_t* payload = link->rx + 4;
    int reliable = header[0] >> 7;
    std::uint8_t ack = static_cast<std::uint8_t>((header[0] >> 3) & 7);
    std::uint8_t seq = static_cast<std::uint8_t>(header[0] & 7);
    std::uint8_t channel = static_cast<std::uint8_t>(header[1] & 0x0F);
    int length = (header[1] >> 4) | (header[2] << 4);

    log_frame(link, now_ms, "rx", header, payload, length, 0);

    if (channel == LE_CHANNEL && !reliable) {
        handle_le(link, now_ms, payload, length);
        return CHIP_LINK_NOTHING;
    }
    if (link->outstanding && ack == ((link->outstanding_seq + 1) & 7)) {
        on_acknowledged(link, now_ms);
    }
    if (!reliable && length == 0) {
        return CHIP_LINK_NOTHING;  // a bare acknowledgement
    }
    if (link->state != CHIP_LINK_ESTABLISHED) {
        ignore(link, now_ms, "link_not_established");
        return CHIP_LINK_NOTHING;
    }
    if (reliable) {
        if (link->no_ack) {
            ignore(link, now_ms, "no_ack");
            return CHIP_LINK_NOTHING;
        }
        if (seq != link->rx_expected) {
            if (seq == ((link->rx_expected + 7) & 7)) {
                chip_log_text(link->log, now_ms, "chip: repeat of seq %d, acknowledged again", seq);
                chip_log_event(link->log, now_ms, "duplicate", ",\"seq\":%d", seq);
            } else {
                chip_log_text(link->log, now_ms, "chip: seq %d out of sequence (expected %d)", seq,
                              link->rx_expected);
                chip_log_event(link->log, now_ms, "out_of_sequence", ",\"seq\":%d,\"expected\":%d", seq,
                               link->rx_expected);
            }
            link->ack_owed = 1;
            chip_link_flush_ack(link, now_ms);
            return CHIP_LINK_NOTHING;
        }
        link->rx_expected = static_cast<std::uint8_t>((link->rx_expected + 1) & 7);
        link->ack_owed = 1;
    }
    link->delivered.channel = channel;
    link->delivered.reliable = static_cast<std::uint8_t>(reliable);
    link->delivered.seq = seq;
    link->delivered.length = length;
    std::memcpy(link->delivered.payload, payload, static_cast<std::size_t>(length));
    return CHIP_LINK_DELIVERED;
}

// A closing delimiter: check what was collected and act on it.
int frame_end(ChipLink* link, std::uint64_t now_ms)
{
    if (link->rx_count == 0 && !link->rx_overflow) {
        return CHIP_LINK_NOTHING;  // back-to-back delimiters
    }
    if (link->rx_overflow) {
        frame_bad(link, now_ms, "too_long");
        return CHIP_LINK_NOTHING;
    }
    if (link->rx_count < 4) {
        frame_bad(link, now_ms, "short");
        return CHIP_LINK_NOTHING;
    }
    if (link->rx_bad_escape) {
        frame_bad(link, now_ms, "escape");
        return CHIP_LINK_NOTHING;
    }
    const std::uint8_t* header = link->rx;
    if (static_cast<std::uint8_t>(header[0] + header[1] + header[2] + header[3]) != 0xFF) {
        frame_bad(link, now_ms, "header_checksum");
        return CHIP_LINK_NOTHING;
    }
    int length = (header[1] >> 4) | (header[2] << 4);
    int crc_present = (header[0] >> 6) & 1;
    if (link->rx_count != 4 + length + (crc_present ? 2 : 0)) {
        frame_bad(link, now_ms, "length");
        return CHIP_LINK_NOTHING;
    }
    if (crc_present) {
        std::uint16_t crc = chip_link_crc(link->rx, 4 + length);
        std::uint16_t received = static_cast<std::uint16_t>((link->rx[4 + length] << 8) | link->rx[5 + length]);
        if (crc != received) {
            frame_bad(link, now_ms, "crc");
            return CHIP_LINK_NOTHING;
        }
    }
    return handle_frame(link, now_ms);
}

void rx_clear(ChipLink* link)
{
    link->rx_count = 0;
    link->rx_escape = 0;
    link->rx_bad_escape = 0;
    link->rx_overflow = 0;
}

void rx_store(ChipLink* link, std::uint8_t byte)
{
    if (link->rx_count < CHIP_LINK_MAX_RX_FRAME) {
        link->rx[link->rx_count++] = byte;
    } else {
        link->rx_overflow = 1;
    }
}

}  // namespace

void chip_log_text(const ChipLog* log, std::uint64_t now_ms, const char* format, ...)
{
    if (log == nullptr || log->text == nullptr) {
        return;
    }
    // Same time stamp as the adapter's lines, so the two read as one log.
    std::fprintf(log->text, "[%10llu ms] ", static_cast<unsigned long long>(now_ms));
    va_list args;
    va_start(args, format);
    std::vfprintf(log->text, format, args);
    va_end(args);
    std::fputc('\n', log->text);
    std::fflush(log->text);
}

void chip_log_event(const ChipLog* log, std::uint64_t now_ms, const char* name, const char* format, ...)
{
    if (log == nullptr || log->events == nullptr) {
        return;
    }
    std::fprintf(log->events, "{\"t\":%llu,\"ev\":\"%s\"", static_cast<unsigned long long>(now_ms), name);
    va_list args;
    va_start(args, format);
    std::vfprintf(log->events, format, args);
    va_end(args);
    std::fputs("}\n", log->events);
    std::fflush(log->events);
}

std::uint16_t chip_link_crc(const std::uint8_t* bytes, int length)
{
    std::uint16_t crc = 0xFFFF;
    for (int i = 0; i < length; ++i) {
        crc = crc_update(crc, bytes[i]);
    }
    return crc_finish(crc);
}

void chip_link_reset(ChipLink* link, std::uint64_t now_ms)
{
    drop_unstarted_frames(link);
    link->state = CHIP_LINK_UNSYNCED;
    rx_clear(link);
    link->tx_seq = 0;
    link->rx_expected = 0;
    link->ack_owed = 0;
    link->outstanding = 0;
    link->pending_head = 0;
    link->pending_count = 0;
    link->sync_due_ms = NEVER;
    link->conf_due_ms = NEVER;
    link->retransmit_due_ms = NEVER;
    if (!link->no_link && !queue_le(link, now_ms, LE_SYNC, 0)) {
        link->sync_due_ms = now_ms + CHIP_LINK_LE_RETRANSMIT_MS;
    }
}

void chip_link_halt(ChipLink* link)
{
    link->outstanding = 0;
    link->pending_count = 0;
    link->ack_owed = 0;
    link->sync_due_ms = NEVER;
    link->conf_due_ms = NEVER;
    link->retransmit_due_ms = NEVER;
}

void chip_link_drop_queue(ChipLink* link)
{
    link->queue_count = 0;
}

int chip_link_sending(const ChipLink* link)
{
    return link->queue_count > 0 ? 1 : 0;
}

int chip_link_receive_byte(ChipLink* link, std::uint8_t byte, std::uint64_t now_ms)
{
    if (link->rx_escape) {
        // The byte after 0xDB is always the second half of an escape, even
        // a 0xC0; anything but 0xDC/0xDD spoils the frame.
        link->rx_escape = 0;
        if (byte == SLIP_ESC_END) {
            rx_store(link, SLIP_END);
        } else if (byte == SLIP_ESC_ESC) {
            rx_store(link, SLIP_ESC);
        } else {
            link->rx_bad_escape = 1;
            rx_store(link, byte);
        }
        return CHIP_LINK_NOTHING;
    }
    if (byte == SLIP_END) {
        int result = frame_end(link, now_ms);
        rx_clear(link);
        return result;
    }
    if (byte == SLIP_ESC) {
        link->rx_escape = 1;
        return CHIP_LINK_NOTHING;
    }
    rx_store(link, byte);
    return CHIP_LINK_NOTHING;
}

int chip_link_send(ChipLink* link, std::uint8_t channel, const std::uint8_t* payload, int length,
                   std::uint64_t now_ms)
{
    if (length < 0 || length > CHIP_LINK_MAX_TX_PAYLOAD || link->state != CHIP_LINK_ESTABLISHED) {
        chip_log_text(link->log, now_ms, "chip: packet of %d bytes not sent (link down or too long)", length);
        chip_log_event(link->log, now_ms, "tx_dropped", ",\"reason\":\"cannot_send\"");
        return 0;
    }
    ChipLinkPacket packet;
    packet.channel = channel;
    packet.reliable = 1;
    packet.length = length;
    std::memcpy(packet.payload, payload, static_cast<std::size_t>(length));
    if (!link->outstanding) {
        start_reliable(link, now_ms, &packet);
        return 1;
    }
    if (link->pending_count == CHIP_LINK_PENDING_PACKETS) {
        chip_log_text(link->log, now_ms, "chip: too many packets waiting, packet dropped");
        chip_log_event(link->log, now_ms, "tx_dropped", ",\"reason\":\"pending_full\"");
        return 0;
    }
    link->pending[(link->pending_head + link->pending_count) % CHIP_LINK_PENDING_PACKETS] = packet;
    ++link->pending_count;
    return 1;
}

void chip_link_flush_ack(ChipLink* link, std::uint64_t now_ms)
{
    if (!link->ack_owed || link->state != CHIP_LINK_ESTABLISHED) {
        return;
    }
    std::uint8_t header[4];
    make_header(header, 0, link->rx_expected, 0, ACK_CHANNEL, 0);
    link->ack_owed = 0;
    queue_frame(link, now_ms, header, nullptr, 0, CHIP_FRAME_OTHER, 0);
}

void chip_link_run_timers(ChipLink* link, std::uint64_t now_ms)
{
    // A repeat restarts its timer once its frame has left (chip_link_transmit_byte);
    // a repeat the full queue drops is tried again a whole interval later, so
    // that a burst of acknowledgements never stops the repeats for good.
    if (link->state == CHIP_LINK_UNSYNCED && link->sync_due_ms <= now_ms) {
        link->sync_due_ms = queue_le(link, now_ms, LE_SYNC, 1) ? NEVER : now_ms + CHIP_LINK_LE_RETRANSMIT_MS;
    }
    if (link->state == CHIP_LINK_SYNCED && link->conf_due_ms <= now_ms) {
        link->conf_due_ms = queue_le(link, now_ms, LE_CONF, 1) ? NEVER : now_ms + CHIP_LINK_LE_RETRANSMIT_MS;
    }
    if (link->outstanding && link->retransmit_due_ms <= now_ms) {
        link->retransmit_due_ms =
            queue_outstanding(link, now_ms, 1) ? NEVER : now_ms + CHIP_LINK_RELIABLE_RETRANSMIT_MS;
    }
}

int chip_link_transmit_byte(ChipLink* link, std::uint64_t now_ms, std::uint8_t* byte)
{
    if (link->queue_count == 0) {
        return 0;
    }
    ChipLinkFrame* frame = &link->queue[link->queue_head];
    *byte = frame->bytes[frame->sent++];
    if (frame->sent < frame->length) {
        return 1;
    }
    // The whole frame is out: its repeat timer starts now.
    if (frame->kind == CHIP_FRAME_SYNC && link->state == CHIP_LINK_UNSYNCED) {
        link->sync_due_ms = now_ms + CHIP_LINK_LE_RETRANSMIT_MS;
    } else if (frame->kind == CHIP_FRAME_CONF && link->state == CHIP_LINK_SYNCED) {
        link->conf_due_ms = now_ms + CHIP_LINK_LE_RETRANSMIT_MS;
    } else if (frame->kind == CHIP_FRAME_RELIABLE && link->outstanding && frame->seq == link->outstanding_seq) {
        link->retransmit_due_ms = now_ms + CHIP_LINK_RELIABLE_RETRANSMIT_MS;
    }
    link->queue_head = (link->queue_head + 1) % CHIP_LINK_TX_QUEUE_FRAMES;
    --link->queue_count;
    return 1;
}

std::uint64_t chip_link_next_event_ms(const ChipLink* link)
{
    if (link->queue_count > 0) {
        return 0;
    }
    std::uint64_t next = link->sync_due_ms;
    if (link->conf_due_ms < next) {
        next = link->conf_due_ms;
    }
    if (link->retransmit_due_ms < next) {
        next = link->retransmit_due_ms;
    }
    return next;
}
