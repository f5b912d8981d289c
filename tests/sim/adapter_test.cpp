// The adapter's firmware model: it answers only the timed wake-up sequence,
// only at the right line settings, and each injected fault breaks exactly the
// step it names. Time is advanced by hand, one millisecond at a time.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/adapter.h"
#include "sim/chip.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr UartSettings HOST_1200_8N1 = {1200, 8, 'N', 1, 0};
constexpr UartSettings HOST_115200_8N1 = {115200, 8, 'N', 1, 0};
constexpr UartSettings HOST_115200_8E1 = {115200, 8, 'E', 1, 1};

Bytes text_bytes(const char* s) { return Bytes(s, s + std::strlen(s)); }

Bytes pnp_reply(const char* id) {
    Bytes b = {'(', 0x01, 0x24};
    for (const char* p = id; *p; p++) b.push_back(static_cast<std::uint8_t>(*p));
    b.push_back(')');
    return b;
}

struct Frame {
    unsigned code;
    Bytes data;
};

// Splits a reply stream into frames; a frame cut short ends the list.
std::vector<Frame> frames_of(const Bytes& stream) {
    std::vector<Frame> frames;
    std::size_t i = 0;
    while (i + 4 <= stream.size()) {
        const unsigned code = stream[i] << 8 | stream[i + 1];
        const std::size_t length = static_cast<std::size_t>(stream[i + 2] << 8 | stream[i + 3]);
        if (i + 4 + length > stream.size()) break;
        frames.push_back({code, Bytes(stream.begin() + static_cast<long>(i + 4), stream.begin() + static_cast<long>(i + 4 + length))});
        i += 4 + length;
    }
    return frames;
}

class AdapterTest : public testing::Test {
protected:
    void SetUp() override {
        config = adapter_default_config();
        config.host = HOST_1200_8N1;
        events = std::tmpfile();
        config.event_log = events;
    }
    void TearDown() override {
        if (adapter) adapter_destroy(adapter);
        if (events) std::fclose(events);
    }

    void start() { adapter = adapter_create(&config, now); }

    // Runs the clock for `ms`, collecting what the host receives.
    Bytes run(std::uint64_t ms) {
        Bytes got;
        const std::uint64_t end = now + ms;
        for (; now <= end; now++) {
            std::uint8_t out[ADAPTER_TRANSMIT_MIN_OUT];
            std::size_t produced = 0;
            while (adapter_transmit(adapter, now, out, sizeof out, &produced) != 0) got.insert(got.end(), out, out + produced);
        }
        now = end;
        return got;
    }

    void lines(int rts, int dtr) { adapter_modem_lines(adapter, rts, dtr, now); }
    void wait(std::uint64_t ms) { now += ms; }

    // The updater's sequence, with the four step lengths given.
    void wake(std::uint32_t s1 = 500, std::uint32_t s2 = 200, std::uint32_t s3 = 200, std::uint32_t s4 = 200) {
        lines(0, 0);
        wait(s1);
        lines(0, 1);
        wait(s2);
        lines(0, 0);
        wait(s3);
        lines(0, 1);
        wait(s4);
        lines(1, 1);
    }

    void host(const UartSettings& s) { adapter_host_settings(adapter, &s, now); }
    void send(const Bytes& b) { adapter_receive(adapter, b.data(), b.size(), now); }

    // Wakes the adapter and completes the handshake; returns the handshake answer.
    Bytes open_command_port() {
        wake();
        EXPECT_EQ(run(200), pnp_reply(config.pnp_id));
        host(HOST_115200_8N1);
        wait(200);
        send(text_bytes(ADAPTER_HANDSHAKE_REQUEST));
        return run(10);
    }

    std::string event_text() {
        std::fflush(events);
        std::rewind(events);
        std::string s;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, events)) s += buffer;
        return s;
    }

    AdapterConfig config{};
    Adapter* adapter = nullptr;
    std::FILE* events = nullptr;
    std::uint64_t now = 1000;
};

TEST_F(AdapterTest, PlugAndPlayReplyOnlyAfterTheWakeUpSequence) {
    start();
    EXPECT_TRUE(run(2000).empty());
    // RTS raised with DTR high, but without the DTR pulses before it.
    lines(0, 0);
    wait(500);
    lines(0, 1);
    wait(200);
    lines(1, 1);
    EXPECT_TRUE(run(500).empty());
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_WAIT_WAKE);
    EXPECT_FALSE(adapter_last_wake(adapter).order_ok);

    wake();
    const AdapterWakeCheck w = adapter_last_wake(adapter);
    EXPECT_TRUE(w.order_ok && w.timing_ok && w.answered);
    EXPECT_EQ(w.step_ms[0], 500u);
    EXPECT_EQ(w.step_ms[3], 200u);
    EXPECT_EQ(run(200), pnp_reply("QXZ4702"));
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_HANDSHAKE);
    EXPECT_NE(event_text().find("\"ev\":\"wake\",\"ok\":1"), std::string::npos);
    EXPECT_NE(event_text().find("\"ev\":\"pnp_sent\",\"id\":\"QXZ4702\""), std::string::npos);
}

