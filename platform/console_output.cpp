// Console output, the same on every platform: the standard C streams, flushed
// after each line so that output interleaves with a child process's in order.
// The tests' fake platform records console output instead of linking this file.
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

namespace {
int console_output_where = CONSOLE_OUTPUT_STDOUT;
}  // namespace

void console_set_output(int where)
{
    console_output_where = where;
}

int console_printf(const char* format, ...)
{
    if (console_output_where == CONSOLE_OUTPUT_NONE) {
        return 0;
    }
    std::FILE* stream = console_output_where == CONSOLE_OUTPUT_STDERR ? stderr : stdout;
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vfprintf(stream, format, arguments);
    va_end(arguments);
    std::fflush(stream);
    return written;
}
