// The polled BCSP engine. Each bcsp_poll writes at most the next byte of the
// frame being sent (with its closing delimiter when it is the last), then
// feeds every waiting byte through the receive state machine.
#include "bcsp/bcsp_engine.h"

BcspEngineState bcsp_engine;

namespace {

constexpr std::int32_t RX_INDEX_HEADER_START = -BCSP_HEADER_BYTES;

// Bytes the held receive descriptor can take; none when there is no buffer.
std::int32_t bcsp_rx_capacity()
{
    const BcspPacket* rx = bcsp_engine.receive_packet;
    if (rx == nullptr || rx->payload == nullptr) {
        return 0;
    }
    return rx->length;
}

// Opens a new frame. A frame abandoned between the two bytes of an escape pair
// (bcsp_send_packet, or a CONF_RESP cutting off a frame) ends in a bare
// SLIP_ESC that would swallow this delimiter and with it the new frame; the
// pair is finished first, so the truncated frame closes here and fails the
// peer's checks on its own.
void bcsp_open_frame()
{
    if (bcsp_engine.tx_escape != 0) {
        bcsp_put_uart(bcsp_engine.tx_escape);
        bcsp_engine.tx_escape = 0;
    }
    bcsp_put_uart(SLIP_END);
}

// Writes the next byte of the frame in progress and moves through its stages.
void bcsp_transmit_next(std::uint8_t* activity, std::int8_t* idle)
{
    BcspEngineState& e = bcsp_engine;
    if (e.tx_escape != 0) {
        bcsp_put_uart(e.tx_escape);
        e.tx_escape = 0;
    } else {
        const std::uint8_t byte = *e.tx_cursor++;
        e.tx_crc = bcsp_crc_update(byte, e.tx_crc);
        bcsp_write_escaped(byte);
        if (e.tx_escape != 0) {
            return;  // the byte counts once its second half is written
        }
    }
    if (--e.tx_remaining > 0) {
        return;
    }
    e.tx_cursor = e.tx_next;
    e.tx_remaining = e.tx_next_length;
    e.tx_next = nullptr;
    e.tx_next_length = 0;
    if (e.tx_cursor != nullptr) {
        return;
    }
    if (e.tx_append_crc) {
        e.tx_append_crc = 0;
        e.tx_crc = bcsp_crc_reverse(e.tx_crc);
        e.tx_crc_bytes[0] = static_cast<std::uint8_t>(e.tx_crc >> 8);
        e.tx_crc_bytes[1] = static_cast<std::uint8_t>(e.tx_crc & 0xFF);
        e.tx_cursor = e.tx_crc_bytes;
        e.tx_remaining = BCSP_CRC_BYTES;
        return;
    }
    bcsp_put_uart(SLIP_END);
    *activity |= bcsp_release_unreliable();
    *idle = BCSP_QUIET_POLLS;
}

// A free turn: starts the most urgent frame, or asks for a quiet period.
// Returns 1 when it started a link-establishment message, after which the
// poll ends at once.
int bcsp_free_turn(std::int8_t* idle)
{
    BcspEngineState& e = bcsp_engine;
    if (e.le_next_message != LE_MESSAGE_NONE) {
        bcsp_open_frame();
        bcsp_begin_packet(BCSP_LE_HEADER.data(), BCSP_LE_PAYLOADS[e.le_next_message].data(), BCSP_LE_PAYLOAD_BYTES);
        e.le_next_message = BCSP_LE_TRANSITIONS[e.le_state + 4 * e.le_event];
        e.le_event = LE_EVENT_NONE;
        return 1;
    }
    if (e.le_event == LE_EVENT_CONF) {
        bcsp_open_frame();
        bcsp_begin_packet(BCSP_LE_HEADER.data(), BCSP_LE_PAYLOADS[LE_MESSAGE_CONF_RESP].data(),
                          BCSP_LE_PAYLOAD_BYTES);
        e.le_event = LE_EVENT_NONE;
        return 0;
    }
    if (e.send_packet != nullptr) {
        const BcspPacket* packet = e.send_packet;
        bcsp_open_frame();
        bcsp_header_build(e.tx_header, packet->reliable, e.tx_seq, e.ack_number, packet->channel, packet->length);
        bcsp_begin_packet(e.tx_header, packet->payload, packet->length);
        e.send_ack = 0;  // this header carries ack_number
        return 0;
    }
    if (e.send_ack) {
        bcsp_open_frame();
        bcsp_ack_header_build(e.ack_header, e.ack_number);
        bcsp_begin_packet(e.ack_header, nullptr, 0);
        e.send_ack = 0;
        return 0;
    }
    *idle = BCSP_QUIET_POLLS;
    return 0;
}

void bcsp_store_byte(std::uint8_t byte)
{
    BcspEngineState& e = bcsp_engine;
    if (e.rx_index < 0) {
        e.rx_header[e.rx_index + BCSP_HEADER_BYTES] = byte;
        ++e.rx_index;
    } else if (e.rx_index < bcsp_rx_capacity()) {
        e.receive_packet->payload[e.rx_index] = byte;
        ++e.rx_index;
    }
    // Beyond the capacity the byte is dropped; the frame then fails the length check.
}

void bcsp_receive_byte(std::uint8_t byte, std::uint8_t* activity)
{
    BcspEngineState& e = bcsp_engine;
    if (e.rx_escape) {
        e.rx_escape = 0;
        if (byte == SLIP_ESC_END) {
            byte = SLIP_END;
        } else if (byte == SLIP_ESC_ESC) {
            byte = SLIP_ESC;
        }
        // Any other byte after SLIP_ESC is an invalid escape: it is stored
        // unchanged (never taken as a delimiter), and the header, length or
        // CRC check rejects the damaged frame.
        bcsp_store_byte(byte);
        return;
    }
    if (byte == SLIP_END) {
        if (e.rx_index >= 0) {
            *activity |= bcsp_process_frame();
            if (*activity & ACTIVITY_ACK_DUE) {
                e.delay = 0;
            }
        }
        e.rx_index = RX_INDEX_HEADER_START;
        return;
    }
    if (byte == SLIP_ESC) {
        e.rx_escape = 1;
        return;
    }
    bcsp_store_byte(byte);
}

// Length and CRC checks of a frame whose header is intact. stored is the
// number of bytes in the payload buffer, never more than its capacity, so
// every index read here is below what was stored.
int bcsp_frame_complete(const BcspPacket* rx, std::int32_t stored, std::int32_t payload_length)
{
    const std::uint8_t* header = bcsp_engine.rx_header;
    if (stored > bcsp_rx_capacity()) {
        return 0;
    }
    if (!bcsp_header_crc_present(header)) {
        return stored == payload_length;
    }
    if (stored != payload_length + BCSP_CRC_BYTES) {
        return 0;
    }
    std::uint16_t crc = BCSP_CRC_INITIAL;
    for (int i = 0; i < BCSP_HEADER_BYTES; ++i) {
        crc = bcsp_crc_update(header[i], crc);
    }
    for (std::int32_t i = 0; i < payload_length; ++i) {
        crc = bcsp_crc_update(rx->payload[i], crc);
    }
    crc = bcsp_crc_reverse(crc);
    return rx->payload[payload_length] == (crc >> 8) && rx->payload[payload_length + 1] == (crc & 0xFF);
}

// Acts on an intact link-establishment message (channel 1).
std::uint8_t bcsp_take_le_message(std::uint8_t message)
{
    BcspEngineState& e = bcsp_engine;
    switch (message) {
    case LE_MESSAGE_SYNC:
        e.le_event = LE_EVENT_SYNC;  // a SYNC while established never gets here
        break;
    case LE_MESSAGE_SYNC_RESP:
        if (e.le_state == LINK_UNSYNCED) {
            e.le_state = LINK_SYNCED;
        }
        break;
    case LE_MESSAGE_CONF:
        if (e.le_state != LINK_UNSYNCED) {
            e.le_event = LE_EVENT_CONF;
        }
        break;
    case LE_MESSAGE_CONF_RESP:
        if (e.le_state != LINK_ESTABLISHED) {
            e.le_state = LINK_ESTABLISHED;
            e.tx_remaining = 0;  // cut off the link-establishment frame in progress
            return ACTIVITY_SENT;
        }
        break;
    default:
        break;
    }
    return 0;
}

void bcsp_deliver(BcspPacket* rx, std::int32_t payload_length)
{
    rx->length = static_cast<std::uint16_t>(payload_length);
    bcsp_engine.receive_packet = nullptr;
}

}  // namespace

