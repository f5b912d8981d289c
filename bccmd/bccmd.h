// BCCMD transactions: numbered get and set requests for a table of accepted
// variable identifiers (varids), carried as reliable BCSP packets on channel 2,
// and the check of the chip's response.
//
// A BccmdMessage is a run of 16-bit words, each sent low byte first: type,
// length (in words, header included), seqno, varid, status, then the varid's
// payload words (at least four in every request). A response (type 1) is
// matched to its request by varid, with one exception: a late answer to an
// earlier request whose answer was given up (see BCCMD_GIVEN_UP_MAX) is
// recognised by its seqno and dropped, never taken for a later request's.
//
// The BCSP port must be open (bcsp_port.h) while a transaction runs. Results:
// 1 success, 0 failure; nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t BCCMD_CHANNEL = 2;

// Message types.
inline constexpr std::uint16_t BCCMD_GET_REQUEST = 0;
inline constexpr std::uint16_t BCCMD_GET_RESPONSE = 1;  // answers get and set requests alike
inline constexpr std::uint16_t BCCMD_SET_REQUEST = 2;

// The varids this system uses.
inline constexpr std::uint16_t VARID_BUILD_ID = 0x2819;
inline constexpr std::uint16_t VARID_COLD_RESET = 0x4001;
inline constexpr std::uint16_t VARID_PS_DEFRAG_RESET = 0x400F;
inline constexpr std::uint16_t VARID_PS = 0x7003;
// The other varid whose request carries the caller's payload; unused here.
inline constexpr std::uint16_t VARID_PAYLOAD_1001 = 0x1001;

// Message shape, in 16-bit words.
inline constexpr int BCCMD_MESSAGE_WORDS = 64;  // the 128-byte request and response buffers
inline constexpr int BCCMD_MESSAGE_BYTES = BCCMD_MESSAGE_WORDS * 2;
inline constexpr int BCCMD_HEADER_WORDS = 5;               // type, length, seqno, varid, status
inline constexpr int BCCMD_MIN_PAYLOAD_WORDS = 4;          // every request carries at least four
inline constexpr int BCCMD_MIN_MESSAGE_WORDS = BCCMD_HEADER_WORDS + BCCMD_MIN_PAYLOAD_WORDS;  // 9
// A payload-carrying request: its own three header words (the second is the
// count n of data words that follow), then the n data words.
inline constexpr int BCCMD_PAYLOAD_HEADER_WORDS = 3;
inline constexpr int BCCMD_PAYLOAD_COUNT_WORD = 1;
// Room for data words in the 64-word message; a larger count is refused.
inline constexpr int BCCMD_MAX_DATA_WORDS =
    BCCMD_MESSAGE_WORDS - BCCMD_HEADER_WORDS - BCCMD_PAYLOAD_HEADER_WORDS;  // 56

struct BccmdMessage {
    std::uint16_t type;
    std::uint16_t length;  // whole message in words
    std::uint16_t seqno;
    std::uint16_t varid;
    std::uint16_t status;  // 0 in every request; a response is accepted only with 0
    std::uint16_t payload[BCCMD_MESSAGE_WORDS - BCCMD_HEADER_WORDS];
};

// The sequence number of the next request: counts every request, refused ones
// included, across port closes and re-opens, wrapping from 0xFFFF to 0.
extern std::uint16_t bccmd_seqno;

// Requests whose answer was given up (their send, or the wait for their
// answer, ran out) are remembered by seqno, the most recent this many: the
// chip may still answer such a request late, and that answer would otherwise
// be taken for the next request's (a refused write reported as written). A
// response carrying one of these seqnos, other than the awaited request's, is
// dropped and the wait goes on. A chip that does not echo the seqno is
// unaffected unless its seqno happens to be a given-up one, and then a
// response is refused, never wrongly accepted. Eight covers every request of
// a whole update run.
inline constexpr int BCCMD_GIVEN_UP_MAX = 8;
// Forgets every given-up request (tests; a new run starts with none).
void bccmd_given_up_clear();

// How one transaction went, for a caller that explains a failure to people
// (the field tool): the varid, why it failed, the chip's status and the bound
// that ran out. Filling it changes nothing the transaction does.
inline constexpr int BCCMD_FAILURE_NONE = 0;       // it succeeded
inline constexpr int BCCMD_FAILURE_REFUSED = 1;    // not sent: varid not accepted, or too many words
inline constexpr int BCCMD_FAILURE_SEND = 2;       // not acknowledged within BCSP_SEND_TIMEOUT_MS
inline constexpr int BCCMD_FAILURE_NO_ANSWER = 3;  // no answer within BCSP_RECEIVE_TIMEOUT_MS
inline constexpr int BCCMD_FAILURE_STATUS = 4;     // the chip answered with a non-zero status
inline constexpr int BCCMD_FAILURE_ANSWER = 5;     // an answer of another type or varid, or too short
struct BccmdResult {
    int kind;  // BCCMD_FAILURE_*
    std::uint16_t varid;
    std::uint16_t status;      // BCCMD_FAILURE_STATUS: the status the chip sent
    std::uint32_t bound_ms;    // BCCMD_FAILURE_SEND and _NO_ANSWER: the wait that ran out
};

// 1 when varid is in the table of accepted identifiers.
int bccmd_varid_accepted(std::uint16_t varid);

// Builds the request message for varid (seqno taken from bccmd_seqno, which
// advances whatever the outcome). payload: read only for VARID_PS and 0x1001,
// whose three payload header words and n data words are copied. 1: built.
// 0: varid refused, or n above BCCMD_MAX_DATA_WORDS.
int bccmd_build_request(BccmdMessage* message, std::uint16_t varid, int is_set, const std::uint16_t* payload);

// The message as it goes on the wire (length words, little-endian) into
// bytes, which holds BCCMD_MESSAGE_BYTES; returns the byte count.
int bccmd_message_pack(const BccmdMessage* message, std::uint8_t* bytes);

// Checks a received response of byte_count bytes: type 1, status 0, the
// expected varid, and enough bytes for the header and count payload words
// (when out is not null). On success copies count words from payload word 0
// into out (when not null) and returns 1; otherwise writes nothing and
// returns 0.
int bccmd_check_response(const std::uint8_t* bytes, std::size_t byte_count, std::uint16_t varid, int count,
                         std::uint16_t* out);

// Builds, numbers and sends one request on BCCMD_CHANNEL. 1: sent.
// 0: refused (nothing sent) or the send failed. result (may be null) says how.
int bccmd_request(std::uint16_t varid, int is_set, const std::uint16_t* payload, BccmdResult* result = nullptr);

// Waits for the next packet on BCCMD_CHANNEL and checks it as the answer to
// the last request, for varid, copying count payload words into out (may be
// null). A late answer to a given-up request is dropped first (at most
// BCCMD_GIVEN_UP_MAX of them, each a wait of its own). 1: accepted. 0: nothing
// came (the request is then given up), or the response was refused (it is
// consumed either way). result (may be null) says how.
int bccmd_get_response(std::uint16_t varid, int count, std::uint16_t* out, BccmdResult* result = nullptr);
