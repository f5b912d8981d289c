#include "tool/reasons.h"

#include "tool/open_reason.h"
#include "tool/os_error.h"

namespace {

// The wake-up's fixed pauses and the first read's time-out: how long a silent
// adapter is given to start its Plug-and-Play reply.
constexpr std::uint32_t PNP_WAIT_MS = MODEM_LINES_RESET_MS + 4 * MODEM_LINES_STEP_MS +
                                      COMMAND_PORT_TIMEOUTS.read_total_multiplier +
                                      COMMAND_PORT_TIMEOUTS.read_total_constant;

// Where the identifier starts in the reply: after "(" and the two bytes compared with nothing.
constexpr int PNP_IDENTIFIER_OFFSET = 1 + PNP_IGNORED_BYTES;

const char* const POWER_CYCLE_HINT = "power the adapter off and on, then try again";

// Appended rather than "\"" + text: g++ 12 warns falsely (-Wrestrict) on that form.
std::string quoted(const std::string& text)
{
    std::string result = "\"";
    result += text;
    result += '"';
    return result;
}

ToolFailure reason_pnp(const ToolPort& port, const CommandPortReport& seen)
{
    const std::string step = "contacting the adapter on " + port.name;
    const std::uint8_t* reply = seen.pnp_reply;
    const int length = seen.pnp_reply_length;
    if (length == 0) {
        return {ExitStatus::no_adapter, step,
                "no Plug-and-Play reply within " + reason_seconds(PNP_WAIT_MS),
                "is the adapter powered and plugged into this port? After a probe or an update it answers "
                "only once it has been powered off and on. marrowlink ports --probe tries every port"};
    }
    const std::string came = quoted(reason_shown_bytes(reply, length));
    if (reply[0] != PNP_REPLY_BEGIN) {
        return {ExitStatus::no_adapter, step,
                "the device on " + port.name + " answered, but not with a Plug-and-Play reply: got " + came,
                "is this the adapter's port? marrowlink ports lists the serial ports"};
    }
    const int identifier_length = length - PNP_IDENTIFIER_OFFSET;
    if (identifier_length < PNP_IDENTIFIER_LENGTH && seen.pnp_silent) {
        return {ExitStatus::no_adapter, step, "the Plug-and-Play reply stopped short: got " + came,
                POWER_CYCLE_HINT};
    }
    if (identifier_length <= PNP_IDENTIFIER_LENGTH) {
        return {ExitStatus::no_adapter, step,
                "wrong Plug-and-Play identifier: got \"" + reason_pnp_identifier(seen) + "\", expected " +
                    PNP_IDENTIFIER_FIRST + " or " + PNP_IDENTIFIER_SECOND,
                "the device on " + port.name + " is not a Marrowlink adapter; choose the adapter's port "
                "(marrowlink ports lists the serial ports)"};
    }
    return {ExitStatus::no_adapter, step, "the Plug-and-Play reply did not end: got " + came, POWER_CYCLE_HINT};
}

ToolFailure reason_handshake(const ToolPort& port, const CommandPortReport& seen)
{
    const std::string step = "setup handshake on " + port.name;
    const int length = seen.handshake_answer_length;
    if (length == 0) {
        return {ExitStatus::no_adapter, step,
                std::string("no answer to the setup request \"") + SETUP_REQUEST + "\"", POWER_CYCLE_HINT};
    }
    return {ExitStatus::no_adapter, step,
            std::string("the answer differs: expected \"") + SETUP_ANSWER + "\", got \"" +
                reason_shown_bytes(seen.handshake_answer, length) + "\"" +
                (seen.handshake_silent ? " and then nothing" : ""),
            "the device answered Plug-and-Play like a Marrowlink adapter but not its handshake; " +
                std::string(POWER_CYCLE_HINT)};
}

}  // namespace

