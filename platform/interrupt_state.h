// The part of interrupt.h every implementation shares (interrupt_state.cpp):
// the noted record, the hold depth, the notices and the rule for when a
// notice is written. posix_interrupt.cpp, win32_interrupt.cpp and the tests'
// fake platform add how interrupts arrive and how a line reaches standard
// error. Everything a handler calls here is lock-free and async-signal-safe.
#pragma once

#include "platform/interrupt.h"

#include <cstddef>
#include <cstdint>

// Notes an interrupt that came at now_ms. 1 when its notice must be written
// (interrupt_state_notice_copy), 0 when not. Never blocks.
int interrupt_state_note(InterruptKind kind, std::uint64_t now_ms);
// Copies the current hold's notice, zero-terminated; returns its length.
std::size_t interrupt_state_notice_copy(char* text, std::size_t capacity);
int interrupt_state_depth();

// Hold bookkeeping, called by each implementation's interrupt_hold_begin and
// _end. Push: 1 when the hold was counted (the new depth is
// interrupt_state_depth()), 0 when INTERRUPT_HOLD_DEPTH_MAX were already active.
// Pop: 1 when a hold ended, 0 when none was active. The implementation
// installs its handlers before pushing the outermost hold and restores them
// after popping it.
int interrupt_state_push(const char* notice);
int interrupt_state_pop();
// Replaces the innermost hold's notice; 0 outside a hold.
int interrupt_state_notice(const char* notice);
// The system ends the process at deadline_ms (a closed console window).
void interrupt_state_set_deadline(std::uint64_t deadline_ms);

// A relayed interrupt from the input thread, decided under the lock that hold
// begins and ends take, so no hold can begin between the decision and the
// end: inside a hold it is noted and the result is interrupt_state_note's;
// outside one end_now() is called with the lock held and does not return.
int interrupt_state_relay(std::uint64_t now_ms, void (*end_now)());
// Locks out relayed interrupts while a hold begins or ends (the
// implementations' begin and end take it around their whole work).
void interrupt_state_lock();
void interrupt_state_unlock();

// The longest line the input thread keeps; longer lines are skipped whole.
inline constexpr std::size_t INTERRUPT_INPUT_LINE_MAX_BYTES = 64;
// Reads standard input's bytes as lines. Feed each chunk read; returns how
// many INTERRUPT_INPUT_LINE lines it completed.
struct InterruptInputLines {
    char line[INTERRUPT_INPUT_LINE_MAX_BYTES];
    std::size_t length;
    int overlong;
};
int interrupt_input_feed(InterruptInputLines* lines, const char* bytes, std::size_t count);

// Everything back to the start (no hold, nothing noted, no deadline): for the
// tests' fake platform only.
void interrupt_state_reset();
