// Wine for a Windows download tool, on POSIX: which tool would run, whether
// Wine can run it, and marrowlink's own Wine prefix, made once under a lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/posix_wine.h"

namespace {

constexpr char STATE_FOLDER_NAME[] = "marrowlink";
constexpr char XDG_STATE_FALLBACK[] = ".local/state";  // under HOME, as the XDG base directories say
constexpr char PREFIX_NAME[] = "wine";
constexpr char LOG_NAME[] = "wine.log";
constexpr char PREFIX_LOCK_NAME[] = "wine.lock";
// Written last: the prefix is whole. Its text names the port links it maps.
constexpr char PREFIX_MARKER_NAME[] = "marrowlink-prefix";
// Written first: a prefix with it (and without the marker) is a half-made one
// of ours, which a later run may remove and make again.
constexpr char PREFIX_CREATING_NAME[] = "marrowlink-creating";
constexpr char PREFIX_WOW64_NTDLL[] = "drive_c/windows/syswow64/ntdll.dll";
constexpr char PREFIX_REGISTRY_NAME[] = "system.reg";
constexpr char PORTS_REGISTRY_SECTION[] = "[Software\\\\Wine\\\\Ports]";
constexpr char LIBEXEC_FROM_PROGRAM[] = "../libexec/marrowlink";
constexpr mode_t STATE_FOLDER_MODE = 0700;
constexpr mode_t LOCK_FILE_MODE = 0600;

// wineboot -i took 4 s here (Wine 8.0, Debian 12) and the server 3 s more to
// save the registry; a slow disk takes many times that.
constexpr std::uint32_t WINE_PREFIX_CREATE_TIMEOUT_MS = 180000;
constexpr std::uint32_t WINE_REGISTRY_TIMEOUT_MS = 60000;
constexpr std::uint32_t WINE_SERVER_END_TIMEOUT_MS = 60000;
// A second run waits for the first to make the prefix: as long as that may take.
constexpr std::uint32_t WINE_PREFIX_LOCK_TIMEOUT_MS =
    WINE_PREFIX_CREATE_TIMEOUT_MS + WINE_REGISTRY_TIMEOUT_MS + WINE_SERVER_END_TIMEOUT_MS;
constexpr std::uint32_t WINE_PREFIX_LOCK_POLL_MS = 100;
// What a new prefix takes on disk, said before it is made: 693 MB measured
// with Wine 8.0 on Debian 12.
constexpr std::uint64_t WINE_PREFIX_ESTIMATED_BYTES = 700ull * 1000 * 1000;

// Where Wine installations keep their libraries; a 32-bit Wine has
// i386-windows/ntdll.dll in one (Debian's wine32: the first).
constexpr const char* WINE_LIBRARY_FOLDERS[] = {
    "/usr/lib/i386-linux-gnu/wine", "/usr/lib/x86_64-linux-gnu/wine", "/usr/lib/wine",
    "/usr/lib32/wine",              "/usr/lib64/wine",                "/usr/local/lib/wine",
    "/usr/local/lib32/wine",        "/opt/wine-stable/lib/wine",      "/opt/wine-devel/lib/wine",
    "/opt/wine-staging/lib/wine",   nullptr};
// The same, relative to the folder of the wine program found.
constexpr const char* WINE_LIBRARY_FOLDERS_BESIDE[] = {"../lib/wine", "../lib32/wine", "../lib64/wine", nullptr};
constexpr char WINE32_NTDLL[] = "i386-windows/ntdll.dll";

int status_set(DownloadToolStatus* status, int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
int status_set(DownloadToolStatus* status, int code, const char* format, ...)
{
    status->code = code;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(status->text, sizeof status->text, format, arguments);
    va_end(arguments);
    return code == DOWNLOAD_TOOL_OK ? 1 : 0;
}

void status_clear(DownloadToolStatus* status)
{
    *status = DownloadToolStatus{};
    status->code = DOWNLOAD_TOOL_OK;
}

int copy_text(char* out, std::size_t capacity, const std::string& text)
{
    if (text.size() >= capacity) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return 1;
}

int path_exists(const std::string& path)
{
    struct stat info{};
    return lstat(path.c_str(), &info) == 0;
}

int regular_file(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int executable_file(const std::string& path)
{
    return regular_file(path) && access(path.c_str(), X_OK) == 0;
}

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Takes an exclusive lock on path (created if missing), waiting up to
// timeout_ms for another holder to let go. The descriptor, or -1 (errno
// EWOULDBLOCK when the time ran out).
int lock_take(const std::string& path, std::uint32_t timeout_ms)
{
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, LOCK_FILE_MODE);
    if (fd < 0) {
        return -1;
    }
    const std::uint64_t deadline = wine_clock_ms() + timeout_ms;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return fd;
        }
        if ((errno != EWOULDBLOCK && errno != EINTR) || wine_clock_ms() >= deadline) {
            const int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        timespec pause{0, static_cast<long>(WINE_PREFIX_LOCK_POLL_MS) * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

int folder_make(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) {
        errno = error.value();
        return 0;
    }
    return chmod(path.c_str(), STATE_FOLDER_MODE) == 0 || errno == EPERM;
}

// The disk a folder takes, as du counts it (symbolic links not followed: the
// prefix's z: drive leads to /).
std::uint64_t disk_usage(const std::string& folder)
{
    std::uint64_t bytes = 0;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator entry(
             folder, std::filesystem::directory_options::skip_permission_denied, error), end;
         !error && entry != end; entry.increment(error)) {
        struct stat info{};
        if (lstat(entry->path().c_str(), &info) == 0) {
            bytes += static_cast<std::uint64_t>(info.st_blocks) * 512u;
        }
    }
    return bytes;
}

std::string program_folder()
{
    char path[DOWNLOAD_TOOL_PATH_BYTES];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return ".";
    }
    path[length] = '\0';
    return folder_of(path);
}

std::string marker_text(const std::string& prefix)
{
    char link[DOWNLOAD_TOOL_PATH_BYTES];
    if (!wine_port_link(prefix.c_str(), WINE_TOOL_COM_PORT, link, sizeof link)) {
        return "";
    }
    return std::string(WINE_TOOL_PORT_NAME) + "=" + link + "\n";
}

int prefix_is_ready(const std::string& prefix)
{
    std::ifstream marker(prefix + "/" + PREFIX_MARKER_NAME);
    std::stringstream text;
    text << marker.rdbuf();
    return marker.good() && text.str() == marker_text(prefix);
}

// The Ports section of the prefix's registry names COM1 (the server writes
// the registry when it ends).
int registry_maps_port(const std::string& prefix)
{
    std::ifstream registry(prefix + "/" + PREFIX_REGISTRY_NAME);
    const std::string value = std::string("\"") + WINE_TOOL_PORT_NAME + "\"=";
    std::string line;
    int in_section = 0;
    while (std::getline(registry, line)) {
        if (!line.empty() && line[0] == '[') {
            in_section = line.compare(0, sizeof PORTS_REGISTRY_SECTION - 1, PORTS_REGISTRY_SECTION) == 0;
        } else if (in_section && line.compare(0, value.size(), value) == 0) {
            return 1;
        }
    }
    return 0;
}

// Removes what a run before left half made; refuses a folder that is not ours.
int prefix_clear(const std::string& prefix, DownloadToolStatus* status)
{
    struct stat info{};
    if (lstat(prefix.c_str(), &info) != 0) {
        return 1;
    }
    std::error_code error;
    const int ours = S_ISDIR(info.st_mode) && (path_exists(prefix + "/" + PREFIX_CREATING_NAME) ||
                                               path_exists(prefix + "/" + PREFIX_MARKER_NAME) ||
                                               std::filesystem::is_empty(prefix, error));
    if (!ours) {
        return status_set(status, DOWNLOAD_TOOL_PREFIX_FAILED,
                          "%s exists and was not made by marrowlink; move it away", prefix.c_str());
    }
    std::filesystem::remove_all(prefix, error);
    if (error) {
        return status_set(status, DOWNLOAD_TOOL_PREFIX_FAILED, "the half-made Wine prefix %s cannot be removed: %s",
                          prefix.c_str(), error.message().c_str());
    }
    return 1;
}

int prefix_step_failed(const WineInstall& install, const char* step, const char* why, DownloadToolStatus* status)
{
    return status_set(status, DOWNLOAD_TOOL_PREFIX_FAILED, "making the Wine prefix %s: %s failed: %s",
                      install.prefix, step, why);
}

// wineboot -i in a new folder, then the Ports value, then the server's end
// (it saves the registry, and the next start's mount manager reads it).
int prefix_create(const WineInstall& install, DownloadToolStatus* status)
{
    const std::string prefix = install.prefix;
    if (!prefix_clear(prefix, status)) {
        return 0;
    }
    if (mkdir(prefix.c_str(), STATE_FOLDER_MODE) != 0) {
        return prefix_step_failed(install, "creating its folder", std::strerror(errno), status);
    }
    char why[DOWNLOAD_TOOL_TEXT_BYTES / 2];
    std::ofstream(prefix + "/" + PREFIX_CREATING_NAME) << "a Wine prefix being made by marrowlink\n";
    wine_log_line(install.log, ("making the Wine prefix " + prefix).c_str());
    const char* boot[] = {install.wine, "wineboot", "-i", nullptr};
    if (!wine_command_run(boot, install.prefix, 1, install.log, WINE_PREFIX_CREATE_TIMEOUT_MS, why, sizeof why)) {
        return prefix_step_failed(install, "wineboot -i", why, status);
    }
    char link[DOWNLOAD_TOOL_PATH_BYTES];
    if (!wine_port_link(install.prefix, WINE_TOOL_COM_PORT, link, sizeof link)) {
        return prefix_step_failed(install, "naming its COM1 link", std::strerror(errno), status);
    }
    WinePortsCommand ports{};
    wine_ports_command(link, WINE_TOOL_COM_PORT, &ports);
    const char* add[WINE_PORTS_COMMAND_WORDS + 2] = {install.wine};
    for (std::size_t word = 0; word < WINE_PORTS_COMMAND_WORDS; ++word) {
        add[word + 1] = ports.words[word];
    }
    if (!wine_command_run(add, install.prefix, 1, install.log, WINE_REGISTRY_TIMEOUT_MS, why, sizeof why)) {
        return prefix_step_failed(install, "reg add (the COM1 mapping)", why, status);
    }
    const char* wait[] = {install.wineserver, "-w", nullptr};
    if (!wine_command_run(wait, install.prefix, 1, install.log, WINE_SERVER_END_TIMEOUT_MS, why, sizeof why)) {
        return prefix_step_failed(install, "wineserver -w", why, status);
    }
    if (!registry_maps_port(prefix)) {
        return prefix_step_failed(install, "checking the COM1 mapping", "system.reg has no Ports value COM1",
                                  status);
    }
    std::ofstream marker(prefix + "/" + PREFIX_MARKER_NAME);
    marker << marker_text(prefix);
    marker.close();
    if (!marker || unlink((prefix + "/" + PREFIX_CREATING_NAME).c_str()) != 0) {
        return prefix_step_failed(install, "writing its marker", std::strerror(errno), status);
    }
    wine_log_line(install.log, ("the Wine prefix " + prefix + " is ready").c_str());
    return 1;
}

// Wine updates a prefix itself when Wine changes, but not when its 32-bit
// part is installed later: the prefix then has no 32-bit system folder.
int prefix_update_for_32_bit(const WineInstall& install, DownloadToolStatus* status)
{
    const std::string ntdll = std::string(install.prefix) + "/" + PREFIX_WOW64_NTDLL;
    if (regular_file(ntdll)) {
        return 1;
    }
    wine_log_line(install.log, "updating the Wine prefix for a 32-bit program");
    const char* update[] = {install.wine, "wineboot", "-u", nullptr};
    const char* wait[] = {install.wineserver, "-w", nullptr};
    char why[DOWNLOAD_TOOL_TEXT_BYTES / 2];
    if (!wine_command_run(update, install.prefix, 1, install.log, WINE_PREFIX_CREATE_TIMEOUT_MS, why, sizeof why) ||
        !wine_command_run(wait, install.prefix, 1, install.log, WINE_SERVER_END_TIMEOUT_MS, why, sizeof why)) {
        return prefix_step_failed(install, "updating it for a 32-bit program", why, status);
    }
    if (!regular_file(ntdll)) {
        return status_set(status, DOWNLOAD_TOOL_NO_WINE32,
                          "the Wine prefix %s has no 32-bit part even after an update (no %s)", install.prefix,
                          PREFIX_WOW64_NTDLL);
    }
    return 1;
}

// What can be known about a Windows tool without touching the prefix.
int tool_checks(const WineInstall& install, const char* tool, PeFacts* facts, DownloadToolStatus* status)
{
    char why[DOWNLOAD_TOOL_TEXT_BYTES / 2];
    if (!pe_header_read(tool, facts, why, sizeof why)) {
        return status_set(status, DOWNLOAD_TOOL_NOT_A_PROGRAM, "%s is not a Windows program Wine can start: %s",
                          tool, why);
    }
    if (facts->bits == 32 && !wine_has_32_bit(install.wine, nullptr)) {
        return status_set(status, DOWNLOAD_TOOL_NO_WINE32,
                          "%s is a 32-bit Windows program, and this Wine runs 64-bit programs only (no %s "
                          "in Wine's library folders)",
                          tool, WINE32_NTDLL);
    }
    const char* display = std::getenv("DISPLAY");
    if (facts->subsystem == PE_SUBSYSTEM_WINDOWS_GUI && (display == nullptr || display[0] == '\0')) {
        return status_set(status, DOWNLOAD_TOOL_NO_DISPLAY,
                          "%s opens windows, and there is no display (DISPLAY is not set)", tool);
    }
    return 1;
}

}  // namespace

