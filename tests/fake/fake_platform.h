// The fake platform: a third implementation of platform/platform.h for unit
// tests, with a virtual clock, a scripted serial port, scripted processes and
// a captured console. Nothing really sleeps, opens or starts.
//
// Link `platform_fake` instead of `platform_native`. Call fake_reset() before
// each test (the FakePlatformTest fixture in fake_fixture.h does it).
//
// Time. clock_ms() reads the virtual clock; sleep_ms() advances it; a blocking
// serial_read() advances it to the moment the read would return. Writes and
// every other call take no virtual time.
//
// Serial port. One device, "\\\\.\\COM1", present unless a test says not.
// Opened exclusively: a second serial_open() fails while a handle is open.
// Incoming bytes wait in a queue, each with the virtual time at which it
// arrives; serial_read() honours SerialTimeouts as ReadFile does (total
// multiplier and constant, the interval between bytes, the MAXDWORD/0/0
// "return at once" form). Bytes that arrive while the port is closed are lost,
// as on a real UART that nobody reads.
//
// Devices. A test can plug in a device model (FakeSerialDevice): it is told of
// every write, line change, line state and purge, may ask to be woken at a
// virtual time of its choice, and answers by queueing bytes with
// fake_serial_receive(). That is all a byte-in/byte-out device with time needs;
// fake_adapter.h is one such model, and the simulated chip (sim/chip.h) plugs in
// the same way.
//
// Call log. Every platform call is logged with its virtual time and arguments
// (escape codes, sleeps, line states, time-outs, purges, opens, closes, bytes,
// command lines, console text), so that tests can check order and timing.
//
// Interrupts. A test delivers an interrupt at a virtual time or as a call
// begins (see the section at the end).
//
// Faults. Misuse that a real system would punish later (closing a handle twice,
// a read that could only block for ever, a key wait that never sleeps) is
// recorded in fake_faults(); tests check it is empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/interrupt.h"
#include "platform/platform.h"

// process_exit() throws this instead of ending the test program. The product
// never catches it (the product uses no exceptions at all).
struct FakeProcessExit {
    int status;
};

// Everything back to the start: clock 0, COM1 present and closed, no bytes
// queued, no device, no folders, no processes, empty console, empty logs.
void fake_reset();

// ---------------------------------------------------------------------------
// Virtual clock

std::uint64_t fake_now_ms();
// Moves the clock forward, waking an attached device at each time it asked for.
void fake_advance_ms(std::uint64_t milliseconds);

// ---------------------------------------------------------------------------
// Call log

enum FakeCallKind {
    FAKE_SERIAL_OPEN,
    FAKE_SERIAL_SETUP,
    FAKE_SERIAL_GET_STATE,
    FAKE_SERIAL_SET_STATE,
    FAKE_SERIAL_SET_TIMEOUTS,
    FAKE_SERIAL_PURGE,
    FAKE_SERIAL_ESCAPE,
    FAKE_SERIAL_READ,
    FAKE_SERIAL_WRITE,
    FAKE_SERIAL_CLOSE,
    FAKE_SERIAL_WAIT_INPUT,
    FAKE_FOLDER_CHANGE,
    FAKE_PROCESS_START,
    FAKE_PROCESS_OPEN,
    FAKE_PROCESS_EXIT_CODE,
    FAKE_PROCESS_HAS_ENDED,
    FAKE_PROCESS_CLOSE,
    FAKE_PROCESS_TERMINATE,
    FAKE_SLEEP,
    FAKE_TIMER_PRECISE_BEGIN,
    FAKE_TIMER_PRECISE_END,
    FAKE_CONSOLE_PRINTF,
    FAKE_CONSOLE_KEY_WAIT_BEGIN,
    FAKE_CONSOLE_KEY_WAIT_END,
    FAKE_CONSOLE_KEY_WAITING,
    FAKE_PROCESS_EXIT,
    FAKE_INTERRUPT_HOLD_BEGIN,   // text: the notice
    FAKE_INTERRUPT_HOLD_NOTICE,  // text: the notice
    FAKE_INTERRUPT_HOLD_END,
    FAKE_INTERRUPT_LISTEN,
    FAKE_INTERRUPT,              // one delivered: value is its kind, result 1 noted, 0 ignored
    FAKE_CALL_KIND_COUNT
};

