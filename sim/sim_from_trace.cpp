// Configuring the simulator from a wire trace.
#include "sim/sim_from_trace.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "sim/ps_store.h"
#include "trace/trace_read.h"

namespace {

// The wire values this file reads back from the units' bytes.
constexpr std::uint16_t TRACE_REPLY_CODE_VERSION = 0x05DD;
constexpr std::size_t TRACE_REPLY_DATA_MAX = 256;  // the updater's reply buffer
constexpr std::size_t TRACE_PNP_ID_LENGTH = 7;
constexpr std::uint16_t TRACE_BCCMD_RESPONSE = 1;
constexpr std::uint16_t TRACE_BCCMD_SET = 2;
constexpr std::uint16_t TRACE_VARID_BUILD_ID = 0x2819;
constexpr std::uint16_t TRACE_VARID_COLD_RESET = 0x4001;
constexpr std::uint16_t TRACE_VARID_PS_DEFRAG_RESET = 0x400F;
constexpr std::uint16_t TRACE_VARID_PS = 0x7003;
constexpr int TRACE_BCCMD_CHANNEL = 2;

// Text the adapter model points at: it lives as long as the process.
std::string sim_trace_pnp_id;
std::string sim_trace_pnp_extra;
std::string sim_trace_handshake;
std::string sim_trace_version;

std::vector<std::uint8_t> unit_bytes(const TraceJson& unit, const char* field = "bytes")
{
    std::vector<std::uint8_t> bytes;
    const auto text = unit.find(field);
    if (text == unit.end() || !text->is_string()) {
        return bytes;
    }
    const std::string hex = text->get<std::string>();
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

bool unit_complete(const TraceJson& unit)
{
    return unit.value("complete", true);
}

std::uint16_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t word)
{
    return static_cast<std::uint16_t>(bytes[2 * word] | (bytes[2 * word + 1] << 8));
}

// The walk over the trace, one unit at a time.
struct TraceWalk {
    AdapterConfig* adapter = nullptr;
    ChipConfig* chip = nullptr;
    SimTraceSetup* setup = nullptr;
    bool pnp_seen = false;
    bool pnp_phase_seen = false;
    bool handshake_seen = false;
    bool version_seen = false;
    bool command_phase_seen = false;
    int other_frames = 0;
    bool oversized = false;
    bool build_id_seen = false;
    bool error_seen = false;
    // BCSP sessions: frames heard from the chip in the present one
    int sessions = 0;
    bool in_session = false;
    int heard_in_session = 0;
    bool reset_before_session = false;  // a reset was requested in an earlier session
    bool reset_in_session = false;
    // host data packets (new ones, over the whole trace) and the chip's reactions
    int host_packets = 0;
    int heard_after = 0;          // the last host packet after which the chip sent a frame
    int answered = 0;             // the last host packet the chip answered
    bool last_expects_answer = false;
    std::map<std::uint16_t, std::uint16_t> request_type_by_seqno;
    bool silence_set = false;

    void pnp_reply(const TraceJson& unit)
    {
        if (pnp_seen) {
            return;
        }
        pnp_seen = true;
        const std::vector<std::uint8_t> bytes = unit_bytes(unit);
        const bool complete = unit_complete(unit);
        if (bytes.size() >= 3) {
            adapter->pnp_revision[0] = bytes[1];
            adapter->pnp_revision[1] = bytes[2];
        }
        const std::size_t text_end = complete ? bytes.size() - 1 : bytes.size();
        const std::string text = bytes.size() > 3 ? std::string(bytes.begin() + 3, bytes.begin() + static_cast<long>(text_end)) : "";
        sim_trace_pnp_id = text.substr(0, TRACE_PNP_ID_LENGTH);
        sim_trace_pnp_extra = text.size() > TRACE_PNP_ID_LENGTH ? text.substr(TRACE_PNP_ID_LENGTH) : "";
        // The updater stops reading at a wrong identifier character: that is
        // no cut, the adapter simply said something else.
        if (!complete && unit.value("known", true)) {
            // The model sends its whole identifier; the cut comes after the traced bytes.
            const std::string fill = ADAPTER_DEFAULT_PNP_ID;
            if (sim_trace_pnp_id.size() < fill.size()) {
                sim_trace_pnp_id += fill.substr(sim_trace_pnp_id.size());
            }
            adapter->fault = ADAPTER_FAULT_PNP_CUT;
            adapter->fault_param = static_cast<int>(bytes.size());
            setup->taken.push_back("Plug-and-Play reply cut after " + std::to_string(bytes.size()) + " bytes");
        }
        adapter->pnp_id = sim_trace_pnp_id.c_str();
        adapter->pnp_extra = sim_trace_pnp_extra.c_str();
        setup->taken.push_back("Plug-and-Play identifier \"" + sim_trace_pnp_id + "\"");
    }