int wine_state_folder(const char* xdg_state_home, const char* home, char* folder, std::size_t capacity)
{
    std::string path;
    if (xdg_state_home != nullptr && xdg_state_home[0] == '/') {
        path = std::string(xdg_state_home) + "/" + STATE_FOLDER_NAME;
    } else if (home != nullptr && home[0] == '/') {
        path = std::string(home) + "/" + XDG_STATE_FALLBACK + "/" + STATE_FOLDER_NAME;
    } else {
        errno = ENOENT;
        return 0;
    }
    return copy_text(folder, capacity, path);
}

int wine_launcher_find(const char* folder, char* path, std::size_t capacity)
{
    const std::string candidates[] = {std::string(folder) + "/" + WINE_LAUNCHER_NAME,
                                      std::string(folder) + "/" + LIBEXEC_FROM_PROGRAM + "/" + WINE_LAUNCHER_NAME};
    for (const std::string& candidate : candidates) {
        if (regular_file(candidate) && access(candidate.c_str(), R_OK) == 0) {
            return copy_text(path, capacity, candidate);
        }
    }
    errno = ENOENT;
    return 0;
}

int wine_has_32_bit(const char* wine, const char* const* library_folders)
{
    for (const char* const* folder = library_folders != nullptr ? library_folders : WINE_LIBRARY_FOLDERS;
         *folder != nullptr; ++folder) {
        if (regular_file(std::string(*folder) + "/" + WINE32_NTDLL)) {
            return 1;
        }
    }
    char resolved[DOWNLOAD_TOOL_PATH_BYTES];
    if (library_folders != nullptr || realpath(wine, resolved) == nullptr) {
        return 0;
    }
    for (const char* const* beside = WINE_LIBRARY_FOLDERS_BESIDE; *beside != nullptr; ++beside) {
        if (regular_file(folder_of(resolved) + "/" + *beside + "/" + WINE32_NTDLL)) {
            return 1;
        }
    }
    return 0;
}

