// The persistent-store keys that the configuration profiles write, by number,
// name and word count: one table for anything that must read or keep them
// (the field tool's store backup). Built from the profiles' own constants;
// tests/driver checks it against what the profiles actually write, in every
// branch, so the two cannot drift apart.
#pragma once

#include <cstdint>
#include <string_view>

#include "driver/profiles.h"

struct ProfileKey {
    std::uint16_t key;
    const char* name;
    int standard_words;  // value words written for the standard firmware
    int ci_words;        // ... and for the CI firmware (differs for the device name only)
};

// Words of a device name as the profiles pack it: two characters a word with
// the terminating zero, filled up to a whole word.
constexpr int profile_device_name_words(std::string_view name)
{
    return static_cast<int>((name.size() + 2) / 2);
}

inline constexpr int UART_CONFIG_WORD_COUNT = static_cast<int>(UART_CONFIG_WORDS.size());
inline constexpr int DEVICE_NAME_WORDS_STANDARD = profile_device_name_words(DEVICE_NAME_STANDARD);  // 6
inline constexpr int DEVICE_NAME_WORDS_CI = profile_device_name_words(DEVICE_NAME_CI);              // 8

// Every key of both profiles, both firmware variants and both download
// outcomes, in the order the profiles first write them.
inline constexpr ProfileKey PROFILE_KEYS[] = {
    {PSKEY_CRYSTAL_TARGET_AMPLITUDE, "PSKEY_CRYSTAL_TARGET_AMPLITUDE", 1, 1},
    {PSKEY_ONCHIP_HCI_CLIENT, "PSKEY_ONCHIP_HCI_CLIENT", 1, 1},
    {PSKEY_HOST_INTERFACE, "PSKEY_HOST_INTERFACE", 1, 1},
    {PSKEY_VM_DISABLE, "PSKEY_VM_DISABLE", 1, 1},
    {PSKEY_UART_CONFIG_USR, "PSKEY_UART_CONFIG_USR", 1, 1},
    {PSKEY_PIO_PROTECT_MASK, "PSKEY_PIO_PROTECT_MASK", 1, 1},
    {PSKEY_UART_CONFIG, "PSKEY_UART_CONFIG", UART_CONFIG_WORD_COUNT, UART_CONFIG_WORD_COUNT},
    {PSKEY_INITIAL_BOOTMODE, "PSKEY_INITIAL_BOOTMODE", 1, 1},
    {PSKBOOTMODE_KEY_LIST_0_PLUS_1, "PSKBOOTMODE_KEY_LIST_0+1", 1, 1},
    {PSKBOOTMODE_KEY_TABLE_1, "PSKBOOTMODE_KEY_TABLE_1", 1, 1},
    {PSKEY_DEVICE_NAME, "PSKEY_DEVICE_NAME", DEVICE_NAME_WORDS_STANDARD, DEVICE_NAME_WORDS_CI},
    {PSKEY_DEEP_SLEEP_STATE, "PSKEY_DEEP_SLEEP_STATE", 1, 1},
};
