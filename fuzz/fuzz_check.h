// The fuzz targets' own checks: a broken rule is a finding like a crash, so it
// names the rule and aborts, and libFuzzer keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzz_fail(const char* rule, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: rule broken: %s\n", file, line, rule);
    std::abort();
}

#define FUZZ_REQUIRE(condition)                                  \
    do {                                                         \
        if (!(condition)) {                                      \
            fuzz_fail(#condition, __FILE__, __LINE__);           \
        }                                                        \
    } while (0)
