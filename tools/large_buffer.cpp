#include "large_buffer.h"

#include <new>
#include <utility>

#include "platform/memory.h"

LargeBuffer::LargeBuffer(std::size_t size)
{
    data_ = static_cast<uint8_t*>(MapLargeMemory(size, &mapped_));
    if (!data_) throw std::bad_alloc();
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

void LargeBuffer::Unmap(uint8_t* data, std::size_t mapped) { UnmapLargeMemory(data, mapped); }
