// BCCMD transactions: the request bytes on channel 2, the sequence counter,
// the table of accepted varids, the size bound, and the response rules.
#include <cstdio>
#include <set>

#include "bccmd_fixture.h"
#include "scripted_chip.h"

namespace {

class BccmdTest : public BcspLinkTest {
protected:
    ScriptedChip chip;

    void SetUp() override
    {
        BcspLinkTest::SetUp();
        scripted_chip_attach(&peer, &chip);
    }

    // The BCCMD packets the peer took, as bytes.
    std::vector<Bytes> sent() const { return peer_payloads(BCCMD_CHANNEL); }
};

// ---------------------------------------------------------------------------
// Requests

TEST_F(BccmdTest, BuildIdGetRequestIsByteExactAndNumbered)
{
    open_linked();
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);

    const auto packets = sent();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (Bytes{0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x19, 0x28, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bytes_to_words(packets[1])[2], 1) << "the next request carries seqno 1";
    for (const PeerFrame& packet : peer.packets) {
        EXPECT_EQ(packet.channel, BCCMD_CHANNEL);
        EXPECT_EQ(packet.reliable, 1);
    }
}

TEST_F(BccmdTest, PersistentStoreSetRequestCarriesTheKeyRequest)
{
    open_linked();
    const std::uint16_t one_word[] = {0x01F9, 1, 0, 4};
    ASSERT_EQ(bccmd_request(VARID_PS, 1, one_word), 1);

    std::uint16_t ten_words[3 + 10] = {0x0191, 10, 0};
    for (int i = 0; i < 10; ++i) {
        ten_words[3 + i] = static_cast<std::uint16_t>(0x0100 + i);
    }
    ASSERT_EQ(bccmd_request(VARID_PS, 1, ten_words), 1);

    const auto packets = sent();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0], (Bytes{0x02, 0x00, 0x09, 0x00, 0x00, 0x00, 0x03, 0x70, 0x00, 0x00, 0xF9, 0x01, 0x01,
                                 0x00, 0x00, 0x00, 0x04, 0x00}));
    Words expected = {2, 18, 1, 0x7003, 0, 0x0191, 10, 0};
    for (int i = 0; i < 10; ++i) {
        expected.push_back(static_cast<std::uint16_t>(0x0100 + i));
    }
    EXPECT_EQ(packets[1].size(), 36u);
    EXPECT_EQ(bytes_to_words(packets[1]), expected);
}

