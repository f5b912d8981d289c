#include "profiles_stub.h"

#include "driver/profiles.h"
#include "fake_platform.h"

ProfileStub profile_stub;

namespace {

ProfileStubCall profile_stub_call(int download_failed, std::uint32_t link_timeout_ms)
{
    return ProfileStubCall{fake_now_ms(), fake_serial_is_open(), download_failed, link_timeout_ms,
                           fake_calls_of(FAKE_PROCESS_EXIT_CODE).size()};
}

}  // namespace

void profile_stub_reset()
{
    profile_stub = ProfileStub{1, 1, 1, {}, {}, 0, {}};
}

int configure_before_update_open(ProfileReport* report)
{
    profile_stub.before_calls.push_back(profile_stub_call(0, 0));
    if (report != nullptr) {
        *report = {};
    }
    return profile_stub.before_open_result;
}

int configure_before_update_write(ProfileReport*)
{
    profile_stub.before_write_calls.push_back(profile_stub_call(0, 0));
    return profile_stub.before_result;
}

void configure_before_update_close()
{
    profile_stub.before_closes += 1;
}

int configure_after_update(int download_failed, std::uint32_t link_timeout_ms, ProfileReport* report)
{
    if (report != nullptr) {
        *report = {};
    }
    profile_stub.after_calls.push_back(profile_stub_call(download_failed, link_timeout_ms));
    return profile_stub.after_result;
}
