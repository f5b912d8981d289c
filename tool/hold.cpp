#include "tool/hold.h"

#include "bcsp/bcsp_port.h"
#include "driver/profiles.h"
#include "platform/interrupt.h"
#include "tool/wording.h"

namespace {

// One request's longest exchange: its send, then the wait for its answer.
constexpr std::uint32_t REQUEST_BOUND_MS = BCSP_SEND_TIMEOUT_MS + BCSP_RECEIVE_TIMEOUT_MS;
// The keys the post-update profile writes at most: four, the CI firmware's
// fifth, and the five of a successful download.
constexpr std::uint32_t POST_UPDATE_KEYS_MAX = 10;

}  // namespace

InterruptHold::InterruptHold(const std::string& notice) : holding_(interrupt_hold_begin(notice.c_str()) != 0) {}

InterruptHold::~InterruptHold()
{
    if (holding_) {
        interrupt_hold_end();
    }
}

void InterruptHold::notice(const std::string& notice)
{
    if (holding_) {
        interrupt_hold_notice(notice.c_str());
    }
}

bool hold_interrupted()
{
    return interrupt_noted() != 0;
}

std::uint32_t hold_key_bound_ms()
{
    return 2 * REQUEST_BOUND_MS;
}

std::string hold_notice_keys()
{
    return "interrupted: finishing the key being written and checking it (at most " +
           reason_seconds(hold_key_bound_ms()) + "); nothing else will be written";
}

std::string hold_notice_prepare()
{
    // The link's wait, the crystal key, the defragmenting reset's send and the pause after it.
    const std::uint32_t bound_ms = BCSP_LINK_TIMEOUT_MS + REQUEST_BOUND_MS + BCSP_SEND_TIMEOUT_MS + DEFRAG_RESET_PAUSE_MS;
    return "interrupted: finishing the chip's preparation for the download (at most " + reason_seconds(bound_ms) +
           "); the download will not start";
}

std::string hold_notice_download()
{
    return "interrupted: the download tool is writing the adapter's firmware, and stopping it can leave the adapter "
           "without firmware: it goes on, and the chip's configuration is restored after it. Press Ctrl-C again "
           "within " + reason_seconds(static_cast<std::uint32_t>(INTERRUPT_INSIST_WINDOW_MS)) +
           " to stop it anyway";
}

std::string hold_notice_restore()
{
    // The link's wait after a download, the build id, every key, the cold reset's send and the pause after it.
    const std::uint32_t bound_ms = POST_DOWNLOAD_LINK_TIMEOUT_MS + (1 + POST_UPDATE_KEYS_MAX) * REQUEST_BOUND_MS +
                                   BCSP_SEND_TIMEOUT_MS + COLD_RESET_PAUSE_MS;
    return "interrupted: restoring the chip's configuration and resetting it (usually within a second, at most " +
           reason_seconds(bound_ms) + "); nothing else will be done";
}
