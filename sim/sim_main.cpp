// marrowlink-sim: the Marrowlink adapter and its Bluetooth chip on a
// pseudo-terminal, for running the updater without a device.
//
//   marrowlink-sim --link PATH --lines FILE [options]
//
// It opens a pseudo-terminal, links PATH to its slave side (give the updater
// COM1_DEVICE=PATH) and keeps a slave descriptor open itself, so the pty
// lives on while the updater closes and reopens the port. It follows the
// updater's line settings with tcgetattr on the master side (which reports the
// slave's settings; the null-modem fixture in tests/nullmodem marks parity
// there with CMSPAR, plus PARODD for odd), and reads RTS, DTR and purges from
// the fixture's line log (--lines, the file the fixture writes as
// NULLMODEM_LOG; a bare pty has no modem lines, so without the fixture the
// adapter never sees its wake-up sequence, and purges are then seen as TIOCPKT
// flush events on the master). "{pty}" in --lines stands for the pty's number,
// as in NULLMODEM_LOG: simulators given one pattern each follow the log of
// their own port when a program drives several ports at once. Bytes go
// to the adapter model (sim/adapter.h) and, after the hand-over, through it to
// the chip model (sim/chip.h). It runs until SIGTERM or SIGINT and then exits
// 0 after flushing its logs.
//
// Options: `marrowlink-sim --help` (SIM_HELP_TEXT below).
//
// Environment, for tests only: MARROWLINK_SIM_READ_STALL_US=N pauses N us
// (at most 100000) between reading the host's settings and reading its bytes.
//
// Events (--events): every line is {"t_ms":<CLOCK_MONOTONIC ms>,"src":...,"ev":NAME,...}.
// From the simulator ("src":"sim"):
//   start        pty, link, pid          stop
//   lines_bad    an unreadable line in the fixture's log: text_length
//   host_overrun the pty would take no more: lost (bytes dropped, as by a UART overrun)
//   wire         (--pace-both) a burst put on the line: dir ("to_device" from the host,
//                "to_host" from the adapter or chip), chars (characters on the line), bytes
//                (what the far end receives), start_us and end_us (CLOCK_MONOTONIC us, the
//                first start bit and the last stop bit), baud, frame_bits (per character)
// From the adapter ("src":"adapter"):
//   phase        phase ("wait_wake", "pnp_reply", "handshake", "commands", "chip", "silent")
//   line         the host changed its settings: baud, bits, parity ("none", "even",
//                "odd", "mark", "space"), stop, check_parity
//   modem        RTS or DTR changed: rts, dtr
//   purge        the host purged: rx, tx
//   wake         the wake-up sequence ended (RTS raised with DTR high): ok,
//                order_ok, timing_ok, answered, verdict, steps_ms [4]
//   pnp_sent     the Plug-and-Play reply was queued: id
//   rx           bytes the adapter received: bytes (hex); when the line garbled
//                them also host_bytes (what the host sent) and garbled 1
//   tx           bytes the adapter sent: bytes; when garbled also host_bytes
//                (what the host received) and garbled 1
//   handshake    setup request received: answer
//   command      a 4-byte command: code ("0xf7"), name ("identify",
//                "unrecognised", "identified", "unknown"), bytes
//   stray_byte   a byte outside a command frame: byte
//   frame_queued a reply frame: code ("0x05dd"), length
//   garbage_queued line garbage before a reply frame: length
//   version_sent the version frame was queued: text
//   handover     01 F8 00 00: chip_start_ms
//   chip_power_on  the chip starts its BCSP link: chip (0 when there is none)
//   fault        an injected fault acted: fault ("silent", "cut", "no_version"), after_bytes
// From the chip: its own events, documented in sim/chip.h (they carry "t", not "t_ms").
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "marrowlink_version.h"
#include "sim/adapter.h"
#include "sim/chip.h"
#include "sim/line_pacer.h"
#include "sim/sim_from_trace.h"