    void handshake_answer(const TraceJson& unit)
    {
        if (handshake_seen) {
            return;
        }
        handshake_seen = true;
        const std::vector<std::uint8_t> bytes = unit_bytes(unit);
        if (unit.value("ok", false)) {
            return;
        }
        // The updater stopped reading at the first wrong byte: the rest is the right answer's.
        const std::string right = ADAPTER_HANDSHAKE_ANSWER;
        std::string answer(bytes.begin(), bytes.end());
        answer = answer.substr(0, right.size());  // all the updater reads
        answer += right.substr(answer.size());
        sim_trace_handshake = answer;
        adapter->handshake_answer = sim_trace_handshake.c_str();
        setup->taken.push_back("handshake answer \"" + answer + "\"");
    }

    void reply_frame(const TraceJson& unit)
    {
        if (version_seen) {
            return;
        }
        const std::vector<std::uint8_t> bytes = unit_bytes(unit);
        const bool complete = unit_complete(unit);
        if (bytes.size() < 4) {
            if (!complete && bytes.size() > 0 && bytes[0] == (TRACE_REPLY_CODE_VERSION >> 8)) {
                cut_version(bytes.size());
            }
            return;
        }
        const std::uint16_t code = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
        const std::size_t length = static_cast<std::size_t>(bytes[2] << 8 | bytes[3]);
        if (code != TRACE_REPLY_CODE_VERSION) {
            if (length > TRACE_REPLY_DATA_MAX && !oversized) {
                oversized = true;
                adapter->oversized_frame = 1;
                setup->taken.push_back("an oversized reply frame");
            } else {
                ++other_frames;
            }
            return;
        }
        version_seen = true;
        const auto data_end = bytes.begin() + static_cast<long>(4 + (length < bytes.size() - 4 ? length : bytes.size() - 4));
        auto text_end = bytes.begin() + 4;
        while (text_end != data_end && *text_end != 0) {
            ++text_end;
        }
        sim_trace_version.assign(bytes.begin() + 4, text_end);
        adapter->version_text = sim_trace_version.c_str();
        adapter->version_terminator = text_end != data_end ? 1 : 0;
        setup->taken.push_back("version text \"" + sim_trace_version + "\"");
        if (!complete) {
            cut_version(bytes.size());
        }
    }

    void cut_version(std::size_t bytes)
    {
        version_seen = true;
        adapter->fault = ADAPTER_FAULT_VERSION_CUT;
        adapter->fault_param = static_cast<int>(bytes);
        setup->taken.push_back("version frame cut after " + std::to_string(bytes) + " bytes");
    }

    void session_begin()
    {
        in_session = true;
        ++sessions;
        heard_in_session = 0;
        reset_before_session = reset_before_session || reset_in_session;
        reset_in_session = false;
    }

