// Counts, and on request fails, the nothrow allocations of one size: the
// PsKeyRequest of each persistent-store operation. The test program replaces
// the global operator new and delete with malloc and free plus these counters;
// fresh blocks of the watched size are filled with 0xA5 so that a field the
// code forgets to set shows.
#pragma once

#include <cstddef>

struct AllocHook {
    std::size_t watched_size;  // 0: watch nothing
    int fail_next;             // the next watched allocation returns null
    int allocations;           // watched allocations asked for (failed ones included)
    int frees;                 // watched blocks freed
    int live;                  // watched blocks not yet freed
};

extern AllocHook alloc_hook;

inline constexpr unsigned char ALLOC_HOOK_FILL = 0xA5;
