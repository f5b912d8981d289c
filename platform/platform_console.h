// What a live progress display needs to know of the console: whether a
// standard stream is a terminal, how wide it is, and whether it takes the
// escape sequences that move the cursor and clear lines. A caller that gets
// 0 from console_enable_escapes writes plain lines instead.
// stream is CONSOLE_OUTPUT_STDOUT or CONSOLE_OUTPUT_STDERR (platform.h).
#pragma once

#include "platform/platform.h"

// The width of a stream that is no terminal, or whose width is unknown.
inline constexpr int CONSOLE_WIDTH_DEFAULT_COLUMNS = 80;

// 1 when the stream is a terminal (isatty; Windows: GetConsoleMode succeeds,
// so a console and not a file or pipe), else 0, also for another stream value.
int console_is_terminal(int stream);
// The terminal's width in columns (TIOCGWINSZ; Windows: the visible window of
// GetConsoleScreenBufferInfo), or CONSOLE_WIDTH_DEFAULT_COLUMNS.
int console_width(int stream);
// Makes standard output take escape sequences. Windows: turns on
// ENABLE_VIRTUAL_TERMINAL_PROCESSING (the console's earlier mode is put back at
// exit); 0 when standard output is no console or the console refuses the mode.
// POSIX: 1 when standard output is a terminal and TERM is not "dumb".
int console_enable_escapes();
