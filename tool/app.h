// The program marrowlink: its commands put together under one command line.
#pragma once

#include <iosfwd>
#include <string>

// The whole program; returns the exit status. program: this program's own
// file, which commands that do several things at once start copies of; empty
// (tests running the program in their own process): such work is done here,
// one thing after another.
int tool_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
              const std::string& program = "");
