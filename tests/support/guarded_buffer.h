// Buffers that end against an inaccessible page, so that reading or writing
// one byte past the end faults at once, in instrumented code or not (zlib).
// A second inaccessible page sits before the mapping; the bytes between it
// and the start of the buffer are filled with a pattern that Intact() checks,
// so that writes before the start are caught as well. Records that need
// alignment (a host's headers are aligned) ask for it; the few bytes between
// their end and the guard page then hold the pattern too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

class GuardedBuffer {
public:
    static constexpr uint8_t Pattern = 0xA5;

    explicit GuardedBuffer(std::size_t size, std::size_t alignment = 1) : size_(size)
    {
        const std::size_t page = PageSize();
        const std::size_t body = (size + page - 1) / page * page;
        mappedSize_ = body + 2 * page;
#if defined(_WIN32)
        base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, mappedSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (!base_) std::abort();
        DWORD old;
        VirtualProtect(base_, page, PAGE_NOACCESS, &old);
        VirtualProtect(base_ + page + body, page, PAGE_NOACCESS, &old);
#else
        void* mapped = mmap(nullptr, mappedSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) std::abort();
        base_ = static_cast<uint8_t*>(mapped);
        mprotect(base_, page, PROT_NONE);
        mprotect(base_ + page + body, page, PROT_NONE);
#endif
        const std::size_t aligned = (size + alignment - 1) / alignment * alignment;
        slack_ = body - aligned;
        tail_ = aligned - size;
        data_ = base_ + page + slack_;
        std::memset(base_ + page, Pattern, body);
    }
    ~GuardedBuffer()
    {
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, mappedSize_);
#endif
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }

    // The bytes around the buffer still hold the pattern.
    bool Intact() const
    {
        for (std::size_t i = 0; i < slack_; ++i)
            if (data_[-1 - std::ptrdiff_t(i)] != Pattern) return false;
        for (std::size_t i = 0; i < tail_; ++i)
            if (data_[size_ + i] != Pattern) return false;
        return true;
    }

    static std::size_t PageSize()
    {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return info.dwPageSize;
#else
        return std::size_t(sysconf(_SC_PAGESIZE));
#endif
    }

private:
    uint8_t* base_ = nullptr;
    uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t slack_ = 0; // pattern bytes before the buffer
    std::size_t tail_ = 0;  // and after it, up to the alignment
    std::size_t mappedSize_ = 0;
};