int wine_install_find(WineInstall* install, DownloadToolStatus* status)
{
    *install = WineInstall{};
    if (!posix_program_find_on_path("wine", install->wine, sizeof install->wine)) {
        return status_set(status, DOWNLOAD_TOOL_NO_WINE, "there is no wine on the PATH");
    }
    const std::string beside = folder_of(install->wine) + "/wineserver";
    if (!(executable_file(beside) && copy_text(install->wineserver, sizeof install->wineserver, beside)) &&
        !posix_program_find_on_path("wineserver", install->wineserver, sizeof install->wineserver)) {
        return status_set(status, DOWNLOAD_TOOL_NO_WINE, "%s is there, but no wineserver beside it or on the PATH",
                          install->wine);
    }
    const std::string folder = program_folder();
    if (!wine_launcher_find(folder.c_str(), install->launcher, sizeof install->launcher)) {
        return status_set(status, DOWNLOAD_TOOL_NO_LAUNCHER,
                          "%s, through which a Windows tool starts under Wine, is neither in %s nor in %s/%s "
                          "(this build was made without the mingw-w64 compiler)",
                          WINE_LAUNCHER_NAME, folder.c_str(), folder.c_str(), LIBEXEC_FROM_PROGRAM);
    }
    if (!wine_state_folder(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"), install->state,
                           sizeof install->state) ||
        !copy_text(install->prefix, sizeof install->prefix, std::string(install->state) + "/" + PREFIX_NAME) ||
        !copy_text(install->log, sizeof install->log, std::string(install->state) + "/" + LOG_NAME)) {
        return status_set(status, DOWNLOAD_TOOL_NO_STATE_FOLDER,
                          "neither XDG_STATE_HOME nor HOME names a folder for the Wine prefix");
    }
    copy_text(status->log, sizeof status->log, install->log);
    return 1;
}

