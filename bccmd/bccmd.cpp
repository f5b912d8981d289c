// BCCMD requests and responses over the BCSP port driver.
#include "bccmd/bccmd.h"

#include <cstring>

#include "bcsp/bcsp_port.h"
#include "platform/platform.h"

std::uint16_t bccmd_seqno = 0;

namespace {

struct VaridRange {
    std::uint16_t first;
    std::uint16_t last;
};

// The accepted varids: 109 values in 44 entries, ascending. Every value not
// listed is refused.
constexpr VaridRange BCCMD_ACCEPTED_VARIDS[] = {
    {0x000B, 0x000C}, {0x082D, 0x082D}, {0x1001, 0x1001}, {0x1002, 0x1002},
    {0x100D, 0x100D}, {0x2801, 0x2801}, {0x2807, 0x2817}, {0x2819, 0x281B},
    {0x281D, 0x281D}, {0x2823, 0x2823}, {0x2825, 0x2826}, {0x282A, 0x282A},
    {0x282C, 0x282C}, {0x282F, 0x282F}, {0x2831, 0x2831}, {0x2833, 0x2838},
    {0x283E, 0x283E}, {0x2C00, 0x2C00}, {0x3005, 0x300B}, {0x300E, 0x300F},
    {0x3012, 0x3013}, {0x4001, 0x4009}, {0x400D, 0x401A}, {0x4818, 0x4818},
    {0x481C, 0x481C}, {0x4820, 0x4822}, {0x4829, 0x4829}, {0x482E, 0x482E},
    {0x483C, 0x483C}, {0x5004, 0x5004}, {0x500C, 0x500C}, {0x5015, 0x5016},
    {0x6000, 0x6000}, {0x6802, 0x6806}, {0x681E, 0x681F}, {0x6827, 0x6827},
    {0x682B, 0x682B}, {0x6832, 0x6832}, {0x6839, 0x683B}, {0x683D, 0x683D},
    {0x7003, 0x7003}, {0x7010, 0x7011}, {0x7014, 0x7014}, {0x7017, 0x7017},
};

int bccmd_varid_carries_payload(std::uint16_t varid)
{
    return varid == VARID_PAYLOAD_1001 || varid == VARID_PS;
}

std::uint16_t bccmd_word_at(const std::uint8_t* bytes, int word)
{
    return static_cast<std::uint16_t>(bytes[2 * word] | (bytes[2 * word + 1] << 8));
}

// Header word indices.
constexpr int WORD_TYPE = 0;
constexpr int WORD_SEQNO = 2;
constexpr int WORD_VARID = 3;
constexpr int WORD_STATUS = 4;

// The seqno of the last request sent: the one bccmd_get_response waits for.
std::uint16_t bccmd_awaited_seqno;

// Given-up requests by seqno. Each new one takes the next slot in turn,
// replacing the oldest when all are in use.
struct GivenUp {
    std::uint16_t seqno;
    bool in_use;
};
GivenUp bccmd_given_up[BCCMD_GIVEN_UP_MAX];
int bccmd_given_up_next;

void bccmd_give_up(std::uint16_t seqno)
{
    bccmd_given_up[bccmd_given_up_next] = {seqno, true};
    bccmd_given_up_next = (bccmd_given_up_next + 1) % BCCMD_GIVEN_UP_MAX;
}

// 1 when seqno is a given-up request's, which it then no longer is (its
// answer has come).
int bccmd_take_given_up(std::uint16_t seqno)
{
    for (GivenUp& entry : bccmd_given_up) {
        if (entry.in_use && entry.seqno == seqno) {
            entry.in_use = false;
            return 1;
        }
    }
    return 0;
}

// A response that answers a given-up request rather than the awaited one.
int bccmd_is_late_answer(const std::uint8_t* bytes, int byte_count)
{
    if (byte_count < 2 * (WORD_SEQNO + 1)) {
        return 0;
    }
    const std::uint16_t seqno = bccmd_word_at(bytes, WORD_SEQNO);
    return seqno != bccmd_awaited_seqno && bccmd_take_given_up(seqno);
}

// Notes how a transaction ended for its caller, when it asked. Returns the
// transaction's result: 1 only for BCCMD_FAILURE_NONE.
int bccmd_note(BccmdResult* result, int kind, std::uint16_t varid, std::uint16_t status = 0,
               std::uint32_t bound_ms = 0)
{
    if (result != nullptr) {
        *result = {kind, varid, status, bound_ms};
    }
    return kind == BCCMD_FAILURE_NONE ? 1 : 0;
}

// Why a response that bccmd_check_response refused was refused.
int bccmd_refusal_kind(const std::uint8_t* bytes, std::size_t byte_count, std::uint16_t varid)
{
    if (byte_count >= 2 * BCCMD_HEADER_WORDS && bccmd_word_at(bytes, WORD_TYPE) == BCCMD_GET_RESPONSE &&
        bccmd_word_at(bytes, WORD_VARID) == varid && bccmd_word_at(bytes, WORD_STATUS) != 0) {
        return BCCMD_FAILURE_STATUS;
    }
    return BCCMD_FAILURE_ANSWER;
}

}  // namespace

void bccmd_given_up_clear()
{
    for (GivenUp& entry : bccmd_given_up) {
        entry.in_use = false;
    }
    bccmd_given_up_next = 0;
}

