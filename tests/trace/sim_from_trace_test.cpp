// The simulator configured from a trace: runs on the fake platform against a
// scripted adapter or the chip model with a fault are traced, and the
// configuration read back from each trace is the adapter or chip that ran.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>

#include "bccmd/bccmd.h"
#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "fake_chip.h"
#include "fake_fixture.h"
#include "sim/ps_store.h"
#include "sim/sim_from_trace.h"
#include "trace_test_support.h"

namespace {

struct Configured {
    AdapterConfig adapter = adapter_default_config();
    ChipConfig chip = {};
    SimTraceSetup setup;
};

class SimFromTraceTest : public TraceFakeTest {
protected:

    // Records run into the trace, then configures a simulator from it.
    Configured replay(const std::function<void()>& run)
    {
        {
            TraceTestRecording recording(path);
            run();
        }
        Configured c;
        std::string why;
        EXPECT_EQ(sim_from_trace(path.c_str(), &c.adapter, &c.chip, &c.setup, &why), 1) << why;
        return c;
    }

    void chip_with(const std::function<void(ChipConfig*)>& fault)
    {
        ChipConfig config = fake_chip_config(&chip, 4321);
        fault(&config);
        start_chip(&config);
    }
};

TEST_F(SimFromTraceTest, TheAdapterIsConfiguredAsItAnswered)
{
    struct AdapterCase {
        const char* name;
        std::function<void(FakeAdapter*)> script;
        std::function<void(const AdapterConfig&)> check;
    };
    const std::vector<AdapterCase> cases = {
        {"wrong identifier", [](FakeAdapter* a) { a->pnp_reply = std::string("(\x02\x31QXZ4709)"); },
         [](const AdapterConfig& c) {
             EXPECT_STREQ(c.pnp_id, "QXZ4709");
             EXPECT_EQ(c.pnp_revision[0], 0x02);
             EXPECT_EQ(c.pnp_revision[1], 0x31);
             EXPECT_EQ(c.fault, ADAPTER_FAULT_NONE);
         }},
        {"identifier with extra bytes", [](FakeAdapter* a) { a->pnp_reply = std::string("(\x01\x24QXZ5830ab)"); },
         [](const AdapterConfig& c) {
             EXPECT_STREQ(c.pnp_id, "QXZ5830");
             EXPECT_STREQ(c.pnp_extra, "ab");
         }},
        {"silent adapter", [](FakeAdapter* a) { a->pnp_reply.clear(); },
         [](const AdapterConfig& c) { EXPECT_EQ(c.fault, ADAPTER_FAULT_SILENT); }},
        {"reply cut short", [](FakeAdapter* a) { a->pnp_reply = std::string("(\x01\x24QXZ"); },
         [](const AdapterConfig& c) {
             EXPECT_EQ(c.fault, ADAPTER_FAULT_PNP_CUT);
             EXPECT_EQ(c.fault_param, 6);
         }},
        {"wrong handshake answer", [](FakeAdapter* a) { a->handshake_answer = "LUMA PORT READX"; },
         [](const AdapterConfig& c) { EXPECT_STREQ(c.handshake_answer, "LUMA PORT READX"); }},
        {"CI firmware after two other frames",
         [](FakeAdapter* a) {
             a->identify_reply = fake_adapter_frame(0x0101, "ab") + fake_adapter_frame(0xDD05, "") +
                                 fake_adapter_version_frame(FAKE_ADAPTER_CI_VERSION);
         },
         [](const AdapterConfig& c) {
             EXPECT_STREQ(c.version_text, FAKE_ADAPTER_CI_VERSION);
             EXPECT_EQ(c.version_terminator, 1);
             EXPECT_EQ(c.frames_before, 2);
         }},
        {"version text without its zero byte",
         [](FakeAdapter* a) { a->identify_reply = fake_adapter_frame(0x05DD, "Acme firmware 7"); },
         [](const AdapterConfig& c) {
             EXPECT_STREQ(c.version_text, "Acme firmware 7");
             EXPECT_EQ(c.version_terminator, 0);
         }},
        {"the version frame never comes",
         [](FakeAdapter* a) { a->identify_reply = fake_adapter_frame(0x0101, "ab"); },
         [](const AdapterConfig& c) { EXPECT_EQ(c.fault, ADAPTER_FAULT_NO_VERSION); }},
    };
    for (const AdapterCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake_reset();
        FakeAdapter adapter = trace_test_adapter();
        c.script(&adapter);
        const Configured configured = replay([&] { trace_test_contact(adapter); });
        c.check(configured.adapter);
    }
}

TEST_F(SimFromTraceTest, TheChipIsConfiguredAsItAnswered)
{
    struct ChipCase {
        const char* name;
        std::function<void(ChipConfig*)> fault;
        std::function<void()> run;
        std::function<void(const ChipConfig&)> check;
    };
    const std::vector<ChipCase> cases = {
        {"build id", [](ChipConfig*) {}, [] { trace_test_bcsp_session(); },
         [](const ChipConfig& c) {
             EXPECT_EQ(c.build_id, 4321);
             EXPECT_EQ(c.error_status_key, 0);
             EXPECT_EQ(c.no_link + c.no_restart + c.silent_after_packets + c.no_answer_after_packets, 0);
         }},
        {"a key refused", [](ChipConfig* c) { c->error_status_key = 0x024b; },
         [] {
             ASSERT_EQ(bcsp_port_open(1, 115200), 1);
             const std::uint16_t value = 1;
             EXPECT_EQ(ps_write(0x024b, 1, &value), 0);
             bcsp_port_close();
         },
         [](const ChipConfig& c) {
             EXPECT_EQ(c.error_status_key, 0x024b);
             EXPECT_EQ(c.error_status, CHIP_STATUS_ERROR);
         }},
        {"a varid refused", [](ChipConfig* c) { c->error_status_varid = 0x2819; },
         [] {
             ASSERT_EQ(bcsp_port_open(1, 115200), 1);
             std::uint16_t build_id = 0;
             EXPECT_EQ(read_build_id(&build_id), 0);
             bcsp_port_close();
         },
         [](const ChipConfig& c) { EXPECT_EQ(c.error_status_varid, 0x2819); }},
        {"never links", [](ChipConfig* c) { c->no_link = 1; },
         [] { EXPECT_EQ(bcsp_port_open(1, 115200), 0); }, [](const ChipConfig& c) { EXPECT_EQ(c.no_link, 1); }},
        {"does not come back after its reset", [](ChipConfig* c) { c->no_restart = 1; },
         [] {
             ASSERT_EQ(bcsp_port_open(1, 115200), 1);
             EXPECT_EQ(ps_defrag_reset(), 1);
             bcsp_port_close();
             fake_advance_ms(1000);
             EXPECT_EQ(bcsp_port_open(1, 115200), 0);
         },
         [](const ChipConfig& c) {
             EXPECT_EQ(c.no_restart, 1);
             EXPECT_EQ(c.no_link, 0);
         }},
        {"silent from its second packet", [](ChipConfig* c) { c->silent_after_packets = 2; },
         [] {
             ASSERT_EQ(bcsp_port_open(1, 115200), 1);
             std::uint16_t build_id = 0;
             EXPECT_EQ(read_build_id(&build_id), 1);
             const std::uint16_t value = 1;
             EXPECT_EQ(ps_write(0x024b, 1, &value), 0);
             bcsp_port_close();
         },
         [](const ChipConfig& c) { EXPECT_EQ(c.silent_after_packets, 2); }},
        {"acknowledges but stops answering", [](ChipConfig* c) { c->no_answer_after_packets = 2; },
         [] {
             ASSERT_EQ(bcsp_port_open(1, 115200), 1);
             std::uint16_t build_id = 0;
             EXPECT_EQ(read_build_id(&build_id), 1);
             EXPECT_EQ(read_build_id(&build_id), 0);
             bcsp_port_close();
         },
         [](const ChipConfig& c) {
             EXPECT_EQ(c.no_answer_after_packets, 2);
             EXPECT_EQ(c.silent_after_packets, 0);
         }},
    };
    for (const ChipCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake_chip_stop(&chip);
        fake_reset();
        bccmd_seqno = 0;
        bccmd_given_up_clear();
        chip_with(c.fault);
        const Configured configured = replay(c.run);
        c.check(configured.chip);
    }
}

TEST_F(SimFromTraceTest, StoreWordsTheChipReportedSeedTheStore)
{
    chip_with([](ChipConfig*) {});
    const Configured configured = replay([] {
        ASSERT_EQ(bcsp_port_open(1, 115200), 1);
        std::uint16_t words[10] = {};
        EXPECT_EQ(ps_read(0x0191, 10, words), 1);   // a default key of the chip model
        EXPECT_EQ(ps_read(0x0400, 1, words), 0);    // one it does not hold
        bcsp_port_close();
    });
    ASSERT_EQ(configured.setup.store_keys.size(), 2u);
    EXPECT_EQ(configured.setup.store_keys[0].first, 0x0191);
    EXPECT_EQ(configured.setup.store_keys[0].second.size(), 10u);
    EXPECT_EQ(configured.setup.store_keys[0].second[0], 0x01d8);
    EXPECT_EQ(configured.setup.store_keys[1].first, 0x0400);
    EXPECT_TRUE(configured.setup.store_keys[1].second.empty());

    const std::string store = trace_test_path("seeded-store.txt");
    SimTraceSetup setup = configured.setup;
    setup.store_keys.emplace_back(0x0108, std::vector<std::uint16_t>{0x694b, 0x0063});
    std::string why;
    ASSERT_EQ(sim_trace_seed_store(setup, store.c_str(), &why), 1) << why;
    static PsStore seeded;
    int created = 0;
    char reason[128];
    ASSERT_EQ(ps_store_open(&seeded, store.c_str(), &created, reason, sizeof reason), 1) << reason;
    const PsEntry* name = ps_store_find(&seeded, 0x0108);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->length, 2);
    EXPECT_EQ(name->values[0], 0x694b);
    EXPECT_EQ(ps_store_find(&seeded, 0x0400), nullptr);
    std::remove(store.c_str());
}

