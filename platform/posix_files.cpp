// Whole-file writes on POSIX: mkstemp() beside the target, write(), fsync(),
// a move into place that replaces only when asked, then fsync() of the folder
// so that the move itself is kept.
#include "platform/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// New files get the usual permissions, less the user's umask (mkstemp makes 0600).
constexpr mode_t FILE_CREATE_MODE = 0666;
// What a replaced file passes on to the file that replaces it.
constexpr mode_t FILE_PERMISSION_BITS = 07777;
// The kernel's RENAME_NOREPLACE, which older C libraries do not declare.
constexpr unsigned FILE_RENAME_NOREPLACE = 1u << 0;

#if defined(SYS_renameat2)
// Through syscall(): C libraries before glibc 2.28 have no renameat2 wrapper.
int system_rename_noreplace(const char* from, const char* to)
{
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, FILE_RENAME_NOREPLACE));
}
#else
// A system without renameat2: the link() fallback does the work.
int system_rename_noreplace(const char*, const char*)
{
    errno = ENOSYS;
    return -1;
}
#endif

int system_hard_link(const char* from, const char* to)
{
    return link(from, to);
}

int system_rename_over(const char* from, const char* to)
{
    return rename(from, to);
}

std::string folder_of(std::string path)
{
    // "a/b/" is in the folder a, as "a/b" is.
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

int fail(FileProblem* problem, FileProblem kind, char* why, std::size_t why_size, const char* step,
         const std::string& name, int error)
{
    if (problem != nullptr) {
        *problem = kind;
    }
    std::snprintf(why, why_size, "%s %s: %s", step, name.c_str(), std::strerror(error));
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

// renameat2 refuses the flag where the kernel lacks the call (ENOSYS) or the
// file system lacks the flag (EINVAL; some report "not supported").
bool rename_noreplace_unsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == ENOTSUP || error == EOPNOTSUPP;
}

// File systems without hard links: vfat says EPERM, others "not supported".
bool hard_link_unsupported(int error)
{
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// Moves temp to path unless something is at path (EEXIST). 0, or the error.
int move_noreplace(const FileMoveSteps& steps, const char* temp, const char* path)
{
    if (steps.rename_noreplace(temp, path) == 0) {
        return 0;
    }
    if (!rename_noreplace_unsupported(errno)) {
        return errno;
    }
    if (steps.hard_link(temp, path) == 0) {
        // The file is complete under its name; a temporary name that stays
        // behind is a second name of the same file, not worth failing over.
        static_cast<void>(unlink(temp));
        return 0;
    }
    if (!hard_link_unsupported(errno)) {
        return errno;
    }
    struct stat there {};
    if (lstat(path, &there) == 0) {
        return EEXIST;
    }
    if (errno != ENOENT) {
        return errno;
    }
    return steps.rename_over(temp, path) == 0 ? 0 : errno;
}

// The mode a new file at path gets: a replaced regular file's permission
// bits, else the usual ones less the umask.
mode_t new_file_mode(const char* path, FileExisting existing)
{
    struct stat old {};
    if (existing == FILE_REPLACE_EXISTING && lstat(path, &old) == 0 && S_ISREG(old.st_mode)) {
        return old.st_mode & FILE_PERMISSION_BITS;
    }
    const mode_t mask = umask(0);
    umask(mask);
    return FILE_CREATE_MODE & ~mask;
}

bool is_folder(const char* path)
{
    struct stat there {};
    return lstat(path, &there) == 0 && S_ISDIR(there.st_mode);
}

}  // namespace

FileMoveSteps file_move_steps_native()
{
    return FileMoveSteps{system_rename_noreplace, system_hard_link, system_rename_over};
}

int file_write_whole_with(const FileMoveSteps& steps, const char* path, const void* data, std::size_t size,
                          FileExisting existing, FileProblem* problem, char* why, std::size_t why_size)
{
    if (problem != nullptr) {
        *problem = FILE_PROBLEM_NONE;
    }
    if (path[0] == '\0') {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot write", "\"\"", ENOENT);
    }
    const mode_t mode = new_file_mode(path, existing);
    std::string temp = std::string(path) + ".tmp-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot create a temporary file beside", path, errno);
    }
    int error = 0;
    const char* step = "cannot write";
    if (fchmod(fd, mode) != 0 || !write_all(fd, static_cast<const char*>(data), size)) {
        error = errno;
    } else if (fsync(fd) != 0) {
        error = errno;
        step = "cannot flush to the disk";
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    FileProblem kind = FILE_PROBLEM_WRITE;
    if (error == 0) {
        error = existing == FILE_REPLACE_EXISTING ? (steps.rename_over(temp.c_str(), path) == 0 ? 0 : errno)
                                                  : move_noreplace(steps, temp.c_str(), path);
        step = "cannot rename the temporary file to";
        if (error == EEXIST && is_folder(path)) {
            error = EISDIR;
            kind = FILE_PROBLEM_FOLDER;
        } else if (error == EEXIST) {
            step = "will not replace";
            kind = FILE_PROBLEM_EXISTS;
        } else if (error == EISDIR) {
            kind = FILE_PROBLEM_FOLDER;
        }
    }
    if (error != 0) {
        // The reason given is the first failure, whether or not the
        // temporary file goes too.
        static_cast<void>(unlink(temp.c_str()));
        return fail(problem, kind, why, why_size, step, path, error);
    }
    // Keep the move across a power loss. Some file systems refuse fsync on
    // a folder (EINVAL); the file is complete and in place all the same.
    const int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        if (fsync(folder) != 0 && errno != EINVAL) {
            error = errno;
        }
        if (close(folder) != 0 && error == 0) {
            error = errno;
        }
        if (error != 0) {
            return fail(problem, FILE_PROBLEM_WRITE, why, why_size, "cannot flush the folder of", path, error);
        }
    }
    return 1;
}

int file_write_whole(const char* path, const void* data, std::size_t size, FileExisting existing,
                     FileProblem* problem, char* why, std::size_t why_size)
{
    return file_write_whole_with(file_move_steps_native(), path, data, size, existing, problem, why, why_size);
}

int file_target_check(const char* path, FileExisting existing, FileProblem* problem, char* why,
                      std::size_t why_size)
{
    if (problem != nullptr) {
        *problem = FILE_PROBLEM_NONE;
    }
    if (path[0] == '\0') {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot write", "\"\"", ENOENT);
    }
    struct stat there {};
    if (lstat(path, &there) == 0) {
        if (S_ISDIR(there.st_mode)) {
            return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot write", path, EISDIR);
        }
        if (existing == FILE_KEEP_EXISTING) {
            return fail(problem, FILE_PROBLEM_EXISTS, why, why_size, "will not replace", path, EEXIST);
        }
    }
    // The same kind of name the write makes first, so that what refuses the
    // write refuses this file too.
    std::string probe = std::string(path) + ".tmp-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot create a file in", folder_of(path), errno);
    }
    const int closed = close(fd) == 0 ? 0 : errno;
    if (unlink(probe.c_str()) != 0) {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot remove the test file", probe, errno);
    }
    if (closed != 0) {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot close the test file", probe, closed);
    }
    return 1;
}

std::FILE* file_open_private(const char* path, const char* mode)
{
    // "e": O_CLOEXEC, taken in the same call as the open.
    const std::string private_mode = std::string(mode) + "e";
    return std::fopen(path, private_mode.c_str());
}
