// The wire trace recorder.
#include "trace/trace_record.h"

#include "platform/platform_files.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace {

// MARROWLINK_PLATFORM_NAME ("linux", "windows") is set by CMake from the
// target system.

const char* trace_control_name(std::uint8_t control)
{
    switch (control) {
    case SERIAL_DTR_CONTROL_DISABLE: return "disable";
    case SERIAL_DTR_CONTROL_ENABLE: return "enable";
    default: return "handshake";
    }
}

const char* trace_parity_name(std::uint8_t parity)
{
    switch (parity) {
    case SERIAL_NOPARITY: return "none";
    case SERIAL_ODDPARITY: return "odd";
    case SERIAL_EVENPARITY: return "even";
    case 3: return "mark";
    case 4: return "space";
    default: return "unknown";
    }
}

void trace_state_fields(const SerialState& state, TraceJson& event)
{
    event["baud"] = state.baud_rate;
    event["data_bits"] = state.byte_size;
    event["parity"] = trace_parity_name(state.parity);
    if (state.stop_bits == SERIAL_ONESTOPBIT || state.stop_bits == SERIAL_TWOSTOPBITS) {
        event["stop_bits"] = state.stop_bits == SERIAL_ONESTOPBIT ? 1 : 2;
    } else {
        event["stop_bits"] = 1.5;
    }
    event["dtr"] = trace_control_name(state.dtr_control);
    event["rts"] = trace_control_name(state.rts_control);
    if (state.outx_cts_flow || state.outx_dsr_flow || state.out_x || state.in_x) {
        event["flow"] = TraceJson{{"cts", state.outx_cts_flow != 0},
                                  {"dsr", state.outx_dsr_flow != 0},
                                  {"xon_xoff_out", state.out_x != 0},
                                  {"xon_xoff_in", state.in_x != 0}};
    }
}

void trace_escape_fields(std::uint32_t function, TraceJson& event)
{
    switch (function) {
    case SERIAL_SETRTS: event["line"] = "rts"; event["level"] = 1; break;
    case SERIAL_CLRRTS: event["line"] = "rts"; event["level"] = 0; break;
    case SERIAL_SETDTR: event["line"] = "dtr"; event["level"] = 1; break;
    case SERIAL_CLRDTR: event["line"] = "dtr"; event["level"] = 0; break;
    default: event["function"] = function; break;
    }
}

bool trace_timeouts_at_once(const SerialTimeouts& t)
{
    return t.read_interval == SERIAL_TIMEOUT_MAXDWORD && t.read_total_multiplier == 0 && t.read_total_constant == 0;
}

}  // namespace

std::string trace_utc_now()
{
    const std::time_t now = std::time(nullptr);
    const std::tm* utc = std::gmtime(&now);
    char text[32] = "";
    if (utc != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    }
    return text;
}

TraceRecorder::TraceRecorder(const std::string& path, const TraceHeader& header)
{
    // Binary: one "\n" per line on every platform. Private: the download tool
    // the traced command starts must not inherit the file.
    file_ = file_open_private(path.c_str(), "wb");
    if (file_ == nullptr) {
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    }
    path_ = path;
    start_us_ = serial_observer_now_us();
    write_line(TraceJson{{"event", "header"},
                         {"format", TRACE_FORMAT},
                         {"program", header.program},
                         {"command", header.command},
                         {"port", header.port},
                         {"platform", MARROWLINK_PLATFORM_NAME},
                         {"start", trace_utc_now()}});
    // A file that takes not even the header (a full disk) is refused before
    // the run starts, as one that cannot be created.
    if (!problem_.empty()) {
        std::fclose(file_);
        throw std::runtime_error(problem_);
    }
}

TraceRecorder::~TraceRecorder()
{
    close();
}

void TraceRecorder::close()
{
    if (file_ == nullptr) {
        return;
    }
    stop();
    TraceJson held = TraceJson::array();
    decoder_.restart(TracePhase::unknown, held);
    if (!held.empty()) {
        write_line(TraceJson{{"t_us", serial_observer_now_us() - start_us_}, {"event", "end"}, {"decoded", held}});
    }
    if (std::fclose(file_) != 0 && problem_.empty()) {
        note_write_failure();
    }
    file_ = nullptr;
}

void TraceRecorder::start()
{
    serial_observer_set(&TraceRecorder::observe, this);
    observing_ = true;
}