void bcsp_initialize()
{
    BcspEngineState& e = bcsp_engine;
    e.le_state = LINK_UNSYNCED;
    e.le_next_message = LE_MESSAGE_SYNC;
    e.tx_seq = 0;
    e.ack_number = 0;
    e.rx_index = RX_INDEX_HEADER_START;
    e.tx_cursor = nullptr;
    e.tx_remaining = 0;
    e.delay = 0;
    // Leftovers of the previous link must not steer the new one: a stale
    // LE_EVENT_CONF would make the first SYNC choose no next message and stall
    // link establishment; an owed ack or a half-done escape belongs to the old link.
    e.le_event = LE_EVENT_NONE;
    e.send_ack = 0;
    e.tx_escape = 0;
    e.rx_escape = 0;
}

void bcsp_send_packet(BcspPacket* packet)
{
    bcsp_engine.send_packet = packet;
    bcsp_engine.tx_remaining = 0;
    bcsp_engine.tx_cursor = nullptr;
}

void bcsp_receive_packet(BcspPacket* packet)
{
    bcsp_engine.receive_packet = packet;
    bcsp_engine.rx_index = RX_INDEX_HEADER_START;
}

std::uint8_t bcsp_poll(std::uint8_t* activity)
{
    BcspEngineState& e = bcsp_engine;
    std::uint8_t bits = 0;
    std::int8_t idle = 0;

    if (e.delay == 0) {
        if (e.tx_remaining > 0) {
            bcsp_transmit_next(&bits, &idle);
        } else if (bcsp_free_turn(&idle)) {
            // A link-establishment message was started: report nothing and
            // leave reception to the next call.
            if (activity != nullptr) {
                *activity = 0;
            }
            return 0;
        }
    }

    // The descriptor is tested before every read: after a delivery the
    // remaining bytes stay in the port until a buffer is handed in again.
    while (e.receive_packet != nullptr) {
        std::uint8_t byte = 0;
        if (!bcsp_get_uart(&byte)) {
            break;
        }
        bcsp_receive_byte(byte, &bits);
    }

    if (e.delay > 0) {
        --e.delay;
    } else {
        e.delay = idle;
    }
    if (activity != nullptr) {
        *activity = bits;
    }
    return static_cast<std::uint8_t>(e.delay);
}

