#include "memory.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#define KESTRUN_LARGE_MAPPINGS 1
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

#if defined(KESTRUN_LARGE_MAPPINGS)
namespace {
constexpr std::size_t HugePageSize = std::size_t(2) << 20;
constexpr std::size_t PageSize = 4096;

// Whole pages; whole huge pages where that adds an eighth of the block or less.
std::size_t MappedLength(std::size_t size)
{
    const std::size_t bytes = std::max<std::size_t>(size, 1);
    const std::size_t pages = (bytes + PageSize - 1) / PageSize * PageSize;
    const std::size_t spans = (bytes + HugePageSize - 1) / HugePageSize * HugePageSize;
    return spans - bytes <= bytes / 8 ? spans : pages;
}
} // namespace

void* MapLargeMemory(std::size_t size, std::size_t* mapped)
{
    // Mapped with room to start on a huge page; the rest is given back. The
    // kernel backs the whole 2 MB spans with huge pages, the tail with small
    // ones; a tail short of a whole span by an eighth of the block or less
    // (a 1080p picture's is) is rounded up to one.
    const std::size_t length = MappedLength(size);
    void* mapping = ::mmap(nullptr, length + HugePageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    const uintptr_t first = uintptr_t(mapping), last = first + length + HugePageSize;
    const uintptr_t start = (first + HugePageSize - 1) & ~uintptr_t(HugePageSize - 1);
    if (start > first) ::munmap(mapping, start - first);
    if (last > start + length) ::munmap(reinterpret_cast<void*>(start + length), last - start - length);
#if defined(MADV_HUGEPAGE)
    ::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE); // a hint: small pages without it
#endif
    *mapped = length;
    return reinterpret_cast<void*>(start);
}

void UnmapLargeMemory(void* block, std::size_t mapped)
{
    if (block) ::munmap(block, mapped);
}

// The address sanitizer watches the heap's blocks, not mappings of their own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool HeapOnly = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool HeapOnly = true;
#else
constexpr bool HeapOnly = false;
#endif
#else
constexpr bool HeapOnly = false;
#endif

void* AllocateLargeMemory(std::size_t size)
{
    if (size < HugePageSize || HeapOnly) return AllocateMemory(size);
    if (ShouldFail()) return nullptr;
    std::size_t mapped = 0;
    return MapLargeMemory(size, &mapped);
}

void FreeLargeMemory(void* block, std::size_t size)
{
    if (size < HugePageSize || HeapOnly) return FreeMemory(block);
    UnmapLargeMemory(block, MappedLength(size));
}
#else
void* AllocateLargeMemory(std::size_t size) { return AllocateMemory(size); }
void FreeLargeMemory(void* block, std::size_t) { FreeMemory(block); }
#endif

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
