// Stand-ins for the chip configuration profiles, linked into driver_tests in
// place of driver/profiles.cpp, so that the update sequence's tests choose
// each profile's result and see when and how the sequence calls them.
#pragma once

#include <cstdint>
#include <vector>

struct ProfileStubCall {
    std::uint64_t at_ms;
    int port_open;        // a serial handle was open during the call
    int download_failed;  // configure_after_update only
    std::uint32_t link_timeout_ms;  // configure_after_update only
    std::uint64_t tool_queries_before;  // exit-code queries made before the call
};

struct ProfileStub {
    int before_open_result;  // configure_before_update_open: the link opened
    int before_result;       // configure_before_update_write
    int after_result;
    std::vector<ProfileStubCall> before_calls;        // the pre-update link's opens
    std::vector<ProfileStubCall> before_write_calls;  // the pre-update writes
    int before_closes = 0;                            // closed without writing
    std::vector<ProfileStubCall> after_calls;
};

extern ProfileStub profile_stub;

// Both profiles succeed, no calls recorded.
void profile_stub_reset();
