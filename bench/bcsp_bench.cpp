// bcsp_bench: times the BCSP port driver and the chip commands on the native
// platform layer, one call at a time, against marrowlink-sim --chip-only.
//
//   COM1_DEVICE=<sim link> LD_PRELOAD=<libnullmodem.so> bcsp_bench [--writes N] [--words W] [--cycles C]
//       [--backups B]
//
// Each cycle opens the BCSP port (link establishment), writes N persistent-store
// keys of W words each (ps_write: one BCCMD round trip), takes B store backups
// of every key the update writes (as `marrowlink store backup` reads them, each
// key's length found from the chip), and closes the port.
// Every call is printed as one JSON object per line with its CLOCK_MONOTONIC
// start and end in microseconds, the clock of the simulator's "wire" events,
// so that bench/bench.py can set each call against the bytes it moved, and the
// processor time the call took (CLOCK_PROCESS_CPUTIME_ID):
//   {"op":"open","cycle":0,"i":0,"start_us":...,"end_us":...,"cpu_ns":...,"ok":1}
//   {"op":"ps_write","cycle":0,"i":3,"start_us":...,"end_us":...,"cpu_ns":...,"ok":1}
//   {"op":"backup","cycle":0,"i":0,...,"ok":1,"reads":21}
//   {"op":"close","cycle":0,...}
//
// Run under callgrind with --toggle-collect='*ps_write*', the instructions
// counted are those of the N round trips: engine, driver, BCCMD layer, platform
// calls and the C library's side of the system calls.
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bccmd/chip_commands.h"
#include "bcsp/bcsp_port.h"
#include "tool/store_run.h"

namespace {

constexpr int BENCH_PORT = 1;
constexpr int BENCH_BAUD = 115200;
// A key the chip model stores like any other; the values are the write's index.
constexpr std::uint16_t BENCH_KEY = 0x0250;
constexpr int BENCH_DEFAULT_WRITES = 20;
constexpr int BENCH_MAX_WRITES = 100000;

std::uint64_t bench_clock_ns(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

// One call's record: when it ran and what processor time it took.
struct BenchCall {
    std::uint64_t start_ns;
    std::uint64_t cpu_start_ns;
};

BenchCall bench_call_start()
{
    return BenchCall{bench_clock_ns(CLOCK_MONOTONIC), bench_clock_ns(CLOCK_PROCESS_CPUTIME_ID)};
}

void bench_report(const char* op, int cycle, int index, const BenchCall& call, int ok, int reads = 0)
{
    const std::uint64_t cpu_ns = bench_clock_ns(CLOCK_PROCESS_CPUTIME_ID) - call.cpu_start_ns;
    const std::uint64_t end_ns = bench_clock_ns(CLOCK_MONOTONIC);
    std::printf("{\"op\":\"%s\",\"cycle\":%d,\"i\":%d,\"start_us\":%llu,\"end_us\":%llu,\"cpu_ns\":%llu,\"ok\":%d,"
                "\"reads\":%d}\n",
                op, cycle, index, static_cast<unsigned long long>(call.start_ns / 1000),
                static_cast<unsigned long long>(end_ns / 1000), static_cast<unsigned long long>(cpu_ns), ok, reads);
}

// One backup of the default key set; the reads it took, or 0 when a key failed.
int bench_backup()
{
    int reads = 0;
    for (const StoreKeyResult& result : store_run_backup(store_keys_default(), nullptr)) {
        if (!result.done) {
            return 0;
        }
        reads += result.reads;
    }
    return reads;
}

int bench_number(const char* text, int low, int high, int* out)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) {
        return 0;
    }
    *out = static_cast<int>(value);
    return 1;
}

int bench_cycle(int cycle, int writes, int words, int backups)
{
    BenchCall call = bench_call_start();
    const int opened = bcsp_port_open(BENCH_PORT, BENCH_BAUD);
    bench_report("open", cycle, 0, call, opened);
    if (!opened) {
        return 0;
    }
    int failures = 0;
    std::uint16_t values[PS_KEY_MAX_VALUE_WORDS] = {};
    for (int i = 0; i < writes; ++i) {
        for (int w = 0; w < words; ++w) {
            values[w] = static_cast<std::uint16_t>(i + w);
        }
        call = bench_call_start();
        const int ok = ps_write(BENCH_KEY, words, values);
        bench_report("ps_write", cycle, i, call, ok);
        failures += ok ? 0 : 1;
    }
    for (int i = 0; i < backups; ++i) {
        call = bench_call_start();
        const int reads = bench_backup();
        bench_report("backup", cycle, i, call, reads > 0, reads);
        failures += reads > 0 ? 0 : 1;
    }
    call = bench_call_start();
    bcsp_port_close();
    bench_report("close", cycle, 0, call, 1);
    return failures == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int writes = BENCH_DEFAULT_WRITES;
    int words = 1;
    int cycles = 1;
    int backups = 0;
    for (int i = 1; i < argc; i += 2) {
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        int ok = 0;
        if (std::strcmp(argv[i], "--writes") == 0) {
            ok = bench_number(value, 0, BENCH_MAX_WRITES, &writes);
        } else if (std::strcmp(argv[i], "--words") == 0) {
            ok = bench_number(value, PS_KEY_MIN_VALUE_WORDS, PS_KEY_MAX_VALUE_WORDS, &words);
        } else if (std::strcmp(argv[i], "--cycles") == 0) {
            ok = bench_number(value, 1, 1000, &cycles);
        } else if (std::strcmp(argv[i], "--backups") == 0) {
            ok = bench_number(value, 0, 1000, &backups);
        }
        if (!ok) {
            std::fprintf(stderr, "usage: bcsp_bench [--writes N] [--words W] [--cycles C] [--backups B]\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    int all_ok = 1;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        all_ok &= bench_cycle(cycle, writes, words, backups);
    }
    return all_ok ? 0 : 1;
}