TEST_F(BccmdTest, RequestsWithoutPayloadCarryFourZeroWords)
{
    open_linked();
    const std::uint16_t ignored[] = {0xAAAA, 0xBBBB, 0xCCCC, 0xDDDD};
    ASSERT_EQ(bccmd_request(VARID_COLD_RESET, 1, nullptr), 1);
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, ignored), 1);  // payload read only for 0x1001 and 0x7003
    ASSERT_EQ(bccmd_request(VARID_PS, 0, nullptr), 1);

    const auto packets = sent();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(bytes_to_words(packets[0]), (Words{2, 9, 0, 0x4001, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes_to_words(packets[1]), (Words{0, 9, 1, 0x2819, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes_to_words(packets[2]), (Words{0, 9, 2, 0x7003, 0, 0, 0, 0, 0}));
}

TEST_F(BccmdTest, Varid1001CopiesItsPayloadLikeThePersistentStore)
{
    open_linked();
    const std::uint16_t three_words[] = {0x1111, 3, 0x2222, 0xA1, 0xA2, 0xA3};
    ASSERT_EQ(bccmd_request(VARID_PAYLOAD_1001, 1, three_words), 1);
    // A count of 0: only the three header words exist and only they are read.
    const std::vector<std::uint16_t> header_only = {0x3333, 0, 0x4444};
    ASSERT_EQ(bccmd_request(VARID_PAYLOAD_1001, 0, header_only.data()), 1);

    const auto packets = sent();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(bytes_to_words(packets[0]), (Words{2, 11, 0, 0x1001, 0, 0x1111, 3, 0x2222, 0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(bytes_to_words(packets[1]), (Words{0, 9, 1, 0x1001, 0, 0x3333, 0, 0x4444, 0}));
}

TEST_F(BccmdTest, RefusedVaridsSendNothingButUseASequenceNumber)
{
    open_linked();
    const std::size_t written = fake_serial_written().size();
    const std::uint16_t payload[] = {1, 1, 0, 1};

    EXPECT_EQ(bccmd_request(0x2818, 0, nullptr), 0);
    EXPECT_EQ(bccmd_request(0x7012, 1, payload), 0);
    EXPECT_EQ(fake_serial_written().size(), written) << "not a byte on the line";
    EXPECT_EQ(bccmd_seqno, 2);

    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    const auto packets = sent();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(bytes_to_words(packets[0])[2], 2);
}

TEST_F(BccmdTest, DataCountsBeyondTheMessageAreRefused)
{
    open_linked();
    // 56 data words fill the 64-word message exactly.
    std::vector<std::uint16_t> payload(3 + 57, 0x5151);
    payload[1] = 56;
    ASSERT_EQ(bccmd_request(VARID_PS, 1, payload.data()), 1);
    payload[1] = 57;
    EXPECT_EQ(bccmd_request(VARID_PS, 1, payload.data()), 0);
    payload[1] = 0xFFFF;
    EXPECT_EQ(bccmd_request(VARID_PS, 1, payload.data()), 0);

    const auto packets = sent();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), 128u);
    EXPECT_EQ(bytes_to_words(packets[0])[1], 64);
    EXPECT_EQ(bccmd_seqno, 3) << "refused requests use their numbers too";
}

TEST_F(BccmdTest, SequenceNumbersSurviveReopeningAndWrap)
{
    bccmd_seqno = 0xFFFE;
    open_linked();
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    bcsp_port_close();
    open_linked();
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);

    const auto packets = sent();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(bytes_to_words(packets[0])[2], 0xFFFE);
    EXPECT_EQ(bytes_to_words(packets[1])[2], 0xFFFF);
    EXPECT_EQ(bytes_to_words(packets[2])[2], 0x0000);
}

TEST_F(BccmdTest, ASendThatFailsFailsTheRequest)
{
    open_linked();
    peer.ack_enabled = 0;
    EXPECT_EQ(bccmd_request(VARID_COLD_RESET, 1, nullptr), 0);
    EXPECT_LE(fake_now_ms(), 1000u + BCSP_SEND_TIMEOUT_MS) << "bounded by the driver";

    bcsp_port_close();
    EXPECT_EQ(bccmd_request(VARID_COLD_RESET, 1, nullptr), 0);
}

// The accepted varids as the chip's documentation lists them.
const char* const ACCEPTED_TABLE[] = {
    "000B-000C", "082D",      "1001",      "1002",      "100D",      "2801", "2807-2817", "2819-281B", "281D",
    "2823",      "2825-2826", "282A",      "282C",      "282F",      "2831", "2833-2838", "283E",      "2C00",
    "3005-300B", "300E-300F", "3012-3013", "4001-4009", "400D-401A", "4818", "481C",      "4820-4822", "4829",
    "482E",      "483C",      "5004",      "500C",      "5015-5016", "6000", "6802-6806", "681E-681F", "6827",
    "682B",      "6832",      "6839-683B", "683D",      "7003",      "7010-7011", "7014",      "7017",
};

TEST(BccmdVaridTable, Exactly109ValuesIn44EntriesAreAccepted)
{
    std::set<unsigned> expected;
    for (const char* entry : ACCEPTED_TABLE) {
        unsigned first = 0;
        unsigned last = 0;
        if (std::sscanf(entry, "%x-%x", &first, &last) != 2) {
            last = first;
        }
        for (unsigned v = first; v <= last; ++v) {
            expected.insert(v);
        }
    }
    ASSERT_EQ(sizeof ACCEPTED_TABLE / sizeof ACCEPTED_TABLE[0], 44u);
    ASSERT_EQ(expected.size(), 109u);

    int accepted = 0;
    for (unsigned v = 0; v <= 0xFFFF; ++v) {
        const int is_accepted = bccmd_varid_accepted(static_cast<std::uint16_t>(v));
        EXPECT_EQ(is_accepted, expected.count(v) ? 1 : 0) << std::hex << "varid 0x" << v;
        accepted += is_accepted;
    }
    EXPECT_EQ(accepted, 109);
    for (unsigned v : {0x2818u, 0x281Cu, 0x2824u, 0x2832u, 0x300Cu, 0x300Du, 0x400Au, 0x400Bu, 0x400Cu, 0x7012u,
                       0x7013u, 0x7015u, 0x7016u, 0x0000u, 0xFFFFu}) {
        EXPECT_EQ(bccmd_varid_accepted(static_cast<std::uint16_t>(v)), 0) << std::hex << v;
    }
}

TEST(BccmdVaridTable, BuildingARequestFollowsTheTable)
{
    bccmd_seqno = 0;
    BccmdMessage message;
    int built = 0;
    for (unsigned v = 0; v <= 0xFFFF; ++v) {
        built += bccmd_build_request(&message, static_cast<std::uint16_t>(v), 0, nullptr);
    }
    EXPECT_EQ(built, 109);
    EXPECT_EQ(bccmd_seqno, 0) << "65536 requests, every one numbered: the counter wrapped once";
}

// ---------------------------------------------------------------------------
// Responses

TEST(BccmdResponseCheck, BuildIdResponseCopiesTheRequestedWordsOnly)
{
    const Bytes response = words_to_bytes({1, 9, 0x7777, 0x2819, 0, 0x0BEE, 0x1111, 0x2222, 0x3333});
    std::uint16_t out[2] = {0xFFFF, 0xFFFF};
    EXPECT_EQ(bccmd_check_response(response.data(), response.size(), VARID_BUILD_ID, 1, out), 1);
    EXPECT_EQ(out[0], 0x0BEE);
    EXPECT_EQ(out[1], 0xFFFF);
}

TEST(BccmdResponseCheck, WrongTypeStatusOrVaridIsRefusedAndNothingCopied)
{
    const Words good = {1, 9, 0, 0x7003, 0, 0x01F9, 1, 0, 4};
    for (int field : {0, 3, 4}) {
        for (std::uint16_t value : {0, 2, 0x7004, 0x8000}) {
            Words words = good;
            if (words[static_cast<std::size_t>(field)] == value) {
                continue;
            }
            words[static_cast<std::size_t>(field)] = value;
            Bytes bytes;
            for (std::uint16_t w : words) {
                bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
                bytes.push_back(static_cast<std::uint8_t>(w >> 8));
            }
            std::uint16_t out[4] = {0xABCD, 0xABCD, 0xABCD, 0xABCD};
            EXPECT_EQ(bccmd_check_response(bytes.data(), bytes.size(), VARID_PS, 4, out), 0)
                << "word " << field << " = " << value;
            EXPECT_EQ(out[0], 0xABCD);
            EXPECT_EQ(out[3], 0xABCD);
        }
    }
}

TEST(BccmdResponseCheck, AResponseShorterThanWhatIsCheckedAndCopiedFails)
{
    const Bytes full = words_to_bytes({1, 9, 0, 0x7003, 0, 0x01F9, 1, 0, 4});
    std::uint16_t out[4] = {};
    // Four payload words wanted: 18 bytes needed.
    EXPECT_EQ(bccmd_check_response(full.data(), 17, VARID_PS, 4, out), 0);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(bccmd_check_response(full.data(), 18, VARID_PS, 4, out), 1);
    EXPECT_EQ(out[3], 4);
    // Without an out, only the five header words must be there.
    EXPECT_EQ(bccmd_check_response(full.data(), 10, VARID_PS, 4, nullptr), 1);
    EXPECT_EQ(bccmd_check_response(full.data(), 9, VARID_PS, 0, nullptr), 0);
    EXPECT_EQ(bccmd_check_response(full.data(), 18, VARID_PS, -1, out), 0);
}

TEST_F(BccmdTest, AResponseIsMatchedByVaridWhateverItsSeqno)
{
    chip.seqno_offset = 0x100;
    open_linked();
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    std::uint16_t id = 0;
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 1);
    EXPECT_EQ(id, 0x0BEE);
}

TEST_F(BccmdTest, ALeftOverResponseForTheSameVaridIsTakenAsTheAnswer)
{
    open_linked();
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);  // its answer is never read
    chip.silent = 1;
    chip.build_id = 0x2222;
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    std::uint16_t id = 0;
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 1);
    EXPECT_EQ(id, 0x0BEE) << "the first request's answer";
}

