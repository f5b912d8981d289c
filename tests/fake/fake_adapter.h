// A scripted adapter for the command-port phase, plugged into the fake serial
// port as a FakeSerialDevice. It answers the modem-line wake-up with its
// Plug-and-Play reply, the setup request with its handshake answer and the
// identify command with its reply frames, and records every command it gets.
//
// Each answer goes out as one burst, reply_delay_ms after its trigger; an
// empty answer leaves the adapter silent at that step.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct FakeAdapter {
    std::string pnp_reply;          // when RTS rises with DTR high at 1200 baud
    std::string handshake_answer;   // after the 15-byte setup request at 115200 baud
    std::string identify_reply;     // after 01 F7 00 00: whole reply frames
    std::uint32_t reply_delay_ms;

    // What the adapter saw.
    std::uint32_t baud_rate;
    int dtr;
    int rts;
    int pnp_replies_sent;
    int handshakes_answered;
    std::string setup_request;                 // bytes taken as the setup request
    std::vector<std::uint8_t> command_bytes;   // bytes after the handshake, in order
};

inline constexpr char FAKE_ADAPTER_PNP_REPLY[] = "(\x01\x24QXZ4702\x5c\x21)";
inline constexpr char FAKE_ADAPTER_STANDARD_VERSION[] = "Veltrane_Tools Marrowlink Firmware 1.2.9";
inline constexpr char FAKE_ADAPTER_CI_VERSION[] = "Veltrane_Tools Marrowlink CI Firmware 1.2.9";

// One reply frame: code and length most significant byte first, then the data.
std::string fake_adapter_frame(std::uint16_t code, const std::string& data);
// The version frame (code 1501) with the text and its zero byte.
std::string fake_adapter_version_frame(const std::string& text);

// A working adapter that reports the given version text.
FakeAdapter fake_adapter_working(const std::string& version_text);

// Plugs the adapter into the fake serial port. It must outlive the test (or
// be detached with fake_serial_attach(nullptr)).
void fake_adapter_attach(FakeAdapter* adapter);