ToolFailure reason_chip_link(const ToolPort& port, const std::string& step, const BcspOpenResult& link)
{
    switch (link.failed_step) {
    case BCSP_OPEN_STEP_OPEN:
        return {ExitStatus::chip, step,
                "the port could not be opened again for the chip's link: " + os_error_text(link.os_error),
                "is another program using " + port.name + "?"};
    case BCSP_OPEN_STEP_SETTINGS:
        return {ExitStatus::chip, step,
                port.name + " refused the chip's line settings (115200 baud, even parity): " +
                    os_error_text(link.os_error),
                "the chip's link needs even parity; use a serial port or USB adapter that supports it"};
    default:
        // The bound the wait had: 20 s after a download, 5 s otherwise.
        return {ExitStatus::chip, step, "no BCSP link with the chip within " + reason_seconds(link.link_timeout_ms),
                POWER_CYCLE_HINT};
    }
}

ToolFailure reason_chip_command(const std::string& step, const BccmdResult& command)
{
    const std::string varid = reason_varid(command.varid);
    switch (command.kind) {
    case BCCMD_FAILURE_STATUS:
        return {ExitStatus::chip, step,
                "the chip answered " + varid + " with status " + reason_bccmd_status(command.status),
                POWER_CYCLE_HINT};
    case BCCMD_FAILURE_NO_ANSWER:
        return {ExitStatus::chip, step,
                "the chip did not answer " + varid + " within " + reason_seconds(command.bound_ms), POWER_CYCLE_HINT};
    case BCCMD_FAILURE_SEND:
        return {ExitStatus::chip, step,
                "the chip did not acknowledge " + varid + " within " + reason_seconds(command.bound_ms),
                POWER_CYCLE_HINT};
    case BCCMD_FAILURE_ANSWER:
        return {ExitStatus::chip, step, "the chip's answer to " + varid + " was not an answer to it",
                POWER_CYCLE_HINT};
    default:
        return {ExitStatus::chip, step, "the request " + varid + " could not be made", POWER_CYCLE_HINT};
    }
}

std::string reason_pnp_identifier(const CommandPortReport& seen)
{
    const int length = seen.pnp_reply_length - PNP_IDENTIFIER_OFFSET;
    if (length <= 0) {
        return "";
    }
    int shown = 0;
    while (shown < length && shown < PNP_IDENTIFIER_LENGTH &&
           seen.pnp_reply[PNP_IDENTIFIER_OFFSET + shown] != PNP_REPLY_END) {
        ++shown;
    }
    return reason_shown_bytes(seen.pnp_reply + PNP_IDENTIFIER_OFFSET, shown);
}

ToolFailure reason_contact(const ToolPort& port, const PortRoots& roots, const CommandPortReport& seen)
{
    const std::string opening = "opening " + port.name;
    switch (seen.failed_step) {
    case COMMAND_PORT_STEP_OPEN:
        return open_failure(port, seen.os_error, roots);
    case COMMAND_PORT_STEP_SETTINGS:
    case COMMAND_PORT_STEP_HANDSHAKE_SPEED:
        return {ExitStatus::port, opening,
                port.name + " is not a serial port that takes the adapter's settings: " +
                    os_error_text(seen.os_error),
                "choose the adapter's serial port; marrowlink ports lists them"};
    case COMMAND_PORT_STEP_HANDSHAKE:
        return reason_handshake(port, seen);
    default:
        return reason_pnp(port, seen);
    }
}

ToolFailure reason_identify(const IdentifyReport& seen)
{
    const std::string step = "identifying the firmware";
    if (!seen.version_frame_seen) {
        return {ExitStatus::unknown_firmware, step,
                "no version frame within " + reason_seconds(IDENTIFY_VERSION_WAIT_MS) + " of the identify command",
                POWER_CYCLE_HINT};
    }
    return {ExitStatus::unknown_firmware, step,
            std::string("unknown firmware \"") + seen.version_text + "\": neither \"" +
                STANDARD_FIRMWARE_PREFIX + "\" nor \"" + CI_FIRMWARE_PREFIX + "\"",
            "this adapter runs firmware that this tool has no image for; it cannot be updated here"};
}

