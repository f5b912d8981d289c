// BCCMD on the simulated chip: persistent-store reads and writes, build id,
// unknown varids, and the two resets.
#include "chip_test_support.h"

#include <algorithm>
#include <filesystem>

#include "sim/ps_store.h"

namespace {

using ChipBccmdTest = ChipRig;

// The updater's write of PSKEY_HOST_INTERFACE, byte for byte.
const Bytes PS_WRITE_HOST_INTERFACE = {0x02, 0x00, 0x09, 0x00, 0x00, 0x00, 0x03, 0x70, 0x00,
                                       0x00, 0xF9, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00};

TEST_F(ChipBccmdTest, PsWriteIsStoredAcknowledgedAndAnswered)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    Bytes out = drain();
    feed(test_frame(1, 0, 0, 2, PS_WRITE_HOST_INTERFACE));
    out = drain();
    // The response carries the acknowledgement: reliable, seq 0, ack 1, channel 2.
    Bytes expected_response = {0x01, 0x00, 0x09, 0x00, 0x00, 0x00, 0x03, 0x70, 0x00,
                               0x00, 0xF9, 0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x00};
    EXPECT_EQ(out, test_frame(1, 0, 1, 2, expected_response));

    EXPECT_NE(store_text().find("\n0x01f9 = 0x0004\n"), std::string::npos) << store_text();
    ASSERT_EQ(events("ps_write").size(), 1u);
    EXPECT_NE(events("ps_write")[0].find("\"key\":\"0x01f9\",\"values\":[4]"), std::string::npos);
    std::vector<std::string> bccmd = events("bccmd");
    ASSERT_EQ(bccmd.size(), 2u);
    EXPECT_NE(bccmd[0].find("\"dir\":\"rx\",\"type\":2,\"length\":9,\"seqno\":0,\"varid\":\"0x7003\",\"status\":0"),
              std::string::npos);
    EXPECT_NE(bccmd[1].find("\"dir\":\"tx\",\"type\":1"), std::string::npos);
}

TEST_F(ChipBccmdTest, TenWordWriteThenReadBack)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    Words uart = {0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004, 0x0000, 0x0004, 0x001E, 0x0064, 0x000B};
    Words payload = {0x0191, 10, 0};
    payload.insert(payload.end(), uart.begin(), uart.end());
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(2, 7, 0x7003, payload)));
    ASSERT_TRUE(r);
    Words w = test_words(r->payload);
    ASSERT_EQ(w.size(), 18u);
    EXPECT_EQ(w[1], 18);
    EXPECT_EQ(w[2], 7);
    EXPECT_EQ(w[4], CHIP_STATUS_OK);
    EXPECT_NE(store_text().find("0x0191 = 0x01d8 0x00a8 0x00fa 0x0014 0x0004 0x0000 0x0004 0x001e 0x0064 0x000b\n"),
              std::string::npos);

    // A get for 10 words answers the stored value.
    Words get = {0x0191, 10, 0};
    get.resize(13, 0);
    r = find_bccmd(request(test_bccmd(0, 8, 0x7003, get)));
    ASSERT_TRUE(r);
    w = test_words(r->payload);
    ASSERT_EQ(w.size(), 18u);
    EXPECT_EQ(w[0], 1);
    EXPECT_EQ(w[4], CHIP_STATUS_OK);
    EXPECT_EQ(w[5], 0x0191);
    EXPECT_EQ(w[6], 10);
    EXPECT_EQ(Words(w.begin() + 8, w.end()), uart);
}

TEST_F(ChipBccmdTest, PsReadStatuses)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    // A read must ask for the stored length exactly (the default crystal
    // amplitude is 1 word, the UART configuration 10, the device name 10).
    struct Case {
        std::uint16_t key;
        std::uint16_t asked;
        std::uint16_t status;
    };
    const Case cases[] = {
        {0x024B, 1, CHIP_STATUS_OK},           {0x024B, 3, CHIP_STATUS_BAD_REQUEST},
        {0x0191, 1, CHIP_STATUS_TOO_BIG},      {0x0191, 10, CHIP_STATUS_OK},
        {0x0191, 11, CHIP_STATUS_BAD_REQUEST}, {0x0108, 6, CHIP_STATUS_TOO_BIG},
        {0x0108, 10, CHIP_STATUS_OK},          {0x0777, 1, CHIP_STATUS_NO_VALUE},
        {0x0777, 10, CHIP_STATUS_NO_VALUE},
    };
    std::uint16_t seqno = 0;
    for (const Case& c : cases) {
        Words payload = {c.key, c.asked, 0};
        payload.resize(3 + c.asked, 0);
        std::optional<TestFrame> r = find_bccmd(request(test_bccmd(0, seqno++, 0x7003, payload)));
        ASSERT_TRUE(r) << std::hex << c.key << " " << c.asked;
        Words w = test_words(r->payload);
        EXPECT_EQ(w[4], c.status) << std::hex << c.key << " " << c.asked;
        if (c.status == CHIP_STATUS_OK) {
            EXPECT_EQ(w[6], c.asked);
            EXPECT_EQ(w.size(), std::max<std::size_t>(9, 8u + c.asked));
        }
    }
    const std::optional<TestFrame> last = find_bccmd(request(test_bccmd(0, seqno++, 0x7003, {0x024B, 1, 0, 0})));
    ASSERT_TRUE(last);
    EXPECT_EQ(test_words(last->payload)[8], 0x0020);
    EXPECT_EQ(events("ps_read").size(), 4u);
}