void bcsp_begin_packet(const std::uint8_t* header, const std::uint8_t* payload, std::int32_t length)
{
    BcspEngineState& e = bcsp_engine;
    // A packet with no bytes has no payload stage, whether its payload pointer
    // is null or not; an empty stage would never lead on to the CRC and the
    // closing delimiter.
    if (payload == nullptr || length <= 0) {
        payload = nullptr;
        length = 0;
    }
    e.tx_cursor = header;
    e.tx_remaining = BCSP_HEADER_BYTES;
    e.tx_next = payload;
    e.tx_next_length = length;
    e.tx_crc = BCSP_CRC_INITIAL;
    e.tx_append_crc = 1;
}

void bcsp_write_escaped(std::uint8_t byte)
{
    if (byte == SLIP_END) {
        bcsp_put_uart(SLIP_ESC);
        bcsp_engine.tx_escape = SLIP_ESC_END;
    } else if (byte == SLIP_ESC) {
        bcsp_put_uart(SLIP_ESC);
        bcsp_engine.tx_escape = SLIP_ESC_ESC;
    } else {
        bcsp_put_uart(byte);
    }
}

std::uint8_t bcsp_process_frame()
{
    BcspEngineState& e = bcsp_engine;
    BcspPacket* rx = e.receive_packet;
    const std::uint8_t* header = e.rx_header;
    if (rx == nullptr || e.rx_index < 0) {
        return 0;  // no buffer, or fewer than 4 bytes: no frame
    }
    if (!bcsp_header_intact(header)) {
        e.send_ack = 1;
        return 0;
    }
    rx->reliable = static_cast<std::uint8_t>(bcsp_header_reliable(header));
    rx->channel = static_cast<std::uint8_t>(bcsp_header_channel(header));
    const std::int32_t payload_length = bcsp_header_payload_length(header);
    if (!bcsp_frame_complete(rx, e.rx_index, payload_length)) {
        e.send_ack = 1;
        return 0;
    }

    const int link_establishment = rx->channel == BCSP_LE_CHANNEL;
    const std::uint8_t le_message =
        link_establishment ? bcsp_match_le_message(rx->payload, payload_length) : LE_MESSAGE_NONE;

    // A SYNC while established means the peer restarted. Its ack field (always
    // 0) acknowledges nothing: the packet still held is sent again on the new link.
    // The order is decided here: the peer reset is taken before the
    // acknowledgement step below, so a SYNC whose ack field differs from tx_seq
    // does not release the held reliable packet; after the new link
    // establishment it goes out again with seq 0. Releasing it first would
    // tell the caller a packet was delivered that the restarted peer never kept.
    if (le_message == LE_MESSAGE_SYNC && e.le_state == LINK_ESTABLISHED) {
        bcsp_initialize();
        return ACTIVITY_PEER_RESET;
    }

    std::uint8_t result = 0;
    if (bcsp_header_ack(header) != e.tx_seq && e.send_packet != nullptr && e.send_packet->reliable) {
        e.send_packet = nullptr;
        e.tx_seq = static_cast<std::uint8_t>((e.tx_seq + 1) & 0x07);
        e.delay = 0;
        result |= ACTIVITY_SENT;
    }

    if (link_establishment) {
        e.delay = 0;
        return result | bcsp_take_le_message(le_message);
    }
    if (payload_length == 0 || e.le_state != LINK_ESTABLISHED) {
        return result;
    }
    if (!rx->reliable) {
        bcsp_deliver(rx, payload_length);
        return result | ACTIVITY_RECEIVED;
    }
    e.send_ack = 1;
    if (bcsp_header_seq(header) != e.ack_number) {
        return result;  // repeat or gap: the ack restates the unchanged ack_number
    }
    e.ack_number = static_cast<std::uint8_t>((e.ack_number + 1) & 0x07);
    bcsp_deliver(rx, payload_length);
    return result | ACTIVITY_RECEIVED | ACTIVITY_ACK_DUE;
}

std::uint8_t bcsp_release_unreliable()
{
    BcspEngineState& e = bcsp_engine;
    if (e.send_packet != nullptr && !e.send_packet->reliable) {
        e.send_packet = nullptr;
        return ACTIVITY_SENT;
    }
    return 0;
}