void wine_ports_command(const char* link, int com, WinePortsCommand* command)
{
    std::snprintf(command->port, sizeof command->port, "COM%d", com);
    const char* const words[] = {"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", command->port, "/t",
                                 "REG_SZ", "/d", link, "/f"};
    static_assert(sizeof words / sizeof words[0] == WINE_PORTS_COMMAND_WORDS);
    std::size_t count = 0;
    for (const char* word : words) {
        command->words[count++] = word;
    }
    command->words[count] = nullptr;
}

int wine_tool_ready(const WineInstall& install, const char* tool, DownloadToolNotice notice, void* context,
                    DownloadToolStatus* status)
{
    PeFacts facts{};
    if (!tool_checks(install, tool, &facts, status)) {
        return 0;
    }
    if (!folder_make(install.state)) {
        return status_set(status, DOWNLOAD_TOOL_PREFIX_FAILED, "the folder %s cannot be made: %s", install.state,
                          std::strerror(errno));
    }
    const std::string lock_path = std::string(install.state) + "/" + PREFIX_LOCK_NAME;
    const int lock = lock_take(lock_path, WINE_PREFIX_LOCK_TIMEOUT_MS);
    if (lock < 0) {
        return status_set(status, DOWNLOAD_TOOL_PREFIX_FAILED, "the Wine prefix's lock %s: %s", lock_path.c_str(),
                          errno == EWOULDBLOCK ? "another marrowlink has held it for too long" : std::strerror(errno));
    }
    int ready = 1;
    if (!prefix_is_ready(install.prefix)) {
        if (notice != nullptr) {
            notice(context, install.prefix, WINE_PREFIX_ESTIMATED_BYTES);
        }
        const std::uint64_t started = wine_clock_ms();
        ready = prefix_create(install, status);
        if (ready) {
            status->prefix_created = 1;
            status->prefix_ms = wine_clock_ms() - started;
            status->prefix_bytes = disk_usage(install.prefix);
        }
    }
    if (ready && facts.bits == 32) {
        ready = prefix_update_for_32_bit(install, status);
    }
    close(lock);
    return ready;
}

