#include "cmdport/identify.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "cmdport/command_port.h"
#include "platform/platform.h"

int ci_firmware = 0;

namespace {

// A prefix match within the text's own length: a text that ends early fails.
int firmware_text_begins_with(const std::uint8_t* text, std::size_t text_length, const char* prefix)
{
    const std::size_t prefix_length = std::strlen(prefix);
    return text_length >= prefix_length && std::memcmp(text, prefix, prefix_length) == 0 ? 1 : 0;
}

}  // namespace

void send_adapter_command(std::uint8_t code)
{
    const std::uint8_t frame[ADAPTER_COMMAND_SIZE] = {0x01, code, 0x00, 0x00};
    command_port_write(frame, ADAPTER_COMMAND_SIZE);
}

int read_reply_frame(std::span<std::uint8_t, REPLY_DATA_SIZE> data, Deadline deadline, std::uint16_t* code)
{
    std::uint8_t header[4] = {};
    for (std::uint8_t& byte : header) {
        if (deadline_expired(deadline)) {
            return 0;
        }
        byte = command_port_read_byte();
    }
    const unsigned length = header[2] * 256u + header[3];
    std::fill(data.begin(), data.end(), 0);
    for (unsigned i = 0; i < length; ++i) {
        if (deadline_expired(deadline)) {
            return 0;
        }
        const std::uint8_t byte = command_port_read_byte();
        if (i < data.size()) {
            data[i] = byte;
        }
    }
    *code = static_cast<std::uint16_t>(header[0] * 256u + header[1]);
    return 1;
}

int identify_firmware(IdentifyReport* caller_report)
{
    IdentifyReport scratch;
    IdentifyReport& report = caller_report != nullptr ? *caller_report : scratch;
    std::array<std::uint8_t, REPLY_DATA_SIZE> data{};
    const Deadline deadline = deadline_after_ms(IDENTIFY_VERSION_WAIT_MS);
    std::uint16_t code = 0;
    report = {};
    do {
        if (!read_reply_frame(data, deadline, &code)) {
            return 0;
        }
        report.frames_read += 1;
    } while (code != REPLY_CODE_VERSION);

    // The text ends at its first zero byte; a full buffer without one is cut
    // to REPLY_DATA_SIZE - 1 characters, so nothing past the buffer is read.
    const auto text_end = std::find(data.begin(), data.begin() + (REPLY_DATA_SIZE - 1), 0);
    const auto text_length = static_cast<std::size_t>(text_end - data.begin());
    console_printf("Current Firmware Version is %.*s\n", static_cast<int>(text_length),
                   reinterpret_cast<const char*>(data.data()));
    report.version_frame_seen = 1;
    std::memcpy(report.version_text, data.data(), text_length);

    if (firmware_text_begins_with(data.data(), text_length, CI_FIRMWARE_PREFIX)) {
        ci_firmware = 1;
        return 1;
    }
    if (firmware_text_begins_with(data.data(), text_length, STANDARD_FIRMWARE_PREFIX)) {
        ci_firmware = 0;
        return 1;
    }
    return 0;
}