    // Where the chip went silent, judged once a session is over.
    void session_end()
    {
        if (!in_session) {
            return;
        }
        in_session = false;
        if (silence_set) {
            return;
        }
        if (heard_in_session == 0) {
            silence_set = true;
            if (sessions == 1 || !reset_before_session) {
                chip->no_link = 1;
                setup->taken.push_back("a chip that never links");
            } else {
                chip->no_restart = 1;
                setup->taken.push_back("a chip that does not come back after its reset");
            }
        } else if (host_packets > 0 && heard_after < host_packets) {
            silence_set = true;
            chip->silent_after_packets = host_packets;
            setup->taken.push_back("a chip silent from packet " + std::to_string(host_packets));
        } else if (host_packets > 0 && last_expects_answer && answered < host_packets) {
            silence_set = true;
            chip->no_answer_after_packets = host_packets;
            setup->taken.push_back("a chip that stops answering at packet " + std::to_string(host_packets));
        }
    }

    void bcsp_out(const TraceJson& unit)
    {
        if (unit.value("check", "") != "ok" || !unit.value("reliable", false) ||
            unit.value("channel", -1) != TRACE_BCCMD_CHANNEL || unit.value("retransmission", false)) {
            return;
        }
        const std::vector<std::uint8_t> payload = unit_bytes(unit, "payload");
        if (payload.size() < 10) {
            return;
        }
        ++host_packets;
        const std::uint16_t type = word_at(payload, 0);
        const std::uint16_t varid = word_at(payload, 3);
        request_type_by_seqno[word_at(payload, 2)] = type;
        const bool reset = type == TRACE_BCCMD_SET && (varid == TRACE_VARID_COLD_RESET || varid == TRACE_VARID_PS_DEFRAG_RESET);
        reset_in_session = reset_in_session || reset;
        last_expects_answer = !reset;
    }

    void bcsp_in(const TraceJson& unit)
    {
        if (unit.value("check", "") != "ok") {
            return;
        }
        ++heard_in_session;
        heard_after = host_packets;
        if (unit.value("channel", -1) != TRACE_BCCMD_CHANNEL) {
            return;
        }
        const std::vector<std::uint8_t> payload = unit_bytes(unit, "payload");
        if (payload.size() < 10 || word_at(payload, 0) != TRACE_BCCMD_RESPONSE) {
            return;
        }
        answered = host_packets;
        const std::uint16_t seqno = word_at(payload, 2);
        const std::uint16_t varid = word_at(payload, 3);
        const std::uint16_t status = word_at(payload, 4);
        const std::size_t words = payload.size() / 2;
        const auto request = request_type_by_seqno.find(seqno);
        const bool answers_get = request != request_type_by_seqno.end() && request->second != TRACE_BCCMD_SET;
        if (status == CHIP_STATUS_NO_VALUE && varid == TRACE_VARID_PS && answers_get && words > 5) {
            store_key(word_at(payload, 5), {});  // the chip does not hold the key
            return;
        }
        if (status != 0) {
            if (error_seen) {
                return;
            }
            error_seen = true;
            chip->error_status = status;
            if (varid == TRACE_VARID_PS && words > 5) {
                chip->error_status_key = word_at(payload, 5);
                setup->taken.push_back("error status " + std::to_string(status) + " for key " +
                                       std::to_string(chip->error_status_key));
            } else {
                chip->error_status_varid = varid;
                setup->taken.push_back("error status " + std::to_string(status) + " for varid " + std::to_string(varid));
            }
            return;
        }
        if (varid == TRACE_VARID_BUILD_ID && words > 5 && !build_id_seen) {
            build_id_seen = true;
            chip->build_id = word_at(payload, 5);
            setup->taken.push_back("build id " + std::to_string(chip->build_id));
        }
        if (varid == TRACE_VARID_PS && answers_get && words >= 8) {
            const std::size_t n = word_at(payload, 6);
            std::vector<std::uint16_t> values;
            for (std::size_t i = 0; i < n && 8 + i < words; ++i) {
                values.push_back(word_at(payload, 8 + i));
            }
            store_key(word_at(payload, 5), values);
        }
    }

    // The first report of a key counts: later ones follow the run's own writes.
    void store_key(std::uint16_t key, std::vector<std::uint16_t> values)
    {
        for (const auto& seen : setup->store_keys) {
            if (seen.first == key) {
                return;
            }
        }
        setup->store_keys.emplace_back(key, std::move(values));
    }

