// Whole-file writes on Windows: GetTempFileNameA beside the target,
// WriteFile, FlushFileBuffers, then MoveFileExA replacing the target and
// written through to the disk.
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

int fail(char* why, std::size_t why_size, const char* step, const char* path, DWORD error)
{
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    // The system's text ends with a line break.
    for (DWORD end = length; end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n' || text[end - 1] == ' ');
         --end) {
        text[end - 1] = '\0';
    }
    std::snprintf(why, why_size, "%s %s: %s (error %lu)", step, path, length > 0 ? text : "system error",
                  static_cast<unsigned long>(error));
    return 0;
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

int file_write_whole(const char* path, const void* data, std::size_t size, char* why, std::size_t why_size)
{
    char temp[MAX_PATH];
    if (GetTempFileNameA(folder_of(path).c_str(), "mlk", 0, temp) == 0) {
        return fail(why, why_size, "cannot create a temporary file beside", path, GetLastError());
    }
    const HANDLE file = CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        DeleteFileA(temp);
        return fail(why, why_size, "cannot open the temporary file for", path, error);
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
    if (error == 0 && !MoveFileExA(temp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        step = "cannot rename the temporary file to";
    }
    if (error != 0) {
        DeleteFileA(temp);
        return fail(why, why_size, step, path, error);
    }
    return 1;
}
