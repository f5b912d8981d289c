// The program search CreateProcessA makes, on POSIX: for process_start, and
// for telling which download tool would run.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/posix_wine.h"

namespace {

// The PATH a process without one searches, as the shell's default.
constexpr char DEFAULT_SEARCH_PATH[] = "/usr/local/bin:/usr/bin:/bin";

int path_is_executable_file(const char* path)
{
    struct stat info{};
    return stat(path, &info) == 0 && S_ISREG(info.st_mode) && access(path, X_OK) == 0;
}

int path_join(char* out, std::size_t capacity, const char* folder, std::size_t folder_length, const char* name)
{
    const int written = std::snprintf(out, capacity, "%.*s/%s", static_cast<int>(folder_length), folder, name);
    return written >= 0 && static_cast<std::size_t>(written) < capacity;
}

}  // namespace

int posix_program_find_on_path(const char* name, char* path, std::size_t capacity)
{
    const char* search = std::getenv("PATH");
    if (search == nullptr) {
        search = DEFAULT_SEARCH_PATH;
    }
    for (const char* entry = search;;) {
        const char* end = std::strchr(entry, ':');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - entry) : std::strlen(entry);
        const int joined = length == 0 ? path_join(path, capacity, ".", 1, name)
                                       : path_join(path, capacity, entry, length, name);
        if (joined && path_is_executable_file(path)) {
            return 1;
        }
        if (end == nullptr) {
            break;
        }
        entry = end + 1;
    }
    errno = ENOENT;
    return 0;
}

int posix_program_find(const char* name, char* path, std::size_t capacity)
{
    if (std::strchr(name, '/') != nullptr) {
        const int written = std::snprintf(path, capacity, "%s", name);
        if (written < 0 || static_cast<std::size_t>(written) >= capacity) {
            errno = ENAMETOOLONG;
            return 0;
        }
        return 1;
    }
    if (path_join(path, capacity, ".", 1, name) && path_is_executable_file(path)) {
        return 1;
    }
    return posix_program_find_on_path(name, path, capacity);
}
