#include "cmdport/command_port.h"

#include <cstdio>
#include <cstring>

PlatformHandle command_port_handle = PLATFORM_INVALID_HANDLE;
int command_port_diagnostics = 0;

namespace {

// Where command_port_read_byte notes the bytes it receives while a step of
// the open that the caller's report keeps is reading; nowhere otherwise, and
// nowhere once the open has returned.
struct CommandPortCapture {
    std::uint8_t* bytes;
    int capacity;
    int* length;
    int* silent;
};
CommandPortCapture command_port_capture = {};

void command_port_capture_into(std::uint8_t* bytes, int capacity, int* length, int* silent)
{
    *length = 0;
    *silent = 0;
    command_port_capture = {bytes, capacity, length, silent};
}

void command_port_capture_read(std::uint8_t byte, std::uint32_t count)
{
    if (command_port_capture.bytes == nullptr) {
        return;
    }
    *command_port_capture.silent = count == 0 ? 1 : 0;
    if (count != 0 && *command_port_capture.length < command_port_capture.capacity) {
        command_port_capture.bytes[(*command_port_capture.length)++] = byte;
    }
}

// Closes without purging: the clean-up of every failed step of the open.
int command_port_release()
{
    serial_close(command_port_handle);
    command_port_handle = PLATFORM_INVALID_HANDLE;
    return 0;
}

// A failed step: noted in the report, then released.
int command_port_fail(CommandPortReport* report, int step)
{
    report->failed_step = step;
    report->os_error = platform_last_error();
    command_port_capture = {};
    return command_port_release();
}

// The Plug-and-Play phase: 1200 8N1, no flow control, both modem lines under
// the caller's control (toggle_modem_lines drives them).
void command_port_pnp_settings(SerialState* state)
{
    state->baud_rate = PNP_BAUD_RATE;
    state->byte_size = 8;
    state->parity = SERIAL_NOPARITY;
    state->stop_bits = SERIAL_ONESTOPBIT;
    state->binary = 1;
    state->parity_check = 0;
    state->outx_cts_flow = 0;
    state->outx_dsr_flow = 0;
    state->dtr_control = SERIAL_DTR_CONTROL_DISABLE;
    state->rts_control = SERIAL_RTS_CONTROL_DISABLE;
    state->out_x = 0;
    state->in_x = 0;
    state->error_char_replace = 0;
    state->null_discard = 0;
    state->abort_on_error = 0;
    state->xon_lim = COMMAND_PORT_XON_LIMIT;
    state->xoff_lim = COMMAND_PORT_XOFF_LIMIT;
    state->xon_char = COMMAND_PORT_XON_CHAR;
    state->xoff_char = COMMAND_PORT_XOFF_CHAR;
}

void command_port_diagnostic_error(const char* format)
{
    if (command_port_diagnostics) {
        console_printf(format, static_cast<int>(platform_last_error()));
    }
}

void command_port_echo(std::uint8_t byte)
{
    if (command_port_diagnostics) {
        console_printf("%c", byte);
    }
}

int pnp_identifier_char_matches(int position, std::uint8_t byte)
{
    return byte == static_cast<std::uint8_t>(PNP_IDENTIFIER_SECOND[position]) ||
           byte == static_cast<std::uint8_t>(PNP_IDENTIFIER_FIRST[position]);
}

}  // namespace

int command_port_open(int port_number, CommandPortReport* report)
{
    char path[COMMAND_PORT_PATH_SIZE] = {};
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", port_number);
    return command_port_open_path(path, report);
}

int command_port_open_path(const char* path, CommandPortReport* caller_report)
{
    CommandPortReport scratch;
    CommandPortReport* report = caller_report != nullptr ? caller_report : &scratch;
    *report = {};
    command_port_handle = serial_open(path);
    if (command_port_handle == PLATFORM_INVALID_HANDLE) {
        report->failed_step = COMMAND_PORT_STEP_OPEN;
        report->os_error = platform_last_error();
        if (command_port_diagnostics) {
            console_printf("CreateFile for %s failed %d\n", path, static_cast<int>(report->os_error));
        }
        return 0;
    }
    if (!serial_setup(command_port_handle, COMMAND_PORT_QUEUE_SIZE, COMMAND_PORT_QUEUE_SIZE)) {
        command_port_diagnostic_error("SetupComm failed %d\n");
        return command_port_fail(report, COMMAND_PORT_STEP_SETTINGS);
    }
    SerialState state{};
    state.length = SERIAL_STATE_LENGTH;
    if (!serial_get_state(command_port_handle, &state)) {
        command_port_diagnostic_error("GetCommState failed %d\n");
        return command_port_fail(report, COMMAND_PORT_STEP_SETTINGS);
    }
    command_port_pnp_settings(&state);
    if (!serial_set_state(command_port_handle, &state)) {
        command_port_diagnostic_error("SetCommState failed %d\n");
        return command_port_fail(report, COMMAND_PORT_STEP_SETTINGS);
    }
    // A port that refuses the time-outs or the purge still gets its chance:
    // the Plug-and-Play check below tells whether the adapter answers.
    serial_set_timeouts(command_port_handle, &COMMAND_PORT_TIMEOUTS);
    serial_purge(command_port_handle, SERIAL_PURGE_ALL);

    toggle_modem_lines();
    command_port_capture_into(report->pnp_reply, PNP_REPLY_MAX_BYTES, &report->pnp_reply_length,
                              &report->pnp_silent);
    if (!check_pnp_reply()) {
        if (command_port_diagnostics) {
            console_printf("Do PNP failed\n");
        }
        return command_port_fail(report, COMMAND_PORT_STEP_PNP_REPLY);
    }
    state.rts_control = SERIAL_RTS_CONTROL_ENABLE;
    state.baud_rate = HANDSHAKE_BAUD_RATE;
    if (!serial_set_state(command_port_handle, &state)) {
        command_port_diagnostic_error("SetCommState failed %d\n");
        return command_port_fail(report, COMMAND_PORT_STEP_HANDSHAKE_SPEED);
    }
    sleep_ms(HANDSHAKE_SETTLE_MS);
    command_port_capture_into(report->handshake_answer, SETUP_TEXT_LENGTH, &report->handshake_answer_length,
                              &report->handshake_silent);
    if (!setup_handshake()) {
        if (command_port_diagnostics) {
            console_printf("PNP HS Failed\n");
        }
        return command_port_fail(report, COMMAND_PORT_STEP_HANDSHAKE);
    }
    command_port_capture = {};
    return 1;
}