namespace {

constexpr std::uint16_t SIM_DEFAULT_BUILD_ID = 4835;
constexpr const char* SIM_DEFAULT_STORE = "marrowlink-sim-store.txt";
constexpr std::size_t SIM_READ_BYTES = 4096;
constexpr std::size_t SIM_PENDING_BYTES = 65536;
constexpr std::size_t SIM_LINES_TEXT_BYTES = 256;
// In --lines: the pty's number (N of /dev/pts/N), as the fixture expands it.
constexpr const char* SIM_LINES_PTY_MARK = "{pty}";
constexpr long SIM_MAX_CHIP_GARBAGE_BYTES = 64;
constexpr long SIM_MAX_ANSWER_DELAY_MS = 60000;
constexpr long SIM_MAX_SLOW_BOOT_MS = 60000;
// Test-only: a pause of this many microseconds (at most SIM_MAX_READ_STALL_US)
// between reading the host's settings and reading its bytes, in every turn of
// the main loop: the stall a loaded machine can put there, made to happen.
// A host that changes its settings and writes at once inside the pause must
// still have its bytes judged by the new settings (scripts/e2e-load-repeat).
constexpr const char* SIM_READ_STALL_VARIABLE = "MARROWLINK_SIM_READ_STALL_US";
constexpr long SIM_MAX_READ_STALL_US = 100000;
constexpr int SIM_EXIT_USAGE = 2;
constexpr int SIM_EXIT_FAILURE = 1;

// What a run does: serve the pty, or only print a text.
enum SimAction { SIM_ACTION_SERVE, SIM_ACTION_HELP, SIM_ACTION_VERSION };

struct SimOptions {
    SimAction action;
    const char* link;
    const char* lines;
    const char* ready_file;
    const char* log;
    const char* events;
    AdapterConfig adapter;
    ChipConfig chip;
    int pace_both;
    int from_trace;  // configured from a trace (sim_trace_setup)
};

SimTraceSetup sim_trace_setup;

// The running simulator: the pty, the line log it follows, the models.
struct Sim {
    int master;
    int slave;
    char slave_path[128];
    int lines_fd;
    int inotify_fd;
    char lines_text[SIM_LINES_TEXT_BYTES];  // a line of the log not yet complete
    std::size_t lines_length;
    int host_rts;
    int host_dtr;
    Adapter* adapter;
    Chip* chip;
    std::FILE* log;
    std::FILE* events;
    std::uint8_t pending[SIM_PENDING_BYTES];  // bytes for the host that the pty has not taken yet
    std::size_t pending_length;
    int pace_both;           // both directions go through the pacers below
    UartSettings host;       // the host's line settings, for pacing what it sends
    LinePacer to_device;     // bytes from the host on their way to the adapter
    LinePacer to_host;       // bytes from the adapter on their way to the host
    long read_stall_us;      // test-only: SIM_READ_STALL_VARIABLE
};

// What --help prints (and the manual page is made of).
constexpr const char* SIM_HELP_TEXT =
    "Usage: marrowlink-sim --link PATH --lines FILE [options]\n"
    "The Marrowlink adapter and its Bluetooth chip on a pseudo-terminal, for running\n"
    "marrowlink-update and marrowlink without a device. It serves the pseudo-terminal\n"
    "at PATH and runs until it is stopped (SIGTERM, SIGINT).\n"
    "\n"
    "Options:\n"
    "  --link PATH            symlink to the pty's slave (replaced if it is a symlink)\n"
    "  --lines FILE           the null-modem fixture's line log (created if missing; read from its end);\n"
    "                         {pty} in FILE stands for the pty's number N (/dev/pts/N), as in NULLMODEM_LOG\n"
    "  --ready-file FILE      written once the pty is served: \"pty=/dev/pts/N\\npid=N\\n\"\n"
    "  --log FILE             readable log of every exchange with timestamps\n"
    "  --events FILE          machine-readable log, one JSON object per line\n"
    "\n"
    "Adapter options:\n"
    "  --pnp-id TEXT          Plug-and-Play identifier (default QXZ4702)\n"
    "  --pnp-rev HHHH         the two bytes after \"(\" in hex (default 0124)\n"
    "  --pnp-extra TEXT       bytes between the identifier and \")\"\n"
    "  --version standard|ci|TEXT   firmware version text (default standard)\n"
    "  --version-no-terminator      no zero byte after the version text\n"
    "  --frames-before N      other reply frames before the version frame\n"
    "  --oversized-frame      one frame with more than 256 data bytes before the version frame\n"
    "  --garbage-before N     N bytes of line garbage (0xFF) before the first reply frame (at most 32)\n"
    "  --garbage-between N    N bytes of line garbage (0xFF) between each two reply frames (at most 32)\n"
    "  --fault NAME           silent | wrong-id | wrong-handshake | pnp-cut:N | version-cut:N | no-version\n"
    "  --no-pacing            send at once instead of at the line rate\n"
    "  --pace-both            pace both directions at the line rate, to the microsecond: the host's\n"
    "                         bytes reach the models, and the models' bytes reach the host, only once\n"
    "                         their last stop bit would have passed on a real cable\n"
    "  --chip-only            start after the hand-over: the port is the chip's BCSP link from the start\n"
    "  --from-trace FILE      behave as the adapter of a wire trace (marrowlink --trace) behaved; options\n"
    "                         after it change what it set; the store words the trace reported are\n"
    "                         written into the store file\n"
    "\n"
    "Chip options:\n"
    "  --store FILE           persistent store file (default marrowlink-sim-store.txt)\n"
    "  --build-id N           build id answered by the chip (default 4835)\n"
    "  --chip-error-key K     PS requests for key K answered with an error status\n"
    "  --chip-error-varid V   requests for varid V answered with an error status\n"
    "  --chip-fault NAME      silent-after:N | no-ack | no-link | reset-after:N | no-answer-after:N | no-restart\n"
    "                         | slow-boot:MS | late-link:MS | echo\n"
    "                         (no-answer-after: the Nth packet and later ones are acknowledged, never served;\n"
    "                         no-restart: the chip stays dead after the first reset it accepts;\n"
    "                         slow-boot: the restart after the first reset it accepts, the store\n"
    "                         defragmenting reset before the download, takes MS ms (at most 60000):\n"
    "                         a new image's slow first boot, seen by the post-download open;\n"
    "                         late-link: after the hand-over the chip starts MS ms late (at most 60000);\n"
    "                         echo: every persistent-store request is answered with its own words and\n"
    "                         status OK, the store left as it is: a chip or line that hands requests back)\n"
    "  --chip-garbage N       N random bytes (never 0xC0) before each frame the chip sends (at most 64)\n"
    "  --chip-answer-delay MS[:N]  BCCMD responses leave MS ms after their request (at most 60000);\n"
    "                         with :N only the answer to the Nth packet (counted as for --chip-fault)\n"
    "  --noise-corrupt RATE, --noise-drop RATE, --noise-repeat RATE         on bytes the chip sends\n"
    "  --noise-rx-corrupt RATE, --noise-rx-drop RATE, --noise-rx-repeat RATE  on bytes it receives\n"
    "  --seed N               random seed for the noise\n"
    "\n"
    "Other options:\n"
    "  --help                 print this text and exit\n"
    "  --version              (without a value) print the simulator's version and exit\n";

volatile sig_atomic_t sim_stop_requested = 0;

void sim_on_signal(int) { sim_stop_requested = 1; }

std::uint64_t sim_now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
}

std::uint64_t sim_now_us() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 + static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

