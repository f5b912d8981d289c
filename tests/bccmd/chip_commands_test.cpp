// Chip commands against the scripted chip: the request each one sends, what
// counts as done, the count bounds, and the one PsKeyRequest allocation per
// persistent-store operation, freed on every path.
#include "alloc_hook.h"
#include "bccmd/chip_commands.h"
#include "bccmd_fixture.h"
#include "scripted_chip.h"

namespace {

class ChipCommandsTest : public BcspLinkTest {
protected:
    ScriptedChip chip;

    void SetUp() override
    {
        BcspLinkTest::SetUp();
        scripted_chip_attach(&peer, &chip);
        alloc_hook = AllocHook{};
        alloc_hook.watched_size = sizeof(PsKeyRequest);
    }
    void TearDown() override
    {
        EXPECT_EQ(alloc_hook.live, 0) << "a PsKeyRequest was not freed";
        alloc_hook = AllocHook{};
        BcspLinkTest::TearDown();
    }

    std::vector<Words> requests_sent() const
    {
        std::vector<Words> requests;
        for (const Bytes& payload : peer_payloads(BCCMD_CHANNEL)) {
            requests.push_back(bytes_to_words(payload));
        }
        return requests;
    }
};

TEST_F(ChipCommandsTest, PsWriteSendsTheKeyAndIsDoneOnAGoodAnswer)
{
    open_linked();
    const std::uint16_t four = 4;
    EXPECT_EQ(ps_write(0x01F9, 1, &four), 1);

    const auto packets = peer_payloads(BCCMD_CHANNEL);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (Bytes{0x02, 0x00, 0x09, 0x00, 0x00, 0x00, 0x03, 0x70, 0x00, 0x00, 0xF9, 0x01, 0x01,
                                 0x00, 0x00, 0x00, 0x04, 0x00}));
    EXPECT_EQ(chip.store[0x01F9], Words{4});
    EXPECT_EQ(alloc_hook.allocations, 1);
    EXPECT_EQ(alloc_hook.frees, 1);
}

TEST_F(ChipCommandsTest, PsWriteOfTenWordsSendsAnEighteenWordRequest)
{
    open_linked();
    const std::uint16_t uart_config[10] = {0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004,
                                           0x0000, 0x0004, 0x001E, 0x0064, 0x000A};
    EXPECT_EQ(ps_write(0x0191, 10, uart_config), 1);

    const auto requests = requests_sent();
    ASSERT_EQ(requests.size(), 1u);
    Words expected = {2, 18, 0, 0x7003, 0, 0x0191, 10, 0};
    expected.insert(expected.end(), uart_config, uart_config + 10);
    EXPECT_EQ(requests[0], expected);
}

TEST_F(ChipCommandsTest, PsWriteFailsOnABadAnswerOrNoneAndAlwaysFrees)
{
    open_linked();
    const std::uint16_t value = 1;

    chip.status = 2;
    EXPECT_EQ(ps_write(0x03CC, 1, &value), 0);
    chip.status = 0;
    chip.varid_offset = 1;
    EXPECT_EQ(ps_write(0x03CC, 1, &value), 0);
    chip.varid_offset = 0;
    chip.silent = 1;
    EXPECT_EQ(ps_write(0x03CC, 1, &value), 0);  // the answer's wait runs out
    peer.ack_enabled = 0;
    EXPECT_EQ(ps_write(0x03CC, 1, &value), 0);  // the send's wait runs out

    EXPECT_EQ(alloc_hook.allocations, 4);
    EXPECT_EQ(alloc_hook.frees, 4);
}

TEST_F(ChipCommandsTest, CountsOutsideOneToFiftySixAreRefusedBeforeAnything)
{
    open_linked();
    std::vector<std::uint16_t> values(64, 0x1234);
    std::vector<std::uint16_t> out(64, 0);
    for (int n : {0, -1, 57, 1000}) {
        EXPECT_EQ(ps_write(0x0108, n, values.data()), 0) << n;
        EXPECT_EQ(ps_read(0x0108, n, out.data()), 0) << n;
    }
    EXPECT_EQ(alloc_hook.allocations, 0);
    EXPECT_EQ(bccmd_seqno, 0) << "no sequence number used";
    EXPECT_TRUE(peer_payloads(BCCMD_CHANNEL).empty());

    EXPECT_EQ(ps_write(0x0108, 56, values.data()), 1);
    const auto requests = requests_sent();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].size(), 64u);
    EXPECT_EQ(requests[0][63], 0x1234);
}

