// DFUWizard: the stand-in for the external firmware download tool, for tests
// and the demo. It downloads nothing. It:
//   1. appends its whole command line (argv joined by blanks) as one line to
//      the file named by DFUWIZARD_RECORD (default "DFUWizard.log" in the
//      current folder);
//   2. checks that COM1 is free, as the real tool needs it to be: on Linux it
//      opens $COM1_DEVICE (or /dev/ttyS0) and takes flock(LOCK_EX|LOCK_NB) on
//      it (the updater holds that lock while its port is open); on Windows
//      CreateFileA("\\\\.\\COM1") with share mode 0, then GetCommState (Wine
//      hands out a handle even when COM1's device is missing). If COM1 cannot be had it
//      appends "DFUWizard: COM1 not free: <reason>" to the record and exits
//      with DFU_EXIT_COM1_BUSY;
//   3. keeps COM1 open for DFUWIZARD_RUN_MS milliseconds (default 300);
//   4. exits with DFUWIZARD_EXIT_CODE (default 0; any 32-bit value, negative
//      or 259 included: Windows passes it on whole, Linux keeps its low 8 bits).
// DFUWIZARD_KILL_SELF=1 makes it die by SIGKILL at the end of its run instead
// (Linux; the updater then reports 128 + 9); elsewhere it is ignored.
//
// The Linux and Windows builds share everything but the few calls in the
// block right below: the one place where the platform is chosen.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int DFU_EXIT_COM1_BUSY = 90;
constexpr unsigned DFU_DEFAULT_RUN_MS = 300;
constexpr const char* DFU_DEFAULT_RECORD = "DFUWizard.log";

}  // namespace

#if defined(_WIN32)
#include <windows.h>

namespace {

HANDLE dfu_com1 = INVALID_HANDLE_VALUE;

int dfu_open_com1(char* why, std::size_t why_size) {
    dfu_com1 = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (dfu_com1 == INVALID_HANDLE_VALUE) {
        std::snprintf(why, why_size, "CreateFileA(\\\\.\\COM1) failed with error %lu", GetLastError());
        return 0;
    }
    // Wine opens a COM1 whose device is missing; only the port state tells.
    DCB state = {};
    state.DCBlength = sizeof state;
    if (!GetCommState(dfu_com1, &state)) {
        std::snprintf(why, why_size, "COM1 is not a serial port: GetCommState failed with error %lu", GetLastError());
        CloseHandle(dfu_com1);
        dfu_com1 = INVALID_HANDLE_VALUE;
        return 0;
    }
    return 1;
}

void dfu_close_com1() {
    if (dfu_com1 != INVALID_HANDLE_VALUE) CloseHandle(dfu_com1);
    dfu_com1 = INVALID_HANDLE_VALUE;
}

void dfu_sleep_ms(unsigned ms) { Sleep(ms); }

void dfu_die_by_signal() {}

[[noreturn]] void dfu_exit(long code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace

#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

namespace {

int dfu_com1 = -1;

int dfu_open_com1(char* why, std::size_t why_size) {
    const char* path = std::getenv("COM1_DEVICE");
    if (!path || !*path) path = "/dev/ttyS0";
    dfu_com1 = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (dfu_com1 < 0) {
        std::snprintf(why, why_size, "cannot open %s: %s", path, std::strerror(errno));
        return 0;
    }
    if (flock(dfu_com1, LOCK_EX | LOCK_NB) != 0) {
        std::snprintf(why, why_size, "%s is locked by another program: %s", path, std::strerror(errno));
        close(dfu_com1);
        dfu_com1 = -1;
        return 0;
    }
    return 1;
}

void dfu_close_com1() {
    if (dfu_com1 >= 0) close(dfu_com1);
    dfu_com1 = -1;
}

void dfu_sleep_ms(unsigned ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void dfu_die_by_signal() { kill(getpid(), SIGKILL); }

[[noreturn]] void dfu_exit(long code) { std::exit(static_cast<int>(code)); }

}  // namespace

#endif

namespace {

long dfu_env_number(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 0);
    if (errno != 0 || *end != 0) {
        std::fprintf(stderr, "DFUWizard: %s=%s is not a number; using %ld\n", name, text, fallback);
        return fallback;
    }
    return value;
}

// Appends one line to the record; a record that cannot be written is
// reported on stderr, and the run goes on (the exit code is the test's signal).
void dfu_record(const char* line) {
    const char* path = std::getenv("DFUWIZARD_RECORD");
    if (!path || !*path) path = DFU_DEFAULT_RECORD;
    std::FILE* f = std::fopen(path, "a");
    if (!f) {
        std::fprintf(stderr, "DFUWizard: cannot write %s: %s\n", path, std::strerror(errno));
        return;
    }
    std::fprintf(f, "%s\n", line);
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    char command_line[4096] = "";
    std::size_t used = 0;
    for (int i = 0; i < argc && used + 1 < sizeof command_line; i++) {
        const int n = std::snprintf(command_line + used, sizeof command_line - used, "%s%s", i ? " " : "", argv[i]);
        if (n < 0) break;
        used += static_cast<std::size_t>(n);
    }
    dfu_record(command_line);

    char why[512];
    if (!dfu_open_com1(why, sizeof why)) {
        char line[600];
        std::snprintf(line, sizeof line, "DFUWizard: COM1 not free: %s", why);
        dfu_record(line);
        std::fprintf(stderr, "%s\n", line);
        dfu_exit(DFU_EXIT_COM1_BUSY);
    }
    const long run_ms = dfu_env_number("DFUWIZARD_RUN_MS", DFU_DEFAULT_RUN_MS);
    dfu_sleep_ms(run_ms > 0 ? static_cast<unsigned>(run_ms) : 0);
    dfu_close_com1();
    if (dfu_env_number("DFUWIZARD_KILL_SELF", 0) == 1) dfu_die_by_signal();
    dfu_exit(dfu_env_number("DFUWIZARD_EXIT_CODE", 0));
}
