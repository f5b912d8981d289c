#include "platform/deadline.h"

#include "platform/platform.h"

Deadline deadline_after_ms(std::uint32_t milliseconds)
{
    return Deadline{clock_ms() + milliseconds};
}

int deadline_expired(Deadline deadline)
{
    return clock_ms() >= deadline.end_ms ? 1 : 0;
}

std::uint32_t deadline_remaining_ms(Deadline deadline)
{
    const std::uint64_t now = clock_ms();
    return now >= deadline.end_ms ? 0 : static_cast<std::uint32_t>(deadline.end_ms - now);
}