void sim_usage(const char* problem) {
    std::fprintf(stderr,
                 "marrowlink-sim: %s\n"
                 "usage: marrowlink-sim --link PATH --lines FILE [--ready-file FILE] [--log FILE] [--events FILE]\n"
                 "       [--pnp-id TEXT] [--pnp-rev HHHH] [--pnp-extra TEXT] [--version standard|ci|TEXT]\n"
                 "       [--version-no-terminator] [--frames-before N] [--oversized-frame] [--fault NAME]\n"
                 "       [--garbage-before N] [--garbage-between N] [--chip-garbage N] [--chip-answer-delay MS[:N]]\n"
                 "       [--no-pacing] [--pace-both] [--chip-only] [--store FILE] [--build-id N] [--chip-error-key K] [--chip-error-varid V]\n"
                 "       [--chip-fault NAME] [--noise-[rx-]corrupt|drop|repeat RATE] [--seed N] [--from-trace FILE]\n"
                 "(marrowlink-sim --help lists the options with their meanings)\n",
                 problem);
}

int parse_long(const char* text, long low, long high, long* value) {
    if (!text || !*text) return 0;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || *end != 0 || v < low || v > high) return 0;
    *value = v;
    return 1;
}

int parse_rate(const char* text, double* rate) {
    if (!text || !*text) return 0;
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (*end != 0 || !(v >= 0.0 && v <= 1.0)) return 0;
    *rate = v;
    return 1;
}

// "name" or "name:N".
int parse_named(const char* text, const char* name, int with_count, long* count) {
    const std::size_t n = std::strlen(name);
    if (std::strncmp(text, name, n) != 0) return 0;
    if (!with_count) return text[n] == 0;
    return text[n] == ':' && parse_long(text + n + 1, 0, 1000000, count);
}

int parse_adapter_fault(const char* text, AdapterConfig* a) {
    long count = 0;
    if (parse_named(text, "silent", 0, &count)) {
        a->fault = ADAPTER_FAULT_SILENT;
    } else if (parse_named(text, "wrong-id", 0, &count)) {
        a->fault = ADAPTER_FAULT_WRONG_ID;
    } else if (parse_named(text, "wrong-handshake", 0, &count)) {
        a->fault = ADAPTER_FAULT_WRONG_HANDSHAKE;
    } else if (parse_named(text, "no-version", 0, &count)) {
        a->fault = ADAPTER_FAULT_NO_VERSION;
    } else if (parse_named(text, "pnp-cut", 1, &count)) {
        a->fault = ADAPTER_FAULT_PNP_CUT;
    } else if (parse_named(text, "version-cut", 1, &count)) {
        a->fault = ADAPTER_FAULT_VERSION_CUT;
    } else {
        return 0;
    }
    a->fault_param = static_cast<int>(count);
    return 1;
}

int parse_chip_fault(const char* text, ChipConfig* c) {
    long count = 0;
    if (parse_named(text, "no-ack", 0, &count)) {
        c->no_ack = 1;
    } else if (parse_named(text, "no-link", 0, &count)) {
        c->no_link = 1;
    } else if (parse_named(text, "silent-after", 1, &count) && count > 0) {
        c->silent_after_packets = static_cast<int>(count);
    } else if (parse_named(text, "reset-after", 1, &count) && count > 0) {
        c->reset_after_packets = static_cast<int>(count);
    } else if (parse_named(text, "no-answer-after", 1, &count) && count > 0) {
        c->no_answer_after_packets = static_cast<int>(count);
    } else if (parse_named(text, "no-restart", 0, &count)) {
        c->no_restart = 1;
    } else if (parse_named(text, "echo", 0, &count)) {
        c->echo_requests = 1;
    } else if (parse_named(text, "late-link", 1, &count) && count > 0 && count <= SIM_MAX_SLOW_BOOT_MS) {
        c->late_link_ms = static_cast<int>(count);
    } else if (parse_named(text, "slow-boot", 1, &count) && count > 0 && count <= SIM_MAX_SLOW_BOOT_MS) {
        c->slow_boot_ms = static_cast<int>(count);
    } else {
        return 0;
    }
    return 1;
}

// "MS" or "MS:N".
int parse_answer_delay(const char* text, ChipConfig* c) {
    if (!text) return 0;
    char ms[16] = {};
    const char* colon = std::strchr(text, ':');
    const std::size_t n = colon ? static_cast<std::size_t>(colon - text) : std::strlen(text);
    long delay = 0;
    long packet = 0;
    if (n == 0 || n >= sizeof ms) return 0;
    std::memcpy(ms, text, n);
    if (!parse_long(ms, 0, SIM_MAX_ANSWER_DELAY_MS, &delay)) return 0;
    if (colon && !parse_long(colon + 1, 1, 1000000, &packet)) return 0;
    c->answer_delay_ms = static_cast<int>(delay);
    c->answer_delay_packet = static_cast<int>(packet);
    return 1;
}

// Two hex digits and nothing else: strtol alone would take " f", "+f" and "-1".
int parse_hex_byte(const char* text, std::uint8_t* byte) {
    if (!std::isxdigit(static_cast<unsigned char>(text[0])) || !std::isxdigit(static_cast<unsigned char>(text[1])))
        return 0;
    const char two[3] = {text[0], text[1], 0};
    *byte = static_cast<std::uint8_t>(std::strtol(two, nullptr, 16));
    return 1;
}

