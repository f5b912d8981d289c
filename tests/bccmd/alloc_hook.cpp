#include "alloc_hook.h"

#include <cstdlib>
#include <cstring>
#include <new>

AllocHook alloc_hook = {};

namespace {

// The watched blocks now live; a handful is plenty.
constexpr int TRACKED_MAX = 16;
void* tracked[TRACKED_MAX];

void* plain_allocate(std::size_t size)
{
    return std::malloc(size != 0 ? size : 1);
}

void release(void* block)
{
    if (block == nullptr) {
        return;
    }
    for (void*& slot : tracked) {
        if (slot == block) {
            slot = nullptr;
            alloc_hook.frees += 1;
            alloc_hook.live -= 1;
            break;
        }
    }
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size)
{
    void* block = plain_allocate(size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    if (alloc_hook.watched_size == 0 || size != alloc_hook.watched_size) {
        return plain_allocate(size);
    }
    alloc_hook.allocations += 1;
    if (alloc_hook.fail_next) {
        alloc_hook.fail_next = 0;
        return nullptr;
    }
    void* block = plain_allocate(size);
    if (block != nullptr) {
        std::memset(block, ALLOC_HOOK_FILL, size);
        for (void*& slot : tracked) {
            if (slot == nullptr) {
                slot = block;
                alloc_hook.live += 1;
                break;
            }
        }
    }
    return block;
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return plain_allocate(size);
}

void operator delete(void* block) noexcept
{
    release(block);
}

void operator delete[](void* block) noexcept
{
    release(block);
}

void operator delete(void* block, std::size_t) noexcept
{
    release(block);
}

void operator delete[](void* block, std::size_t) noexcept
{
    release(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    release(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    release(block);
}
