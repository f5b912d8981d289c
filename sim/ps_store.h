// The simulated chip's persistent store, kept in a text file that a person
// or a test can read and edit.
//
// File format, one key per line, keys in ascending order when the chip
// writes the file:
//
//     # comment lines and blank lines are ignored; so is text after '#'
//     0x024b = 0x0030
//     0x0191 = 0x01d8 0x00a8 0x00fa 0x0014 0x0004 0x0000 0x0004 0x001e 0x0064 0x000a
//
//     0x0202 absent                  # the chip holds no value for this key
//     0x0777:3 = 0x0001 0x0002 0x0003
//
// The key comes first, optionally with its word count as KEY:WORDS, then '='
// and one to PS_STORE_MAX_WORDS value words (as many as the count, when one
// is given), or the word "absent". This is also the format of a backup taken
// with `marrowlink store backup`, which can seed the simulator. Numbers are
// hexadecimal with 0x, or decimal; each must fit 16 bits. A key that appears
// twice keeps its last line. Any other line makes the file unreadable, and
// the chip refuses to start on it rather than guess.
//
// Every change is saved at once: the whole store goes to "<path>.tmp", which
// is then renamed over the file, so a reader never sees half a file.
//
// A missing file is created with the defaults of a fresh chip (see
// ps_store_set_defaults): plausible factory values for every key that the
// updater writes, deliberately different from the values it writes where
// that is plausible, so that a test can see each write land.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int PS_STORE_MAX_KEYS = 256;
constexpr int PS_STORE_MAX_WORDS = 64;
// Longest line the loader accepts, in characters.
constexpr int PS_STORE_MAX_LINE_CHARS = 1024;

struct PsEntry {
    std::uint16_t key;
    std::uint16_t length;  // number of value words, 1 to PS_STORE_MAX_WORDS
    std::uint16_t values[PS_STORE_MAX_WORDS];
};

struct PsStore {
    int count;  // entries in use, kept sorted by key
    PsEntry entries[PS_STORE_MAX_KEYS];
};

// Factory defaults of a fresh chip:
//   0x024b crystal target amplitude        0x0020
//   0x03cc PSKEY_ONCHIP_HCI_CLIENT          0x0000
//   0x01f9 PSKEY_HOST_INTERFACE             0x0001 (BCSP)
//   0x025d PSKEY_VM_DISABLE                 0x0001
//   0x01c2 PSKEY_UART_CONFIG_USR            0x08a8
//   0x0202 PSKEY_PIO_PROTECT_MASK           0x0000
//   0x0191 PSKEY_UART_CONFIG                0x01d8 0x00a8 0x00fa 0x0014 0x0004 0x0000 0x0004 0x001e 0x0064 0x000a
//   0x03cd PSKEY_INITIAL_BOOTMODE           0x0001
//   0x04b1 PSKBOOTMODE_KEY_LIST_0+1         0x0000
//   0x04f8 PSKBOOTMODE_KEY_TABLE_1          0x0000
//   0x0108 device name "Marrowlink Adapter" (2 characters per word, first in the low byte, zero-terminated: 10 words)
//   0x0229 PSKEY_DEEP_SLEEP_STATE           0x0001
void ps_store_set_defaults(PsStore* store);

// Reads the store from path. A missing file is created with the defaults
// (*created set to 1). Returns 1 on success; 0 when the file cannot be read,
// is malformed or cannot be created, with a one-line reason in why.
int ps_store_open(PsStore* store, const char* path, int* created, char* why, std::size_t why_size);

// Writes the store to path through "<path>.tmp" and a rename. Returns 1 on
// success, 0 when the file could not be written.
int ps_store_save(const PsStore* store, const char* path);

// The entry for key, or null when the key has no value.
const PsEntry* ps_store_find(const PsStore* store, std::uint16_t key);

// Sets key to the length words of values, replacing any old value. Returns 1,
// or 0 when length is outside 1..PS_STORE_MAX_WORDS or the store is full.
int ps_store_set(PsStore* store, std::uint16_t key, const std::uint16_t* values, int length);

// Removes key from the store; nothing happens when it has no value.
void ps_store_remove(PsStore* store, std::uint16_t key);

// Packs text into words the way the updater sends a device name: two
// characters per word, the first in the low byte, with the terminating zero
// included. Returns the number of words, or 0 when it needs more than max_words.
int ps_store_pack_text(const char* text, std::uint16_t* words, int max_words);