// Fills *o from argv; 0 (after a message) when the command line is wrong.
int sim_parse_options(int argc, char** argv, SimOptions* o) {
    *o = SimOptions{};
    o->adapter = adapter_default_config();
    o->chip.store_path = SIM_DEFAULT_STORE;
    o->chip.build_id = SIM_DEFAULT_BUILD_ID;
    for (int i = 1; i < argc; i++) {
        const char* opt = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        long number = 0;
        int takes_value = 1;
        int ok = 1;
        if (!std::strcmp(opt, "--help") || (!std::strcmp(opt, "--version") && !value)) {
            // A bare --version: with a value it is the firmware version text.
            o->action = !std::strcmp(opt, "--help") ? SIM_ACTION_HELP : SIM_ACTION_VERSION;
            return 1;
        } else if (!std::strcmp(opt, "--link")) o->link = value;
        else if (!std::strcmp(opt, "--lines")) o->lines = value;
        else if (!std::strcmp(opt, "--ready-file")) o->ready_file = value;
        else if (!std::strcmp(opt, "--log")) o->log = value;
        else if (!std::strcmp(opt, "--events")) o->events = value;
        else if (!std::strcmp(opt, "--pnp-id")) o->adapter.pnp_id = value;
        else if (!std::strcmp(opt, "--pnp-extra")) o->adapter.pnp_extra = value;
        else if (!std::strcmp(opt, "--pnp-rev"))
            ok = value && std::strlen(value) == 4 && parse_hex_byte(value, &o->adapter.pnp_revision[0]) &&
                 parse_hex_byte(value + 2, &o->adapter.pnp_revision[1]);
        else if (!std::strcmp(opt, "--version")) {
            ok = value != nullptr;
            o->adapter.version_text = !value                       ? nullptr
                                      : !std::strcmp(value, "standard") ? ADAPTER_VERSION_STANDARD
                                      : !std::strcmp(value, "ci")       ? ADAPTER_VERSION_CI
                                                                        : value;
            if (value && std::strlen(value) > ADAPTER_MAX_VERSION_TEXT) ok = 0;
        } else if (!std::strcmp(opt, "--version-no-terminator")) {
            takes_value = 0;
            o->adapter.version_terminator = 0;
        } else if (!std::strcmp(opt, "--frames-before")) {
            ok = parse_long(value, 0, ADAPTER_MAX_FRAMES_BEFORE, &number);
            o->adapter.frames_before = static_cast<int>(number);
        } else if (!std::strcmp(opt, "--oversized-frame")) {
            takes_value = 0;
            o->adapter.oversized_frame = 1;
        } else if (!std::strcmp(opt, "--garbage-before")) {
            ok = parse_long(value, 0, ADAPTER_MAX_GARBAGE_BYTES, &number);
            o->adapter.garbage_before_frames = static_cast<int>(number);
        } else if (!std::strcmp(opt, "--garbage-between")) {
            ok = parse_long(value, 0, ADAPTER_MAX_GARBAGE_BYTES, &number);
            o->adapter.garbage_between_frames = static_cast<int>(number);
        } else if (!std::strcmp(opt, "--fault")) ok = value && parse_adapter_fault(value, &o->adapter);
        else if (!std::strcmp(opt, "--no-pacing")) {
            takes_value = 0;
            o->adapter.pacing = 0;
        } else if (!std::strcmp(opt, "--pace-both")) {
            takes_value = 0;
            o->pace_both = 1;
        } else if (!std::strcmp(opt, "--chip-only")) {
            takes_value = 0;
            o->adapter.start_in_chip_phase = 1;
        } else if (!std::strcmp(opt, "--store")) o->chip.store_path = value;
        else if (!std::strcmp(opt, "--from-trace")) {
            std::string why;
            if (value && !sim_from_trace(value, &o->adapter, &o->chip, &sim_trace_setup, &why)) {
                std::fprintf(stderr, "marrowlink-sim: --from-trace %s\n", why.c_str());
                return 0;
            }
            o->from_trace = value != nullptr;
        }
        else if (!std::strcmp(opt, "--build-id")) {
            ok = parse_long(value, 0, 0xFFFF, &number);
            o->chip.build_id = static_cast<std::uint16_t>(number);
        } else if (!std::strcmp(opt, "--chip-error-key")) {
            ok = parse_long(value, 1, 0xFFFF, &number);
            o->chip.error_status_key = static_cast<int>(number);
        } else if (!std::strcmp(opt, "--chip-error-varid")) {
            ok = parse_long(value, 1, 0xFFFF, &number);
            o->chip.error_status_varid = static_cast<int>(number);
        } else if (!std::strcmp(opt, "--chip-garbage")) {
            ok = parse_long(value, 0, SIM_MAX_CHIP_GARBAGE_BYTES, &number);
            o->chip.garbage_between_frames = static_cast<int>(number);
        } else if (!std::strcmp(opt, "--chip-answer-delay")) {
            ok = parse_answer_delay(value, &o->chip);
        } else if (!std::strcmp(opt, "--chip-fault")) ok = value && parse_chip_fault(value, &o->chip);
        else if (!std::strcmp(opt, "--noise-corrupt")) ok = parse_rate(value, &o->chip.corrupt_rate);
        else if (!std::strcmp(opt, "--noise-drop")) ok = parse_rate(value, &o->chip.drop_rate);
        else if (!std::strcmp(opt, "--noise-repeat")) ok = parse_rate(value, &o->chip.repeat_rate);
        else if (!std::strcmp(opt, "--noise-rx-corrupt")) ok = parse_rate(value, &o->chip.rx_corrupt_rate);
        else if (!std::strcmp(opt, "--noise-rx-drop")) ok = parse_rate(value, &o->chip.rx_drop_rate);
        else if (!std::strcmp(opt, "--noise-rx-repeat")) ok = parse_rate(value, &o->chip.rx_repeat_rate);
        else if (!std::strcmp(opt, "--seed")) {
            ok = parse_long(value, 0, 0x7FFFFFFF, &number);
            o->chip.seed = static_cast<unsigned>(number);
        } else {
            char problem[160];
            std::snprintf(problem, sizeof problem, "unknown option %s", opt);
            sim_usage(problem);
            return 0;
        }
        if (takes_value && !value) ok = 0;
        if (!ok) {
            char problem[160];
            std::snprintf(problem, sizeof problem, "bad or missing value for %s", opt);
            sim_usage(problem);
            return 0;
        }
        i += takes_value;
    }
    if (!o->link) {
        sim_usage("--link is required");
        return 0;
    }
    if (o->from_trace) {
        std::string why;
        if (!sim_trace_seed_store(sim_trace_setup, o->chip.store_path, &why)) {
            std::fprintf(stderr, "marrowlink-sim: --from-trace: %s\n", why.c_str());
            return 0;
        }
        if (!sim_trace_setup.note.empty()) std::fprintf(stderr, "marrowlink-sim: note: %s\n", sim_trace_setup.note.c_str());
    }
    if (o->pace_both) {
        if (!o->adapter.pacing) {
            sim_usage("--pace-both and --no-pacing exclude each other");
            return 0;
        }
        o->adapter.pacing = 0;  // the adapter hands its bytes over at once; the pacer times them
    }
    return 1;
}

