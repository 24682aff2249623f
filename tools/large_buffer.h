// Buffers of a picture or more in memory of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

// Zeroed, and on huge pages where the kernel gives them on request, so that
// filling one first takes a page fault per 2 MB instead of one per 4 KB.
class LargeBuffer {
public:
    LargeBuffer() = default;
    explicit LargeBuffer(std::size_t size); // throws std::bad_alloc
    ~LargeBuffer() { Unmap(data_, mapped_); }
    LargeBuffer(LargeBuffer&& other) noexcept { *this = std::move(other); }
    LargeBuffer& operator=(LargeBuffer&& other) noexcept;
    uint8_t* Data() const { return data_; }
    // Hands the mapping over (this buffer is empty afterwards): its start,
    // and the length to give Unmap.
    uint8_t* Detach(std::size_t* mapped);
    static void Unmap(uint8_t* data, std::size_t mapped);

private:
    uint8_t* data_ = nullptr;
    std::size_t mapped_ = 0;
};
