// The fake platform's own promises that other tests lean on: ReadFile's
// time-out rules on the virtual clock, exclusive open, the device hook and the
// scripted process.
#include <cstring>

#include "fake_fixture.h"

namespace {

PlatformHandle open_with_timeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant)
{
    const PlatformHandle port = serial_open(FAKE_SERIAL_DEVICE_PATH);
    const SerialTimeouts timeouts{interval, multiplier, constant, 0, 0};
    serial_set_timeouts(port, &timeouts);
    return port;
}

using FakeSerialTest = FakePlatformTest;

TEST_F(FakeSerialTest, ReadTimeoutsFollowReadFileRules)
{
    const PlatformHandle port = open_with_timeouts(1000, 500, 1000);
    std::uint8_t buffer[8] = {};
    std::uint32_t got = 99;

    // Nothing arrives: total = 500 x 1 + 1000.
    ASSERT_EQ(serial_read(port, buffer, 1, &got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(fake_now_ms(), 1500u);

    // A byte arriving later ends a one-byte read at its arrival.
    fake_serial_receive_text("A", 1800);
    ASSERT_EQ(serial_read(port, buffer, 1, &got), 1);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_EQ(fake_now_ms(), 1800u);

    // The interval time-out ends a read once bytes stop: B at 1900, C at 3000.
    fake_serial_receive_text("B", 1900);
    fake_serial_receive_text("C", 3000);
    ASSERT_EQ(serial_read(port, buffer, 4, &got), 1);  // total would be 1800+3000
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(fake_now_ms(), 2900u);
    serial_close(port);
}

TEST_F(FakeSerialTest, MaxdwordFormReturnsAtOnce)
{
    const PlatformHandle port = open_with_timeouts(SERIAL_TIMEOUT_MAXDWORD, 0, 0);
    fake_serial_receive_text("xy", 0);
    fake_serial_receive_text("z", 50);
    std::uint8_t buffer[8] = {};
    std::uint32_t got = 0;
    ASSERT_EQ(serial_read(port, buffer, 8, &got), 1);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::memcmp(buffer, "xy", 2), 0);
    ASSERT_EQ(serial_read(port, buffer, 8, &got), 1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(fake_now_ms(), 0u);
    serial_close(port);
}

TEST_F(FakeSerialTest, OpenIsExclusiveAndAbsentDeviceFails)
{
    const PlatformHandle port = serial_open(FAKE_SERIAL_DEVICE_PATH);
    ASSERT_NE(port, PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(serial_open(FAKE_SERIAL_DEVICE_PATH), PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(platform_last_error(), FAKE_ERROR_ACCESS_DENIED);
    serial_close(port);
    fake_serial_set_present(0);
    EXPECT_EQ(serial_open(FAKE_SERIAL_DEVICE_PATH), PLATFORM_INVALID_HANDLE);
    EXPECT_EQ(platform_last_error(), FAKE_ERROR_FILE_NOT_FOUND);
}

TEST_F(FakeSerialTest, DoubleCloseIsRecordedAsFault)
{
    const PlatformHandle port = serial_open(FAKE_SERIAL_DEVICE_PATH);
    serial_close(port);
    EXPECT_EQ(serial_close(port), 0);
    EXPECT_EQ(fake_faults().size(), 1u);
    fake_reset();  // the fault was the point of this test
}

// A device with a timer: echoes each written byte 20 ms later.
struct EchoDevice {
    std::string pending;
    std::uint64_t due_ms = UINT64_MAX;
};

TEST_F(FakeSerialTest, DeviceTimerIsServicedDuringBlockingRead)
{
    EchoDevice echo;
    FakeSerialDevice device{};
    device.context = &echo;
    device.on_write = [](void* context, const std::uint8_t* bytes, std::size_t count, std::uint64_t now_ms) {
        auto* e = static_cast<EchoDevice*>(context);
        e->pending.append(reinterpret_cast<const char*>(bytes), count);
        e->due_ms = now_ms + 20;
    };
    device.next_event_ms = [](void* context) { return static_cast<EchoDevice*>(context)->due_ms; };
    device.on_time = [](void* context, std::uint64_t now_ms) {
        auto* e = static_cast<EchoDevice*>(context);
        fake_serial_receive_text(e->pending.c_str(), now_ms);
        e->pending.clear();
        e->due_ms = UINT64_MAX;
    };
    fake_serial_attach(&device);

    const PlatformHandle port = open_with_timeouts(0, 0, 1000);
    std::uint32_t moved = 0;
    serial_write(port, "hi", 2, &moved);
    char buffer[4] = {};
    std::uint32_t got = 0;
    ASSERT_EQ(serial_read(port, buffer, 2, &got), 1);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buffer, 2), "hi");
    EXPECT_EQ(fake_now_ms(), 20u);
    serial_close(port);
}

// What a failed process_open returns is no process: every call refuses it
// with the invalid-handle error, as the real platforms do.
TEST_F(FakePlatformTest, ProcessCallsRefuseTheInvalidHandle)
{
    std::uint32_t code = 0;
    EXPECT_EQ(process_exit_code(PLATFORM_INVALID_HANDLE, &code), 0);
    EXPECT_EQ(platform_last_error(), FAKE_ERROR_INVALID_HANDLE);
    EXPECT_EQ(process_has_ended(PLATFORM_INVALID_HANDLE), 0);
    EXPECT_EQ(platform_last_error(), FAKE_ERROR_INVALID_HANDLE);
}

TEST_F(FakePlatformTest, ProcessReportsStillActiveUntilItsRunTimeHasPassed)
{
    FakeProcessScript script = fake_process_default_script();
    script.run_time_ms = 1500;
    script.exit_code = 7;
    fake_process_script(&script);
    ProcessInfo info{};
    ASSERT_EQ(process_start("tool /x", &info), 1);
    const PlatformHandle query = process_open(info.process_id);
    std::uint32_t code = 0;
    sleep_ms(1000);
    ASSERT_EQ(process_exit_code(query, &code), 1);
    EXPECT_EQ(code, PROCESS_STILL_ACTIVE);
    EXPECT_EQ(process_has_ended(info.process), 0);
    sleep_ms(1000);
    ASSERT_EQ(process_exit_code(query, &code), 1);
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(process_has_ended(info.process), 1);
    EXPECT_EQ(fake_process_handles_open(), 3);
    process_close(query);
    process_close(info.process);
    process_close(info.thread);
    EXPECT_EQ(fake_process_handles_open(), 0);
}

}  // namespace