TEST_F(ChipCommandsTest, AFailedAllocationSendsNothingAndUsesNoNumber)
{
    open_linked();
    const std::uint16_t value = 7;
    std::uint16_t out = 0x9999;

    alloc_hook.fail_next = 1;
    EXPECT_EQ(ps_write(0x025D, 1, &value), 0);
    alloc_hook.fail_next = 1;
    EXPECT_EQ(ps_read(0x025D, 1, &out), 0);

    EXPECT_EQ(out, 0x9999);
    EXPECT_EQ(bccmd_seqno, 0);
    EXPECT_TRUE(peer_payloads(BCCMD_CHANNEL).empty());
    EXPECT_EQ(alloc_hook.allocations, 2);
}

TEST_F(ChipCommandsTest, PsReadSendsZeroValueWordsAndReturnsTheStoredOnes)
{
    chip.store[0x0108] = {0x614D, 0x7272, 0x776F};
    open_linked();
    std::uint16_t out[4] = {0, 0, 0, 0xEEEE};

    EXPECT_EQ(ps_read(0x0108, 3, out), 1);

    EXPECT_EQ(out[0], 0x614D);
    EXPECT_EQ(out[1], 0x7272);
    EXPECT_EQ(out[2], 0x776F);
    EXPECT_EQ(out[3], 0xEEEE) << "only n words are written";
    const auto requests = requests_sent();
    ASSERT_EQ(requests.size(), 1u);
    // The value words of a read request are cleared, not left as the heap had them.
    EXPECT_EQ(requests[0], (Words{0, 11, 0, 0x7003, 0, 0x0108, 3, 0, 0, 0, 0}));
    EXPECT_EQ(alloc_hook.frees, 1);
}

TEST_F(ChipCommandsTest, PsReadFailsOnABadOrShortAnswerAndLeavesOutAlone)
{
    chip.store[0x0229] = {0x0001};
    open_linked();
    std::uint16_t out[2] = {0x5A5A, 0x5A5A};

    chip.status = 1;
    EXPECT_EQ(ps_read(0x0229, 1, out), 0);
    chip.status = 0;
    chip.answer_bytes = 16;  // one word short of key, length, stores and the value
    EXPECT_EQ(ps_read(0x0229, 1, out), 0);

    EXPECT_EQ(out[0], 0x5A5A);
    EXPECT_EQ(alloc_hook.allocations, 2);
    EXPECT_EQ(alloc_hook.frees, 2);
}

TEST_F(ChipCommandsTest, ReadBuildIdStoresItOrLeavesOutUnchanged)
{
    chip.build_id = 0x1F2E;
    open_linked();
    std::uint16_t id = 0;
    EXPECT_EQ(read_build_id(&id), 1);
    EXPECT_EQ(id, 0x1F2E);

    chip.status = 5;
    id = 0x4321;
    EXPECT_EQ(read_build_id(&id), 0);
    EXPECT_EQ(id, 0x4321);

    EXPECT_EQ(requests_sent()[0], (Words{0, 9, 0, 0x2819, 0, 0, 0, 0, 0}));
}

TEST_F(ChipCommandsTest, ResetsAreDoneOnceAcknowledgedWithoutAwaitingAnAnswer)
{
    open_linked();
    const std::uint64_t start_ms = fake_now_ms();
    EXPECT_EQ(cold_reset(), 1);
    EXPECT_EQ(ps_defrag_reset(), 1);
    EXPECT_LT(fake_now_ms() - start_ms, 200u) << "no response is waited for";

    const auto requests = requests_sent();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (Words{2, 9, 0, 0x4001, 0, 0, 0, 0, 0}));
    EXPECT_EQ(requests[1], (Words{2, 9, 1, 0x400F, 0, 0, 0, 0, 0}));
}

TEST_F(ChipCommandsTest, ResetsFailWhenTheRequestIsNotAcknowledged)
{
    open_linked();
    peer.ack_enabled = 0;
    EXPECT_EQ(cold_reset(), 0);
    EXPECT_EQ(ps_defrag_reset(), 0);
}

}  // namespace
