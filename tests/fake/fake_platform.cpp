// The fake platform (see fake_platform.h). One translation unit on purpose:
// platform_api's deadline helpers call clock_ms(), and a single object keeps
// every platform function in the link whichever of them a test pulls in first.
#include "fake_platform.h"

#include "platform/interrupt_state.h"
#include "platform/serial_native.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>

namespace {

constexpr std::uint64_t NEVER_MS = std::numeric_limits<std::uint64_t>::max();

enum FakeHandleKind { HANDLE_SERIAL, HANDLE_PROCESS, HANDLE_THREAD, HANDLE_QUERY };

struct IncomingByte {
    std::uint8_t byte;
    std::uint64_t at_ms;
};

struct ScheduledInterrupt {
    std::uint64_t at_ms;
    InterruptKind kind;
};

struct CallInterrupt {
    FakeCallKind call;
    int nth;
    InterruptKind kind;
};

struct FakeState {
    std::uint64_t now_ms = 0;
    std::uint32_t last_error = 0;
    std::vector<FakeCall> calls;
    std::vector<std::string> faults;
    int call_counts[FAKE_CALL_KIND_COUNT] = {};

    struct ScriptedFailure {
        FakeCallKind kind;
        int nth;
        std::uint32_t error;
    };
    std::vector<ScriptedFailure> failures;

    std::map<PlatformHandle, FakeHandleKind> handles;
    PlatformHandle next_handle = 0x100;

    // Serial port.
    int serial_present = 1;
    std::string serial_path = FAKE_SERIAL_DEVICE_PATH;
    PlatformHandle serial_handle = PLATFORM_INVALID_HANDLE;
    SerialState serial_state{};
    SerialTimeouts serial_timeouts{};
    int rts = 0;
    int dtr = 0;
    std::vector<IncomingByte> incoming;  // sorted by arrival time
    std::vector<std::uint8_t> written;
    std::uint32_t write_limit = 0;
    FakeSerialDevice device{};
    int device_attached = 0;

    // Folders.
    std::vector<std::string> folders;
    std::string current_folder;

    // Process.
    FakeProcessScript process_script = fake_process_default_script();
    int processes_started = 0;
    std::string process_command_line;
    std::string process_folder;
    int process_ports_open = 0;
    std::uint64_t process_start_ms = 0;
    ProcessOptions process_options = PROCESS_OPTIONS_DEFAULT;
    std::string process_port_device;
    int tool_port_scripted = 0;  // process_tool_port answers these, not the name it was given
    std::string tool_port_name;
    std::string tool_port_device;

    // Console.
    std::string console;
    std::string console_errors;
    int console_where = CONSOLE_OUTPUT_STDOUT;
    std::uint64_t key_at_ms = NEVER_MS;
    int key_tests = 0;
    int precise_timer_depth = 0;

