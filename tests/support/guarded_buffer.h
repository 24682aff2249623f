// A buffer whose last byte is followed by a page that may not be touched, so
// that a read or write one byte too far crashes at once: mmap and mprotect on
// POSIX systems, VirtualAlloc and VirtualProtect on Windows.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

// `size` accessible bytes ending exactly at the guard page. `data` stays null
// when the pages could not be had or the guard could not be set.
struct GuardedBuffer {
    uint8_t* base = nullptr;
    std::size_t mapped = 0;
    uint8_t* data = nullptr;

    explicit GuardedBuffer(std::size_t size)
    {
        std::size_t page = PageSize();
        std::size_t pages = (size + page - 1) / page + 1;
        mapped = pages * page;
#if defined(_WIN32)
        void* p = VirtualAlloc(nullptr, mapped, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (!p) return;
        base = static_cast<uint8_t*>(p);
        DWORD previous = 0;
        if (!VirtualProtect(base + mapped - page, page, PAGE_NOACCESS, &previous)) return;
#else
        void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base = static_cast<uint8_t*>(p);
        if (mprotect(base + mapped - page, page, PROT_NONE) != 0) return;
#endif
        data = base + mapped - page - size;
    }
    ~GuardedBuffer()
    {
        if (!base) return;
#if defined(_WIN32)
        VirtualFree(base, 0, MEM_RELEASE);
#else
        munmap(base, mapped);
#endif
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    static std::size_t PageSize()
    {
#if defined(_WIN32)
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        return std::size_t(info.dwPageSize);
#else
        return std::size_t(sysconf(_SC_PAGESIZE));
#endif
    }
};