struct FakeCall {
    FakeCallKind kind;
    std::uint64_t at_ms;   // virtual time when the call was made
    std::uint64_t end_ms;  // virtual time when it returned (differs for sleeps and blocking reads)
    // The call's main number: escape function, sleep length, purge flags,
    // input queue size, byte count asked for, process id, exit status.
    std::uint32_t value;
    std::uint32_t value2;        // serial_setup: output queue size
    std::int64_t result;         // what the call returned (a handle for the open calls)
    PlatformHandle handle;       // the handle the call was given
    int ports_open;              // serial handles open when the call was made
    SerialState state;           // serial_set_state: as passed; serial_get_state: as returned
    SerialTimeouts timeouts;     // serial_set_timeouts: as passed
    std::string text;            // open path, folder, command line, console text
    std::vector<std::uint8_t> bytes;  // serial_write: bytes moved; serial_read: bytes delivered
};

const std::vector<FakeCall>& fake_calls();
std::vector<FakeCall> fake_calls_of(FakeCallKind kind);
const char* fake_call_name(FakeCallKind kind);
// One line per call ("  1300 serial_read 1 -> 0 bytes"), for failure messages.
std::string fake_calls_text();

// ---------------------------------------------------------------------------
// Scripted failures and errors

// The nth call of this kind since fake_reset() (1 = the first) fails, leaving
// `error` for platform_last_error(). Serial calls fail before touching the port.
void fake_fail_call(FakeCallKind kind, int nth, std::uint32_t error);
// Sets what platform_last_error() reports until the next failing call.
void fake_set_last_error(std::uint32_t error);

const std::vector<std::string>& fake_faults();

// ---------------------------------------------------------------------------
// Serial port

// Error codes the fake leaves, as Windows would.
inline constexpr std::uint32_t FAKE_ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t FAKE_ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t FAKE_ERROR_INVALID_HANDLE = 6;

inline constexpr char FAKE_SERIAL_DEVICE_PATH[] = "\\\\.\\COM1";

void fake_serial_set_present(int present);
// The one device's path (default FAKE_SERIAL_DEVICE_PATH); opens of any other
// path fail as a missing device.
void fake_serial_set_path(const char* device_path);
// What serial_get_state() reports until the first serial_set_state().
void fake_serial_set_initial_state(const SerialState* state);
// Queues incoming bytes that arrive at virtual time at_ms (a time already
// past counts as now).
void fake_serial_receive(const void* bytes, std::size_t count, std::uint64_t at_ms);
void fake_serial_receive_text(const char* text, std::uint64_t at_ms);
std::size_t fake_serial_pending();
// Every byte moved by serial_write() since fake_reset().
const std::vector<std::uint8_t>& fake_serial_written();
// Each serial_write() moves at most this many bytes (0: no limit).
void fake_serial_set_write_limit(std::uint32_t max_bytes);
int fake_serial_is_open();
int fake_serial_rts();
int fake_serial_dtr();
SerialState fake_serial_state();

// A device on the far end of the line. Every member may be null.
struct FakeSerialDevice {
    void* context;
    // Bytes the program wrote, at the virtual time of the write.
    void (*on_write)(void* context, const std::uint8_t* bytes, std::size_t count, std::uint64_t now_ms);
    // A modem-line change: function is SERIAL_SETRTS, SERIAL_CLRDTR, ...
    void (*on_escape)(void* context, std::uint32_t function, std::uint64_t now_ms);
    // New line settings (serial_set_state), with the lines after them.
    void (*on_set_state)(void* context, const SerialState* state, std::uint64_t now_ms);
    void (*on_purge)(void* context, std::uint32_t flags, std::uint64_t now_ms);
    void (*on_open)(void* context, std::uint64_t now_ms);
    void (*on_close)(void* context, std::uint64_t now_ms);
    // The device's own timer: the next time it wants on_time (UINT64_MAX: none).
    std::uint64_t (*next_event_ms)(void* context);
    void (*on_time)(void* context, std::uint64_t now_ms);
};

// Attaches a device (copied) or, with null, detaches it.
void fake_serial_attach(const FakeSerialDevice* device);

