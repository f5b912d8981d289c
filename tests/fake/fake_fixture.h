// GoogleTest fixture for tests on the fake platform: a fresh fake before each
// test, and no fake-detected misuse (double closes, endless reads) after it.
#pragma once

#include <gtest/gtest.h>

#include "fake_platform.h"

class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake_reset(); }
    void TearDown() override
    {
        for (const auto& fault : fake_faults()) {
            ADD_FAILURE() << "fake platform: " << fault;
        }
    }
};