TEST_F(AdapterTest, ReplyIsPacedAtTwelveHundredBaudAfterTheReactionTime) {
    start();
    wake();
    const std::uint64_t rts_up = now;
    EXPECT_EQ(adapter_next_event_ms(adapter), rts_up + ADAPTER_PNP_REPLY_DELAY_MS);
    EXPECT_TRUE(run(ADAPTER_PNP_REPLY_DELAY_MS - 1).empty());
    // 11 characters of 10 bits at 1200 baud: 8.33 ms each, the first at once.
    EXPECT_EQ(run(1).size(), 1u);
    EXPECT_EQ(run(83).size(), 9u);  // the 11th starts 83.34 ms after the first
    EXPECT_EQ(run(1).size(), 1u);
    EXPECT_EQ(adapter_next_event_ms(adapter), UINT64_MAX);

    config.pacing = 0;
    adapter_destroy(adapter);
    start();
    wake();
    wait(ADAPTER_PNP_REPLY_DELAY_MS);
    EXPECT_EQ(run(0).size(), 11u);
}

TEST_F(AdapterTest, WakeUpTiming) {
    start();
    // A DTR pulse too short for the firmware to see: no answer.
    wake(500, 200, 200 - ADAPTER_WAKE_EARLY_TOLERANCE_MS - 10, 200);
    EXPECT_FALSE(adapter_last_wake(adapter).answered);
    EXPECT_FALSE(adapter_last_wake(adapter).timing_ok);
    EXPECT_TRUE(run(300).empty());
    // Just inside the early tolerance: answered and on time.
    wait(1000);
    wake(500 - ADAPTER_WAKE_EARLY_TOLERANCE_MS, 200, 200, 200);
    EXPECT_TRUE(adapter_last_wake(adapter).timing_ok);
    EXPECT_EQ(run(200), pnp_reply("QXZ4702"));
    // A host sleep that overshoots: reported late, still answered.
    wait(1000);
    wake(500, 200 + ADAPTER_WAKE_LATE_TOLERANCE_MS + 50, 200, 200);
    EXPECT_TRUE(adapter_last_wake(adapter).answered);
    EXPECT_FALSE(adapter_last_wake(adapter).timing_ok);
    EXPECT_NE(event_text().find("\"verdict\":\"late\""), std::string::npos);
}

TEST_F(AdapterTest, RepeatedLineReportsDoNotRestartASteps) {
    start();
    lines(0, 0);
    wait(300);
    lines(0, 0);  // CLRRTS again: no change on the wire
    wait(200);
    lines(0, 1);
    wait(200);
    lines(0, 1);
    lines(0, 0);
    wait(200);
    lines(0, 1);
    wait(200);
    lines(1, 1);
    EXPECT_EQ(adapter_last_wake(adapter).step_ms[0], 500u);
    EXPECT_TRUE(adapter_last_wake(adapter).answered);
}

TEST_F(AdapterTest, ReplyAtTheWrongSpeedIsGarbage) {
    config.host = HOST_115200_8N1;
    start();
    wake();
    const Bytes got = run(200);
    EXPECT_FALSE(got.empty());
    EXPECT_NE(got, pnp_reply("QXZ4702"));
}

TEST_F(AdapterTest, HandshakeAtHighSpeedOnly) {
    start();
    wake();
    run(200);
    // Still at 1200: the request is garbage to the adapter's 115200 UART.
    send(text_bytes(ADAPTER_HANDSHAKE_REQUEST));
    EXPECT_TRUE(run(10).empty());
    host(HOST_115200_8N1);
    send(Bytes{0x00, 'x'});  // noise before the request is skipped
    send(text_bytes(ADAPTER_HANDSHAKE_REQUEST));
    EXPECT_EQ(run(10), text_bytes(ADAPTER_HANDSHAKE_ANSWER));
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_COMMANDS);
}