void command_port_close()
{
    if (command_port_handle == PLATFORM_INVALID_HANDLE) {
        return;
    }
    serial_purge(command_port_handle, SERIAL_PURGE_ALL);
    serial_close(command_port_handle);
    command_port_handle = PLATFORM_INVALID_HANDLE;
}

int command_port_write(const void* bytes, int count)
{
    std::uint32_t written = 0;
    if (count < 0 || !serial_write(command_port_handle, bytes, static_cast<std::uint32_t>(count), &written)) {
        command_port_diagnostic_error("Write Failed: %d\n");
    }
    return static_cast<int>(written);
}

std::uint8_t command_port_read_byte()
{
    std::uint8_t byte = 0;
    std::uint32_t read = 0;
    if (!serial_read(command_port_handle, &byte, 1, &read)) {
        command_port_capture_read(0, 0);
        if (command_port_diagnostics) {
            console_printf("ReadChar failed\n");
        }
        return 0;
    }
    command_port_capture_read(byte, read);
    return byte;
}

int command_port_read(void* buffer, int count)
{
    std::uint32_t read = 0;
    if (count < 0 || !serial_read(command_port_handle, buffer, static_cast<std::uint32_t>(count), &read)) {
        command_port_diagnostic_error("Read Failed %d\n");
        return 0;
    }
    return static_cast<int>(read);
}

void set_rts(int on)
{
    serial_escape(command_port_handle, on ? SERIAL_SETRTS : SERIAL_CLRRTS);
}

void set_dtr(int on)
{
    serial_escape(command_port_handle, on ? SERIAL_SETDTR : SERIAL_CLRDTR);
}

// The serial Plug-and-Play wake-up: both lines low, then DTR pulsed, and the
// adapter answers when RTS rises with DTR high. Line-change failures are
// ignored: a port without modem lines still gets to the reply check.
void toggle_modem_lines()
{
    set_rts(0);
    set_dtr(0);
    sleep_ms(MODEM_LINES_RESET_MS);
    set_rts(0);
    set_dtr(1);
    sleep_ms(MODEM_LINES_STEP_MS);
    set_dtr(0);
    sleep_ms(MODEM_LINES_STEP_MS);
    set_dtr(1);
    sleep_ms(MODEM_LINES_STEP_MS);
    set_rts(1);
    sleep_ms(MODEM_LINES_STEP_MS);
}

// "(", two bytes compared with nothing, the identifier (each of its seven
// characters may come from either accepted identifier), anything, ")".
int check_pnp_reply()
{
    if (command_port_diagnostics) {
        console_printf("Waiting for PNP Reply\n");
    }
    if (command_port_read_byte() != PNP_REPLY_BEGIN) {
        return 0;
    }
    for (int i = 0; i < PNP_IGNORED_BYTES; ++i) {
        command_port_read_byte();
    }
    int bytes_read = 1 + PNP_IGNORED_BYTES;
    int silent_reads = 0;
    for (int position = 0; bytes_read < PNP_REPLY_MAX_BYTES; ++position) {
        const std::uint8_t byte = command_port_read_byte();
        bytes_read += 1;
        if (byte == PNP_REPLY_END) {
            return 1;
        }
        command_port_echo(byte);
        if (position < PNP_IDENTIFIER_LENGTH) {
            if (!pnp_identifier_char_matches(position, byte)) {
                return 0;
            }
        } else if (byte != 0) {
            silent_reads = 0;
        } else if (++silent_reads >= PNP_SILENT_READS_MAX) {
            return 0;
        }
    }
    return 0;
}

int setup_handshake()
{
    if (command_port_write(SETUP_REQUEST, SETUP_TEXT_LENGTH) == 0) {
        command_port_diagnostic_error("Write Setup Request failed: %d\n");
        return 0;
    }
    if (command_port_diagnostics) {
        console_printf("\n");
    }
    for (int i = 0; i < SETUP_TEXT_LENGTH; ++i) {
        const std::uint8_t byte = command_port_read_byte();
        command_port_echo(byte);
        if (byte != static_cast<std::uint8_t>(SETUP_ANSWER[i])) {
            return 0;
        }
    }
    if (command_port_diagnostics) {
        console_printf("\n");
    }
    return 1;
}
