// The program marrowlink: its commands put together under one command line.
#pragma once

#include <iosfwd>

// The whole program; returns the exit status.
int tool_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
