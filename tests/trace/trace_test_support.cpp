#include "trace_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "bccmd/bccmd.h"
#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/command_port.h"
#include "cmdport/identify.h"
#include "fake_adapter.h"
#include "fake_platform.h"

std::string trace_test_path(const std::string& name)
{
    return ::testing::TempDir() + "trace_" + std::to_string(getpid()) + "_" + name;
}

FakeAdapter trace_test_adapter()
{
    return fake_adapter_working(FAKE_ADAPTER_STANDARD_VERSION);
}

int trace_test_contact(const FakeAdapter& script)
{
    FakeAdapter adapter = script;
    fake_adapter_attach(&adapter);
    const int contact = command_port_open(1);
    if (contact) {
        send_adapter_command(CMD_IDENTIFY);
        send_adapter_command(identify_firmware() ? CMD_IDENTIFIED : CMD_UNRECOGNISED);
        command_port_close();
    }
    fake_serial_attach(nullptr);
    return contact;
}

void trace_test_bcsp_session()
{
    ASSERT_EQ(bcsp_port_open(1, 115200), 1);
    std::uint16_t build_id = 0;
    EXPECT_EQ(read_build_id(&build_id), 1);
    const std::uint16_t amplitude = 0x0028;
    EXPECT_EQ(ps_write(0x024b, 1, &amplitude), 1);
    std::uint16_t read_back = 0;
    EXPECT_EQ(ps_read(0x024b, 1, &read_back), 1);
    EXPECT_EQ(cold_reset(), 1);
    bcsp_port_close();
}

void TraceFakeTest::SetUp()
{
    FakePlatformTest::SetUp();
    bcsp_diagnostics = 0;
    command_port_diagnostics = 0;
    bccmd_seqno = 0;
    bccmd_given_up_clear();
}

void TraceFakeTest::TearDown()
{
    bcsp_port_close();
    fake_chip_stop(&chip);
    std::remove(path.c_str());
    FakePlatformTest::TearDown();
}

void TraceFakeTest::start_chip(const ChipConfig* config)
{
    const ChipConfig chosen = config != nullptr ? *config : fake_chip_config(&chip, 4835);
    std::string error;
    ASSERT_TRUE(fake_chip_start(&chip, chosen, &error)) << error;
}

TraceFile trace_test_read(const std::string& path)
{
    TraceFile trace = trace_read_file(path);
    EXPECT_EQ(trace.problem_line, 0u) << trace_problem_text(trace);
    return trace;
}
