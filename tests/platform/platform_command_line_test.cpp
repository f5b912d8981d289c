// The Windows command line built for an argument vector: a table of
// arguments and the line they give, and each line parsed back as the C
// runtime parses a command line gives the arguments again.
#include "platform/platform_children.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The Microsoft C runtime's parse (and CommandLineToArgvW's): the program's
// name up to the next quote or blank, with no escapes; then per argument,
// 2n backslashes and a quote give n backslashes and toggle quoting, 2n+1 give
// n and a literal quote, other backslashes are literal, and "" inside quotes
// is a literal quote.
std::vector<std::string> runtime_parse(const std::string& line)
{
    std::vector<std::string> arguments;
    std::size_t at = 0;
    std::string program;
    if (at < line.size() && line[at] == '"') {
        const std::size_t close = line.find('"', at + 1);
        program = line.substr(at + 1, close - at - 1);
        at = close == std::string::npos ? line.size() : close + 1;
    } else {
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') {
            program += line[at++];
        }
    }
    arguments.push_back(program);
    for (;;) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) {
            ++at;
        }
        if (at == line.size()) {
            return arguments;
        }
        std::string argument;
        bool quoted = false;
        while (at < line.size()) {
            std::size_t backslashes = 0;
            while (at < line.size() && line[at] == '\\') {
                ++backslashes;
                ++at;
            }
            if (at < line.size() && line[at] == '"') {
                argument.append(backslashes / 2, '\\');
                if (backslashes % 2 == 1) {
                    argument += '"';
                } else if (quoted && at + 1 < line.size() && line[at + 1] == '"') {
                    argument += '"';
                    ++at;
                } else {
                    quoted = !quoted;
                }
                ++at;
                continue;
            }
            argument.append(backslashes, '\\');
            if (at == line.size() || (!quoted && (line[at] == ' ' || line[at] == '\t'))) {
                break;
            }
            argument += line[at++];
        }
        arguments.push_back(argument);
    }
}

std::string build(const std::vector<std::string>& arguments, std::size_t* needed)
{
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
    }
    argv.push_back(nullptr);
    char line[PROCESS_ARGV_COMMAND_LINE_MAX_BYTES];
    return process_command_line_build(argv.data(), line, sizeof line, needed) ? line : "(refused)";
}

TEST(CommandLineTest, ArgumentsAreQuotedSoThatTheRuntimeGivesThemBack)
{
    const struct {
        std::vector<std::string> arguments;
        std::string line;
    } cases[] = {
        {{"marrowlink", "update", "--port", "COM3"}, "marrowlink update --port COM3"},
        {{"C:\\Program Files\\marrowlink.exe", "--json"}, "\"C:\\Program Files\\marrowlink.exe\" --json"},
        {{"p", "two words", "tab\there", "line\nend", "v\vt"}, "p \"two words\" \"tab\there\" \"line\nend\" \"v\vt\""},
        {{"p", "", "x", ""}, "p \"\" x \"\""},
        {{"p", "a\"b", "\"", "\"\""}, "p \"a\\\"b\" \"\\\"\" \"\\\"\\\"\""},
        // Backslashes stay as they are unless a quote follows them.
        {{"p", "C:\\dir\\", "\\\\server\\share", "a\\\\b"}, "p C:\\dir\\ \\\\server\\share a\\\\b"},
        {{"p", "a\\\"b", "a\\\\\"b"}, "p \"a\\\\\\\"b\" \"a\\\\\\\\\\\"b\""},
        {{"p", "dir with blank\\", "x\\\\ y\\\\"}, "p \"dir with blank\\\\\" \"x\\\\ y\\\\\\\\\""},
        {{"", "a"}, "\"\" a"},
        {{"C:\\dir with blank\\"}, "\"C:\\dir with blank\\\""},
    };
    for (const auto& c : cases) {
        std::size_t needed = 0;
        const std::string line = build(c.arguments, &needed);
        EXPECT_EQ(line, c.line);
        EXPECT_EQ(needed, c.line.size() + 1);
        EXPECT_EQ(runtime_parse(line), c.arguments) << line;
    }
}

TEST(CommandLineTest, WhatCannotBeWrittenOrDoesNotFitIsRefused)
{
    std::size_t needed = 99;
    // The runtime ends a quoted program name at its next quote, escapes or not.
    EXPECT_EQ(build({"pro\"gram", "a"}, &needed), "(refused)");
    EXPECT_EQ(needed, 0u);
    char line[16] = "unchanged";
    EXPECT_EQ(process_command_line_build(nullptr, line, sizeof line, &needed), 0);
    EXPECT_STREQ(line, "");
    const char* none[] = {nullptr};
    EXPECT_EQ(process_command_line_build(none, line, sizeof line, &needed), 0);
    // p "a b" takes 7 bytes and its zero: 8 fits exactly, 7 does not.
    const char* arguments[] = {"p", "a b", nullptr};
    EXPECT_EQ(process_command_line_build(arguments, line, 8, &needed), 1);
    EXPECT_STREQ(line, "p \"a b\"");
    EXPECT_EQ(process_command_line_build(arguments, line, 7, &needed), 0);
    EXPECT_EQ(needed, 8u);
    EXPECT_STREQ(line, "");
    const std::string longest(PROCESS_ARGV_COMMAND_LINE_MAX_BYTES, 'x');
    EXPECT_EQ(build({"p", longest}, &needed), "(refused)");
    EXPECT_EQ(needed, longest.size() + 3);
}

}  // namespace