// Regression (fault matrix, late answer): a write whose answer came after the
// wait had run out used to lend that answer to the next write, so a write the
// chip refused was reported as done. The late answer is now recognised by the
// given-up request's seqno and dropped; the next request gets its own answer.
TEST_F(BccmdTest, ALateAnswerToAGivenUpRequestIsNotTakenForTheNextOne)
{
    open_linked();
    chip.silent = 1;  // answers come only from the script below
    const std::uint16_t first[] = {0x03CC, 1, 0, 0x0001};
    ASSERT_EQ(bccmd_request(VARID_PS, 1, first), 1);
    EXPECT_EQ(bccmd_get_response(VARID_PS, 0, nullptr), 0) << "no answer within the wait";

    // The first write's answer (seqno 0, status 0) arrives while the second
    // write, which the chip refuses (seqno 1, error status), waits for its own.
    const std::uint64_t now = fake_now_ms();
    peer_send_data(&peer, BCCMD_CHANNEL, words_to_bytes({1, 9, 0, VARID_PS, 0, 0x03CC, 1, 0, 0x0001}), 1, now + 100);
    peer_send_data(&peer, BCCMD_CHANNEL, words_to_bytes({1, 9, 1, VARID_PS, 8, 0x01F9, 1, 0, 0x0004}), 1, now + 300);
    const std::uint16_t second[] = {0x01F9, 1, 0, 0x0004};
    ASSERT_EQ(bccmd_request(VARID_PS, 1, second), 1);
    EXPECT_EQ(bccmd_get_response(VARID_PS, 0, nullptr), 0) << "the refusal, not the late answer, decides";

    // Each given-up seqno is dropped once only: the next answers count again.
    peer_send_data(&peer, BCCMD_CHANNEL, words_to_bytes({1, 9, 0, VARID_PS, 0, 0x025D, 1, 0, 0}), 1,
                   fake_now_ms() + 100);
    const std::uint16_t third[] = {0x025D, 1, 0, 0};
    ASSERT_EQ(bccmd_request(VARID_PS, 1, third), 1);
    EXPECT_EQ(bccmd_get_response(VARID_PS, 0, nullptr), 1) << "seqno 0 is no longer a given-up request";
}

