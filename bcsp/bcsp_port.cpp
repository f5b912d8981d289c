// The BCSP port driver: port set-up, the engine's byte calls, the bounded
// wait loop and the held packet.
#include "bcsp/bcsp_port.h"

#include <cstdio>
#include <cstring>

PlatformHandle bcsp_port_handle = PLATFORM_INVALID_HANDLE;
int bcsp_diagnostics = 0;

namespace {

BcspPacket bcsp_tx_packet;
std::uint8_t bcsp_tx_buffer[BCSP_TX_BUFFER_BYTES];

std::uint8_t bcsp_rx_buffer[BCSP_RX_BUFFER_BYTES];
BcspPacket bcsp_rx_packet;

// The last packet received, until a receive call takes or discards it;
// length 0 means none. Only channel, length and payload are used.
std::uint8_t bcsp_held_buffer[BCSP_RX_BUFFER_BYTES];
BcspPacket bcsp_held_packet;

std::uint8_t bcsp_activity;

// Input read ahead by the idle pause, in arrival order, for bcsp_get_uart to
// hand out before it reads the port again. Positions count the bytes received
// since the port was opened, whether read ahead or read by the engine itself.
std::uint8_t bcsp_input[BCSP_INPUT_AHEAD_BYTES];
std::uint64_t bcsp_input_received;  // bytes received so far
std::uint64_t bcsp_input_taken;     // of those, bytes the engine has taken
std::uint64_t bcsp_input_frame_end; // position just past the last frame end received
std::uint32_t bcsp_input_run;       // bytes since the last delimiter

// Drops what was read ahead: at open and close, together with the port's purge.
void bcsp_input_clear()
{
    bcsp_input_received = 0;
    bcsp_input_taken = 0;
    bcsp_input_frame_end = 0;
    bcsp_input_run = 0;
}

// Notes one received byte. A delimiter after at least a header's worth of
// other bytes may close a frame the engine can act on.
void bcsp_input_note(std::uint8_t byte)
{
    bcsp_input_received += 1;
    if (byte != SLIP_END) {
        bcsp_input_run += 1;
        return;
    }
    if (bcsp_input_run >= BCSP_HEADER_BYTES) {
        bcsp_input_frame_end = bcsp_input_received;
    }
    bcsp_input_run = 0;
}

int bcsp_input_frame_waiting()
{
    return bcsp_input_frame_end > bcsp_input_taken ? 1 : 0;
}

// Reads what the port holds into the read-ahead buffer. Returns the number of
// bytes read: 0 when the buffer is full, nothing was waiting or the read failed.
std::uint32_t bcsp_input_fill()
{
    const std::uint64_t held = bcsp_input_received - bcsp_input_taken;
    const std::uint32_t at = static_cast<std::uint32_t>(bcsp_input_received % BCSP_INPUT_AHEAD_BYTES);
    // Up to the end of the ring; the rest comes at the next fill.
    std::uint32_t room = BCSP_INPUT_AHEAD_BYTES - at;
    if (room > BCSP_INPUT_AHEAD_BYTES - held) {
        room = static_cast<std::uint32_t>(BCSP_INPUT_AHEAD_BYTES - held);
    }
    std::uint32_t got = 0;
    if (room == 0 || !serial_read(bcsp_port_handle, bcsp_input + at, room, &got)) {
        return 0;
    }
    for (std::uint32_t i = 0; i < got; ++i) {
        bcsp_input_note(bcsp_input[at + i]);
    }
    return got;
}

// Closes the handle of a port that is not (or no longer) usable, without the
// purge of an orderly close, and ends the raised timer resolution.
void bcsp_port_release()
{
    serial_close(bcsp_port_handle);
    bcsp_port_handle = PLATFORM_INVALID_HANDLE;
    bcsp_input_clear();
    timer_precise_end();
}

// Notes how an open ended for its caller, when it asked.
int bcsp_open_note(BcspOpenResult* result, int step, std::uint32_t os_error, std::uint32_t link_timeout_ms)
{
    if (result != nullptr) {
        *result = {step, os_error, link_timeout_ms};
    }
    return step == BCSP_OPEN_STEP_NONE ? 1 : 0;
}

// The failure line of a set-up call, then the port is given up.
int bcsp_port_fail(const char* format, BcspOpenResult* result, std::uint32_t link_timeout_ms)
{
    bcsp_open_note(result, BCSP_OPEN_STEP_SETTINGS, platform_last_error(), link_timeout_ms);
    if (bcsp_diagnostics) {
        console_printf(format, static_cast<int>(platform_last_error()));
    }
    bcsp_port_release();
    return 0;
}

void bcsp_port_configure(SerialState* state, int baud)
{
    state->length = SERIAL_STATE_LENGTH;
    state->baud_rate = static_cast<std::uint32_t>(baud);
    state->binary = 1;
    state->parity_check = 1;
    state->outx_cts_flow = 0;
    state->outx_dsr_flow = 0;
    state->dtr_control = SERIAL_DTR_CONTROL_DISABLE;  // DTR held low
    state->out_x = 0;
    state->in_x = 0;
    state->error_char_replace = 0;
    state->null_discard = 0;
    state->rts_control = SERIAL_RTS_CONTROL_ENABLE;  // RTS held high
    state->abort_on_error = 0;
    state->xon_lim = BCSP_PORT_XON_LIMIT;
    state->xoff_lim = BCSP_PORT_XOFF_LIMIT;
    state->byte_size = 8;
    state->parity = SERIAL_EVENPARITY;
    state->stop_bits = SERIAL_ONESTOPBIT;
    state->xon_char = BCSP_PORT_XON_CHAR;
    state->xoff_char = BCSP_PORT_XOFF_CHAR;
}

// Hands the receive buffer to the engine with its whole capacity.
void bcsp_rx_arm()
{
    bcsp_rx_packet.payload = bcsp_rx_buffer;
    bcsp_rx_packet.length = BCSP_RX_BUFFER_BYTES;
    bcsp_receive_packet(&bcsp_rx_packet);
}

// Takes the packet the engine just delivered into the held record (replacing
// one not yet consumed) and re-arms reception.
void bcsp_rx_take()
{
    bcsp_held_packet.channel = bcsp_rx_packet.channel;
    bcsp_held_packet.length = bcsp_rx_packet.length;
    std::memcpy(bcsp_held_buffer, bcsp_rx_buffer, bcsp_rx_packet.length);
    bcsp_rx_arm();
}

}  // namespace

