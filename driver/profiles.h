// The chip configuration profiles written over BCSP before and after the
// firmware download. Each opens the BCSP port itself, runs its steps in a
// fixed order (a failed step prints its line and the profile goes on), closes
// the port and returns 1 when every step that counts succeeded.
#pragma once

#include <array>
#include <cstdint>

#include "bccmd/bccmd.h"
#include "bcsp/bcsp_port.h"

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

// What one profile run did, for a caller that reports it (the field tool);
// the updater passes none. Filled as the profile goes; it changes nothing the
// profile does.
struct ProfileReport {
    BcspOpenResult link;         // how the link's open ended (failed_step 0: linked)
    BccmdResult first_failure;   // the first chip command that failed and counts; kind 0 when none did
    int keys_written;            // persistent-store writes the chip confirmed
    int keys_failed;             // ... and those it did not, counted or not
    int build_id_read;           // configure_after_update: the build id was read
    std::uint16_t build_id;
    int deep_sleep_failed;       // configure_after_update: PSKEY_DEEP_SLEEP_STATE not written (does not count)
    int reset_failed;            // the defragmenting reset or the cold reset was not sent
};

// The pre-update profile in two halves, so that a caller can run a step of its
// own on the open link before the first write (the field tool's backup):
// configure_before_update_open opens the BCSP link (1: linked; 0: "failed to
// start BCSP communication" printed, the port closed), and
// configure_before_update_write writes the crystal target amplitude, sends the
// defragmenting reset, pauses and closes the port.
// configure_before_update_close closes the link without writing, when the
// caller's step decides against the update. A report passed to _write must
// be the one _open filled.
int configure_before_update_open(ProfileReport* report = nullptr);
int configure_before_update_write(ProfileReport* report = nullptr);
void configure_before_update_close();

// 1 when the chip was prepared for the download, 0 otherwise. The BCSP port
// is closed again on return either way. report (may be null) says what was done.
int configure_before_update(ProfileReport* report = nullptr);

// Restores the chip's configuration after the download (download_failed
// non-zero selects the failed-download keys) and cold-resets it. 1 when every
// counted step succeeded. link_timeout_ms bounds the wait for the BCSP link:
// the caller knows whether the chip has just been flashed. report (may be
// null) says what was done, the build id among it.
int configure_after_update(int download_failed, std::uint32_t link_timeout_ms, ProfileReport* report = nullptr);