void sim_event(const Sim* sim, const char* name, const char* fields, ...) __attribute__((format(printf, 3, 4)));
void sim_event(const Sim* sim, const char* name, const char* fields, ...) {
    if (!sim->events) return;
    std::fprintf(sim->events, "{\"t_ms\":%" PRIu64 ",\"src\":\"sim\",\"ev\":\"%s\"", sim_now_ms(), name);
    va_list args;
    va_start(args, fields);
    std::vfprintf(sim->events, fields, args);
    va_end(args);
    std::fputs("}\n", sim->events);
}

void sim_log(const Sim* sim, const char* format, ...) __attribute__((format(printf, 2, 3)));
void sim_log(const Sim* sim, const char* format, ...) {
    if (!sim->log) return;
    std::fprintf(sim->log, "[%10" PRIu64 " ms] sim: ", sim_now_ms());
    va_list args;
    va_start(args, format);
    std::vfprintf(sim->log, format, args);
    va_end(args);
    std::fputc('\n', sim->log);
}

// ---------------------------------------------------------------------------
// The pseudo-terminal

std::uint32_t sim_baud(speed_t code) {
    switch (code) {
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return 0;
    }
}

// The host's settings as the master side reports them. CMSPAR without PARENB
// is the null-modem fixture's parity marker; with PARENB it is mark/space.
UartSettings sim_host_settings(const termios* t) {
    UartSettings s = {};
    s.baud = sim_baud(cfgetospeed(t));
    switch (t->c_cflag & CSIZE) {
    case CS5: s.data_bits = 5; break;
    case CS6: s.data_bits = 6; break;
    case CS7: s.data_bits = 7; break;
    default: s.data_bits = 8; break;
    }
    const int odd = (t->c_cflag & PARODD) != 0;
    if (t->c_cflag & PARENB)
        s.parity = (t->c_cflag & CMSPAR) ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
    else if (t->c_cflag & CMSPAR)
        s.parity = odd ? 'O' : 'E';
    else
        s.parity = 'N';
    s.stop_bits = (t->c_cflag & CSTOPB) ? 2 : 1;
    s.check_parity = s.parity != 'N' && (t->c_iflag & INPCK) != 0;
    return s;
}