TEST_F(AdapterTest, IdentifySendsOtherFramesThenTheVersionFrame) {
    config.frames_before = 4;
    config.oversized_frame = 1;
    start();
    ASSERT_EQ(open_command_port(), text_bytes(ADAPTER_HANDSHAKE_ANSWER));
    send({0x01, 0xF7, 0x00, 0x00});
    const std::vector<Frame> frames = frames_of(run(100));
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0].code, 0x0101u);
    EXPECT_EQ(frames[1].code, 0xDD05u);
    EXPECT_EQ(frames[2].code, 0x0102u);
    EXPECT_EQ(frames[3].code, 0x0101u);
    EXPECT_EQ(frames[4].code, ADAPTER_OVERSIZED_FRAME_CODE);
    EXPECT_EQ(frames[4].data.size(), ADAPTER_OVERSIZED_FRAME_BYTES);
    EXPECT_GT(frames[4].data.size(), 256u);
    EXPECT_EQ(frames[5].code, 0x05DDu);
    Bytes version = text_bytes(ADAPTER_VERSION_STANDARD);
    version.push_back(0);
    EXPECT_EQ(frames[5].data, version);
    EXPECT_NE(event_text().find("\"ev\":\"command\",\"code\":\"0xf7\""), std::string::npos);
}

TEST_F(AdapterTest, VersionTextVariants) {
    config.version_text = ADAPTER_VERSION_CI;
    start();
    open_command_port();
    send({0x01, 0xF7, 0x00, 0x00});
    std::vector<Frame> frames = frames_of(run(100));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(std::string(frames[0].data.begin(), frames[0].data.end()), std::string(ADAPTER_VERSION_CI) + '\0');
    adapter_destroy(adapter);

    config.version_text = "Acme";
    config.version_terminator = 0;
    start();
    open_command_port();
    send({0x01, 0xF7, 0x00, 0x00});
    frames = frames_of(run(100));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].data, text_bytes("Acme"));
}

TEST_F(AdapterTest, NotRecognisedIsOnlyLoggedAndStrayBytesAreSkipped) {
    start();
    open_command_port();
    send({0x01, 0xF6, 0x00, 0x00});
    EXPECT_TRUE(run(100).empty());
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_COMMANDS);
    EXPECT_NE(event_text().find("\"name\":\"unrecognised\""), std::string::npos);
    send({0x00, 0x01, 0xF7, 0x00, 0x00});  // a stray zero before a command
    EXPECT_EQ(frames_of(run(100)).size(), 1u);
}

TEST_F(AdapterTest, HandOverStartsTheChipAfterItsDelay) {
    char store[] = "/tmp/adapter_test_store_XXXXXX";
    const int fd = mkstemp(store);
    ASSERT_GE(fd, 0);
    close(fd);
    std::remove(store);  // the chip creates it with its defaults
    ChipConfig chip_config = {};
    chip_config.store_path = store;
    chip_config.build_id = 1234;
    Chip* chip = chip_create(&chip_config);
    ASSERT_NE(chip, nullptr) << chip_create_error();
    config.chip = chip;
    start();
    open_command_port();
    send({0x01, 0xF8, 0x00, 0x00});
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_CHIP);
    EXPECT_EQ(adapter_next_event_ms(adapter), now + ADAPTER_CHIP_START_DELAY_MS);
    EXPECT_TRUE(run(ADAPTER_CHIP_START_DELAY_MS - 1).empty());

    // The chip's link establishment starts at 8E1 whatever the host does: a
    // host still at 8N1 sees its frames damaged, one at 8E1 sees them whole.
    const Bytes at_8n1 = run(20);
    host(HOST_115200_8E1);
    const Bytes at_8e1 = run(1500);
    ASSERT_FALSE(at_8e1.empty());
    EXPECT_EQ(at_8e1.front(), 0xC0);  // a SLIP-framed BCSP message
    ASSERT_FALSE(at_8n1.empty());
    Bytes whole(at_8e1.begin(), at_8e1.begin() + static_cast<long>(std::min(at_8e1.size(), at_8n1.size())));
    EXPECT_NE(at_8n1, whole);
    adapter_destroy(adapter);
    adapter = nullptr;
    chip_destroy(chip);
    std::remove(store);
}

TEST_F(AdapterTest, NewWakeUpRestartsTheCommandPort) {
    start();
    open_command_port();
    host(HOST_1200_8N1);
    wait(500);
    wake();
    EXPECT_EQ(run(200), pnp_reply("QXZ4702"));
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_HANDSHAKE);
}

TEST_F(AdapterTest, PurgeIsLogged) {
    start();
    adapter_purge(adapter, ADAPTER_PURGE_HOST_RX | ADAPTER_PURGE_HOST_TX, now);
    EXPECT_NE(event_text().find("\"ev\":\"purge\",\"rx\":1,\"tx\":1"), std::string::npos);
}

TEST_F(AdapterTest, HostSettingChangesAreLoggedOnce) {
    start();
    host(HOST_1200_8N1);  // the settings it started with: nothing to report
    EXPECT_EQ(event_text().find("\"ev\":\"line\""), std::string::npos);
    host(HOST_115200_8E1);
    host(HOST_115200_8E1);
    const std::string text = event_text();
    const std::size_t first = text.find("\"ev\":\"line\",\"baud\":115200,\"bits\":8,\"parity\":\"even\",\"stop\":1");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("\"ev\":\"line\"", first + 1), std::string::npos);
}

