// Decoding the bytes of a wire trace, one direction of the line at a time:
// what the bytes mean in the phase the line is in.
//
//   pnp      1200 8N1    the Plug-and-Play reply
//   command  115200 8N1  the setup handshake, adapter commands, reply frames
//   bcsp     115200 8E1  BCSP frames and the BCCMD messages they carry
//
// Bytes are fed as they crossed the port; each unit they complete (a reply,
// a frame, a run of bytes that fit nothing) comes out as one JSON object with
// "kind" and "bytes" (the unit's bytes in hex) and its decoded fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"

using TraceJson = nlohmann::ordered_json;

enum class TracePhase { unknown, pnp, command, bcsp };

// "unknown", "pnp", "command", "bcsp".
const char* trace_phase_name(TracePhase phase);
// The phase the line settings are for.
TracePhase trace_phase_of(const SerialState& state);

enum class TraceDirection { to_device, from_device };

class TraceStreamDecoder {
public:
    explicit TraceStreamDecoder(TraceDirection direction) : direction_(direction) {}

    // Starts afresh in a phase. What was held of an unfinished unit is
    // appended to out as a unit with "complete": false.
    void restart(TracePhase phase, TraceJson& out);
    void feed(const std::uint8_t* bytes, std::size_t count, TraceJson& out);
    TracePhase phase() const { return phase_; }

private:
    void feed_byte(std::uint8_t byte, TraceJson& out);
    void feed_pnp(std::uint8_t byte, TraceJson& out);
    void feed_command_out(std::uint8_t byte, TraceJson& out);
    void feed_command_in(std::uint8_t byte, TraceJson& out);
    void feed_bcsp(std::uint8_t byte, TraceJson& out);
    void emit(TraceJson unit, TraceJson& out);
    void emit_other(TraceJson& out);
    void bcsp_frame_end(TraceJson& out);

    TraceDirection direction_;
    TracePhase phase_ = TracePhase::unknown;
    std::vector<std::uint8_t> unit_;   // raw bytes of the unit being collected
    std::vector<std::uint8_t> other_;  // bytes that fit no unit, not yet reported
    // command phase, from the device: the handshake answer comes first
    bool handshake_done_ = false;
    // bcsp: de-escaped frame bytes, escape pending, inside a frame
    std::vector<std::uint8_t> frame_;
    bool escape_ = false;
    bool in_frame_ = false;
    // the last reliable frame, to tell a retransmission
    std::string last_reliable_;
};

// Both directions of one port.
class TraceDecoder {
public:
    void restart(TracePhase phase, TraceJson& out);
    void feed(TraceDirection direction, const std::uint8_t* bytes, std::size_t count, TraceJson& out);
    TracePhase phase() const { return to_device_.phase(); }

private:
    TraceStreamDecoder to_device_{TraceDirection::to_device};
    TraceStreamDecoder from_device_{TraceDirection::from_device};
};

std::string trace_hex(const std::uint8_t* bytes, std::size_t count);
// Printable text: other bytes (and \\ and ") as \xNN, so that any bytes make
// valid JSON and a readable line.
std::string trace_text(const std::uint8_t* bytes, std::size_t count);
// Decodes hex text; false when it is not an even number of hex digits.
bool trace_unhex(const std::string& text, std::vector<std::uint8_t>* bytes);

// A BCCMD message (the payload of a channel-2 packet) decoded.
TraceJson trace_bccmd_decode(const std::uint8_t* bytes, std::size_t count);
