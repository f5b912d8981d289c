#include "driver/profiles.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "cmdport/identify.h"
#include "driver/update.h"
#include "platform/platform.h"

namespace {

// Single-word values of the post-update keys.
constexpr std::uint16_t ONE = 0x0001;
constexpr std::uint16_t ZERO = 0x0000;
constexpr std::uint16_t HOST_INTERFACE = 0x0004;
constexpr std::uint16_t UART_CONFIG_USR = 0x0888;
constexpr std::uint16_t PIO_PROTECT_MASK = 0x0003;
constexpr std::uint16_t BOOTMODE_KEY_LIST_0_1 = PSKEY_UART_CONFIG_USR;  // the key number itself
constexpr std::uint16_t BOOTMODE_KEY_TABLE_1 = 0x0880;

// One persistent-store key write of a profile: its value, the line printed
// when it fails, and whether that failure makes the profile's result 0.
struct KeyWrite {
    std::uint16_t key;
    int words;
    const std::uint16_t* values;
    const char* failure_line;
    bool failure_clears_result;
};

// Notes a failed chip command in the report: the first one that counts.
void profile_note_failure(ProfileReport* report, const BccmdResult& failure, bool counts)
{
    if (counts && report->first_failure.kind == BCCMD_FAILURE_NONE) {
        report->first_failure = failure;
    }
}

// Writes one key; prints its own line on failure. Returns 1 when the chip
// confirmed it: a failed key never stops a profile, it only clears the result
// when it counts.
int profile_write_key(const KeyWrite& write, int* result, ProfileReport* report)
{
    BccmdResult outcome{};
    if (ps_write(write.key, write.words, write.values, &outcome)) {
        report->keys_written += 1;
        return 1;
    }
    report->keys_failed += 1;
    profile_note_failure(report, outcome, write.failure_clears_result);
    console_printf("%s", write.failure_line);
    if (write.failure_clears_result) {
        *result = 0;
    }
    return 0;
}

// The device name goes out as words of two characters, the first in the low
// byte, including the terminating zero and padded with zero to a whole word.
int pack_device_name(const char* name, std::array<std::uint16_t, DEVICE_NAME_BUFFER_BYTES / 2>* words)
{
    std::array<std::uint8_t, DEVICE_NAME_BUFFER_BYTES> bytes{};
    const std::size_t length = std::strlen(name);
    std::memcpy(bytes.data(), name, length);
    const int word_count = static_cast<int>((length + 2) / 2);
    for (int i = 0; i < word_count; ++i) {
        (*words)[i] = static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    return word_count;
}

int open_chip_link(std::uint32_t link_timeout_ms, ProfileReport* report)
{
    if (bcsp_port_open_path(update_port.device_path, BCSP_BAUD_RATE, link_timeout_ms, &report->link)) {
        return 1;
    }
    console_printf("failed to start BCSP communication\n");
    return 0;
}

}  // namespace

int configure_before_update_open(ProfileReport* caller_report)
{
    ProfileReport scratch;
    ProfileReport* report = caller_report != nullptr ? caller_report : &scratch;
    *report = {};
    return open_chip_link(BCSP_LINK_TIMEOUT_MS, report);
}

int configure_before_update_write(ProfileReport* caller_report)
{
    ProfileReport scratch{};
    ProfileReport* report = caller_report != nullptr ? caller_report : &scratch;
    int result = 1;
    const std::uint16_t amplitude[] = {ci_firmware == 1 ? CRYSTAL_TARGET_AMPLITUDE_CI : CRYSTAL_TARGET_AMPLITUDE_STANDARD};
    profile_write_key({PSKEY_CRYSTAL_TARGET_AMPLITUDE, 1, amplitude, "Writing Crystal Target Amplitude failed\n", true},
                      &result, report);

    BccmdResult reset{};
    if (!ps_defrag_reset(&reset)) {
        console_printf("PS Defrag failed\n");
        report->reset_failed = 1;
        profile_note_failure(report, reset, true);
        result = 0;
    }
    // The chip defragments its store and restarts; give it time before the port goes.
    sleep_ms(DEFRAG_RESET_PAUSE_MS);
    bcsp_port_close();
    return result;
}

void configure_before_update_close()
{
    bcsp_port_close();
}

int configure_before_update(ProfileReport* report)
{
    if (!configure_before_update_open(report)) {
        return 0;
    }
    return configure_before_update_write(report);
}

int configure_after_update(int download_failed, std::uint32_t link_timeout_ms, ProfileReport* caller_report)
{
    ProfileReport scratch;
    ProfileReport* report = caller_report != nullptr ? caller_report : &scratch;
    *report = {};
    int result = 1;
    if (!open_chip_link(link_timeout_ms, report)) {
        return 0;
    }

    std::uint16_t build_id = 0;
    BccmdResult read{};
    if (read_build_id(&build_id, &read)) {
        console_printf("Build ID = %d\n", static_cast<int>(build_id));
        report->build_id_read = 1;
        report->build_id = build_id;
    } else {
        console_printf("Read BuildID failed\n");
        profile_note_failure(report, read, true);
        result = 0;
    }

    profile_write_key({PSKEY_ONCHIP_HCI_CLIENT, 1, &ONE, "Writing PSKEY_ONCHIP_HCI_CLIENT failed\n", true}, &result, report);
    profile_write_key({PSKEY_HOST_INTERFACE, 1, &HOST_INTERFACE, "Writing PSKEY_HOST_INTERFACE failed\n", true},
                      &result, report);
    profile_write_key({PSKEY_VM_DISABLE, 1, &ZERO, "Writing PSKEY_VM_DISABLE failed\n", true}, &result, report);
    profile_write_key({PSKEY_UART_CONFIG_USR, 1, &UART_CONFIG_USR, "Writing PSKEY_UART_CONFIG_USR failed\n", true},
                      &result, report);
    if (ci_firmware == 1) {
        profile_write_key(
            {PSKEY_PIO_PROTECT_MASK, 1, &PIO_PROTECT_MASK, "Writing PSKEY_PIO_PROTECT_MASK failed\n", true}, &result, report);
    }

    if (download_failed) {
        profile_write_key({PSKEY_UART_CONFIG, static_cast<int>(UART_CONFIG_WORDS.size()), UART_CONFIG_WORDS.data(),
                           "Writing PSKEY_UART_CONFIG failed\n", true},
                          &result, report);
    } else {
        std::array<std::uint16_t, DEVICE_NAME_BUFFER_BYTES / 2> name{};
        const int name_words = pack_device_name(ci_firmware == 1 ? DEVICE_NAME_CI : DEVICE_NAME_STANDARD, &name);

        profile_write_key({PSKEY_INITIAL_BOOTMODE, 1, &ZERO, "Writing PSKEY_INITIAL_BOOTMODE  failed\n", true},
                          &result, report);
        profile_write_key({PSKBOOTMODE_KEY_LIST_0_PLUS_1, 1, &BOOTMODE_KEY_LIST_0_1,
                           "Writing PSKBOOTMODE_KEY_LIST_0+1 failed\n", true},
                          &result, report);
        profile_write_key({PSKBOOTMODE_KEY_TABLE_1, 1, &BOOTMODE_KEY_TABLE_1,
                           "Writing PSKBOOTMODE_KEY_TABLE_1 failed\n", true},
                          &result, report);
        profile_write_key({PSKEY_DEVICE_NAME, name_words, name.data(), "Writing Device Name failed\n", true}, &result, report);
        report->deep_sleep_failed =
            profile_write_key({PSKEY_DEEP_SLEEP_STATE, 1, &ZERO, "Failed setting PSKEY_DEEP_SLEEP_STATE\n", false},
                              &result, report)
                ? 0
                : 1;
    }

    // The cold reset's outcome is reported but does not count: the keys are written either way.
    if (cold_reset()) {
        console_printf("Cold Reset sent\n");
    } else {
        console_printf("Cold Reset Failed\n");
        report->reset_failed = 1;
    }
    sleep_ms(COLD_RESET_PAUSE_MS);
    bcsp_port_close();
    return result;
}
