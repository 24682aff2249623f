#include "large_buffer.h"

#include <algorithm>
#include <new>
#include <sys/mman.h>
#include <utility>

namespace {
constexpr std::size_t HugePageSize = std::size_t(2) << 20;
constexpr std::size_t PageSize = 4096;
} // namespace

LargeBuffer::LargeBuffer(std::size_t size)
{
    // Mapped with room to start on a huge page; the rest is given back. The
    // kernel backs the whole 2 MB spans with huge pages, the tail with small ones.
    const std::size_t length = (std::max<std::size_t>(size, 1) + PageSize - 1) / PageSize * PageSize;
    void* mapping = ::mmap(nullptr, length + HugePageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::bad_alloc();
    const uintptr_t first = uintptr_t(mapping), last = first + length + HugePageSize;
    const uintptr_t start = (first + HugePageSize - 1) & ~uintptr_t(HugePageSize - 1);
    if (start > first) ::munmap(mapping, start - first);
    if (last > start + length) ::munmap(reinterpret_cast<void*>(start + length), last - start - length);
    ::madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE); // a hint: small pages without it
    data_ = reinterpret_cast<uint8_t*>(start);
    mapped_ = length;
}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept
{
    std::swap(data_, other.data_);
    std::swap(mapped_, other.mapped_);
    return *this;
}

uint8_t* LargeBuffer::Detach(std::size_t* mapped)
{
    *mapped = std::exchange(mapped_, 0);
    return std::exchange(data_, nullptr);
}

void LargeBuffer::Unmap(uint8_t* data, std::size_t mapped)
{
    if (data) ::munmap(data, mapped);
}