TEST_F(ChipBccmdTest, MalformedPsRequestsAreRefusedAndStoreUntouched)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    std::string before = store_text();
    // Claims 5 value words but carries 1.
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(2, 0, 0x7003, {0x024B, 5, 0, 0x0030})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_BAD_REQUEST);
    // Zero value words.
    r = find_bccmd(request(test_bccmd(2, 1, 0x7003, {0x024B, 0, 0, 0x0030})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_BAD_REQUEST);
    // More words than a key can hold.
    Words big = {0x024B, PS_STORE_MAX_WORDS + 1, 0};
    big.resize(3 + PS_STORE_MAX_WORDS + 1, 0x1111);
    r = find_bccmd(request(test_bccmd(2, 2, 0x7003, big)));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_TOO_BIG);
    EXPECT_EQ(store_text(), before);
    EXPECT_EQ(events("ps_write").size(), 0u);
}

TEST_F(ChipBccmdTest, BuildIdAnswersConfiguredValue)
{
    ChipConfig config{};
    config.build_id = 0xBEEF;
    create(config);
    ASSERT_NO_FATAL_FAILURE(establish());
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(0, 5, 0x2819, {})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload), (Words{1, 9, 5, 0x2819, 0, 0xBEEF, 0, 0, 0}));
}

TEST_F(ChipBccmdTest, UnknownVaridAndOddMessages)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(0, 3, 0x2818, {})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload), (Words{1, 9, 3, 0x2818, CHIP_STATUS_NO_SUCH_VARID, 0, 0, 0, 0}));

    // Shorter than a BCCMD header, or of a type that is no request: no
    // response, but the packet is still acknowledged.
    std::vector<TestFrame> f = request({0x00, 0x00, 0x09, 0x00});
    EXPECT_FALSE(find_bccmd(f));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].ack, host_seq);
    f = request(test_bccmd(1, 4, 0x2819, {}));
    EXPECT_FALSE(find_bccmd(f));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].ack, host_seq);
    EXPECT_EQ(events("ignored").size(), 2u);
}

void expect_restart(ChipRig& rig, Chip* chip, std::uint64_t& now, std::uint16_t varid, const char* reason)
{
    std::uint64_t requested = now;
    std::vector<TestFrame> f = rig.request(test_bccmd(2, 9, varid, {}));
    // Acknowledged, not answered.
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].channel, 0);
    EXPECT_EQ(f[0].ack, 1);
    EXPECT_EQ(rig.events("reset_request").size(), 1u);
    EXPECT_EQ(chip_next_event_ms(chip), now + CHIP_RESTART_DELAY_MS);

    // Going down: what arrives now is lost, nothing is sent.
    now += CHIP_RESTART_DELAY_MS - 1;
    EXPECT_TRUE(rig.exchange(FRAME_SYNC).empty());
    EXPECT_EQ(rig.events("restart").size(), 0u);

    // Looked at late, the restart still happened when it was due.
    now += 20;
    EXPECT_EQ(rig.drain(), FRAME_SYNC);
    ASSERT_EQ(rig.events("restart").size(), 1u);
    EXPECT_NE(rig.events("restart")[0].find(reason), std::string::npos);
    EXPECT_EQ(event_number(rig.events("restart")[0], "t"), static_cast<long long>(requested + CHIP_RESTART_DELAY_MS));
}

TEST_F(ChipBccmdTest, ColdResetRestartsAfterDelay)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    expect_restart(*this, chip, now, 0x4001, "\"cold_reset\"");
    // The link runs again from the start, sequence numbers from 0.
    ASSERT_NO_FATAL_FAILURE(establish());
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(0, 10, 0x2819, {})));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->seq, 0);
    EXPECT_EQ(r->ack, 1);
}

TEST_F(ChipBccmdTest, PsDefragResetRestartsAfterDelay)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    expect_restart(*this, chip, now, 0x400F, "\"ps_defrag_reset\"");
}

TEST_F(ChipBccmdTest, GetOfResetVaridDoesNotReset)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(0, 0, 0x4001, {})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_BAD_REQUEST);
    EXPECT_EQ(events("reset_request").size(), 0u);
}

// A store that cannot be saved must not be reported as written.
TEST_F(ChipBccmdTest, WriteThatCannotBeSavedIsRefusedAndUndone)
{
    create();
    ASSERT_NO_FATAL_FAILURE(establish());
    ASSERT_TRUE(std::filesystem::create_directory(store_path + ".tmp"));
    std::optional<TestFrame> r = find_bccmd(request(test_bccmd(2, 0, 0x7003, {0x024B, 1, 0, 0x0030})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_ERROR);
    EXPECT_EQ(events("store_error").size(), 1u);
    EXPECT_EQ(events("ps_write").size(), 0u);
    // The chip still holds the old value, as its file does.
    r = find_bccmd(request(test_bccmd(0, 1, 0x7003, {0x024B, 1, 0, 0})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[8], 0x0020);
    // A new key that could not be saved does not exist afterwards either.
    r = find_bccmd(request(test_bccmd(2, 2, 0x7003, {0x0777, 1, 0, 5})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_ERROR);
    r = find_bccmd(request(test_bccmd(0, 3, 0x7003, {0x0777, 1, 0, 0})));
    ASSERT_TRUE(r);
    EXPECT_EQ(test_words(r->payload)[4], CHIP_STATUS_NO_VALUE);
}

}  // namespace
