// The driver and the chip commands against the simulator's chip model
// (sim/chip.h), an independently written BCSP peer with a persistent store,
// plugged into the fake serial port: whole profiles' worth of transactions,
// resets and re-opens, injected chip faults and a noisy line, on the virtual
// clock.
#include <cstdio>
#include <cstring>
#include <string>

#include "bccmd/chip_commands.h"
#include "bccmd_fixture.h"
#include "fake_chip.h"

class SimChipTest : public FakePlatformTest {
protected:
    FakeChip fake;
    Chip* chip = nullptr;
    std::string store_path;

    void SetUp() override
    {
        FakePlatformTest::SetUp();
        bcsp_diagnostics = 0;
        bccmd_seqno = 0;
    }
    void TearDown() override
    {
        bcsp_port_close();
        fake_chip_stop(&fake);
        FakePlatformTest::TearDown();
    }

    ChipConfig config()
    {
        ChipConfig c = fake_chip_config(&fake, 4835);
        store_path = fake.store_path;
        return c;
    }

    // Events of the chip's log whose text holds needle.
    int events_with(const char* needle) { return static_cast<int>(fake_chip_events(&fake, needle).size()); }

    // Throws the chip away but keeps its event log; its store starts afresh.
    void drop_chip()
    {
        bcsp_port_close();
        fake_serial_attach(nullptr);
        chip_destroy(fake.chip);
        fake.chip = chip = nullptr;
        std::remove(store_path.c_str());
    }

    void start_chip(const ChipConfig& c)
    {
        std::string error;
        ASSERT_TRUE(fake_chip_start(&fake, c, &error)) << error;
        chip = fake.chip;
    }
};

namespace {

const std::uint16_t UART_CONFIG[10] = {0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004,
                                       0x0000, 0x0004, 0x001E, 0x0064, 0x000A};

TEST_F(SimChipTest, KeysWrittenReadBackAndSurviveAColdReset)
{
    start_chip(config());
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);

    std::uint16_t build_id = 0;
    EXPECT_EQ(read_build_id(&build_id), 1);
    EXPECT_EQ(build_id, 4835);
    const std::uint16_t one = 0x0001;
    EXPECT_EQ(ps_write(0x03CC, 1, &one), 1);
    EXPECT_EQ(ps_write(0x0191, 10, UART_CONFIG), 1);
    const std::uint16_t name[6] = {0x614D, 0x7272, 0x776F, 0x696C, 0x6B6E, 0x0000};  // "Marrowlink"
    EXPECT_EQ(ps_write(0x0108, 6, name), 1);

    std::uint16_t back[10] = {};
    EXPECT_EQ(ps_read(0x0191, 10, back), 1);
    EXPECT_EQ(std::vector<std::uint16_t>(back, back + 10), std::vector<std::uint16_t>(UART_CONFIG, UART_CONFIG + 10));

    EXPECT_EQ(cold_reset(), 1);
    sleep_ms(200);
    bcsp_port_close();

    // The chip has restarted: a new link, and the store kept the keys.
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    std::uint16_t name_back[6] = {};
    EXPECT_EQ(ps_read(0x0108, 6, name_back), 1);
    EXPECT_EQ(std::vector<std::uint16_t>(name_back, name_back + 6), std::vector<std::uint16_t>(name, name + 6));
    EXPECT_EQ(ps_defrag_reset(), 1);
    sleep_ms(1000);
    bcsp_port_close();
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    std::uint16_t value = 0;
    EXPECT_EQ(ps_read(0x03CC, 1, &value), 1);
    EXPECT_EQ(value, 1);
}

TEST_F(SimChipTest, ChipErrorStatusFailsOnlyThatKey)
{
    ChipConfig c = config();
    c.error_status_key = 0x025D;
    start_chip(c);
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    const std::uint16_t zero = 0;
    EXPECT_EQ(ps_write(0x025D, 1, &zero), 0);
    EXPECT_EQ(ps_write(0x01C2, 1, &zero), 1);
}

TEST_F(SimChipTest, ChipRestartDuringARequestStillCompletesIt)
{
    // The chip restarts on the request instead of answering it: the engine
    // sends the request again on the new link, from the driver's copy.
    ChipConfig c = config();
    c.reset_after_packets = 2;
    start_chip(c);
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    const std::uint16_t four = 4;
    EXPECT_EQ(ps_write(0x01F9, 1, &four), 1);
    const std::uint16_t five = 5;
    EXPECT_EQ(ps_write(0x01F9, 1, &five), 1);
    std::uint16_t value = 0;
    EXPECT_EQ(ps_read(0x01F9, 1, &value), 1);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(events_with("\"ev\":\"restart\""), 1);
}

TEST_F(SimChipTest, DeadChipsEndEachWaitWithinItsBound)
{
    ChipConfig no_link = config();
    no_link.no_link = 1;
    start_chip(no_link);
    EXPECT_EQ(bcsp_port_open(1, 115200), 0);
    EXPECT_LE(fake_now_ms(), BCSP_LINK_TIMEOUT_MS + 40);
    EXPECT_EQ(bcsp_port_handle, PLATFORM_INVALID_HANDLE);
    drop_chip();

    ChipConfig silent = config();
    silent.silent_after_packets = 1;
    start_chip(silent);
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    const std::uint64_t start_ms = fake_now_ms();
    std::uint16_t id = 0x7777;
    EXPECT_EQ(read_build_id(&id), 0);
    EXPECT_EQ(id, 0x7777);
    EXPECT_LE(fake_now_ms() - start_ms, BCSP_SEND_TIMEOUT_MS + 40);
}

TEST_F(SimChipTest, EveryTransactionCompletesOnALineWithOnePercentOfBytesCorrupted)
{
    for (unsigned seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        if (chip != nullptr) {
            drop_chip();
        }
        ChipConfig c = config();
        c.corrupt_rate = 0.01;
        c.rx_corrupt_rate = 0.01;
        c.seed = seed;
        start_chip(c);
        ASSERT_EQ(bcsp_port_open(1, 115200), 1);
        for (int round = 0; round < 20; ++round) {
            std::uint16_t values[10];
            for (int i = 0; i < 10; ++i) {
                values[i] = static_cast<std::uint16_t>(seed * 1000 + round * 10 + i);
            }
            const std::uint16_t key = static_cast<std::uint16_t>(0x0300 + round);
            ASSERT_EQ(ps_write(key, 10, values), 1) << "round " << round;
            std::uint16_t back[10] = {};
            ASSERT_EQ(ps_read(key, 10, back), 1) << "round " << round;
            EXPECT_EQ(std::vector<std::uint16_t>(back, back + 10), std::vector<std::uint16_t>(values, values + 10));
            std::uint16_t id = 0;
            ASSERT_EQ(read_build_id(&id), 1) << "round " << round;
            EXPECT_EQ(id, 4835);
        }
    }
    // The noise did hit: damaged frames on both sides of the line.
    EXPECT_GT(events_with("\"ev\":\"noise\",\"dir\":\"tx\""), 20);
    EXPECT_GT(events_with("\"ev\":\"noise\",\"dir\":\"rx\""), 20);
    EXPECT_GT(events_with("\"ev\":\"frame_bad\""), 10);
}

}  // namespace
