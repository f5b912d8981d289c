// DFUWizard: the stand-in for the external firmware download tool, for tests
// and the demo. It downloads nothing. It:
//   1. appends its whole command line (argv joined by blanks) as one line to
//      the file named by DFUWIZARD_RECORD (default "DFUWizard.log" in the
//      current folder), where "{port}" stands for the last path component of
//      its port (ttyUSB0, COM5), so that several tools at once keep a record
//      each; with DFUWIZARD_SAY set, it also writes that text as one line to
//      its standard output, as a real tool shows its progress;
//   2. checks that its port is free, as the real tool needs it to be. The
//      port is the one named after "/serial" on its command line (COM1 when
//      none is): COMn, or on Linux also a device path. On Linux it opens the
//      path, or for COMn $COMn_DEVICE (else /dev/ttyS<n-1>), and takes
//      flock(LOCK_EX|LOCK_NB) on it (the updater holds that lock while its
//      port is open); on Windows CreateFileA("\\\\.\\COMn") with share mode 0,
//      then GetCommState (Wine hands out a handle even when the port's device
//      is missing). If the port cannot be had it appends
//      "DFUWizard: <port> not free: <reason>" to the record and exits with
//      DFU_EXIT_COM1_BUSY;
//   3. when DFUWIZARD_LINE_RECORD names a file, appends the port's line
//      settings as it found them, "<port> <baud> <bits><parity><stop>" (e.g.
//      "COM1 115200 8E1"): GetCommState on Windows, tcgetattr on Linux. Under
//      Wine this shows which device the port led to: the settings are those
//      the updater left on its port;
//   4. when DFUWIZARD_PORT_MARK is set, writes that text ("{port}" standing
//      for its port's name as its command line gives it) to the port once:
//      the null-modem fixture's data log of the device it reached then holds
//      it, which shows where a COM port under Wine led;
//   5. keeps the port open for DFUWIZARD_RUN_MS milliseconds (default 300);
//   6. exits with DFUWIZARD_EXIT_CODE, or for a port that DFUWIZARD_EXIT_CODES
//      names ("ttyUSB1=3,COM5=7", by the port's last path component) with
//      that code (default 0; any 32-bit value, negative
//      or 259 included: Windows passes it on whole, Linux keeps its low 8 bits).
// DFUWIZARD_KILL_SELF=1 makes it die by SIGKILL at the end of its run instead
// (Linux; the updater then reports 128 + 9); elsewhere it is ignored.
//
// The Linux and Windows builds share everything but the few calls in the
// block right below: the one place where the platform is chosen.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int DFU_EXIT_COM1_BUSY = 90;
constexpr unsigned DFU_DEFAULT_RUN_MS = 300;
constexpr const char* DFU_DEFAULT_RECORD = "DFUWizard.log";

}  // namespace

#if defined(_WIN32)
#include <windows.h>