int bcsp_port_open(int port, int baud)
{
    return bcsp_port_open_within(port, baud, BCSP_LINK_TIMEOUT_MS);
}

int bcsp_port_open_within(int port, int baud, std::uint32_t link_timeout_ms, BcspOpenResult* result)
{
    char device_name[BCSP_PORT_PATH_SIZE] = {};
    const int name_length = std::snprintf(device_name, sizeof device_name, "\\\\.\\COM%d", port);
    if (name_length < 0 || name_length >= BCSP_PORT_PATH_SIZE) {
        // A cut-off name would open another port.
        return bcsp_open_note(result, BCSP_OPEN_STEP_OPEN, PLATFORM_ERROR_INVALID_PARAMETER, link_timeout_ms);
    }
    return bcsp_port_open_path(device_name, baud, link_timeout_ms, result);
}

int bcsp_port_open_path(const char* device_path, int baud, std::uint32_t link_timeout_ms, BcspOpenResult* result)
{
    bcsp_port_handle = serial_open(device_path);
    if (bcsp_port_handle == PLATFORM_INVALID_HANDLE) {
        const std::uint32_t error = platform_last_error();
        bcsp_open_note(result, BCSP_OPEN_STEP_OPEN, error, link_timeout_ms);
        if (bcsp_diagnostics) {
            console_printf("CreateFile for %s failed %d\n", device_path, static_cast<int>(error));
        }
        return 0;
    }
    // The wait loop's 1 ms sleeps must really be 1 ms while the port is open.
    timer_precise_begin();

    if (!serial_setup(bcsp_port_handle, BCSP_PORT_QUEUE_SIZE, BCSP_PORT_QUEUE_SIZE)) {
        return bcsp_port_fail("SetupComm failed %d\n", result, link_timeout_ms);
    }
    SerialState state = {};
    state.length = SERIAL_STATE_LENGTH;
    if (!serial_get_state(bcsp_port_handle, &state)) {
        return bcsp_port_fail("GetCommState failed %d\n", result, link_timeout_ms);
    }
    bcsp_port_configure(&state, baud);
    if (!serial_set_state(bcsp_port_handle, &state)) {
        return bcsp_port_fail("SetCommState failed %d\n", result, link_timeout_ms);
    }
    // Without "return at once" reads the engine's byte read could block for
    // as long as the chip stays silent, past every deadline of this driver.
    if (!serial_set_timeouts(bcsp_port_handle, &BCSP_PORT_TIMEOUTS)) {
        return bcsp_port_fail("SetCommTimeouts failed %d\n", result, link_timeout_ms);
    }
    // A failed purge only leaves stale bytes, which fail the frame checks.
    serial_purge(bcsp_port_handle, SERIAL_PURGE_ALL);
    bcsp_input_clear();

    // A packet left with the engine by an earlier link (a send that ran out
    // of time, or one never acknowledged before the close) belongs to that
    // link: it must not go out to the chip on this one.
    bcsp_send_packet(nullptr);
    bcsp_initialize();
    bcsp_held_packet.length = 0;
    bcsp_held_packet.payload = bcsp_held_buffer;
    bcsp_rx_arm();

    // No packet is handed in, so the ACTIVITY_SENT that ends this wait is the
    // engine's report that link establishment has completed.
    if (!bcsp_port_wait(BCSP_WAIT_SENT, deadline_after_ms(link_timeout_ms))) {
        bcsp_port_close();
        return bcsp_open_note(result, BCSP_OPEN_STEP_LINK, 0, link_timeout_ms);
    }
    return bcsp_open_note(result, BCSP_OPEN_STEP_NONE, 0, link_timeout_ms);
}