int sim_open_pty(Sim* sim) {
    sim->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim->master < 0 || grantpt(sim->master) != 0 || unlockpt(sim->master) != 0) {
        std::fprintf(stderr, "marrowlink-sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 0;
    }
    const char* name = ptsname(sim->master);
    if (!name || std::strlen(name) >= sizeof sim->slave_path) {
        std::fprintf(stderr, "marrowlink-sim: no name for the pseudo-terminal\n");
        return 0;
    }
    std::strcpy(sim->slave_path, name);
    // Held open for the simulator's whole life: the pty survives the updater's closes.
    sim->slave = open(sim->slave_path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (sim->slave < 0 || tcgetattr(sim->slave, &t) != 0) {
        std::fprintf(stderr, "marrowlink-sim: cannot open %s: %s\n", sim->slave_path, std::strerror(errno));
        return 0;
    }
    cfmakeraw(&t);  // no echo or line editing before the updater sets its own mode
    const int packet_mode = 1;
    const int flags = fcntl(sim->master, F_GETFL);
    if (tcsetattr(sim->slave, TCSANOW, &t) != 0 || ioctl(sim->master, TIOCPKT, &packet_mode) != 0 || flags < 0 ||
        fcntl(sim->master, F_SETFL, flags | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "marrowlink-sim: cannot set up %s: %s\n", sim->slave_path, std::strerror(errno));
        return 0;
    }
    return 1;
}

int sim_make_link(const Sim* sim, const char* link) {
    struct stat st;
    if (lstat(link, &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::fprintf(stderr, "marrowlink-sim: %s exists and is not a symlink; not replacing it\n", link);
            return 0;
        }
        unlink(link);
    }
    if (symlink(sim->slave_path, link) != 0) {
        std::fprintf(stderr, "marrowlink-sim: cannot link %s to %s: %s\n", link, sim->slave_path, std::strerror(errno));
        return 0;
    }
    return 1;
}

// Removes the link only while it still points at this simulator's pty.
void sim_remove_link(const Sim* sim, const char* link) {
    char target[sizeof sim->slave_path];
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return;
    target[n] = 0;
    if (std::strcmp(target, sim->slave_path) == 0) unlink(link);
}

int sim_write_ready_file(const Sim* sim, const char* path) {
    char temporary[4096];
    if (std::snprintf(temporary, sizeof temporary, "%s.tmp", path) >= static_cast<int>(sizeof temporary)) return 0;
    std::FILE* f = std::fopen(temporary, "w");
    if (!f) return 0;
    std::fprintf(f, "pty=%s\npid=%ld\n", sim->slave_path, static_cast<long>(getpid()));
    const int ok = std::fclose(f) == 0 && std::rename(temporary, path) == 0;  // appears whole or not at all
    return ok;
}

void sim_follow_settings(Sim* sim, std::uint64_t now_ms) {
    termios t;
    if (tcgetattr(sim->master, &t) != 0) return;
    const UartSettings s = sim_host_settings(&t);
    sim->host = s;
    adapter_host_settings(sim->adapter, &s, now_ms);
}

// ---------------------------------------------------------------------------
// The null-modem fixture's line log

// The --lines path with every "{pty}" replaced by this simulator's pty number.
std::string sim_lines_path(const Sim* sim, const char* pattern) {
    const char* slash = std::strrchr(sim->slave_path, '/');
    const std::string number = slash ? slash + 1 : sim->slave_path;
    const std::size_t mark_length = std::strlen(SIM_LINES_PTY_MARK);
    std::string path = pattern;
    for (std::size_t at = path.find(SIM_LINES_PTY_MARK); at != std::string::npos;
         at = path.find(SIM_LINES_PTY_MARK, at + number.size()))
        path.replace(at, mark_length, number);
    return path;
}

int sim_open_lines(Sim* sim, const char* pattern) {
    const std::string lines_path = sim_lines_path(sim, pattern);
    const char* path = lines_path.c_str();
    sim->lines_fd = open(path, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    if (sim->lines_fd < 0 || lseek(sim->lines_fd, 0, SEEK_END) < 0) {
        std::fprintf(stderr, "marrowlink-sim: cannot read %s: %s\n", path, std::strerror(errno));
        return 0;
    }
    // Woken when the fixture appends; a regular file is always "readable" to poll().
    sim->inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (sim->inotify_fd < 0 || inotify_add_watch(sim->inotify_fd, path, IN_MODIFY) < 0) {
        std::fprintf(stderr, "marrowlink-sim: cannot watch %s: %s\n", path, std::strerror(errno));
        return 0;
    }
    sim_log(sim, "following the line log %s", path);
    return 1;
}

// "<ms> WHAT [VALUE]", an entry of the null-modem fixture's line log. 0 when
// it is none, a number out of range included (sscanf's %llu and %d would take
// one with undefined behaviour).
int sim_line_parse(const char* text, unsigned long long* t, char* what, std::size_t what_size, int* value) {
    char* end = nullptr;
    errno = 0;
    *t = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *text == '-' || *end != ' ') return 0;
    const char* word = end + 1;
    const std::size_t length = std::strcspn(word, " ");
    if (length == 0 || length >= what_size) return 0;
    std::memcpy(what, word, length);
    what[length] = 0;
    *value = 0;
    const char* rest = word + length;
    while (*rest == ' ') rest++;
    if (*rest == 0) return 1;
    const long number = std::strtol(rest, &end, 10);
    if (errno != 0 || end == rest || (*end != 0 && *end != ' ') || number < INT_MIN || number > INT_MAX) return 0;
    *value = static_cast<int>(number);
    return 1;
}

void sim_line_entry(Sim* sim, const char* text) {
    unsigned long long t = 0;
    char what[16] = {};
    int value = 0;
    if (!sim_line_parse(text, &t, what, sizeof what, &value)) {
        sim_event(sim, "lines_bad", ",\"text_length\":%zu", std::strlen(text));
        return;
    }
    if (!std::strcmp(what, "RTS")) {
        sim->host_rts = value != 0;
    } else if (!std::strcmp(what, "DTR")) {
        sim->host_dtr = value != 0;
    } else if (!std::strcmp(what, "FLUSH")) {
        const unsigned purge = ((value & 1) ? ADAPTER_PURGE_HOST_RX : 0) | ((value & 2) ? ADAPTER_PURGE_HOST_TX : 0);
        if (purge) adapter_purge(sim->adapter, purge, t);
        return;
    } else {
        // LINE: the pty itself holds the settings; reading them here keeps
        // them in order with the purges and line changes around them.
        if (!std::strcmp(what, "LINE")) sim_follow_settings(sim, t);
        return;
    }
    adapter_modem_lines(sim->adapter, sim->host_rts, sim->host_dtr, t);
}

void sim_read_lines(Sim* sim) {
    if (sim->lines_fd < 0) return;
    char buffer[1024];
    for (;;) {
        const ssize_t n = read(sim->lines_fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; i++) {
            if (buffer[i] != '\n') {
                if (sim->lines_length + 1 < sizeof sim->lines_text) sim->lines_text[sim->lines_length++] = buffer[i];
                continue;
            }
            sim->lines_text[sim->lines_length] = 0;
            sim->lines_length = 0;
            sim_line_entry(sim, sim->lines_text);
        }
    }
    if (sim->inotify_fd >= 0) {
        char events[4096];
        while (read(sim->inotify_fd, events, sizeof events) > 0) {
        }
    }
}

// ---------------------------------------------------------------------------
// Pacing both directions (--pace-both)

// The adapter's UART in its present phase, as the adapter model sets it.
const UartSettings* sim_device_settings(const Sim* sim) {
    switch (adapter_phase(sim->adapter)) {
    case ADAPTER_PHASE_WAIT_WAKE:
    case ADAPTER_PHASE_PNP_REPLY: return &ADAPTER_PNP_SETTINGS;
    case ADAPTER_PHASE_CHIP: return &ADAPTER_CHIP_SETTINGS;
    default: return &ADAPTER_COMMAND_SETTINGS;
    }
}

// Puts a burst on one direction of the line: `chars` characters at the
// sender's settings, of which the far end receives the `count` bytes given.
void sim_pace(Sim* sim, LinePacer* pacer, const char* dir, const std::uint8_t* bytes, std::size_t count,
              std::size_t chars, const UartSettings* sender) {
    const std::uint64_t dropped = pacer->dropped;
    const LineBurst burst = line_pacer_send(pacer, bytes, count, line_time_us(sender, chars), sim_now_us());
    const unsigned frame_bits = 1u + sender->data_bits + (sender->parity != 'N' ? 1u : 0u) + sender->stop_bits;
    sim_event(sim, "wire",
              ",\"dir\":\"%s\",\"chars\":%zu,\"bytes\":%zu,\"start_us\":%" PRIu64 ",\"end_us\":%" PRIu64
              ",\"baud\":%u,\"frame_bits\":%u",
              dir, chars, count, burst.start_us, burst.end_us, sender->baud, frame_bits);
    if (pacer->dropped != dropped)
        sim_log(sim, "line %s overfilled: %" PRIu64 " bytes dropped", dir, pacer->dropped - dropped);
}

// Hands the adapter the host's bytes that have finished arriving.
void sim_deliver_to_device(Sim* sim, std::uint64_t now_ms) {
    std::uint8_t bytes[SIM_READ_BYTES];
    std::size_t n;
    while ((n = line_pacer_take(&sim->to_device, sim_now_us(), bytes, sizeof bytes, nullptr)) > 0)
        adapter_receive(sim->adapter, bytes, n, now_ms);
}

// ---------------------------------------------------------------------------
// Bytes

void sim_read_host(Sim* sim, std::uint64_t now_ms) {
    std::uint8_t buffer[SIM_READ_BYTES + 1];
    for (;;) {
        const ssize_t n = read(sim->master, buffer, sizeof buffer);
        if (n <= 0) break;  // EAGAIN: all read (the held slave keeps EIO away)
        // The host may have changed its settings and written at once since the
        // settings were last read (the BCSP open sends its first SYNC right after
        // switching to 8E1): judge the bytes by the settings as they are now,
        // which are never older than the bytes.
        if (buffer[0] == TIOCPKT_DATA) {
            sim_read_lines(sim);
            sim_follow_settings(sim, now_ms);
        }
        if (buffer[0] == TIOCPKT_DATA && sim->pace_both) {
            const std::size_t count = static_cast<std::size_t>(n - 1);
            sim_pace(sim, &sim->to_device, "to_device", buffer + 1, count, count, &sim->host);
            continue;
        }
        if (buffer[0] == TIOCPKT_DATA) {
            adapter_receive(sim->adapter, buffer + 1, static_cast<std::size_t>(n - 1), now_ms);
            continue;
        }
        // With the fixture's log, purges come from there: it tells output
        // flushes too, which it does not pass on to the pty.
        if (sim->lines_fd >= 0) continue;
        unsigned purge = 0;
        if (buffer[0] & TIOCPKT_FLUSHREAD) purge |= ADAPTER_PURGE_HOST_RX;
        if (buffer[0] & TIOCPKT_FLUSHWRITE) purge |= ADAPTER_PURGE_HOST_TX;
        if (purge) adapter_purge(sim->adapter, purge, now_ms);
    }
}

void sim_flush_pending(Sim* sim) {
    while (sim->pending_length > 0) {
        const ssize_t n = write(sim->master, sim->pending, sim->pending_length);
        if (n <= 0) return;  // the pty is full: POLLOUT tells when to go on
        std::memmove(sim->pending, sim->pending + n, sim->pending_length - static_cast<std::size_t>(n));
        sim->pending_length -= static_cast<std::size_t>(n);
    }
}

// What the adapter sends goes out on time whether the host reads or not: when
// the pty will take no more, the bytes are lost, as in a host UART's overrun.
// Queues bytes for the pty; returns how many found no room.
std::size_t sim_queue_for_host(Sim* sim, const std::uint8_t* bytes, std::size_t count) {
    const std::size_t room = SIM_PENDING_BYTES - sim->pending_length;
    const std::size_t take = count < room ? count : room;
    std::memcpy(sim->pending + sim->pending_length, bytes, take);
    sim->pending_length += take;
    return count - take;
}

void sim_send_host(Sim* sim, std::uint64_t now_ms) {
    std::uint8_t out[ADAPTER_TRANSMIT_MIN_OUT];
    std::size_t produced = 0;
    std::size_t lost = 0;
    for (;;) {
        // Read before the call: the phase changes only after the bytes that end it.
        const UartSettings* device = sim_device_settings(sim);
        const std::size_t sent = adapter_transmit(sim->adapter, now_ms, out, sizeof out, &produced);
        if (sent == 0) break;
        if (sim->pace_both)
            sim_pace(sim, &sim->to_host, "to_host", out, produced, sent, device);
        else
            lost += sim_queue_for_host(sim, out, produced);
    }
    std::size_t arrived;
    while ((arrived = line_pacer_take(&sim->to_host, sim_now_us(), out, sizeof out, nullptr)) > 0)
        lost += sim_queue_for_host(sim, out, arrived);
    if (lost) {
        sim_log(sim, "the host is not reading: %zu bytes lost", lost);
        sim_event(sim, "host_overrun", ",\"lost\":%zu", lost);
    }
    sim_flush_pending(sim);
}

// One turn of the main loop: everything that is due, then the wait.
void sim_turn(Sim* sim, const sigset_t* wait_mask) {
    const std::uint64_t now = sim_now_ms();
    sim_read_lines(sim);
    sim_follow_settings(sim, now);
    if (sim->read_stall_us > 0) {
        const struct timespec stall = {0, sim->read_stall_us * 1000L};
        (void)nanosleep(&stall, nullptr);
    }
    sim_read_host(sim, now);
    sim_deliver_to_device(sim, now);
    sim_send_host(sim, now);

    const std::uint64_t next_ms = adapter_next_event_ms(sim->adapter);
    std::uint64_t next_us = next_ms == UINT64_MAX ? UINT64_MAX : next_ms * 1000;
    for (const LinePacer* pacer : {&sim->to_device, &sim->to_host}) {
        const std::uint64_t arrival_us = line_pacer_next_us(pacer);
        if (arrival_us < next_us) next_us = arrival_us;
    }
    const std::uint64_t now_us = sim_now_us();
    struct timespec timeout = {};
    const struct timespec* wait = nullptr;  // no timed event: wait for input or a signal
    if (next_us != UINT64_MAX) {
        const std::uint64_t us = next_us > now_us ? next_us - now_us : 0;
        timeout.tv_sec = static_cast<time_t>(us / 1000000);
        timeout.tv_nsec = static_cast<long>(us % 1000000) * 1000;
        wait = &timeout;
    }
    pollfd fds[2] = {{sim->master, static_cast<short>(POLLIN | (sim->pending_length ? POLLOUT : 0)), 0},
                     {sim->inotify_fd, POLLIN, 0}};
    const nfds_t count = sim->inotify_fd >= 0 ? 2 : 1;
    if (ppoll(fds, count, wait, wait_mask) < 0 && errno != EINTR)
        std::fprintf(stderr, "marrowlink-sim: poll failed: %s\n", std::strerror(errno));
}

std::FILE* sim_open_log(const char* path) {
    if (!path) return nullptr;
    std::FILE* f = std::fopen(path, "w");
    if (!f) {
        std::fprintf(stderr, "marrowlink-sim: cannot write %s: %s\n", path, std::strerror(errno));
        return nullptr;
    }
    setvbuf(f, nullptr, _IOLBF, 0);  // each entry is on disk when a test looks
    return f;
}

int sim_run(const SimOptions* options, Sim* sim) {
    if ((options->log && !(sim->log = sim_open_log(options->log))) ||
        (options->events && !(sim->events = sim_open_log(options->events))))
        return SIM_EXIT_FAILURE;

    ChipConfig chip_config = options->chip;
    chip_config.log = sim->log;
    chip_config.event_log = sim->events;
    sim->chip = chip_create(&chip_config);
    if (!sim->chip) {
        std::fprintf(stderr, "marrowlink-sim: %s\n", chip_create_error());
        return SIM_EXIT_FAILURE;
    }
    if (!sim_open_pty(sim) || (options->lines && !sim_open_lines(sim, options->lines))) return SIM_EXIT_FAILURE;

    termios t;
    AdapterConfig adapter_config = options->adapter;
    if (tcgetattr(sim->master, &t) == 0) adapter_config.host = sim_host_settings(&t);
    sim->host = adapter_config.host;
    sim->pace_both = options->pace_both;
    if (const char* stall = std::getenv(SIM_READ_STALL_VARIABLE)) {
        long us = 0;
        sim->read_stall_us = parse_long(stall, 1, SIM_MAX_READ_STALL_US, &us) ? us : 0;
    }
    line_pacer_reset(&sim->to_device);
    line_pacer_reset(&sim->to_host);
    // A character at 115200 baud lasts 87 to 96 us: wake-ups must not slip
    // by the default timer slack of 50 us.
    if (sim->pace_both) (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    adapter_config.chip = sim->chip;
    adapter_config.log = sim->log;
    adapter_config.event_log = sim->events;
    sim->adapter = adapter_create(&adapter_config, sim_now_ms());

    if (!sim_make_link(sim, options->link)) return SIM_EXIT_FAILURE;
    sim_event(sim, "start", ",\"pty\":\"%s\",\"link\":\"%s\",\"pid\":%ld", sim->slave_path, options->link,
              static_cast<long>(getpid()));
    sim_log(sim, "serving %s as %s", sim->slave_path, options->link);
    for (const std::string& taken : sim_trace_setup.taken) sim_log(sim, "from the trace: %s", taken.c_str());
    if (options->ready_file && !sim_write_ready_file(sim, options->ready_file)) {
        std::fprintf(stderr, "marrowlink-sim: cannot write %s\n", options->ready_file);
        sim_remove_link(sim, options->link);
        return SIM_EXIT_FAILURE;
    }
    std::printf("marrowlink-sim: serving %s as %s\n", sim->slave_path, options->link);
    std::fflush(stdout);

    // SIGTERM and SIGINT are only let in while waiting in ppoll(), so a stop
    // request can never slip in between the check and the wait.
    sigset_t blocked;
    sigset_t wait_mask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    struct sigaction action = {};
    action.sa_handler = sim_on_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    while (!sim_stop_requested) sim_turn(sim, &wait_mask);

    sim_log(sim, "stopping");
    sim_event(sim, "stop", ",\"pending_bytes\":%zu", sim->pending_length);
    sim_remove_link(sim, options->link);
    return 0;
}

void sim_close(Sim* sim) {
    if (sim->adapter) adapter_destroy(sim->adapter);
    if (sim->chip) chip_destroy(sim->chip);
    if (sim->log) std::fclose(sim->log);
    if (sim->events) std::fclose(sim->events);
    if (sim->inotify_fd >= 0) close(sim->inotify_fd);
    if (sim->lines_fd >= 0) close(sim->lines_fd);
    if (sim->slave >= 0) close(sim->slave);
    if (sim->master >= 0) close(sim->master);
}

}  // namespace

int main(int argc, char** argv) {
    static SimOptions options;
    if (!sim_parse_options(argc, argv, &options)) return SIM_EXIT_USAGE;
    if (options.action == SIM_ACTION_HELP) return std::fputs(SIM_HELP_TEXT, stdout) < 0 ? SIM_EXIT_FAILURE : 0;
    if (options.action == SIM_ACTION_VERSION)
        return std::printf("marrowlink-sim %s\n", MARROWLINK_VERSION) < 0 ? SIM_EXIT_FAILURE : 0;
    static Sim sim;  // large buffers: not on the stack
    sim.master = sim.slave = sim.lines_fd = sim.inotify_fd = -1;
    const int status = sim_run(&options, &sim);
    sim_close(&sim);
    return status;
}
