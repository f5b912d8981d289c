// Whole-file writes on Windows: GetTempFileNameA beside the target,
// WriteFile, FlushFileBuffers, then MoveFileExA written through to the disk,
// replacing the target only when asked.
#include "platform/platform_files.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) {
        return ".";
    }
    return path.substr(0, slash + 1);
}

int fail_text(FileProblem* problem, FileProblem kind, char* why, std::size_t why_size, const char* step,
              const std::string& name, const char* text)
{
    if (problem != nullptr) {
        *problem = kind;
    }
    std::snprintf(why, why_size, "%s %s: %s", step, name.c_str(), text);
    return 0;
}

int fail(FileProblem* problem, FileProblem kind, char* why, std::size_t why_size, const char* step,
         const std::string& name, DWORD error)
{
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    // The system's text ends with a line break.
    for (DWORD end = length; end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ');
         --end) {
        text[end - 1] = '\0';
    }
    char line[320] = "";
    std::snprintf(line, sizeof line, "%s (error %lu)", length > 0 ? text : "system error",
                  static_cast<unsigned long>(error));
    return fail_text(problem, kind, why, why_size, step, name, line);
}

// MoveFileExA says so in one of two ways when the target is there.
bool target_exists_error(DWORD error)
{
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

int write_all(HANDLE file, const char* data, std::size_t size)
{
    while (size > 0) {
        const DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) {
            return 0;
        }
        data += written;
        size -= written;
    }
    return 1;
}

}  // namespace

int file_write_whole(const char* path, const void* data, std::size_t size, FileExisting existing,
                     FileProblem* problem, char* why, std::size_t why_size)
{
    if (problem != nullptr) {
        *problem = FILE_PROBLEM_NONE;
    }
    if (path[0] == '\0') {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot write", "\"\"", ERROR_PATH_NOT_FOUND);
    }
    char temp[MAX_PATH];
    if (GetTempFileNameA(folder_of(path).c_str(), "mlk", 0, temp) == 0) {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot create a temporary file beside", path,
                    GetLastError());
    }
    const HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        static_cast<void>(DeleteFileA(temp));
        return fail(problem, FILE_PROBLEM_WRITE, why, why_size, "cannot open the temporary file for", path, error);
    }
    DWORD error = 0;
    const char* step = "cannot write";
    if (!write_all(file, static_cast<const char*>(data), size)) {
        error = GetLastError() != 0 ? GetLastError() : ERROR_WRITE_FAULT;
    } else if (!FlushFileBuffers(file)) {
        error = GetLastError();
        step = "cannot flush to the disk";
    }
    if (!CloseHandle(file) && error == 0) {
        error = GetLastError();
    }
    FileProblem kind = FILE_PROBLEM_WRITE;
    // Without MOVEFILE_REPLACE_EXISTING the move fails when anything is at path.
    const DWORD move_flags =
        MOVEFILE_WRITE_THROUGH | (existing == FILE_REPLACE_EXISTING ? MOVEFILE_REPLACE_EXISTING : 0);
    if (error == 0 && !MoveFileExA(temp, path, move_flags)) {
        error = GetLastError();
        step = "cannot rename the temporary file to";
        if (target_exists_error(error) && existing == FILE_KEEP_EXISTING) {
            step = "will not replace";
            kind = FILE_PROBLEM_EXISTS;
        }
    }
    if (error != 0) {
        // The reason given is the first failure, whether or not the
        // temporary file goes too.
        static_cast<void>(DeleteFileA(temp));
        return fail(problem, kind, why, why_size, step, path, error);
    }
    return 1;
}

int file_target_check(const char* path, FileExisting existing, FileProblem* problem, char* why,
                      std::size_t why_size)
{
    if (problem != nullptr) {
        *problem = FILE_PROBLEM_NONE;
    }
    if (path[0] == '\0') {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot write", "\"\"", ERROR_PATH_NOT_FOUND);
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            return fail_text(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot write", path, "it is a folder");
        }
        if (existing == FILE_KEEP_EXISTING) {
            return fail(problem, FILE_PROBLEM_EXISTS, why, why_size, "will not replace", path, ERROR_FILE_EXISTS);
        }
        // MoveFileExA cannot replace a read-only file.
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            return fail(problem, FILE_PROBLEM_WRITE, why, why_size, "cannot replace the read-only file", path,
                        ERROR_ACCESS_DENIED);
        }
    }
    // GetTempFileNameA creates the file, so every reason the folder has to
    // refuse a new file shows here.
    char probe[MAX_PATH];
    const std::string folder = folder_of(path);
    if (GetTempFileNameA(folder.c_str(), "mlk", 0, probe) == 0) {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot create a file in", folder, GetLastError());
    }
    if (!DeleteFileA(probe)) {
        return fail(problem, FILE_PROBLEM_FOLDER, why, why_size, "cannot remove the test file", probe,
                    GetLastError());
    }
    return 1;
}

std::FILE* file_open_private(const char* path, const char* mode)
{
    // "N": the C runtime's _O_NOINHERIT, a handle no child process inherits.
    const std::string private_mode = std::string(mode) + "N";
    return std::fopen(path, private_mode.c_str());
}
