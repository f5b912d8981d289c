// The Windows command line built for an argument vector: a table of
// arguments and the line they give. (The Wine check process_argv_check has
// the C runtime itself parse such a line back.)
#include "platform/platform_children.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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

TEST(CommandLineTest, ArgumentsAreQuotedAsTheRuntimeUndoesIt)
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
