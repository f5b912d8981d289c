// The one time-out helper every bounded wait uses: a point on the platform's
// monotonic clock (the virtual clock under the unit tests' fake platform).
#pragma once

#include <cstdint>

struct Deadline {
    std::uint64_t end_ms;
};

Deadline deadline_after_ms(std::uint32_t milliseconds);
int deadline_expired(Deadline deadline);
std::uint32_t deadline_remaining_ms(Deadline deadline);