// ---------------------------------------------------------------------------
// Faults

TEST_F(AdapterTest, SilentAdapterNeverAnswers) {
    config.fault = ADAPTER_FAULT_SILENT;
    start();
    wake();
    EXPECT_TRUE(run(2000).empty());
    host(HOST_115200_8N1);
    send(text_bytes(ADAPTER_HANDSHAKE_REQUEST));
    EXPECT_TRUE(run(100).empty());
}

TEST_F(AdapterTest, WrongIdentifierAndWrongHandshakeAnswer) {
    config.fault = ADAPTER_FAULT_WRONG_ID;
    start();
    wake();
    EXPECT_EQ(run(200), pnp_reply(ADAPTER_WRONG_PNP_ID));
    adapter_destroy(adapter);

    config.fault = ADAPTER_FAULT_WRONG_HANDSHAKE;
    config.host = HOST_1200_8N1;
    start();
    EXPECT_EQ(open_command_port(), text_bytes("LUMA PORT READX"));
}

TEST_F(AdapterTest, SelectedIdentifierAndExtraBytes) {
    config.pnp_id = "QXZ5830";
    config.pnp_extra = "\\0001";
    start();
    wake();
    EXPECT_EQ(run(300), text_bytes("(\x01$QXZ5830\\0001)"));
}

TEST_F(AdapterTest, SilenceInTheMiddleOfThePlugAndPlayReply) {
    config.fault = ADAPTER_FAULT_PNP_CUT;
    config.fault_param = 5;
    start();
    wake();
    const Bytes full = pnp_reply("QXZ4702");
    EXPECT_EQ(run(500), Bytes(full.begin(), full.begin() + 5));
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_SILENT);
    host(HOST_115200_8N1);
    send(text_bytes(ADAPTER_HANDSHAKE_REQUEST));
    wake();
    EXPECT_TRUE(run(500).empty());
}

TEST_F(AdapterTest, SilenceInTheMiddleOfTheVersionFrame) {
    config.fault = ADAPTER_FAULT_VERSION_CUT;
    config.fault_param = 6;
    config.frames_before = 2;
    start();
    open_command_port();
    send({0x01, 0xF7, 0x00, 0x00});
    const Bytes got = run(200);
    ASSERT_EQ(got.size(), 2 * (4 + 8) + 6u);
    EXPECT_EQ(frames_of(got).size(), 2u);
    EXPECT_EQ(got[24], 0x05);
    EXPECT_EQ(got[25], 0xDD);
    EXPECT_EQ(adapter_phase(adapter), ADAPTER_PHASE_SILENT);
    send({0x01, 0xF7, 0x00, 0x00});
    EXPECT_TRUE(run(200).empty());
}

// Garbage goes before the first frame and between frames, never inside one,
// and is the same byte throughout.
TEST_F(AdapterTest, LineGarbageBeforeAndBetweenReplyFrames) {
    config.frames_before = 2;
    config.garbage_before_frames = 3;
    config.garbage_between_frames = 2;
    start();
    open_command_port();
    send({0x01, 0xF7, 0x00, 0x00});
    const Bytes got = run(200);
    Bytes version = text_bytes(ADAPTER_VERSION_STANDARD);
    version.push_back(0);
    const Bytes garbage3(3, ADAPTER_GARBAGE_BYTE);
    const Bytes garbage2(2, ADAPTER_GARBAGE_BYTE);
    ASSERT_EQ(got.size(), 3 + (4 + 8) + 2 + (4 + 8) + 2 + 4 + version.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 3), garbage3);
    std::vector<Frame> frames = frames_of(Bytes(got.begin() + 3, got.begin() + 15));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].code, 0x0101u);
    EXPECT_EQ(Bytes(got.begin() + 15, got.begin() + 17), garbage2);
    EXPECT_EQ(frames_of(Bytes(got.begin() + 17, got.begin() + 29))[0].code, 0xDD05u);
    EXPECT_EQ(Bytes(got.begin() + 29, got.begin() + 31), garbage2);
    frames = frames_of(Bytes(got.begin() + 31, got.end()));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].code, 0x05DDu);
    EXPECT_EQ(frames[0].data, version);
}

TEST_F(AdapterTest, VersionFrameNeverSent) {
    config.fault = ADAPTER_FAULT_NO_VERSION;
    config.frames_before = 1;
    start();
    open_command_port();
    send({0x01, 0xF7, 0x00, 0x00});
    const std::vector<Frame> frames = frames_of(run(100));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].code, 0x0101u);
}

}  // namespace