    void unit(const TraceJson& unit, bool from_device)
    {
        const std::string kind = unit.value("kind", "");
        if (kind == "pnp_reply" && from_device) {
            pnp_reply(unit);
        } else if (kind == "handshake_answer" && from_device) {
            handshake_answer(unit);
        } else if (kind == "reply_frame" && from_device) {
            reply_frame(unit);
        } else if (kind == "bcsp" && from_device) {
            bcsp_in(unit);
        } else if (kind == "bcsp") {
            bcsp_out(unit);
        }
    }

    void event(const TraceJson& event)
    {
        const std::string name = event.value("event", "");
        const auto decoded = event.find("decoded");
        if (decoded != event.end() && decoded->is_array()) {
            for (const TraceJson& item : *decoded) {
                const std::string dir = item.value("dir", name == "read" ? "in" : "out");
                this->unit(item, dir == "in");
            }
        }
        if (name == "settings") {
            const std::string phase = event.value("phase", "");
            if (in_session && phase != "bcsp") {
                session_end();
            }
            pnp_phase_seen = pnp_phase_seen || phase == "pnp";
            command_phase_seen = command_phase_seen || phase == "command";
            if (phase == "bcsp" && !in_session) {
                session_begin();
            }
        } else if (name == "close") {
            session_end();
        }
    }

    void finish()
    {
        session_end();
        if (pnp_phase_seen && !pnp_seen) {
            adapter->fault = ADAPTER_FAULT_SILENT;
            setup->taken.push_back("a silent adapter");
        }
        if (other_frames > 0) {
            adapter->frames_before = other_frames < ADAPTER_MAX_FRAMES_BEFORE ? other_frames : ADAPTER_MAX_FRAMES_BEFORE;
            setup->taken.push_back(std::to_string(adapter->frames_before) + " other reply frames");
        }
        if (handshake_seen && !version_seen && other_frames > 0 && adapter->fault == ADAPTER_FAULT_NONE) {
            adapter->fault = ADAPTER_FAULT_NO_VERSION;
            setup->taken.push_back("no version frame");
        }
    }
};

}  // namespace

int sim_from_trace(const char* path, AdapterConfig* adapter, ChipConfig* chip, SimTraceSetup* setup, std::string* why)
{
    std::ifstream input(path, std::ios::binary);
    if (!input) {
        *why = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return 0;
    }
    return sim_from_trace_stream(input, path, adapter, chip, setup, why);
}

int sim_from_trace_stream(std::istream& input, const std::string& name, AdapterConfig* adapter, ChipConfig* chip,
                          SimTraceSetup* setup, std::string* why)
{
    const TraceFile trace = trace_read(input);
    if (trace.problem_line != 0 && !trace.cut) {
        *why = name + " " + trace_problem_text(trace);
        return 0;
    }
    if (trace.problem_line != 0) {
        setup->note = name + " " + trace_problem_text(trace) + " (replaying what came before)";
    }
    TraceWalk walk;
    walk.adapter = adapter;
    walk.chip = chip;
    walk.setup = setup;
    for (const TraceEvent& event : trace.events) {
        walk.event(event.object);
    }
    walk.finish();
    return 1;
}

int sim_trace_seed_store(const SimTraceSetup& setup, const char* store_path, std::string* why)
{
    if (setup.store_keys.empty()) {
        return 1;
    }
    static PsStore store;
    char reason[256] = "";
    int created = 0;
    if (!ps_store_open(&store, store_path, &created, reason, sizeof reason)) {
        *why = reason;
        return 0;
    }
    for (const auto& [key, values] : setup.store_keys) {
        if (values.empty()) {
            ps_store_remove(&store, key);
        } else if (!ps_store_set(&store, key, values.data(), static_cast<int>(values.size()))) {
            *why = "the store cannot hold key " + std::to_string(key);
            return 0;
        }
    }
    if (!ps_store_save(&store, store_path)) {
        *why = std::string("cannot write ") + store_path;
        return 0;
    }
    return 1;
}