int download_tool_choose(const char* folder, const char* program, DownloadToolChoice* choice)
{
    *choice = DownloadToolChoice{};
    const std::string where = folder != nullptr ? folder : ".";
    const std::string native = where + "/" + program;
    const std::string windows = native + ".exe";
    if (executable_file(native) && copy_text(choice->path, sizeof choice->path, native)) {
        choice->kind = DOWNLOAD_TOOL_NATIVE_FOLDER;
    } else if (regular_file(windows) && copy_text(choice->path, sizeof choice->path, windows)) {
        choice->kind = DOWNLOAD_TOOL_WINE_FOLDER;
    } else if (posix_program_find_on_path(program, choice->path, sizeof choice->path)) {
        choice->kind = DOWNLOAD_TOOL_NATIVE_PATH;
    } else {
        choice->kind = DOWNLOAD_TOOL_NONE;
        choice->path[0] = '\0';
    }
    return 1;
}

int download_tool_describe(const char* folder, const char* program, DownloadToolFacts* facts,
                           DownloadToolStatus* status)
{
    *facts = DownloadToolFacts{};
    status_clear(status);
    download_tool_choose(folder, program, &facts->choice);
    if (facts->choice.kind != DOWNLOAD_TOOL_WINE_FOLDER) {
        return 1;
    }
    WineInstall install{};
    const int found = wine_install_find(&install, status);
    if (install.wine[0] != '\0') {
        wine_version(install.wine, facts->wine_version, sizeof facts->wine_version);
    }
    if (!found) {
        return 0;
    }
    copy_text(facts->prefix, sizeof facts->prefix, install.prefix);
    facts->prefix_ready = prefix_is_ready(install.prefix);
    PeFacts pe{};
    const int ok = tool_checks(install, facts->choice.path, &pe, status);
    facts->tool_bits = pe.bits;
    return ok;
}

int download_tool_prepare(const char* folder, const char* program, DownloadToolNotice notice, void* context,
                          DownloadToolStatus* status)
{
    status_clear(status);
    DownloadToolChoice choice{};
    download_tool_choose(folder, program, &choice);
    if (choice.kind != DOWNLOAD_TOOL_WINE_FOLDER) {
        return 1;
    }
    WineInstall install{};
    if (!wine_install_find(&install, status) || !wine_tool_ready(install, choice.path, notice, context, status)) {
        return 0;
    }
    if (wine_port_busy(install.state, WINE_TOOL_COM_PORT)) {
        return status_set(status, DOWNLOAD_TOOL_BUSY, "another download through Wine has COM1 of the prefix %s now",
                          install.prefix);
    }
    return 1;
}
