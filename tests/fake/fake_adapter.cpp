#include "fake_adapter.h"

#include <algorithm>

#include "fake_platform.h"

namespace {

constexpr std::uint32_t PNP_BAUD = 1200;
constexpr std::uint32_t COMMAND_BAUD = 115200;
const std::string SETUP_REQUEST = "LUMA PORT SETUP";
const std::uint8_t IDENTIFY_COMMAND[4] = {0x01, 0xF7, 0x00, 0x00};

void adapter_send(FakeAdapter* adapter, const std::string& bytes, std::uint64_t now_ms)
{
    fake_serial_receive(bytes.data(), bytes.size(), now_ms + adapter->reply_delay_ms);
}

void adapter_on_escape(void* context, std::uint32_t function, std::uint64_t now_ms)
{
    auto* adapter = static_cast<FakeAdapter*>(context);
    const int rts_was = adapter->rts;
    if (function == SERIAL_SETRTS || function == SERIAL_CLRRTS) {
        adapter->rts = function == SERIAL_SETRTS ? 1 : 0;
    } else {
        adapter->dtr = function == SERIAL_SETDTR ? 1 : 0;
    }
    // The serial Plug-and-Play wake-up: RTS rising while DTR is high.
    if (!rts_was && adapter->rts && adapter->dtr && adapter->baud_rate == PNP_BAUD && !adapter->pnp_reply.empty()) {
        adapter_send(adapter, adapter->pnp_reply, now_ms);
        adapter->pnp_replies_sent += 1;
    }
}

void adapter_on_set_state(void* context, const SerialState* state, std::uint64_t)
{
    auto* adapter = static_cast<FakeAdapter*>(context);
    adapter->baud_rate = state->baud_rate;
    adapter->rts = fake_serial_rts();
    adapter->dtr = fake_serial_dtr();
}

void adapter_on_write(void* context, const std::uint8_t* bytes, std::size_t count, std::uint64_t now_ms)
{
    auto* adapter = static_cast<FakeAdapter*>(context);
    if (adapter->baud_rate != COMMAND_BAUD) {
        return;  // at the wrong speed the adapter sees only noise
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (adapter->handshakes_answered == 0) {
            adapter->setup_request.push_back(static_cast<char>(bytes[i]));
            if (adapter->setup_request.size() >= SETUP_REQUEST.size() &&
                adapter->setup_request.compare(adapter->setup_request.size() - SETUP_REQUEST.size(),
                                               SETUP_REQUEST.size(), SETUP_REQUEST) == 0) {
                adapter->handshakes_answered = 1;
                if (!adapter->handshake_answer.empty()) {
                    adapter_send(adapter, adapter->handshake_answer, now_ms);
                }
            }
            continue;
        }
        adapter->command_bytes.push_back(bytes[i]);
        const std::size_t size = adapter->command_bytes.size();
        if (size % 4 == 0 && std::equal(IDENTIFY_COMMAND, IDENTIFY_COMMAND + 4,
                                        adapter->command_bytes.begin() + static_cast<std::ptrdiff_t>(size - 4))) {
            if (!adapter->identify_reply.empty()) {
                adapter_send(adapter, adapter->identify_reply, now_ms);
            }
        }
    }
}

}  // namespace

std::string fake_adapter_frame(std::uint16_t code, const std::string& data)
{
    std::string frame;
    frame.push_back(static_cast<char>(code >> 8));
    frame.push_back(static_cast<char>(code & 0xFF));
    frame.push_back(static_cast<char>((data.size() >> 8) & 0xFF));
    frame.push_back(static_cast<char>(data.size() & 0xFF));
    return frame + data;
}

std::string fake_adapter_version_frame(const std::string& text)
{
    return fake_adapter_frame(1501, text + std::string(1, '\0'));
}

FakeAdapter fake_adapter_working(const std::string& version_text)
{
    FakeAdapter adapter{};
    adapter.pnp_reply = FAKE_ADAPTER_PNP_REPLY;
    adapter.handshake_answer = "LUMA PORT READY";
    adapter.identify_reply = fake_adapter_version_frame(version_text);
    adapter.reply_delay_ms = 10;
    adapter.baud_rate = 9600;
    return adapter;
}

void fake_adapter_attach(FakeAdapter* adapter)
{
    FakeSerialDevice device{};
    device.context = adapter;
    device.on_write = adapter_on_write;
    device.on_escape = adapter_on_escape;
    device.on_set_state = adapter_on_set_state;
    fake_serial_attach(&device);
}
