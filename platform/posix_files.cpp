// Whole-file writes on POSIX: mkstemp() beside the target, write(), fsync(),
// rename(), then fsync() of the folder so that the rename itself is kept.
#include "platform/platform_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// New files get the usual permissions, less the user's umask (mkstemp makes 0600).
constexpr mode_t FILE_CREATE_MODE = 0666;

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int fail(char* why, std::size_t why_size, const char* step, const std::string& path, int error)
{
    std::snprintf(why, why_size, "%s %s: %s", step, path.c_str(), std::strerror(error));
    return 0;
}

int write_all(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = written == 0 ? EIO : errno;
            return 0;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 1;
}

}  // namespace

int file_write_whole(const char* path, const void* data, std::size_t size, char* why, std::size_t why_size)
{
    std::string temp = std::string(path) + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return fail(why, why_size, "cannot create a temporary file beside", path, errno);
    }
    const mode_t mask = umask(0);
    umask(mask);
    int error = 0;
    const char* step = "cannot write";
    if (fchmod(fd, FILE_CREATE_MODE & ~mask) != 0 || !write_all(fd, static_cast<const char*>(data), size)) {
        error = errno;
    } else if (fsync(fd) != 0) {
        error = errno;
        step = "cannot flush to the disk";
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && rename(temp.c_str(), path) != 0) {
        error = errno;
        step = "cannot rename the temporary file to";
    }
    if (error != 0) {
        unlink(temp.c_str());
        return fail(why, why_size, step, path, error);
    }
    // Keep the rename across a power loss. Some file systems refuse fsync on
    // a folder (EINVAL); the file is complete and in place all the same.
    const int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        if (fsync(folder) != 0 && errno != EINVAL) {
            error = errno;
        }
        close(folder);
        if (error != 0) {
            return fail(why, why_size, "cannot flush the folder of", path, error);
        }
    }
    return 1;
}