void bcsp_port_close()
{
    if (bcsp_port_handle == PLATFORM_INVALID_HANDLE) {
        return;
    }
    serial_purge(bcsp_port_handle, SERIAL_PURGE_ALL);
    bcsp_port_release();
}

int bcsp_port_wait(int mode, Deadline deadline)
{
    for (;;) {
        const std::uint8_t delay_hint = bcsp_poll(&bcsp_activity);
        // A packet that comes with the acknowledgement is taken first, so a
        // send's wait keeps it for the next receive call.
        if ((bcsp_activity & ACTIVITY_RECEIVED) != 0) {
            bcsp_rx_take();
            if (mode == BCSP_WAIT_RECEIVED) {
                return 1;
            }
        }
        if ((bcsp_activity & ACTIVITY_SENT) != 0 && mode == BCSP_WAIT_SENT) {
            return 1;
        }
        if (deadline_expired(deadline)) {
            if (bcsp_diagnostics) {
                console_printf("BCSP wait timed out\n");
            }
            return 0;
        }
        if (delay_hint != 0) {
            bcsp_port_idle();
        }
    }
}

void bcsp_port_idle()
{
    const Deadline longest = deadline_after_ms(BCSP_IDLE_PAUSE_MAX_MS);
    // A full read-ahead buffer ends the pause too: the engine empties it.
    while (!bcsp_input_frame_waiting() && bcsp_input_received - bcsp_input_taken < BCSP_INPUT_AHEAD_BYTES) {
        if (!serial_wait_input(bcsp_port_handle, BCSP_IDLE_POLL_SLEEP_MS)) {
            return;  // a quiet millisecond
        }
        if (bcsp_input_fill() == 0) {
            // Input reported but none to read (a line that hung up, a failed
            // read): pause as a plain sleep would, then poll.
            sleep_ms(BCSP_IDLE_POLL_SLEEP_MS);
            return;
        }
        if (deadline_expired(longest)) {
            return;
        }
    }
}

int bcsp_port_send(const std::uint8_t* payload, std::uint16_t length, std::uint8_t channel)
{
    if (bcsp_port_handle == PLATFORM_INVALID_HANDLE || length > BCSP_TX_BUFFER_BYTES ||
        (payload == nullptr && length != 0)) {
        return 0;
    }
    if (length != 0) {
        std::memcpy(bcsp_tx_buffer, payload, length);
    }
    bcsp_tx_packet.channel = channel;
    bcsp_tx_packet.reliable = 1;
    bcsp_tx_packet.use_crc = 1;
    bcsp_tx_packet.length = length;
    bcsp_tx_packet.payload = length != 0 ? bcsp_tx_buffer : nullptr;

    if (bcsp_diagnostics) {
        console_printf("Write BCSP: send packet\n");
    }
    bcsp_send_packet(&bcsp_tx_packet);
    if (!bcsp_port_wait(BCSP_WAIT_SENT, deadline_after_ms(BCSP_SEND_TIMEOUT_MS))) {
        // The caller is told the send failed: the engine stops sending it.
        bcsp_send_packet(nullptr);
        return 0;
    }
    return 1;
}

int bcsp_port_receive(std::uint8_t* buffer, std::size_t capacity, int channel)
{
    if (bcsp_port_handle == PLATFORM_INVALID_HANDLE || buffer == nullptr) {
        return 0;
    }
    const Deadline deadline = deadline_after_ms(BCSP_RECEIVE_TIMEOUT_MS);
    for (;;) {
        // A packet already held is delivered before any polling.
        if (bcsp_held_packet.length != 0) {
            const std::uint16_t length = bcsp_held_packet.length;
            bcsp_held_packet.length = 0;
            if (bcsp_diagnostics) {
                console_printf("received packet on channel %d len = %d\n", bcsp_held_packet.channel, length);
            }
            // A packet that does not fit the caller's buffer is discarded
            // whole, never cut short and passed up as if complete.
            if (bcsp_held_packet.channel == channel && length <= capacity) {
                std::memcpy(buffer, bcsp_held_buffer, length);
                return length;
            }
        }
        if (!bcsp_port_wait(BCSP_WAIT_RECEIVED, deadline)) {
            return 0;
        }
    }
}

void bcsp_put_uart(std::uint8_t byte)
{
    std::uint32_t written = 0;
    if (!serial_write(bcsp_port_handle, &byte, 1, &written) && bcsp_diagnostics) {
        console_printf("Write Failed: %d\n", static_cast<int>(platform_last_error()));
    }
}

std::uint8_t bcsp_get_uart(std::uint8_t* out)
{
    if (bcsp_input_taken < bcsp_input_received) {
        *out = bcsp_input[bcsp_input_taken % BCSP_INPUT_AHEAD_BYTES];
        bcsp_input_taken += 1;
        return 1;
    }
    std::uint32_t read = 0;
    if (!serial_read(bcsp_port_handle, out, 1, &read)) {
        if (bcsp_diagnostics) {
            console_printf("BCSP Read Uart failed\n");
        }
        return 0;
    }
    if (read != 1) {
        return 0;
    }
    bcsp_input_note(*out);
    bcsp_input_taken += 1;
    return 1;
}