int bccmd_varid_accepted(std::uint16_t varid)
{
    for (const VaridRange& range : BCCMD_ACCEPTED_VARIDS) {
        if (varid < range.first) {
            return 0;  // ascending: no later entry can hold it
        }
        if (varid <= range.last) {
            return 1;
        }
    }
    return 0;
}

int bccmd_build_request(BccmdMessage* message, std::uint16_t varid, int is_set, const std::uint16_t* payload)
{
    *message = BccmdMessage{};
    message->type = is_set ? BCCMD_SET_REQUEST : BCCMD_GET_REQUEST;
    message->length = BCCMD_MIN_MESSAGE_WORDS;
    message->varid = varid;
    // Taken before the varid is looked up: a refused request uses one too.
    message->seqno = bccmd_seqno;
    bccmd_seqno = static_cast<std::uint16_t>(bccmd_seqno + 1);

    if (!bccmd_varid_accepted(varid)) {
        return 0;
    }
    if (bccmd_varid_carries_payload(varid) && payload != nullptr) {
        const int data_words = payload[BCCMD_PAYLOAD_COUNT_WORD];
        if (data_words > BCCMD_MAX_DATA_WORDS) {
            return 0;  // no room in the 64-word message
        }
        // Header words and data words end to end; with no data word, only the
        // header is read (the fourth payload word stays 0) so that nothing
        // past the caller's words is touched.
        const int copied = BCCMD_PAYLOAD_HEADER_WORDS + data_words;
        std::memcpy(message->payload, payload, sizeof(std::uint16_t) * static_cast<std::size_t>(copied));
        if (copied > BCCMD_MIN_PAYLOAD_WORDS) {
            message->length = static_cast<std::uint16_t>(BCCMD_HEADER_WORDS + copied);
        }
    }
    return 1;
}

int bccmd_message_pack(const BccmdMessage* message, std::uint8_t* bytes)
{
    const std::uint16_t header[BCCMD_HEADER_WORDS] = {message->type, message->length, message->seqno,
                                                      message->varid, message->status};
    for (int word = 0; word < message->length && word < BCCMD_MESSAGE_WORDS; ++word) {
        const std::uint16_t value =
            word < BCCMD_HEADER_WORDS ? header[word] : message->payload[word - BCCMD_HEADER_WORDS];
        bytes[2 * word] = static_cast<std::uint8_t>(value & 0xFF);
        bytes[2 * word + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    return 2 * (message->length < BCCMD_MESSAGE_WORDS ? message->length : BCCMD_MESSAGE_WORDS);
}

int bccmd_check_response(const std::uint8_t* bytes, std::size_t byte_count, std::uint16_t varid, int count,
                         std::uint16_t* out)
{
    if (count < 0) {
        return 0;
    }
    // Words past the received bytes are not part of the answer: a response
    // too short for what is checked and copied is refused.
    const std::size_t needed_words = BCCMD_HEADER_WORDS + (out != nullptr ? static_cast<std::size_t>(count) : 0);
    if (byte_count < 2 * needed_words) {
        return 0;
    }
    if (bccmd_word_at(bytes, WORD_TYPE) != BCCMD_GET_RESPONSE || bccmd_word_at(bytes, WORD_STATUS) != 0 ||
        bccmd_word_at(bytes, WORD_VARID) != varid) {
        return 0;
    }
    if (out != nullptr) {
        for (int word = 0; word < count; ++word) {
            out[word] = bccmd_word_at(bytes, BCCMD_HEADER_WORDS + word);
        }
    }
    return 1;
}

int bccmd_request(std::uint16_t varid, int is_set, const std::uint16_t* payload, BccmdResult* result)
{
    BccmdMessage message;
    if (!bccmd_build_request(&message, varid, is_set, payload)) {
        return bccmd_note(result, BCCMD_FAILURE_REFUSED, varid);
    }
    std::uint8_t bytes[BCCMD_MESSAGE_BYTES];
    const int byte_count = bccmd_message_pack(&message, bytes);
    bccmd_awaited_seqno = message.seqno;
    if (bcsp_port_send(bytes, static_cast<std::uint16_t>(byte_count), BCCMD_CHANNEL) == 0) {
        bccmd_give_up(message.seqno);  // the chip may have it all the same
        return bccmd_note(result, BCCMD_FAILURE_SEND, varid, 0, BCSP_SEND_TIMEOUT_MS);
    }
    return bccmd_note(result, BCCMD_FAILURE_NONE, varid);
}

int bccmd_get_response(std::uint16_t varid, int count, std::uint16_t* out, BccmdResult* result)
{
    std::uint8_t response[BCCMD_MESSAGE_BYTES];
    int received = 0;
    // Bounded: each late answer dropped leaves the given-up ring one shorter.
    do {
        received = bcsp_port_receive(response, sizeof response, BCCMD_CHANNEL);
        if (received <= 0) {
            bccmd_give_up(bccmd_awaited_seqno);
            return bccmd_note(result, BCCMD_FAILURE_NO_ANSWER, varid, 0, BCSP_RECEIVE_TIMEOUT_MS);
        }
    } while (bccmd_is_late_answer(response, received));
    const auto byte_count = static_cast<std::size_t>(received);
    if (!bccmd_check_response(response, byte_count, varid, count, out)) {
        const int kind = bccmd_refusal_kind(response, byte_count, varid);
        return bccmd_note(result, kind, varid,
                          kind == BCCMD_FAILURE_STATUS ? bccmd_word_at(response, WORD_STATUS) : 0);
    }
    return bccmd_note(result, BCCMD_FAILURE_NONE, varid);
}
