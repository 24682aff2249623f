// Several host threads, each with its own instance, compressing and
// decompressing at once through DriverProc, from a cold start: the first
// opens race to build the process-wide colour tables. Meant for
// ThreadSanitizer (scripts/robustness.sh), which reports any data race; the
// checks here catch a thread that saw half-built tables or another
// thread's picture.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "codec/codec.h"
#include "driver/driver_proc.h"
#include "support/driver_messages.h"
#include "support/test_support.h"

namespace {

constexpr uint32_t Width = 40, Height = 10;

// What one thread made of the shared inputs: its frames and decoded pictures.
struct ThreadResult {
    bool ok = true;
    std::vector<uint8_t> rgbFrame, rgbDecoded, packedFrame, packedDecoded;
};

// One host session: RGB24 in, RGB24 out; YUY2 in, YUY2 out; `rounds` times.
void HostSession(const std::vector<uint8_t>& rgb, const std::vector<uint8_t>& packed, DWORD quality, int rounds,
                 ThreadResult& result)
{
    ICOPEN open{};
    open.dwSize = sizeof open;
    open.fccType = ICTYPE_VIDEO;
    const DWORD_PTR driver = DWORD_PTR(DriverProc(0, nullptr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open)));
    if (!driver) {
        result.ok = false;
        return;
    }
    struct Side {
        DWORD compression;
        WORD bitCount;
        const std::vector<uint8_t>* picture;
        std::vector<uint8_t>* frame;
        std::vector<uint8_t>* decoded;
    };
    const Side sides[2] = {{BI_RGB, 24, &rgb, &result.rgbFrame, &result.rgbDecoded},
                           {FourccYUY2, 16, &packed, &result.packedFrame, &result.packedDecoded}};
    for (int round = 0; round < rounds && result.ok; ++round) {
        for (const Side& side : sides) {
            BITMAPINFOHEADER raw = Header(Width, Height, side.compression, side.bitCount, DWORD(side.picture->size()));
            BITMAPINFOHEADER compressed = Header(Width, Height, FourccKSHA, 16, 0);
            std::vector<uint8_t> frame(std::size_t(Send(driver, ICM_COMPRESS_GET_SIZE, &raw, &compressed)));
            ICCOMPRESS c{};
            c.lpbiInput = &raw;
            c.lpInput = const_cast<uint8_t*>(side.picture->data());
            c.lpbiOutput = &compressed;
            c.lpOutput = frame.data();
            c.dwQuality = quality;
            if (Send(driver, ICM_COMPRESS_BEGIN, &raw, &compressed) != ICERR_OK ||
                Send(driver, ICM_COMPRESS, &c) != ICERR_OK || Send(driver, ICM_COMPRESS_END) != ICERR_OK) {
                result.ok = false;
                break;
            }
            frame.resize(compressed.biSizeImage);
            std::vector<uint8_t> decoded(side.picture->size());
            ICDECOMPRESS d{};
            d.lpbiInput = &compressed;
            d.lpInput = frame.data();
            d.lpbiOutput = &raw;
            d.lpOutput = decoded.data();
            if (Send(driver, ICM_DECOMPRESS_BEGIN, &compressed, &raw) != ICERR_OK ||
                Send(driver, ICM_DECOMPRESS, &d) != ICERR_OK || Send(driver, ICM_DECOMPRESS_END) != ICERR_OK) {
                result.ok = false;
                break;
            }
            // Every round of a thread gives the same bytes.
            if (round == 0) {
                *side.frame = std::move(frame);
                *side.decoded = std::move(decoded);
            } else if (frame != *side.frame || decoded != *side.decoded) {
                result.ok = false;
            }
        }
    }
    DriverProc(driver, nullptr, DRV_CLOSE, 0, 0);
}

TEST(Concurrency, InstancesCompressAndDecompressAtOnceFromAColdStart)
{
    const std::vector<uint8_t> rgb = RandomBytes(std::size_t(Width) * Height * 3, 71);
    const std::vector<uint8_t> packed = RandomBytes(std::size_t(Width) * Height * 2, 72);
    constexpr int Threads = 6;
    std::vector<ThreadResult> results(Threads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            // All start together, so that the first opens meet.
            ready.fetch_add(1);
            while (ready.load() < Threads) std::this_thread::yield();
            HostSession(rgb, packed, t % 2 ? 10000 : 0, 4, results[t]);
        });
    }
    for (auto& thread : threads) thread.join();

    // Now, alone: the reference for both qualities.
    ThreadResult reference[2];
    HostSession(rgb, packed, 0, 1, reference[0]);
    HostSession(rgb, packed, 10000, 1, reference[1]);
    ASSERT_TRUE(reference[0].ok && reference[1].ok);
    EXPECT_EQ(reference[0].packedDecoded, packed);
    for (int t = 0; t < Threads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        const ThreadResult& expected = reference[t % 2];
        ASSERT_TRUE(results[t].ok) << "a message failed or a round gave other bytes";
        EXPECT_EQ(results[t].rgbFrame, expected.rgbFrame);
        EXPECT_EQ(results[t].rgbDecoded, expected.rgbDecoded);
        EXPECT_EQ(results[t].packedFrame, expected.packedFrame);
        EXPECT_EQ(results[t].packedDecoded, packed);
    }
}

} // namespace