// ---------------------------------------------------------------------------
// Folders: a tree of names below the start folder ("" is the start folder).

void fake_folder_create(const char* path);  // e.g. "DFUWizard"
std::string fake_folder_current();

// ---------------------------------------------------------------------------
// Processes: the one process a test expects to be started.

struct FakeProcessScript {
    int start_ok;                // process_start succeeds
    std::uint32_t start_error;   // last error when it does not
    std::uint32_t exit_code;     // the code it ends with
    std::uint64_t run_time_ms;   // virtual time from its start to its end
    int open_ok;                 // process_open succeeds
    int query_fail_at;           // the nth process_exit_code call fails (0: never)
    std::uint32_t query_error;
};

inline constexpr std::uint32_t FAKE_PROCESS_ID = 4242;

// The default: starts, opens, runs 5000 ms, ends with 0, queries never fail.
FakeProcessScript fake_process_default_script();
void fake_process_script(const FakeProcessScript* script);
int fake_processes_started();
std::string fake_process_command_line();
std::string fake_process_folder();       // the current folder when it started
int fake_process_ports_open_at_start();  // serial handles open when it started
std::uint64_t fake_process_start_ms();
ProcessOptions fake_process_options();   // how it was started
// What process_tool_port answers from now on (by default: the port's own
// name and no device, as for a program that opens the port itself).
void fake_process_tool_port(const char* name, const char* device);
int fake_process_handles_open();         // process, thread and query handles not closed
// After this many exit-code queries the fake fails the next one and records a
// fault, so that a poll that never ends cannot hang a test.
inline constexpr int FAKE_EXIT_CODE_QUERY_LIMIT = 100000;

// ---------------------------------------------------------------------------
// Console

// What console_printf wrote to standard output, and to standard error after
// console_set_output(CONSOLE_OUTPUT_STDERR); with CONSOLE_OUTPUT_NONE the text
// is only in the call log.
const std::string& fake_console_output();
const std::string& fake_console_errors();
// A key press arrives at this virtual time and stays (it is never read).
// Default: never. Standard input that has ended is the same as a key at 0.
void fake_console_key_at(std::uint64_t at_ms);
int fake_console_key_tests();  // console_key_waiting() calls since fake_reset()
// After this many key tests the fake reports a key and records a fault, so
// that a key wait that never advances the clock cannot hang a test.
inline constexpr int FAKE_KEY_TEST_LIMIT = 100000;

// ---------------------------------------------------------------------------
// Interrupts (platform/interrupt.h)
//
// The fake keeps holds, notices and the noted record with the real
// platform's own code (interrupt_state.cpp), so the rules are the same: inside
// a hold an interrupt is noted and, when due, the hold's notice and a line
// end go to standard error (fake_console_errors()); outside a hold it ends
// the process at once, and the call that was running throws FakeInterruptEnd.
// A close (INTERRUPT_CLOSE) is a closed console window on Windows: noted in a
// hold, it ends the process INTERRUPT_CLOSE_GRACE_MS later unless the process
// ended first (interrupt_deadline_ms() tells when). In a listening child
// (interrupt_listen_on_input) Ctrl-C and Ctrl-Break are ignored, and
// INTERRUPT_RELAYED is the parent's "interrupt" line on standard input.

// What ends the process for an interrupt; never caught by the product.
struct FakeInterruptEnd {
    InterruptKind kind;
    std::uint64_t at_ms;
};

// An interrupt at a virtual time. It is delivered while a call moves the
// clock across that time (sleep_ms, a blocking serial_read, serial_wait_input,
// fake_advance_ms), never in a call that takes no time (so never in a
// destructor's serial_close): use fake_interrupt_on_call for those.
void fake_interrupt_at(std::uint64_t at_ms, InterruptKind kind = INTERRUPT_CTRL_C);
// An interrupt as the nth call of this kind since fake_reset() (1 = the first)
// begins, before it acts: the call is logged, then the interrupt is delivered.
void fake_interrupt_on_call(FakeCallKind call, int nth, InterruptKind kind = INTERRUPT_CTRL_C);
int fake_interrupt_listening();  // interrupt_listen_on_input() was called