// A send that runs out gives its request up too: the chip may have it and
// answer after all.
TEST_F(BccmdTest, AnAnswerToARequestWhoseSendRanOutIsDropped)
{
    open_linked();
    peer.ack_enabled = 0;
    chip.silent = 1;
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 0);
    peer.ack_enabled = 1;
    const std::uint64_t now = fake_now_ms();
    peer_send_data(&peer, BCCMD_CHANNEL, words_to_bytes({1, 9, 0, VARID_BUILD_ID, 0, 0x1111, 0, 0, 0}), 1,
                   now + 100);
    peer_send_data(&peer, BCCMD_CHANNEL, words_to_bytes({1, 9, 1, VARID_BUILD_ID, 0, 0x2222, 0, 0, 0}), 1,
                   now + 300);
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    std::uint16_t id = 0;
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 1);
    EXPECT_EQ(id, 0x2222);
}

TEST_F(BccmdTest, RefusedResponsesAreConsumed)
{
    open_linked();
    std::uint16_t id = 0x5555;

    chip.status = 3;
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 0);
    chip.status = 0;
    chip.varid_offset = 1;
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 0);
    chip.varid_offset = 0;
    chip.type = 0;
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 0);
    chip.type = 1;
    chip.answer_bytes = 11;  // header and half a word
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 0);
    EXPECT_EQ(id, 0x5555);

    // Each refused answer was consumed: with the chip silent, nothing is left.
    chip.silent = 1;
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 0);
    EXPECT_EQ(id, 0x5555);
}

TEST_F(BccmdTest, AResponseTooLongForTheBufferIsDiscardedAndTheWaitGoesOn)
{
    open_linked();
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    Words long_words(65, 0);
    long_words[0] = 1;
    long_words[3] = VARID_BUILD_ID;
    long_words[5] = 0x6666;
    Bytes long_answer;
    for (std::uint16_t w : long_words) {
        long_answer.push_back(static_cast<std::uint8_t>(w & 0xFF));
        long_answer.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    // The chip's own answer is already held; drop it, then a 130-byte one and
    // a proper one follow.
    std::uint8_t scratch[128];
    ASSERT_GT(bcsp_port_receive(scratch, sizeof scratch, BCCMD_CHANNEL), 0);
    peer_send_data(&peer, BCCMD_CHANNEL, long_answer, 1, fake_now_ms() + 5);
    peer_send_data(&peer, BCCMD_CHANNEL, words_to_bytes({1, 9, 0, 0x2819, 0, 0x0777, 0, 0, 0}), 1,
                   fake_now_ms() + 10);

    std::uint16_t id = 0;
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 1);
    EXPECT_EQ(id, 0x0777);
}

TEST_F(BccmdTest, NoResponseEndsTheWaitWithFailure)
{
    chip.silent = 1;
    open_linked();
    ASSERT_EQ(bccmd_request(VARID_BUILD_ID, 0, nullptr), 1);
    const std::uint64_t start_ms = fake_now_ms();
    std::uint16_t id = 0x4444;
    EXPECT_EQ(bccmd_get_response(VARID_BUILD_ID, 1, &id), 0);
    EXPECT_EQ(id, 0x4444);
    EXPECT_LE(fake_now_ms() - start_ms, BCSP_RECEIVE_TIMEOUT_MS + 40);
}

}  // namespace
