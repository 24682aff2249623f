// Heap allocation for everything the codec owns: instances, pictures, the
// Huffman coder's arrays and the scratch buffers. One place, so that a test
// build can make the n-th allocation fail (KESTRUN_FAULT_INJECTION).
#pragma once

#include <cstddef>
#include <cstdint>

// Returns null when the allocation fails; the memory is not initialised.
void* AllocateMemory(std::size_t size);
// Like AllocateMemory, zero-filled.
void* AllocateZeroedMemory(std::size_t size);
void FreeMemory(void* block);

// Blocks of 2 MB or more (pictures): outside Windows mapped on their own,
// on huge pages where the system gives them on request, so that filling one
// first takes a page fault per 2 MB instead of one per 4 KB; smaller ones,
// and all on Windows, as AllocateMemory. FreeLargeMemory takes the size the
// block was allocated with.
void* AllocateLargeMemory(std::size_t size);
void FreeLargeMemory(void* block, std::size_t size);
#if !defined(_WIN32)
// The mapping itself, with no fault injection, for the tool's buffers:
// zeroed, null on failure; unmapped with the length *mapped receives.
void* MapLargeMemory(std::size_t size, std::size_t* mapped);
void UnmapLargeMemory(void* block, std::size_t mapped);
#endif

// Typed helpers over the first two above; no constructors run (plain records).
template <typename T> T* AllocateArray(std::size_t count)
{
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(AllocateMemory(count * sizeof(T)));
}
template <typename T> T* AllocateZeroedArray(std::size_t count)
{
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(AllocateZeroedMemory(count * sizeof(T)));
}

// Fault injection, compiled in only for the fault-injection test build:
// after SetAllocationFailure(n) the n-th following allocation (1-based)
// fails, and only that one; 0 turns it off. AllocationCount() counts every
// allocation attempt since the last call of SetAllocationFailure.
void SetAllocationFailure(std::uint64_t n);
std::uint64_t AllocationCount();
