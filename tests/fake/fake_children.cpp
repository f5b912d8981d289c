// The fake platform has no children of its own to watch and no terminal:
// tests that run a command which would start copies of this program (a fleet
// of adapters, probes at once) see the start refused, as on a system that
// cannot, and the command falls back to doing the work in this process.
#include "platform/platform_children.h"
#include "platform/platform_console.h"

int process_start_argv(const char*, const char* const*, ProcessInfo* info, const ProcessOptions*,
                       PlatformHandle* input)
{
    if (info != nullptr) {
        *info = ProcessInfo{PLATFORM_INVALID_HANDLE, PLATFORM_INVALID_HANDLE, 0, 0};
    }
    if (input != nullptr) {
        *input = PLATFORM_INVALID_HANDLE;
    }
    return 0;
}

int process_input_write(PlatformHandle, const void*, std::size_t, std::uint32_t, std::size_t* written)
{
    if (written != nullptr) {
        *written = 0;
    }
    return 0;
}

int process_input_close(PlatformHandle)
{
    return 0;
}

int process_self_path(char*, std::size_t)
{
    return 0;
}

int process_wait_any(const PlatformHandle*, int, std::uint32_t)
{
    return PROCESS_WAIT_FAILED;
}

int console_is_terminal(int)
{
    return 0;
}

int console_width(int)
{
    return CONSOLE_WIDTH_DEFAULT_COLUMNS;
}

int console_enable_escapes()
{
    return 0;
}
