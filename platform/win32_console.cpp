// The console for a live display on Windows (platform_console.h):
// GetConsoleMode tells a console from a file or pipe, the screen buffer's
// window gives the width, and escape sequences need
// ENABLE_VIRTUAL_TERMINAL_PROCESSING (Windows 10 and later; older consoles
// refuse it).
#include "platform/platform_console.h"

#include <windows.h>

#include <cstdlib>

namespace {

// The console's mode before console_enable_escapes changed it, put back at exit.
struct EscapeMode {
    HANDLE output;
    DWORD previous;
    int changed;
};

EscapeMode escape_mode{nullptr, 0, 0};

HANDLE console_stream_handle(int stream)
{
    if (stream != CONSOLE_OUTPUT_STDOUT && stream != CONSOLE_OUTPUT_STDERR) {
        return nullptr;
    }
    const HANDLE handle = GetStdHandle(stream == CONSOLE_OUTPUT_STDOUT ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return handle != INVALID_HANDLE_VALUE ? handle : nullptr;
}

void escape_mode_restore()
{
    if (escape_mode.changed) {
        SetConsoleMode(escape_mode.output, escape_mode.previous);
        escape_mode.changed = 0;
    }
}

}  // namespace

int console_is_terminal(int stream)
{
    const HANDLE handle = console_stream_handle(stream);
    DWORD mode = 0;
    return handle != nullptr && GetConsoleMode(handle, &mode) ? 1 : 0;
}

int console_width(int stream)
{
    const HANDLE handle = console_stream_handle(stream);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (handle == nullptr || !GetConsoleScreenBufferInfo(handle, &info)) {
        return CONSOLE_WIDTH_DEFAULT_COLUMNS;
    }
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : CONSOLE_WIDTH_DEFAULT_COLUMNS;
}

int console_enable_escapes()
{
    const HANDLE output = console_stream_handle(CONSOLE_OUTPUT_STDOUT);
    DWORD mode = 0;
    if (output == nullptr || !GetConsoleMode(output, &mode)) {
        return 0;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return 1;
    }
    if (!SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        return 0;  // a console older than Windows 10
    }
    // The mode belongs to the console, which outlives this program.
    if (!escape_mode.changed) {
        escape_mode = EscapeMode{output, mode, 1};
        if (std::atexit(escape_mode_restore) != 0) {
            escape_mode_restore();
            return 0;
        }
    }
    return 1;
}