void TraceRecorder::stop()
{
    if (observing_) {
        serial_observer_set(nullptr, nullptr);
        observing_ = false;
    }
}

void TraceRecorder::observe(const SerialCallRecord* call, void* context)
{
    static_cast<TraceRecorder*>(context)->record(*call);
}

void TraceRecorder::write_line(const TraceJson& object)
{
    // A trace that can no longer be written must not stop the run it watches:
    // the trace ends at the last whole line, and problem() says why. Nothing is
    // written after a failure, so a line cut by a full disk stays the last.
    if (!problem_.empty()) {
        return;
    }
    // Arguments and port names need not be UTF-8 (an accented file name on
    // Windows): such bytes become replacement characters, never an error.
    const std::string line = object.dump(-1, ' ', false, TraceJson::error_handler_t::replace) + "\n";
    // The flush is where a full disk shows: fwrite only fills the buffer.
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        note_write_failure();
        return;
    }
    ++lines_written_;
}

void TraceRecorder::note_write_failure()
{
    problem_ = "cannot write " + path_ + ": " + std::strerror(errno);
}

void TraceRecorder::record(const SerialCallRecord& call)
{
    if (call.call == SERIAL_CALL_READ && call.result && call.byte_count == 0 && reads_at_once_[call.port]) {
        return;
    }
    TraceJson event{{"t_us", call.time_us >= start_us_ ? call.time_us - start_us_ : 0}};
    TraceJson decoded = TraceJson::array();
    switch (call.call) {
    case SERIAL_CALL_OPEN:
        event["event"] = "open";
        event["port"] = call.device_path != nullptr ? call.device_path : "";
        reads_at_once_[call.port] = false;
        decoder_.restart(TracePhase::unknown, decoded);
        break;
    case SERIAL_CALL_SETUP:
        event["event"] = "setup";
        event["queue"] = call.value;
        break;
    case SERIAL_CALL_GET_STATE:
        event["event"] = "get_state";
        if (call.state != nullptr) {
            trace_state_fields(*call.state, event);
        }
        break;
    case SERIAL_CALL_SET_STATE:
        event["event"] = "settings";
        if (call.state != nullptr) {
            trace_state_fields(*call.state, event);
            const TracePhase phase = call.result ? trace_phase_of(*call.state) : TracePhase::unknown;
            event["phase"] = trace_phase_name(phase);
            if (phase != decoder_.phase()) {
                decoder_.restart(phase, decoded);
            }
        }
        break;
    case SERIAL_CALL_SET_TIMEOUTS:
        event["event"] = "timeouts";
        if (call.timeouts != nullptr) {
            const SerialTimeouts& t = *call.timeouts;
            event["read_interval_ms"] = t.read_interval;
            event["read_multiplier_ms"] = t.read_total_multiplier;
            event["read_constant_ms"] = t.read_total_constant;
            event["write_multiplier_ms"] = t.write_total_multiplier;
            event["write_constant_ms"] = t.write_total_constant;
            reads_at_once_[call.port] = call.result && trace_timeouts_at_once(t);
        }
        break;
    case SERIAL_CALL_PURGE:
        event["event"] = "purge";
        event["rx"] = (call.value & (SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR)) != 0;
        event["tx"] = (call.value & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) != 0;
        break;
    case SERIAL_CALL_ESCAPE:
        event["event"] = "modem";
        trace_escape_fields(call.value, event);
        break;
    case SERIAL_CALL_READ:
    case SERIAL_CALL_WRITE: {
        const bool is_read = call.call == SERIAL_CALL_READ;
        event["event"] = is_read ? "read" : "write";
        event["bytes"] = trace_hex(call.bytes, call.byte_count);
        event["asked"] = call.value;
        event["phase"] = trace_phase_name(decoder_.phase());
        decoder_.feed(is_read ? TraceDirection::from_device : TraceDirection::to_device, call.bytes, call.byte_count,
                      decoded);
        break;
    }
    case SERIAL_CALL_CLOSE:
        event["event"] = "close";
        reads_at_once_.erase(call.port);
        decoder_.restart(TracePhase::unknown, decoded);
        break;
    }
    if (!call.result) {
        event["ok"] = false;
        event["error"] = call.error;
    }
    if (!decoded.empty()) {
        event["decoded"] = std::move(decoded);
    }
    write_line(event);
}