namespace {

HANDLE dfu_port = INVALID_HANDLE_VALUE;
DCB dfu_state = {};

int dfu_open_port(const char* port, char* why, std::size_t why_size) {
    char path[300];
    std::snprintf(path, sizeof path, "\\\\.\\%s", port);
    dfu_port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (dfu_port == INVALID_HANDLE_VALUE) {
        std::snprintf(why, why_size, "CreateFileA(%s) failed with error %lu", path, GetLastError());
        return 0;
    }
    // Wine opens a port whose device is missing; only the port state tells.
    dfu_state.DCBlength = sizeof dfu_state;
    if (!GetCommState(dfu_port, &dfu_state)) {
        std::snprintf(why, why_size, "%s is not a serial port: GetCommState failed with error %lu", port,
                      GetLastError());
        CloseHandle(dfu_port);
        dfu_port = INVALID_HANDLE_VALUE;
        return 0;
    }
    return 1;
}

void dfu_line_settings(char* text, std::size_t size) {
    static const char PARITY[] = "NOEMS";
    static const char* const STOP[] = {"1", "1.5", "2"};
    std::snprintf(text, size, "%lu %u%c%s", static_cast<unsigned long>(dfu_state.BaudRate), dfu_state.ByteSize,
                  dfu_state.Parity < 5 ? PARITY[dfu_state.Parity] : '?',
                  dfu_state.StopBits < 3 ? STOP[dfu_state.StopBits] : "?");
}

int dfu_write_port(const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(dfu_port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

void dfu_close_port() {
    if (dfu_port != INVALID_HANDLE_VALUE) CloseHandle(dfu_port);
    dfu_port = INVALID_HANDLE_VALUE;
}

void dfu_sleep_ms(unsigned ms) { Sleep(ms); }

void dfu_die_by_signal() {}

[[noreturn]] void dfu_exit(long code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace

#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

int dfu_port = -1;

int dfu_open_port(const char* port, char* why, std::size_t why_size) {
    // COMn as the updater resolves it; any other name is a device path.
    char variable[64];
    char fallback[64];
    const char* path = port;
    // strtoul, not sscanf's %lu: a number too large for it is refused, not undefined.
    unsigned long number = 0;
    char* end = nullptr;
    errno = 0;
    if (std::strncmp(port, "COM", 3) == 0 && std::isdigit(static_cast<unsigned char>(port[3])))
        number = std::strtoul(port + 3, &end, 10);
    if (number > 0 && errno == 0 && *end == 0) {
        std::snprintf(variable, sizeof variable, "COM%lu_DEVICE", number);
        std::snprintf(fallback, sizeof fallback, "/dev/ttyS%lu", number - 1);
        path = std::getenv(variable);
        if (!path || !*path) path = fallback;
    }
    dfu_port = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (dfu_port < 0) {
        std::snprintf(why, why_size, "cannot open %s: %s", path, std::strerror(errno));
        return 0;
    }
    if (flock(dfu_port, LOCK_EX | LOCK_NB) != 0) {
        std::snprintf(why, why_size, "%s is locked by another program: %s", path, std::strerror(errno));
        close(dfu_port);
        dfu_port = -1;
        return 0;
    }
    return 1;
}

void dfu_line_settings(char* text, std::size_t size) {
    struct termios line = {};
    if (tcgetattr(dfu_port, &line) != 0) {
        std::snprintf(text, size, "unreadable: %s", std::strerror(errno));
        return;
    }
    static const struct {
        speed_t code;
        unsigned long baud;
    } SPEEDS[] = {{B1200, 1200}, {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    unsigned long baud = 0;
    for (const auto& speed : SPEEDS)
        if (cfgetospeed(&line) == speed.code) baud = speed.baud;
    const tcflag_t size_bits = line.c_cflag & CSIZE;
    const unsigned bits = size_bits == CS5 ? 5 : size_bits == CS6 ? 6 : size_bits == CS7 ? 7 : 8;
    const int odd = (line.c_cflag & PARODD) != 0;
    const char parity = !(line.c_cflag & PARENB) ? 'N' : (line.c_cflag & CMSPAR) ? (odd ? 'M' : 'S') : (odd ? 'O' : 'E');
    std::snprintf(text, size, "%lu %u%c%s", baud, bits, parity, (line.c_cflag & CSTOPB) ? "2" : "1");
}

int dfu_write_port(const std::string& bytes) {
    return write(dfu_port, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

void dfu_close_port() {
    if (dfu_port >= 0) close(dfu_port);
    dfu_port = -1;
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

// The record's name, "{port}" replaced by the port's last path component.
std::string dfu_record_path(const char* port, const char* record_variable) {
    const char* named = std::getenv(record_variable);
    std::string path = named && *named ? named : DFU_DEFAULT_RECORD;
    std::string leaf = port;
    const std::size_t slash = leaf.find_last_of("/\\");
    if (slash != std::string::npos) leaf.erase(0, slash + 1);
    for (std::size_t at = path.find("{port}"); at != std::string::npos; at = path.find("{port}", at + leaf.size())) {
        path.replace(at, 6, leaf);
    }
    return path;
}

// The exit code DFUWIZARD_EXIT_CODES gives the port ("leaf=code,..."), else fallback.
long dfu_port_exit_code(const char* port, long fallback) {
    const char* codes = std::getenv("DFUWIZARD_EXIT_CODES");
    if (!codes) return fallback;
    std::string leaf = port;
    const std::size_t slash = leaf.find_last_of("/\\");
    if (slash != std::string::npos) leaf.erase(0, slash + 1);
    const std::string list = std::string(",") + codes;
    const std::size_t at = list.find("," + leaf + "=");
    if (at == std::string::npos) return fallback;
    char* end = nullptr;
    const long code = std::strtol(list.c_str() + at + leaf.size() + 2, &end, 0);
    return end != nullptr && (*end == ',' || *end == '\0') ? code : fallback;
}

// Appends one line to the record (DFUWIZARD_RECORD, or record_variable's
// file); a record that cannot be written is reported on stderr, and the run
// goes on (the exit code is the test's signal).
void dfu_record(const char* port, const char* line, const char* record_variable = "DFUWIZARD_RECORD") {
    const std::string record = dfu_record_path(port, record_variable);
    const char* path = record.c_str();
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
    const char* port = "COM1";
    for (int i = 1; i + 1 < argc; i++) {
        if (std::strcmp(argv[i], "/serial") == 0) port = argv[i + 1];
    }
    dfu_record(port, command_line);
    const char* say = std::getenv("DFUWIZARD_SAY");
    if (say && *say) {
        std::printf("%s\n", say);
        std::fflush(stdout);
    }
    char why[512];
    if (!dfu_open_port(port, why, sizeof why)) {
        char line[900];
        std::snprintf(line, sizeof line, "DFUWizard: %s not free: %s", port, why);
        dfu_record(port, line);
        std::fprintf(stderr, "%s\n", line);
        dfu_exit(DFU_EXIT_COM1_BUSY);
    }
    const char* line_record = std::getenv("DFUWIZARD_LINE_RECORD");
    if (line_record && *line_record) {
        char settings[128];
        char line[400];
        dfu_line_settings(settings, sizeof settings);
        std::snprintf(line, sizeof line, "%s %s", port, settings);
        dfu_record(port, line, "DFUWIZARD_LINE_RECORD");
    }
    const char* mark = std::getenv("DFUWIZARD_PORT_MARK");
    if (mark && *mark) {
        std::string text = mark;
        for (std::size_t at = text.find("{port}"); at != std::string::npos; at = text.find("{port}", at)) {
            text.replace(at, 6, port);
        }
        if (!dfu_write_port(text)) std::fprintf(stderr, "DFUWizard: the mark could not be written to %s\n", port);
    }
    const long run_ms = dfu_env_number("DFUWIZARD_RUN_MS", DFU_DEFAULT_RUN_MS);
    dfu_sleep_ms(run_ms > 0 ? static_cast<unsigned>(run_ms) : 0);
    dfu_close_port();
    if (dfu_env_number("DFUWIZARD_KILL_SELF", 0) == 1) dfu_die_by_signal();
    dfu_exit(dfu_port_exit_code(port, dfu_env_number("DFUWIZARD_EXIT_CODE", 0)));
}
