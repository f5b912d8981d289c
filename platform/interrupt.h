// Interrupts held while the program finishes work that must not be cut off
// (a key half written to the chip's store, a chip left without its reset).
//
// Interrupts: Ctrl-C (SIGINT, CTRL_C_EVENT), Ctrl-Break (CTRL_BREAK_EVENT),
// SIGTERM, and the end of the console (SIGHUP, CTRL_CLOSE_EVENT).
//
// Outside a hold an interrupt ends the process at once, as the system does by
// default (POSIX: no handler is installed; Windows: the console handler, once
// registered, declines every event outside a hold). Between
// interrupt_hold_begin() and interrupt_hold_end() each interrupt is noted
// instead: the caller asks interrupt_noted() between units of work, finishes
// the unit it is in, reports and ends (INTERRUPT_EXIT_STATUS). The first
// interrupt of a hold writes the hold's notice to standard error at once,
// from the handler itself, so the person who pressed Ctrl-C learns what is
// being finished while it is being finished.
//
// A child started by a parent that owns the console's interrupts calls
// interrupt_listen_on_input(): console interrupts are then the parent's to
// pass on, as "interrupt" lines on the child's standard input.
//
// The noted record is kept until interrupt_clear(); a hold's end leaves it
// readable. All calls but the handlers' run on the program's main thread.
// Holds and console key waits (console_key_wait_begin/_end) nest properly:
// one begins and ends inside the other.
#pragma once

#include <cstddef>
#include <cstdint>

enum InterruptKind : int {
    INTERRUPT_NONE = 0,
    INTERRUPT_CTRL_C = 1,      // SIGINT; CTRL_C_EVENT
    INTERRUPT_CTRL_BREAK = 2,  // CTRL_BREAK_EVENT (Windows)
    INTERRUPT_TERMINATE = 3,   // SIGTERM (POSIX)
    INTERRUPT_CLOSE = 4,       // SIGHUP: the terminal is gone; CTRL_CLOSE_EVENT: the console window is closing
    INTERRUPT_RELAYED = 5,     // an INTERRUPT_INPUT_LINE from the parent (interrupt_listen_on_input)
};

// A repeated interrupt within this time of the one before insists: the
// caller may then stop what it would otherwise finish (the download tool).
inline constexpr std::uint64_t INTERRUPT_INSIST_WINDOW_MS = 3000;
// Windows ends a process about 5 s after its console window was closed, or as
// soon as the handler returns. The handler waits this long, 0.5 s inside the
// system's bound, and the process has until then to finish (interrupt_deadline_ms).
inline constexpr std::uint32_t INTERRUPT_CLOSE_GRACE_MS = 4500;
// A notice is cut to this many bytes, its zero byte included.
inline constexpr std::size_t INTERRUPT_NOTICE_MAX_BYTES = 512;
// Holds inside holds, the outermost included; a deeper begin is refused.
inline constexpr int INTERRUPT_HOLD_DEPTH_MAX = 4;
// The exit status of a program that stopped for an interrupt: 128 + SIGINT,
// as a shell reports a program ended by Ctrl-C.
inline constexpr int INTERRUPT_EXIT_STATUS = 130;
// interrupt_deadline_ms() when nothing is going to end the process.
inline constexpr std::uint64_t INTERRUPT_NO_DEADLINE = UINT64_MAX;
// The line (without its line end) a parent writes to a listening child's
// standard input for each interrupt it passes on; other lines are ignored.
inline constexpr char INTERRUPT_INPUT_LINE[] = "interrupt";

// Begins a hold: from now on the interrupts above are noted, not acted on,
// and a broken pipe (SIGPIPE) fails the write instead of ending the process.
// `notice` (null: none) is one line without its line end, written to standard
// error at the first interrupt of the hold, and again at any interrupt that
// comes more than INTERRUPT_INSIST_WINDOW_MS after the one before (a line
// such as "interrupted: finishing the key being written and checking it (at
// most 14 s); nothing else will be written"). It is copied, cut to fit. On
// POSIX a Ctrl-C's notice on a terminal starts with a line end, since the
// terminal echoed "^C" where the cursor was.
//
// Holds nest: a hold begun inside another counts, brings its own notice, and
// its end gives the outer hold its notice back; only the outermost end
// restores the system's handling. An interrupt the process ignores when the
// hold begins (nohup's SIGHUP, a listening child's Ctrl-C) stays ignored.
// 1: holding. 0: nothing changed (INTERRUPT_HOLD_DEPTH_MAX holds already, or
// the system refused the handlers; see platform_last_error()).
int interrupt_hold_begin(const char* notice);
// Replaces the current hold's notice (for example while the download tool
// runs: "... press Ctrl-C again within 3 s to stop it anyway"). An interrupt
// that already came is not announced again. 0 outside a hold.
int interrupt_hold_notice(const char* notice);
// Ends the innermost hold. After the outermost, the handling that was in
// place before the hold is back (by default: an interrupt ends the process
// at once). 0 when no hold was active.
int interrupt_hold_end();
// 1 while a hold is active.
int interrupt_holding();

// What was noted since the program started or since interrupt_clear().
struct InterruptRecord {
    std::uint32_t count;       // interrupts noted
    InterruptKind kind;        // the last one's kind (INTERRUPT_NONE when count is 0)
    std::uint64_t last_ms;     // clock_ms() when the last one came
    std::uint64_t previous_ms; // clock_ms() when the one before came (valid when count >= 2)
};
InterruptRecord interrupt_record();
// 1 when at least one interrupt was noted.
int interrupt_noted();
// 1 when the last interrupt came within INTERRUPT_INSIST_WINDOW_MS of the
// one before it: the person means it.
int interrupt_insisted();
// The clock_ms() time at which the system ends this process whatever it does,
// after a closed console window on Windows: finish only what fits before it
// and start nothing new. INTERRUPT_NO_DEADLINE otherwise (SIGHUP on POSIX
// ends nothing by itself).
std::uint64_t interrupt_deadline_ms();
// Forgets the noted interrupts (not a pending deadline).
void interrupt_clear();

// For a child whose parent owns the console's interrupts (several children
// share one console, and Windows cannot aim a console event at one of them):
// from now on, for the rest of the process,
// - Ctrl-C (and Ctrl-Break) from the console are ignored;
// - a background thread reads standard input, and each INTERRUPT_INPUT_LINE
//   is an interrupt of kind INTERRUPT_RELAYED: noted (and announced) inside a
//   hold, ending the process at once with INTERRUPT_EXIT_STATUS outside one;
// - SIGTERM and the end of the console stay interrupts of this process: they
//   are aimed at it, or reach the parent too, which cannot outlive them to
//   pass them on;
// - end of input (the parent ended or closed the pipe) is no interrupt: the
//   child finishes its run as if nobody watched, and on POSIX a broken pipe
//   fails its writes instead of ending it, as on Windows.
// Call it at the start, before any hold. 1: listening (also when already
// listening). 0: inside a hold, standard input is not open, or the system
// refused (platform_last_error()).
int interrupt_listen_on_input();
