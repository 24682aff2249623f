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

// Typed helpers over the two above; no constructors run (plain records).
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