    // Interrupts.
    std::vector<ScheduledInterrupt> interrupts;  // sorted by time
    std::vector<CallInterrupt> call_interrupts;
    std::uint64_t close_end_ms = NEVER_MS;
    int interrupt_listening = 0;
    int interrupt_ended = 0;  // FakeInterruptEnd thrown: nothing more is delivered
};

FakeState fake;

// Windows' state for a freshly opened COM port, so that fields a caller does
// not set show up as something other than zero.
SerialState fake_default_serial_state()
{
    SerialState state{};
    state.length = SERIAL_STATE_LENGTH;
    state.baud_rate = 9600;
    state.binary = 1;
    state.dtr_control = SERIAL_DTR_CONTROL_ENABLE;
    state.tx_continue_on_xoff = 1;
    state.rts_control = SERIAL_RTS_CONTROL_ENABLE;
    state.xon_lim = 2048;
    state.xoff_lim = 512;
    state.byte_size = 8;
    state.parity = SERIAL_NOPARITY;
    state.stop_bits = SERIAL_ONESTOPBIT;
    state.xon_char = 0x11;
    state.xoff_char = 0x13;
    return state;
}

void fake_fault(const std::string& text)
{
    fake.faults.push_back(std::to_string(fake.now_ms) + " ms: " + text);
}

int serial_ports_open()
{
    return fake.serial_handle != PLATFORM_INVALID_HANDLE ? 1 : 0;
}

std::size_t log_entry(FakeCallKind kind, PlatformHandle handle)
{
    FakeCall call{};
    call.kind = kind;
    call.at_ms = fake.now_ms;
    call.end_ms = fake.now_ms;
    call.handle = handle;
    call.ports_open = serial_ports_open();
    fake.calls.push_back(call);
    fake.call_counts[kind] += 1;
    return fake.calls.size() - 1;
}

FakeCall& logged(std::size_t index)
{
    return fake.calls[index];
}

// ---------------------------------------------------------------------------
// Interrupts

// Delivers one interrupt now, as the real platform would take it.
void interrupt_deliver(InterruptKind kind)
{
    if (fake.interrupt_ended) {
        return;
    }
    const std::size_t entry = log_entry(FAKE_INTERRUPT, PLATFORM_INVALID_HANDLE);
    logged(entry).value = static_cast<std::uint32_t>(kind);
    if (fake.interrupt_listening && (kind == INTERRUPT_CTRL_C || kind == INTERRUPT_CTRL_BREAK)) {
        return;  // the parent passes these on
    }
    if (kind == INTERRUPT_RELAYED && !fake.interrupt_listening) {
        fake_fault("an interrupt relayed on standard input, but the program does not listen for one");
        return;
    }
    if (interrupt_state_depth() == 0) {
        fake.interrupt_ended = 1;
        throw FakeInterruptEnd{kind, fake.now_ms};
    }
    if (kind == INTERRUPT_CLOSE && fake.close_end_ms == NEVER_MS) {
        fake.close_end_ms = fake.now_ms + INTERRUPT_CLOSE_GRACE_MS;
        interrupt_state_set_deadline(fake.close_end_ms);
    }
    logged(entry).result = 1;
    if (interrupt_state_note(kind, fake.now_ms)) {
        char notice[INTERRUPT_NOTICE_MAX_BYTES];
        if (interrupt_state_notice_copy(notice, sizeof notice) > 0) {
            fake.console_errors += notice;
            fake.console_errors += "\n";
        }
    }
}

std::uint64_t interrupt_next_ms()
{
    if (fake.interrupt_ended) {
        return NEVER_MS;
    }
    const std::uint64_t scheduled_ms = fake.interrupts.empty() ? NEVER_MS : fake.interrupts.front().at_ms;
    return std::min(scheduled_ms, fake.close_end_ms);
}

// Delivers what is due by now: the console's end after a close first (the
// system takes no more events then), then scheduled interrupts in order.
void interrupt_deliver_due()
{
    if (!fake.interrupt_ended && fake.close_end_ms <= fake.now_ms) {
        fake.interrupt_ended = 1;
        throw FakeInterruptEnd{INTERRUPT_CLOSE, fake.now_ms};
    }
    while (!fake.interrupt_ended && !fake.interrupts.empty() && fake.interrupts.front().at_ms <= fake.now_ms) {
        const InterruptKind kind = fake.interrupts.front().kind;
        fake.interrupts.erase(fake.interrupts.begin());
        interrupt_deliver(kind);
    }
}

// Appends a log entry and returns its index (not a reference: device hooks may
// log further calls and move the vector). An interrupt scripted for this call
// is delivered once it is logged, before the call acts.
std::size_t log_call(FakeCallKind kind, PlatformHandle handle = PLATFORM_INVALID_HANDLE)
{
    const std::size_t index = log_entry(kind, handle);
    for (const CallInterrupt& scripted : fake.call_interrupts) {
        if (scripted.call == kind && scripted.nth == fake.call_counts[kind]) {
            interrupt_deliver(scripted.kind);
        }
    }
    return index;
}

// 1 when the test scripted this call to fail; the error is then set.
int scripted_failure(FakeCallKind kind)
{
    for (const auto& failure : fake.failures) {
        if (failure.kind == kind && failure.nth == fake.call_counts[kind]) {
            fake.last_error = failure.error;
            return 1;
        }
    }
    return 0;
}

int fail_with(std::size_t index, std::uint32_t error)
{
    fake.last_error = error;
    logged(index).result = 0;
    return 0;
}

PlatformHandle handle_new(FakeHandleKind kind)
{
    const PlatformHandle handle = fake.next_handle++;
    fake.handles[handle] = kind;
    return handle;
}

int handle_is(PlatformHandle handle, FakeHandleKind kind)
{
    const auto found = fake.handles.find(handle);
    return found != fake.handles.end() && found->second == kind ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Clock and device timer

std::uint64_t device_next_event_ms()
{
    if (!fake.device_attached || fake.device.next_event_ms == nullptr) {
        return NEVER_MS;
    }
    return fake.device.next_event_ms(fake.device.context);
}

// Moves the clock to target_ms, waking the device at each time it asked for
// and delivering the interrupts due on the way. A device that asks for a time
// already past is woken at once.
void clock_advance_to(std::uint64_t target_ms)
{
    for (;;) {
        const std::uint64_t interrupt_ms = interrupt_next_ms();
        const std::uint64_t event_ms = fake.device.on_time != nullptr ? device_next_event_ms() : NEVER_MS;
        if (interrupt_ms <= target_ms && interrupt_ms <= event_ms) {
            fake.now_ms = std::max(fake.now_ms, interrupt_ms);
            interrupt_deliver_due();
            continue;
        }
        if (event_ms > target_ms) {
            break;
        }
        fake.now_ms = std::max(fake.now_ms, event_ms);
        fake.device.on_time(fake.device.context, fake.now_ms);
    }
    fake.now_ms = std::max(fake.now_ms, target_ms);
}

// ---------------------------------------------------------------------------
// Serial helpers

int serial_handle_valid(PlatformHandle port)
{
    return port != PLATFORM_INVALID_HANDLE && port == fake.serial_handle ? 1 : 0;
}

std::uint64_t next_arrival_ms()
{
    return fake.incoming.empty() ? NEVER_MS : fake.incoming.front().at_ms;
}

// Takes bytes that have arrived by now, up to `room`; returns the arrival
// time of the last one taken.
std::uint64_t take_arrived(std::vector<std::uint8_t>* into, std::uint32_t room)
{
    std::uint64_t last_ms = 0;
    while (room > 0 && !fake.incoming.empty() && fake.incoming.front().at_ms <= fake.now_ms) {
        into->push_back(fake.incoming.front().byte);
        last_ms = fake.incoming.front().at_ms;
        fake.incoming.erase(fake.incoming.begin());
        room -= 1;
    }
    return last_ms;
}

void drop_arrived_before(std::uint64_t time_ms)
{
    fake.incoming.erase(std::remove_if(fake.incoming.begin(), fake.incoming.end(),
                                       [time_ms](const IncomingByte& b) { return b.at_ms < time_ms; }),
                        fake.incoming.end());
}

// The blocking part of ReadFile on the virtual clock. Returns the bytes read.
std::vector<std::uint8_t> serial_read_blocking(std::uint32_t count)
{
    const SerialTimeouts& t = fake.serial_timeouts;
    const std::uint64_t start_ms = fake.now_ms;
    std::vector<std::uint8_t> got;

    // MAXDWORD / 0 / 0: whatever has arrived, at once.
    if (t.read_interval == SERIAL_TIMEOUT_MAXDWORD && t.read_total_multiplier == 0 &&
        t.read_total_constant == 0) {
        take_arrived(&got, count);
        return got;
    }
    // MAXDWORD / MAXDWORD / constant: return as soon as any byte is there,
    // else wait up to the constant for one.
    const int any_byte_ends =
        t.read_interval == SERIAL_TIMEOUT_MAXDWORD && t.read_total_multiplier == SERIAL_TIMEOUT_MAXDWORD;

    std::uint64_t total_deadline_ms = NEVER_MS;
    if (any_byte_ends) {
        total_deadline_ms = start_ms + t.read_total_constant;
    } else if (t.read_total_multiplier != 0 || t.read_total_constant != 0) {
        total_deadline_ms = start_ms + std::uint64_t{t.read_total_multiplier} * count + t.read_total_constant;
    }
    const int interval_on = !any_byte_ends && t.read_interval != 0;
    std::uint64_t last_byte_ms = start_ms;  // meaningful once a byte has been taken

    for (;;) {
        const std::size_t before = got.size();
        const std::uint64_t taken_ms = take_arrived(&got, count - static_cast<std::uint32_t>(got.size()));
        if (got.size() > before) {
            // Bytes already waiting when the read began count from its start.
            last_byte_ms = std::max(taken_ms, start_ms);
        }
        if (got.size() == count || (any_byte_ends && !got.empty())) {
            return got;
        }
        if (fake.now_ms >= total_deadline_ms) {
            return got;
        }
        std::uint64_t interval_deadline_ms = NEVER_MS;
        if (interval_on && !got.empty()) {
            interval_deadline_ms = last_byte_ms + t.read_interval;
            if (fake.now_ms >= interval_deadline_ms) {
                return got;
            }
        }
        const std::uint64_t next_ms = std::min(
            {next_arrival_ms(), device_next_event_ms(), total_deadline_ms, interval_deadline_ms});
        if (next_ms == NEVER_MS) {
            fake_fault("serial_read would block for ever: no time-out and nothing will arrive");
            return got;
        }
        clock_advance_to(next_ms);
    }
}

}  // namespace

// ===========================================================================
// Test controls

void fake_reset()
{
    fake = FakeState{};
    fake.serial_state = fake_default_serial_state();
    interrupt_state_reset();
}

std::uint64_t fake_now_ms()
{
    return fake.now_ms;
}

void fake_advance_ms(std::uint64_t milliseconds)
{
    clock_advance_to(fake.now_ms + milliseconds);
}

const std::vector<FakeCall>& fake_calls()
{
    return fake.calls;
}

std::vector<FakeCall> fake_calls_of(FakeCallKind kind)
{
    std::vector<FakeCall> result;
    for (const auto& call : fake.calls) {
        if (call.kind == kind) {
            result.push_back(call);
        }
    }
    return result;
}

const char* fake_call_name(FakeCallKind kind)
{
    static const char* const names[FAKE_CALL_KIND_COUNT] = {
        "serial_open",         "serial_setup",        "serial_get_state",     "serial_set_state",
        "serial_set_timeouts", "serial_purge",        "serial_escape",        "serial_read",
        "serial_write",        "serial_close",        "serial_wait_input",    "folder_change",
        "process_start",
        "process_open",        "process_exit_code",   "process_has_ended",    "process_close",
        "process_terminate",   "sleep_ms",            "timer_precise_begin", "timer_precise_end",    "console_printf",
        "console_key_wait_begin", "console_key_wait_end", "console_key_waiting", "process_exit",
        "interrupt_hold_begin", "interrupt_hold_notice", "interrupt_hold_end", "interrupt_listen_on_input",
        "interrupt",
    };
    const int index = static_cast<int>(kind);
    return index >= 0 && index < FAKE_CALL_KIND_COUNT ? names[index] : "?";
}

std::string fake_calls_text()
{
    std::string text;
    for (const auto& call : fake.calls) {
        char line[160];
        std::snprintf(line, sizeof line, "%8llu %s value=%u result=%lld", static_cast<unsigned long long>(call.at_ms),
                      fake_call_name(call.kind), call.value, static_cast<long long>(call.result));
        text += line;
        if (!call.text.empty()) {
            text += " \"" + call.text + "\"";
        }
        if (!call.bytes.empty()) {
            text += " bytes:";
            for (std::uint8_t b : call.bytes) {
                std::snprintf(line, sizeof line, " %02X", b);
                text += line;
            }
        }
        text += "\n";
    }
    return text;
}

void fake_fail_call(FakeCallKind kind, int nth, std::uint32_t error)
{
    fake.failures.push_back({kind, nth, error});
}

void fake_set_last_error(std::uint32_t error)
{
    fake.last_error = error;
}

const std::vector<std::string>& fake_faults()
{
    return fake.faults;
}

void fake_serial_set_present(int present)
{
    fake.serial_present = present;
}

void fake_serial_set_path(const char* device_path)
{
    fake.serial_path = device_path;
}

void fake_serial_set_initial_state(const SerialState* state)
{
    fake.serial_state = *state;
}

void fake_serial_receive(const void* bytes, std::size_t count, std::uint64_t at_ms)
{
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    const std::uint64_t arrival_ms = std::max(at_ms, fake.now_ms);
    // Keep the queue in arrival order; bytes arriving together keep their order.
    auto position = std::upper_bound(fake.incoming.begin(), fake.incoming.end(), arrival_ms,
                                     [](std::uint64_t t, const IncomingByte& b) { return t < b.at_ms; });
    std::vector<IncomingByte> run;
    for (std::size_t i = 0; i < count; ++i) {
        run.push_back({in[i], arrival_ms});
    }
    fake.incoming.insert(position, run.begin(), run.end());
}

void fake_serial_receive_text(const char* text, std::uint64_t at_ms)
{
    fake_serial_receive(text, std::strlen(text), at_ms);
}

std::size_t fake_serial_pending()
{
    return fake.incoming.size();
}

const std::vector<std::uint8_t>& fake_serial_written()
{
    return fake.written;
}

void fake_serial_set_write_limit(std::uint32_t max_bytes)
{
    fake.write_limit = max_bytes;
}

int fake_serial_is_open()
{
    return serial_ports_open();
}

int fake_serial_rts()
{
    return fake.rts;
}

int fake_serial_dtr()
{
    return fake.dtr;
}

SerialState fake_serial_state()
{
    return fake.serial_state;
}

void fake_serial_attach(const FakeSerialDevice* device)
{
    fake.device = device != nullptr ? *device : FakeSerialDevice{};
    fake.device_attached = device != nullptr ? 1 : 0;
}

void fake_folder_create(const char* path)
{
    fake.folders.emplace_back(path);
}

std::string fake_folder_current()
{
    return fake.current_folder;
}

FakeProcessScript fake_process_default_script()
{
    FakeProcessScript script{};
    script.start_ok = 1;
    script.start_error = FAKE_ERROR_FILE_NOT_FOUND;
    script.exit_code = 0;
    script.run_time_ms = 5000;
    script.open_ok = 1;
    script.query_fail_at = 0;
    script.query_error = FAKE_ERROR_ACCESS_DENIED;
    return script;
}

void fake_process_script(const FakeProcessScript* script)
{
    fake.process_script = *script;
}

int fake_processes_started()
{
    return fake.processes_started;
}

std::string fake_process_command_line()
{
    return fake.process_command_line;
}

std::string fake_process_folder()
{
    return fake.process_folder;
}

int fake_process_ports_open_at_start()
{
    return fake.process_ports_open;
}

void fake_process_tool_port(const char* name, const char* device)
{
    fake.tool_port_scripted = 1;
    fake.tool_port_name = name;
    fake.tool_port_device = device;
}

ProcessOptions fake_process_options()
{
    ProcessOptions options = fake.process_options;
    options.port_device = fake.process_port_device.empty() ? nullptr : fake.process_port_device.c_str();
    return options;
}

std::uint64_t fake_process_start_ms()
{
    return fake.process_start_ms;
}

int fake_process_handles_open()
{
    int count = 0;
    for (const auto& [handle, kind] : fake.handles) {
        count += kind != HANDLE_SERIAL ? 1 : 0;
    }
    return count;
}

const std::string& fake_console_output()
{
    return fake.console;
}

const std::string& fake_console_errors()
{
    return fake.console_errors;
}

void fake_console_key_at(std::uint64_t at_ms)
{
    fake.key_at_ms = at_ms;
}

int fake_console_key_tests()
{
    return fake.key_tests;
}

void fake_interrupt_at(std::uint64_t at_ms, InterruptKind kind)
{
    const auto position = std::upper_bound(fake.interrupts.begin(), fake.interrupts.end(), at_ms,
                                           [](std::uint64_t t, const ScheduledInterrupt& i) { return t < i.at_ms; });
    fake.interrupts.insert(position, ScheduledInterrupt{at_ms, kind});
}

void fake_interrupt_on_call(FakeCallKind call, int nth, InterruptKind kind)
{
    fake.call_interrupts.push_back({call, nth, kind});
}

int fake_interrupt_listening()
{
    return fake.interrupt_listening;
}

// ===========================================================================
// The platform API

std::uint32_t platform_last_error()
{
    return fake.last_error;
}

void platform_last_error_set(std::uint32_t code)
{
    fake.last_error = code;
}

void platform_error_text(std::uint32_t error, char* text, std::size_t capacity)
{
    if (text != nullptr && capacity > 0) {
        std::snprintf(text, capacity, "fake error %u", static_cast<unsigned>(error));
    }
}

PlatformHandle serial_native_open(const char* device_path)
{
    const std::size_t call = log_call(FAKE_SERIAL_OPEN);
    logged(call).text = device_path != nullptr ? device_path : "";
    logged(call).result = PLATFORM_INVALID_HANDLE;
    if (device_path == nullptr) {
        fake.last_error = PLATFORM_ERROR_INVALID_PARAMETER;
        return PLATFORM_INVALID_HANDLE;
    }
    if (scripted_failure(FAKE_SERIAL_OPEN)) {
        return PLATFORM_INVALID_HANDLE;
    }
    if (!fake.serial_present || device_path != fake.serial_path) {
        fake.last_error = FAKE_ERROR_FILE_NOT_FOUND;
        return PLATFORM_INVALID_HANDLE;
    }
    if (fake.serial_handle != PLATFORM_INVALID_HANDLE) {
        fake.last_error = FAKE_ERROR_ACCESS_DENIED;  // share mode 0: one handle at a time
        return PLATFORM_INVALID_HANDLE;
    }
    drop_arrived_before(fake.now_ms);
    fake.serial_handle = handle_new(HANDLE_SERIAL);
    logged(call).result = fake.serial_handle;
    if (fake.device_attached && fake.device.on_open != nullptr) {
        fake.device.on_open(fake.device.context, fake.now_ms);
    }
    return fake.serial_handle;
}

int serial_native_setup(PlatformHandle port, std::uint32_t input_queue, std::uint32_t output_queue)
{
    const std::size_t call = log_call(FAKE_SERIAL_SETUP, port);
    logged(call).value = input_queue;
    logged(call).value2 = output_queue;
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (scripted_failure(FAKE_SERIAL_SETUP)) {
        return fail_with(call, fake.last_error);
    }
    logged(call).result = 1;
    return 1;
}

int serial_native_get_state(PlatformHandle port, SerialState* state)
{
    const std::size_t call = log_call(FAKE_SERIAL_GET_STATE, port);
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (state == nullptr) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    if (scripted_failure(FAKE_SERIAL_GET_STATE)) {
        return fail_with(call, fake.last_error);
    }
    *state = fake.serial_state;
    logged(call).state = *state;
    logged(call).result = 1;
    return 1;
}

int serial_native_set_state(PlatformHandle port, const SerialState* state)
{
    const std::size_t call = log_call(FAKE_SERIAL_SET_STATE, port);
    if (state != nullptr) {
        logged(call).state = *state;
    }
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (state == nullptr || state->length != SERIAL_STATE_LENGTH) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    if (scripted_failure(FAKE_SERIAL_SET_STATE)) {
        return fail_with(call, fake.last_error);
    }
    fake.serial_state = *state;
    // SetCommState drives the lines whose control mode it sets to enable or disable.
    if (state->rts_control == SERIAL_RTS_CONTROL_ENABLE || state->rts_control == SERIAL_RTS_CONTROL_DISABLE) {
        fake.rts = state->rts_control == SERIAL_RTS_CONTROL_ENABLE ? 1 : 0;
    }
    if (state->dtr_control == SERIAL_DTR_CONTROL_ENABLE || state->dtr_control == SERIAL_DTR_CONTROL_DISABLE) {
        fake.dtr = state->dtr_control == SERIAL_DTR_CONTROL_ENABLE ? 1 : 0;
    }
    logged(call).result = 1;
    if (fake.device_attached && fake.device.on_set_state != nullptr) {
        fake.device.on_set_state(fake.device.context, state, fake.now_ms);
    }
    return 1;
}

int serial_native_set_timeouts(PlatformHandle port, const SerialTimeouts* timeouts)
{
    const std::size_t call = log_call(FAKE_SERIAL_SET_TIMEOUTS, port);
    if (timeouts != nullptr) {
        logged(call).timeouts = *timeouts;
    }
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (timeouts == nullptr) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    if (scripted_failure(FAKE_SERIAL_SET_TIMEOUTS)) {
        return fail_with(call, fake.last_error);
    }
    fake.serial_timeouts = *timeouts;
    logged(call).result = 1;
    return 1;
}

int serial_native_purge(PlatformHandle port, std::uint32_t flags)
{
    const std::size_t call = log_call(FAKE_SERIAL_PURGE, port);
    logged(call).value = flags;
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (scripted_failure(FAKE_SERIAL_PURGE)) {
        return fail_with(call, fake.last_error);
    }
    if ((flags & SERIAL_PURGE_RXCLEAR) != 0) {
        drop_arrived_before(fake.now_ms + 1);  // what has arrived by now; later bytes still come
    }
    logged(call).result = 1;
    if (fake.device_attached && fake.device.on_purge != nullptr) {
        fake.device.on_purge(fake.device.context, flags, fake.now_ms);
    }
    return 1;
}

int serial_native_escape(PlatformHandle port, std::uint32_t function)
{
    const std::size_t call = log_call(FAKE_SERIAL_ESCAPE, port);
    logged(call).value = function;
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (scripted_failure(FAKE_SERIAL_ESCAPE)) {
        return fail_with(call, fake.last_error);
    }
    switch (function) {
    case SERIAL_SETRTS: fake.rts = 1; break;
    case SERIAL_CLRRTS: fake.rts = 0; break;
    case SERIAL_SETDTR: fake.dtr = 1; break;
    case SERIAL_CLRDTR: fake.dtr = 0; break;
    default: return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    logged(call).result = 1;
    if (fake.device_attached && fake.device.on_escape != nullptr) {
        fake.device.on_escape(fake.device.context, function, fake.now_ms);
    }
    return 1;
}

int serial_native_read(PlatformHandle port, void* buffer, std::uint32_t count, std::uint32_t* bytes_read)
{
    const std::size_t call = log_call(FAKE_SERIAL_READ, port);
    logged(call).value = count;
    if (bytes_read != nullptr) {
        *bytes_read = 0;
    }
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (buffer == nullptr || bytes_read == nullptr) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    if (scripted_failure(FAKE_SERIAL_READ)) {
        return fail_with(call, fake.last_error);
    }
    const std::vector<std::uint8_t> got = serial_read_blocking(count);
    if (!got.empty()) {
        std::memcpy(buffer, got.data(), got.size());
    }
    *bytes_read = static_cast<std::uint32_t>(got.size());
    logged(call).bytes = got;
    logged(call).end_ms = fake.now_ms;
    logged(call).result = 1;
    return 1;
}

int serial_native_write(PlatformHandle port, const void* buffer, std::uint32_t count, std::uint32_t* bytes_written)
{
    const std::size_t call = log_call(FAKE_SERIAL_WRITE, port);
    logged(call).value = count;
    if (bytes_written != nullptr) {
        *bytes_written = 0;
    }
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (buffer == nullptr || bytes_written == nullptr) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    if (scripted_failure(FAKE_SERIAL_WRITE)) {
        return fail_with(call, fake.last_error);
    }
    std::uint32_t moved = count;
    if (fake.write_limit != 0 && moved > fake.write_limit) {
        moved = fake.write_limit;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    fake.written.insert(fake.written.end(), bytes, bytes + moved);
    logged(call).bytes.assign(bytes, bytes + moved);
    logged(call).result = 1;
    *bytes_written = moved;
    if (fake.device_attached && fake.device.on_write != nullptr && moved > 0) {
        fake.device.on_write(fake.device.context, bytes, moved, fake.now_ms);
    }
    return 1;
}

int serial_native_close(PlatformHandle port)
{
    const std::size_t call = log_call(FAKE_SERIAL_CLOSE, port);
    if (!serial_handle_valid(port)) {
        fake_fault("serial_close of a handle that is not an open serial port");
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    fake.handles.erase(port);
    fake.serial_handle = PLATFORM_INVALID_HANDLE;
    logged(call).result = 1;
    if (fake.device_attached && fake.device.on_close != nullptr) {
        fake.device.on_close(fake.device.context, fake.now_ms);
    }
    return 1;
}

// Moves the clock to the first arrival or to the end of the time-out,
// whichever comes first, waking the device on the way.
int serial_wait_input(PlatformHandle port, std::uint32_t timeout_ms)
{
    const std::size_t call = log_call(FAKE_SERIAL_WAIT_INPUT, port);
    logged(call).value = timeout_ms;
    if (!serial_handle_valid(port)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (scripted_failure(FAKE_SERIAL_WAIT_INPUT)) {
        clock_advance_to(fake.now_ms + timeout_ms);
        logged(call).end_ms = fake.now_ms;
        return fail_with(call, fake.last_error);
    }
    const std::uint64_t end_ms = fake.now_ms + timeout_ms;
    while (next_arrival_ms() > fake.now_ms && fake.now_ms < end_ms) {
        clock_advance_to(std::min({next_arrival_ms(), device_next_event_ms(), end_ms}));
    }
    const int waiting = next_arrival_ms() <= fake.now_ms ? 1 : 0;
    logged(call).end_ms = fake.now_ms;
    logged(call).result = waiting;
    return waiting;
}

int folder_change(const char* path)
{
    const std::size_t call = log_call(FAKE_FOLDER_CHANGE);
    if (path == nullptr) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    logged(call).text = path;
    if (scripted_failure(FAKE_FOLDER_CHANGE)) {
        return fail_with(call, fake.last_error);
    }
    std::string target;
    if (std::strcmp(path, "..") == 0) {
        const std::size_t slash = fake.current_folder.rfind('/');
        if (fake.current_folder.empty()) {
            return fail_with(call, FAKE_ERROR_FILE_NOT_FOUND);  // the start folder's parent is not modelled
        }
        target = slash == std::string::npos ? std::string() : fake.current_folder.substr(0, slash);
    } else {
        target = fake.current_folder.empty() ? std::string(path) : fake.current_folder + "/" + path;
        if (std::find(fake.folders.begin(), fake.folders.end(), target) == fake.folders.end()) {
            return fail_with(call, FAKE_ERROR_FILE_NOT_FOUND);
        }
    }
    fake.current_folder = target;
    logged(call).result = 1;
    return 1;
}

int process_start(const char* command_line, ProcessInfo* info, const ProcessOptions* options)
{
    const std::size_t call = log_call(FAKE_PROCESS_START);
    if (command_line == nullptr || info == nullptr) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    logged(call).text = command_line;
    if (scripted_failure(FAKE_PROCESS_START) || !fake.process_script.start_ok) {
        return fail_with(call, fake.process_script.start_ok ? fake.last_error : fake.process_script.start_error);
    }
    if (fake.processes_started > 0) {
        fake_fault("a second process started; the fake models one");
    }
    fake.processes_started += 1;
    fake.process_command_line = command_line;
    fake.process_options = options != nullptr ? *options : PROCESS_OPTIONS_DEFAULT;
    // The caller's device text need not outlive the call.
    fake.process_port_device = fake.process_options.port_device != nullptr ? fake.process_options.port_device : "";
    fake.process_options.port_device = nullptr;
    fake.process_folder = fake.current_folder;
    fake.process_ports_open = serial_ports_open();
    fake.process_start_ms = fake.now_ms;
    info->process = handle_new(HANDLE_PROCESS);
    info->thread = handle_new(HANDLE_THREAD);
    info->process_id = FAKE_PROCESS_ID;
    info->thread_id = FAKE_PROCESS_ID + 1;
    logged(call).result = 1;
    return 1;
}

int process_tool_port(const char* program, const char* device_path, const char* port_name, ProcessToolPort* port)
{
    if (program == nullptr || device_path == nullptr || port_name == nullptr || port == nullptr) {
        fake.last_error = PLATFORM_ERROR_INVALID_PARAMETER;
        return 0;
    }
    *port = ProcessToolPort{};
    const std::string name = fake.tool_port_scripted ? fake.tool_port_name : port_name;
    const std::string device = fake.tool_port_scripted ? fake.tool_port_device : "";
    if (name.size() >= sizeof port->name || device.size() >= sizeof port->device) {
        fake.last_error = PLATFORM_ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::memcpy(port->name, name.c_str(), name.size() + 1);
    std::memcpy(port->device, device.c_str(), device.size() + 1);
    return 1;
}

PlatformHandle process_open(std::uint32_t process_id)
{
    const std::size_t call = log_call(FAKE_PROCESS_OPEN);
    logged(call).value = process_id;
    logged(call).result = PLATFORM_INVALID_HANDLE;
    if (scripted_failure(FAKE_PROCESS_OPEN)) {
        return PLATFORM_INVALID_HANDLE;
    }
    if (fake.processes_started == 0 || process_id != FAKE_PROCESS_ID || !fake.process_script.open_ok) {
        fake.last_error = PLATFORM_ERROR_INVALID_PARAMETER;
        return PLATFORM_INVALID_HANDLE;
    }
    const PlatformHandle handle = handle_new(HANDLE_QUERY);
    logged(call).result = handle;
    return handle;
}

int process_exit_code(PlatformHandle process, std::uint32_t* exit_code)
{
    const std::size_t call = log_call(FAKE_PROCESS_EXIT_CODE, process);
    if (!handle_is(process, HANDLE_PROCESS) && !handle_is(process, HANDLE_QUERY)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    if (exit_code == nullptr) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    if (fake.call_counts[FAKE_PROCESS_EXIT_CODE] == fake.process_script.query_fail_at) {
        return fail_with(call, fake.process_script.query_error);
    }
    if (scripted_failure(FAKE_PROCESS_EXIT_CODE)) {
        return fail_with(call, fake.last_error);
    }
    if (fake.call_counts[FAKE_PROCESS_EXIT_CODE] > FAKE_EXIT_CODE_QUERY_LIMIT) {
        fake_fault("exit code queried " + std::to_string(FAKE_EXIT_CODE_QUERY_LIMIT) + " times; failing the query");
        return fail_with(call, FAKE_ERROR_ACCESS_DENIED);
    }
    const int ended = fake.now_ms >= fake.process_start_ms + fake.process_script.run_time_ms;
    *exit_code = ended ? fake.process_script.exit_code : PROCESS_STILL_ACTIVE;
    logged(call).value = *exit_code;
    logged(call).result = 1;
    return 1;
}

int process_has_ended(PlatformHandle process)
{
    const std::size_t call = log_call(FAKE_PROCESS_HAS_ENDED, process);
    if (process == PLATFORM_INVALID_HANDLE) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    // Only the handle from process_start may be waited on; the query handle
    // carries query rights alone, as OpenProcess gives them.
    if (!handle_is(process, HANDLE_PROCESS)) {
        return fail_with(call, FAKE_ERROR_ACCESS_DENIED);
    }
    const int ended = fake.now_ms >= fake.process_start_ms + fake.process_script.run_time_ms ? 1 : 0;
    logged(call).result = ended;
    return ended;
}

int process_close(PlatformHandle process)
{
    const std::size_t call = log_call(FAKE_PROCESS_CLOSE, process);
    if (!handle_is(process, HANDLE_PROCESS) && !handle_is(process, HANDLE_THREAD) &&
        !handle_is(process, HANDLE_QUERY)) {
        fake_fault("process_close of a handle that is not an open process or thread handle");
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    fake.handles.erase(process);
    logged(call).result = 1;
    return 1;
}

int process_terminate(PlatformHandle process)
{
    const std::size_t call = log_call(FAKE_PROCESS_TERMINATE, process);
    if (!handle_is(process, HANDLE_PROCESS)) {
        return fail_with(call, FAKE_ERROR_INVALID_HANDLE);
    }
    // A process still running ends now with the code a killed one reports.
    if (fake.now_ms < fake.process_start_ms + fake.process_script.run_time_ms) {
        fake.process_script.run_time_ms = fake.now_ms - fake.process_start_ms;
        fake.process_script.exit_code = PROCESS_TERMINATED_EXIT_CODE;
    }
    logged(call).result = 1;
    return 1;
}

void sleep_ms(std::uint32_t milliseconds)
{
    const std::size_t call = log_call(FAKE_SLEEP);
    logged(call).value = milliseconds;
    clock_advance_to(fake.now_ms + milliseconds);
    logged(call).end_ms = fake.now_ms;
}

std::uint64_t clock_ms()
{
    return fake.now_ms;
}

void timer_precise_begin()
{
    log_call(FAKE_TIMER_PRECISE_BEGIN);
    fake.precise_timer_depth += 1;
}

void timer_precise_end()
{
    log_call(FAKE_TIMER_PRECISE_END);
    if (fake.precise_timer_depth == 0) {
        fake_fault("timer_precise_end without timer_precise_begin");
        return;
    }
    fake.precise_timer_depth -= 1;
}

int console_printf(const char* format, ...)
{
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(length));
    }
    va_end(again);
    const std::size_t call = log_call(FAKE_CONSOLE_PRINTF);
    logged(call).text = text;
    logged(call).result = length;
    logged(call).value = static_cast<std::uint32_t>(fake.console_where);
    if (fake.console_where == CONSOLE_OUTPUT_STDOUT) {
        fake.console += text;
    } else if (fake.console_where == CONSOLE_OUTPUT_STDERR) {
        fake.console_errors += text;
    }
    return length;
}

void console_set_output(int where)
{
    fake.console_where = where;
}

void console_key_wait_begin()
{
    log_call(FAKE_CONSOLE_KEY_WAIT_BEGIN);
}

void console_key_wait_end()
{
    log_call(FAKE_CONSOLE_KEY_WAIT_END);
}

int console_key_waiting()
{
    const std::size_t call = log_call(FAKE_CONSOLE_KEY_WAITING);
    fake.key_tests += 1;
    int waiting = fake.now_ms >= fake.key_at_ms ? 1 : 0;
    if (!waiting && fake.key_tests >= FAKE_KEY_TEST_LIMIT) {
        if (fake.key_tests == FAKE_KEY_TEST_LIMIT) {
            fake_fault("key wait tested the console " + std::to_string(FAKE_KEY_TEST_LIMIT) +
                       " times without a key; reporting one to end it");
        }
        waiting = 1;
    }
    logged(call).result = waiting;
    return waiting;
}

void process_exit(int status)
{
    const std::size_t call = log_call(FAKE_PROCESS_EXIT);
    logged(call).value = static_cast<std::uint32_t>(status);
    logged(call).result = status;
    throw FakeProcessExit{status};
}

int interrupt_hold_begin(const char* notice)
{
    const std::size_t call = log_call(FAKE_INTERRUPT_HOLD_BEGIN);
    logged(call).text = notice != nullptr ? notice : "";
    if (scripted_failure(FAKE_INTERRUPT_HOLD_BEGIN)) {
        return fail_with(call, fake.last_error);
    }
    if (!interrupt_state_push(notice)) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    logged(call).result = 1;
    return 1;
}

int interrupt_hold_notice(const char* notice)
{
    const std::size_t call = log_call(FAKE_INTERRUPT_HOLD_NOTICE);
    logged(call).text = notice != nullptr ? notice : "";
    if (!interrupt_state_notice(notice)) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    logged(call).result = 1;
    return 1;
}

int interrupt_hold_end()
{
    const std::size_t call = log_call(FAKE_INTERRUPT_HOLD_END);
    if (!interrupt_state_pop()) {
        fake_fault("interrupt_hold_end without a hold");
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    logged(call).result = 1;
    return 1;
}

int interrupt_listen_on_input()
{
    const std::size_t call = log_call(FAKE_INTERRUPT_LISTEN);
    if (interrupt_state_depth() > 0) {
        return fail_with(call, PLATFORM_ERROR_INVALID_PARAMETER);
    }
    fake.interrupt_listening = 1;
    logged(call).result = 1;
    return 1;
}

// The public serial calls over the serial_native_* calls above, and the
// interrupt state the real platforms share, in this same object for the
// reason given at the top.
#include "platform/serial_observer.cpp"
#include "platform/interrupt_state.cpp"
