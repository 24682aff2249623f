#include "memory.h"

#include <atomic>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {
#if defined(KESTRUN_FAULT_INJECTION)
std::atomic<std::uint64_t> failAt{0};
std::atomic<std::uint64_t> attempts{0};

bool ShouldFail()
{
    std::uint64_t n = attempts.fetch_add(1) + 1;
    std::uint64_t target = failAt.load();
    return target != 0 && n == target;
}
#else
constexpr bool ShouldFail() { return false; }
#endif
} // namespace

void* AllocateMemory(std::size_t size)
{
    if (ShouldFail()) return nullptr;
    if (size == 0) size = 1;
#if defined(_WIN32)
    return HeapAlloc(GetProcessHeap(), 0, size);
#else
    return std::malloc(size);
#endif
}

void* AllocateZeroedMemory(std::size_t size)
{
    if (ShouldFail()) return nullptr;
    if (size == 0) size = 1;
#if defined(_WIN32)
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
#else
    return std::calloc(1, size);
#endif
}

void FreeMemory(void* block)
{
    if (!block) return;
#if defined(_WIN32)
    HeapFree(GetProcessHeap(), 0, block);
#else
    std::free(block);
#endif
}

#if defined(KESTRUN_FAULT_INJECTION)
void SetAllocationFailure(std::uint64_t n)
{
    attempts.store(0);
    failAt.store(n);
}
std::uint64_t AllocationCount() { return attempts.load(); }
#else
void SetAllocationFailure(std::uint64_t) {}
std::uint64_t AllocationCount() { return 0; }
#endif