TEST_F(SimFromTraceTest, AMalformedTraceIsRefusedWithItsLine)
{
    {
        std::ofstream file(path);
        file << R"({"event":"header","format":1})" << "\n" << R"({"t_us":1,"event":"open"})" << "\n"
             << "garbage\n" << R"({"t_us":2,"event":"close"})" << "\n";
    }
    Configured c;
    std::string why;
    EXPECT_EQ(sim_from_trace(path.c_str(), &c.adapter, &c.chip, &c.setup, &why), 0);
    EXPECT_NE(why.find("line 3: not JSON"), std::string::npos) << why;
    EXPECT_EQ(sim_from_trace("/nonexistent/trace.jsonl", &c.adapter, &c.chip, &c.setup, &why), 0);
    EXPECT_NE(why.find("cannot read"), std::string::npos) << why;
}

TEST_F(SimFromTraceTest, ACutTraceIsReplayedUpToTheCutWithANote)
{
    {
        std::ofstream file(path);
        file << R"({"event":"header","format":1})" << "\n"
             << R"({"t_us":1,"event":"read","phase":"pnp","bytes":"2801245158","decoded":[{"kind":"pnp_reply","pnp_id":"QX","bytes":"2801245158","complete":false}]})"
             << "\n" << R"({"t_us":2,"ev)";
    }
    Configured c;
    std::string why;
    ASSERT_EQ(sim_from_trace(path.c_str(), &c.adapter, &c.chip, &c.setup, &why), 1) << why;
    EXPECT_NE(c.setup.note.find("line 3: cut off"), std::string::npos) << c.setup.note;
    EXPECT_EQ(c.adapter.fault, ADAPTER_FAULT_PNP_CUT);
    EXPECT_EQ(c.adapter.fault_param, 5);
}

}  // namespace
