// Soak: 10,000 frames through one instance and 1,000 open-close cycles, with
// every frame checked and no growth of the heap. Small frames keep it fast.
//
// The heap is measured by the allocator in use: AddressSanitizer's count of
// live bytes in sanitizer builds, glibc's mallinfo2 otherwise. A leak of one
// small block per frame or cycle grows it by well over the tolerance.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "driver/driver_proc.h"
#include "support/driver_messages.h"
#include "support/test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTRUN_HEAP_ASAN 1
#endif
#elif defined(__SANITIZE_ADDRESS__)
#define KESTRUN_HEAP_ASAN 1
#endif
#if defined(KESTRUN_HEAP_ASAN)
#include <sanitizer/allocator_interface.h>
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
#include <malloc.h>
#define KESTRUN_HEAP_MALLINFO 1
#endif

namespace {

// Live heap bytes, or -1 where there is no way to tell.
long long LiveHeapBytes()
{
#if defined(KESTRUN_HEAP_ASAN)
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#elif defined(KESTRUN_HEAP_MALLINFO)
    return static_cast<long long>(mallinfo2().uordblks);
#else
    return -1;
#endif
}

// Far below what 1,000 leaked blocks of even 16 bytes would add; room for
// the allocator's own bookkeeping.
constexpr long long HeapTolerance = 8 * 1024;

DWORD_PTR Open()
{
    ICOPEN open{};
    open.dwSize = sizeof open;
    open.fccType = ICTYPE_VIDEO;
    return DWORD_PTR(DriverProc(0, nullptr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open)));
}

constexpr uint32_t Width = 16, Height = 8;

// Frame sizes and pictures vary from frame to frame: a few pictures, both
// coders, both packed layouts and RGB input.
struct Soak {
    std::vector<std::vector<uint8_t>> packed, rgb;
    std::vector<uint8_t> frame, decoded;
    Soak()
    {
        for (uint32_t seed = 0; seed < 4; ++seed) {
            packed.push_back(RandomBytes(std::size_t(Width) * Height * 2, 500 + seed));
            rgb.push_back(RandomBytes(std::size_t(Width) * Height * 3, 600 + seed));
        }
        // One smooth picture of each, so that the frames' sizes differ.
        for (std::size_t i = 0; i < packed[0].size(); ++i) packed[0][i] = uint8_t(i);
        for (std::size_t i = 0; i < rgb[0].size(); ++i) rgb[0][i] = uint8_t(i / 3);
        frame.resize(Width * Height * 4 + 4096);
        decoded.resize(Width * Height * 3);
    }

    // Frame i through `driver`: compress, then decode; false on any mismatch.
    bool RunFrame(DWORD_PTR driver, uint64_t i)
    {
        const bool fromRgb = i % 5 == 4;
        const DWORD layout = i % 2 ? FourccUYVY : FourccYUY2;
        const std::vector<uint8_t>& picture = fromRgb ? rgb[i % 4] : packed[i % 4];
        BITMAPINFOHEADER raw = fromRgb ? Header(Width, Height, BI_RGB, 24, DWORD(picture.size()))
                                       : Header(Width, Height, layout, 16, DWORD(picture.size()));
        BITMAPINFOHEADER compressed = Header(Width, Height, FourccKSHA, 16, 0);
        const LRESULT capacity = Send(driver, ICM_COMPRESS_GET_SIZE, &raw, &compressed);
        if (capacity <= 0 || std::size_t(capacity) > frame.size()) return false;
        ICCOMPRESS c{};
        c.lpbiInput = &raw;
        c.lpInput = const_cast<uint8_t*>(picture.data());
        c.lpbiOutput = &compressed;
        c.lpOutput = frame.data();
        c.dwQuality = i % 3 == 0 ? 10000 : 0;
        if (Send(driver, ICM_COMPRESS_BEGIN, &raw, &compressed) != ICERR_OK) return false;
        if (Send(driver, ICM_COMPRESS, &c) != ICERR_OK) return false;
        if (compressed.biSizeImage > DWORD(capacity)) return false;
        // Now decode it: RGB frames as packed 4:2:2 (exact for that form).
        BITMAPINFOHEADER output = Header(Width, Height, layout, 16, Width * Height * 2);
        if (Send(driver, ICM_DECOMPRESS_BEGIN, &compressed, &output) != ICERR_OK) return false;
        ICDECOMPRESS d{};
        d.lpbiInput = &compressed;
        d.lpInput = frame.data();
        d.lpbiOutput = &output;
        d.lpOutput = decoded.data();
        if (Send(driver, ICM_DECOMPRESS, &d) != ICERR_OK) return false;
        if (!fromRgb && std::memcmp(decoded.data(), picture.data(), picture.size()) != 0) return false;
        // Every other frame leaves the END to the next BEGIN.
        if (i % 2 == 0 && Send(driver, ICM_DECOMPRESS_END) != ICERR_OK) return false;
        return true;
    }
};

TEST(Soak, TenThousandFramesThroughOneInstance)
{
    Soak soak;
    const DWORD_PTR driver = Open();
    ASSERT_NE(driver, 0u);
    // Warm up: the colour tables, the allocator's pools.
    for (uint64_t i = 0; i < 100; ++i) ASSERT_TRUE(soak.RunFrame(driver, i)) << "frame " << i;
    const long long before = LiveHeapBytes();
    uint64_t bad = 0, firstBad = 0;
    for (uint64_t i = 100; i < 10000; ++i) {
        if (!soak.RunFrame(driver, i) && bad++ == 0) firstBad = i;
    }
    const long long after = LiveHeapBytes();
    EXPECT_EQ(bad, 0u) << "first bad frame: " << firstBad;
    if (before >= 0) {
        EXPECT_LE(after - before, HeapTolerance) << "the heap grew from " << before << " to " << after;
    }
    EXPECT_EQ(DriverProc(driver, nullptr, DRV_CLOSE, 0, 0), 1);
}

TEST(Soak, AThousandOpenCloseCycles)
{
    Soak soak;
    // Each cycle opens, begins, codes a frame and closes, sometimes with a
    // picture still attached (close must release it) and sometimes with two
    // instances open at once.
    auto cycle = [&](uint64_t i) {
        const DWORD_PTR driver = Open();
        if (!driver) return false;
        const DWORD_PTR second = i % 7 == 0 ? Open() : 0;
        bool ok = soak.RunFrame(driver, i);
        if (second) ok = ok && soak.RunFrame(second, i + 1);
        if (i % 3 == 0) ok = ok && Send(driver, ICM_COMPRESS_END) == ICERR_OK;
        if (second) DriverProc(second, nullptr, DRV_CLOSE, 0, 0);
        return DriverProc(driver, nullptr, DRV_CLOSE, 0, 0) == 1 && ok;
    };
    for (uint64_t i = 0; i < 20; ++i) ASSERT_TRUE(cycle(i)) << "cycle " << i;
    const long long before = LiveHeapBytes();
    uint64_t bad = 0, firstBad = 0;
    for (uint64_t i = 20; i < 1020; ++i) {
        if (!cycle(i) && bad++ == 0) firstBad = i;
    }
    const long long after = LiveHeapBytes();
    EXPECT_EQ(bad, 0u) << "first bad cycle: " << firstBad;
    if (before >= 0) {
        EXPECT_LE(after - before, HeapTolerance) << "the heap grew from " << before << " to " << after;
    }
}

} // namespace
