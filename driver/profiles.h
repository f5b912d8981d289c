// The chip configuration profiles written over BCSP before and after the
// firmware download. Each opens the BCSP port itself, runs its steps in a
// fixed order (a failed step prints its line and the profile goes on), closes
// the port and returns 1 when every step that counts succeeded.
#pragma once

#include <array>
#include <cstdint>

inline constexpr int BCSP_BAUD_RATE = 115200;

// Link establishment right after the download tool has ended. The chip is
// booting the image just written for the first time, which can take far
// longer than a restart; a chip taken for dead here loses its configuration.
inline constexpr std::uint32_t POST_DOWNLOAD_LINK_TIMEOUT_MS = 20000;

// Pauses after a reset request, before the port is closed.
inline constexpr std::uint32_t DEFRAG_RESET_PAUSE_MS = 1000;
inline constexpr std::uint32_t COLD_RESET_PAUSE_MS = 200;

// Persistent-store keys, under the chip's own names.
inline constexpr std::uint16_t PSKEY_CRYSTAL_TARGET_AMPLITUDE = 0x024B;
inline constexpr std::uint16_t PSKEY_ONCHIP_HCI_CLIENT = 0x03CC;
inline constexpr std::uint16_t PSKEY_HOST_INTERFACE = 0x01F9;
inline constexpr std::uint16_t PSKEY_VM_DISABLE = 0x025D;
inline constexpr std::uint16_t PSKEY_UART_CONFIG_USR = 0x01C2;
inline constexpr std::uint16_t PSKEY_PIO_PROTECT_MASK = 0x0202;
inline constexpr std::uint16_t PSKEY_UART_CONFIG = 0x0191;
inline constexpr std::uint16_t PSKEY_INITIAL_BOOTMODE = 0x03CD;
inline constexpr std::uint16_t PSKBOOTMODE_KEY_LIST_0_PLUS_1 = 0x04B1;
inline constexpr std::uint16_t PSKBOOTMODE_KEY_TABLE_1 = 0x04F8;
inline constexpr std::uint16_t PSKEY_DEVICE_NAME = 0x0108;
inline constexpr std::uint16_t PSKEY_DEEP_SLEEP_STATE = 0x0229;

inline constexpr std::uint16_t CRYSTAL_TARGET_AMPLITUDE_CI = 40;
inline constexpr std::uint16_t CRYSTAL_TARGET_AMPLITUDE_STANDARD = 48;

// PSKEY_UART_CONFIG's value, written when the download failed.
inline constexpr std::array<std::uint16_t, 10> UART_CONFIG_WORDS = {
    0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004, 0x0000, 0x0004, 0x001E, 0x0064, 0x000A};

inline constexpr char DEVICE_NAME_CI[] = "Marrowlink/CL1";
inline constexpr char DEVICE_NAME_STANDARD[] = "Marrowlink";
inline constexpr int DEVICE_NAME_BUFFER_BYTES = 160;

// 1 when the chip was prepared for the download, 0 otherwise. The BCSP port
// is closed again on return either way.
int configure_before_update();

// Run by configure_before_update once the BCSP link is open, before its first
// write, when set: the field tool's backup of the store on the same link
// (marrowlink update --backup). A 0 result ends the profile there: nothing is
// written or reset, the port is closed and the profile returns 0, printing
// nothing (the hook reports its own failure). marrowlink-update never sets it.
extern int (*configure_before_update_hook)();
// 1 when the last configure_before_update was stopped by its hook.
extern int configure_before_update_stopped;

// Restores the chip's configuration after the download (download_failed
// non-zero selects the failed-download keys) and cold-resets it. 1 when every
// counted step succeeded. link_timeout_ms bounds the wait for the BCSP link:
// the caller knows whether the chip has just been flashed.
int configure_after_update(int download_failed, std::uint32_t link_timeout_ms);
// The chip's build id as the last configure_after_update read it (build_id_read
// 0 when the link did not open or the read failed), for callers that report it:
// the updater only prints it.
struct AfterUpdateReport {
    int build_id_read;
    std::uint16_t build_id;
};
extern AfterUpdateReport after_update_report;
