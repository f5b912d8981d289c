// The Windows command line for an argument vector (platform_children.h): the
// quoting the C runtime's own parsing undoes. Pure, so that both builds have
// it and the Linux tests check it.
#include "platform/platform_children.h"

#include <cstring>

namespace {

// Appends to a bounded buffer and counts what the whole line takes.
struct LineWriter {
    char* out;
    std::size_t capacity;
    std::size_t length;

    void put(char c)
    {
        if (out != nullptr && length < capacity) {
            out[length] = c;
        }
        ++length;
    }

    void put_repeated(char c, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            put(c);
        }
    }
};

// The characters the runtime splits on or treats as quotes.
int argument_needs_quotes(const char* argument)
{
    return argument[0] == '\0' || std::strpbrk(argument, " \t\n\v\"") != nullptr;
}

// The program's name: the runtime reads it up to the next quote with no escapes.
int program_name_write(const char* name, LineWriter* line)
{
    if (std::strchr(name, '"') != nullptr) {
        return 0;
    }
    const int quoted = argument_needs_quotes(name);
    if (quoted) {
        line->put('"');
    }
    for (const char* c = name; *c != '\0'; ++c) {
        line->put(*c);
    }
    if (quoted) {
        line->put('"');
    }
    return 1;
}

void argument_write(const char* argument, LineWriter* line)
{
    if (!argument_needs_quotes(argument)) {
        for (const char* c = argument; *c != '\0'; ++c) {
            line->put(*c);
        }
        return;
    }
    line->put('"');
    std::size_t backslashes = 0;
    for (const char* c = argument; *c != '\0'; ++c) {
        if (*c == '\\') {
            ++backslashes;
            continue;
        }
        if (*c == '"') {
            // Each backslash before a quote doubled, then the quote escaped.
            line->put_repeated('\\', backslashes * 2 + 1);
        } else {
            line->put_repeated('\\', backslashes);
        }
        line->put(*c);
        backslashes = 0;
    }
    // Backslashes before the closing quote doubled, so that it closes.
    line->put_repeated('\\', backslashes * 2);
    line->put('"');
}

}  // namespace

int process_command_line_build(const char* const* arguments, char* command_line, std::size_t capacity,
                               std::size_t* needed)
{
    if (needed != nullptr) {
        *needed = 0;
    }
    if (command_line != nullptr && capacity > 0) {
        command_line[0] = '\0';
    }
    if (arguments == nullptr || arguments[0] == nullptr) {
        return 0;
    }
    LineWriter line{command_line, capacity, 0};
    if (!program_name_write(arguments[0], &line)) {
        return 0;
    }
    for (const char* const* argument = arguments + 1; *argument != nullptr; ++argument) {
        line.put(' ');
        argument_write(*argument, &line);
    }
    const std::size_t total = line.length + 1;
    if (needed != nullptr) {
        *needed = total;
    }
    if (command_line == nullptr || total > capacity) {
        if (command_line != nullptr && capacity > 0) {
            command_line[0] = '\0';
        }
        return 0;
    }
    command_line[line.length] = '\0';
    return 1;
}
