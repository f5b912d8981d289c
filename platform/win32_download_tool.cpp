// The download tool on Windows: always the program itself, found as
// CreateProcessA finds it; there is no Wine to prepare, and the tool opens
// its port by the name on its command line.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/download_tool.h"
#include "platform/platform.h"

int download_tool_choose(const char* folder, const char* program, DownloadToolChoice* choice)
{
    *choice = DownloadToolChoice{};
    char path[DOWNLOAD_TOOL_PATH_BYTES];
    const int written = std::snprintf(path, sizeof path, "%s\\%s.exe", folder != nullptr ? folder : ".", program);
    const DWORD attributes = written > 0 && static_cast<std::size_t>(written) < sizeof path
                                 ? GetFileAttributesA(path)
                                 : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        choice->kind = DOWNLOAD_TOOL_NATIVE_FOLDER;
        std::memcpy(choice->path, path, static_cast<std::size_t>(written) + 1);
    } else if (SearchPathA(nullptr, program, ".exe", sizeof choice->path, choice->path, nullptr) > 0) {
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
    *status = DownloadToolStatus{};
    return download_tool_choose(folder, program, &facts->choice);
}

int download_tool_prepare(const char*, const char*, DownloadToolNotice, void*, DownloadToolStatus* status)
{
    *status = DownloadToolStatus{};
    return 1;
}

int process_tool_port(const char* program, const char* device_path, const char* port_name, ProcessToolPort* port)
{
    if (program == nullptr || device_path == nullptr || port_name == nullptr || port == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *port = ProcessToolPort{};
    const std::size_t length = std::strlen(port_name);
    if (length >= sizeof port->name) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    std::memcpy(port->name, port_name, length + 1);
    return 1;
}
