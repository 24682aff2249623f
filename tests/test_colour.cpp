// Colour conversion: table entries, saturation, the forward and inverse
// conversions and the chroma filter. Each kernel against the reference is in
// the kernel check.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <vector>

#include <thread>

#include "colour/colour.h"
#include "colour/colour_internal.h"
#include "colour/colour_reference.h"
#include "platform/memory.h"
#include "support/test_picture.h"
#include "support/test_support.h"

namespace {

// A uniform B, G, R frame.
std::vector<uint8_t> UniformFrame(uint32_t width, uint32_t height, uint8_t b, uint8_t g, uint8_t r)
{
    std::vector<uint8_t> frame(3 * std::size_t(width) * height);
    for (std::size_t i = 0; i < frame.size(); i += 3) {
        frame[i] = b;
        frame[i + 1] = g;
        frame[i + 2] = r;
    }
    return frame;
}

void BuildTables()
{
    BuildClampTable();
    BuildConversionTables();
}

std::array<uint8_t, 768> StoredClampEntries()
{
    std::array<uint8_t, 768> entries;
    for (int x = -256; x <= 511; ++x) entries[x + 256] = ClampTable[x];
    return entries;
}

template <typename Body> void RunOnThreads(int count, Body body)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
    for (auto& t : threads) t.join();
}

// ---------------------------------------------------------------------------
// Construction. This suite comes first so that, run alone or as the first
// test of the program, it meets unbuilt tables.

TEST(ColourTableConstruction, ConcurrentBuildersAllReturnCompleteTables)
{
    if (!ConversionTablesBuilt) {
        const auto* words = reinterpret_cast<const int32_t*>(&conversionTables);
        for (std::size_t i = 0; i < sizeof(ConversionTables) / sizeof(int32_t); ++i) ASSERT_EQ(words[i], 0);
    }
    constexpr int Threads = 8;
    std::vector<ConversionTables> seen(Threads);
    std::vector<std::array<uint8_t, 768>> seenClamp(Threads);
    std::atomic<int> waiting{Threads};
    RunOnThreads(Threads, [&](int i) {
        // Start together to give the builders the best chance to overlap.
        waiting.fetch_sub(1);
        while (waiting.load() > 0) {
        }
        BuildConversionTables();
        BuildClampTable();
        // Whatever thread built them, they must be complete on return.
        std::memcpy(&seen[i], &conversionTables, sizeof(ConversionTables));
        seenClamp[i] = StoredClampEntries();
    });
    EXPECT_TRUE(ConversionTablesBuilt);
    EXPECT_TRUE(ClampTableBuilt);
    for (int i = 0; i < Threads; ++i) {
        EXPECT_EQ(std::memcmp(&seen[i], &conversionTables, sizeof(ConversionTables)), 0) << "thread " << i;
        EXPECT_EQ(seenClamp[i], StoredClampEntries()) << "thread " << i;
        EXPECT_EQ(seen[i].BFromU[255], 67158264) << "thread " << i;
        EXPECT_EQ(seenClamp[i][511 + 256], 255) << "thread " << i;
    }
}

TEST(ColourTableConstruction, SecondBuildChangesNothing)
{
    BuildTables();
    ConversionTables before;
    std::memcpy(&before, &conversionTables, sizeof before);
    const auto clampBefore = StoredClampEntries();
    BuildTables();
    EXPECT_EQ(std::memcmp(&before, &conversionTables, sizeof before), 0);
    EXPECT_EQ(clampBefore, StoredClampEntries());
    EXPECT_TRUE(ConversionTablesBuilt);
    EXPECT_TRUE(ClampTableBuilt);
}

// ---------------------------------------------------------------------------
// Table entries.

class ColourTables : public ::testing::Test {
protected:
    static void SetUpTestSuite() { BuildTables(); }
};

TEST_F(ColourTables, FirstAndLastEntries)
{
    const ConversionTables& t = conversionTables;
    struct Pin {
        const char* name;
        const int32_t* table;
        int32_t first, last;
    };
    const Pin pins[] = {
        {"YFromR", t.YFromR, 4325376, 21490810},     {"YFromG", t.YFromG, 0, 33699368},
        {"YFromB", t.YFromB, 0, 6544695},            {"UFromR", t.UFromR, 33685504, 23777282},
        {"UFromG", t.UFromG, 0, -19451927},          {"UFromB", t.UFromB, 0, 29360148},
        {"VFromR", t.VFromR, 33685504, 63045652},    {"VFromG", t.VFromG, 0, -24585421},
        {"VFromB", t.VFromB, 0, -4774660},           {"RgbFromY", t.RgbFromY, -4752704, 73082480},
        {"RFromV", t.RFromV, -53553780, 53135392},   {"GFromU", t.GFromU, 13145351, -13042653},
        {"GFromV", t.GFromV, 27278680, -27065566},   {"BFromU", t.BFromU, -67687072, 67158264},
    };
    for (const Pin& pin : pins) {
        EXPECT_EQ(pin.table[0], pin.first) << pin.name;
        EXPECT_EQ(pin.table[255], pin.last) << pin.name;
    }
}

TEST_F(ColourTables, ListedEntries)
{
    const ConversionTables& t = conversionTables;
    // Double-precision arithmetic would give one less in both.
    EXPECT_EQ(t.YFromG[71], 9382962);
    EXPECT_EQ(t.YFromB[140], 3593166);
    // Toward zero, not toward minus infinity.
    EXPECT_EQ(t.UFromG[1], -76282);
    EXPECT_EQ(t.RgbFromY[0], -4752704);
    EXPECT_EQ(t.RgbFromY[16], 131072);
    // The inverse chroma tables carry no offset.
    EXPECT_EQ(t.RFromV[128], 0);
    EXPECT_EQ(t.GFromU[128], 0);
    EXPECT_EQ(t.GFromV[128], 0);
    EXPECT_EQ(t.BFromU[128], 0);
}

// What the linear kernels rely on, worked out from the digits the AVX-512
// ones use: for every input, A - guard is at most the sum of entries at A's
// fraction bits and falls short of it by no more than the guard; and the
// whole factors the AVX2 ones use are the same sums.
TEST_F(ColourTables, LinearSumsBoundEveryTableSum)
{
    const ConversionTables& t = conversionTables;
    struct Case {
        const char* name;
        const LinearSums& sums;
        int fractionBits;
        int64_t guard;
        const int32_t* tables[3][3];
    } cases[] = {{"forward", forwardLinear, ForwardFractionBits, ForwardGuard,
                  {{t.YFromB, t.YFromG, t.YFromR}, {t.UFromB, t.UFromG, t.UFromR}, {t.VFromB, t.VFromG, t.VFromR}}},
                 {"inverse", inverseLinear, InverseFractionBits, InverseGuard,
                  {{t.RgbFromY, t.BFromU, nullptr}, {t.RgbFromY, t.GFromU, t.GFromV}, {t.RgbFromY, nullptr, t.RFromV}}}};
    for (const Case& c : cases) {
        ASSERT_TRUE(c.sums.usable) << c.name;
        for (int o = 0; o < 3; ++o) {
            // Byte b of the three digit words, most significant first.
            const auto factor = [&](int b) {
                int64_t k = 0;
                for (int level = 0; level < 3; ++level) k = 256 * k + int8_t(uint8_t(c.sums.digits[o][level] >> (8 * b)));
                return k;
            };
            const int64_t constant = int64_t(c.sums.top[o]) * 65536 + factor(3);
            EXPECT_EQ(c.sums.factors[o][3], int32_t(uint32_t(uint64_t(constant)))) << c.name << " output " << o;
            // scale S - (A - guard) = sum over inputs of (scale T[x] - K x), minus K0, plus guard.
            int64_t least = c.guard - constant, most = least;
            for (int input = 0; input < 3; ++input) {
                const int32_t* table = c.tables[o][input];
                const int64_t k = factor(input);
                EXPECT_EQ(c.sums.factors[o][input], k) << c.name << " output " << o << " input " << input;
                if (!table) {
                    EXPECT_EQ(k, 0) << c.name << " output " << o << " input " << input;
                    continue;
                }
                int64_t low = INT64_MAX, high = INT64_MIN;
                for (int64_t x = 0; x < 256; ++x) {
                    const int64_t d = (int64_t(table[x]) << (c.fractionBits - 18)) - k * x;
                    low = std::min(low, d);
                    high = std::max(high, d);
                }
                least += low;
                most += high;
            }
            EXPECT_GE(least, 0) << c.name << " output " << o;
            EXPECT_LE(most, c.guard) << c.name << " output " << o;
        }
    }
}

TEST_F(ColourTables, ClampSaturatesInAndBeyondItsStoredRange)
{
    const std::pair<int, int> pins[] = {{-256, 0},  {-1, 0},    {0, 0},     {1, 1},     {255, 255}, {256, 255},
                                        {510, 255}, {511, 255}, {-277, 0},  {534, 255}, {ClampTableFirst, 0},
                                        {ClampTableLast, 255}};
    for (auto [index, value] : pins) EXPECT_EQ(ClampTable[index], value) << "index " << index;
    for (int x = 0; x <= 255; ++x) ASSERT_EQ(ClampTable[x], x);
}

// ---------------------------------------------------------------------------
// RGB to planar.

class RgbToPlanar : public ColourTables {};

TEST_F(RgbToPlanar, UniformFramesGiveDocumentedSamples)
{
    struct Case {
        uint8_t b, g, r;
        int y, u, v; // -1: not pinned
    };
    const Case cases[] = {
        {0, 0, 0, 16, 128, 128},     {128, 128, 128, 126, 128, 128}, {255, 255, 255, 235, 128, 128},
        {140, 71, 0, 66, -1, -1},    {0, 0, 255, 81, 90, 240},       {0, 255, 0, 145, 54, 34},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "B " << int(c.b) << " G " << int(c.g) << " R " << int(c.r));
        const uint32_t w = 8, h = 2;
        const auto frame = UniformFrame(w, h, c.b, c.g, c.r);
        TestPicture p(w, h);
        ASSERT_TRUE(ConvertRgbToPlanar(frame.data(), p.picture, 3, 3 * w));
        for (uint32_t r = 0; r < h; ++r) {
            for (uint32_t j = 0; j < w; ++j) EXPECT_EQ(p.Y(r, j), c.y);
            // A flat row filters to itself, edges included.
            for (uint32_t k = 0; k < w / 2 && c.u >= 0; ++k) {
                EXPECT_EQ(p.U(r, k), c.u);
                EXPECT_EQ(p.V(r, k), c.v);
            }
        }
        EXPECT_TRUE(p.OutsideIntact());
    }
}

TEST_F(RgbToPlanar, RowOrderFollowsTheRowStep)
{
    // Memory rows of grey 0, 128, 255, with padding between rows.
    const uint32_t w = 4, h = 3;
    const ptrdiff_t stride = 3 * w + 5;
    std::vector<uint8_t> frame(stride * h, 77);
    const uint8_t greys[h] = {0, 128, 255};
    for (uint32_t r = 0; r < h; ++r) std::memset(&frame[r * stride], greys[r], 3 * w);
    const uint8_t lumas[h] = {16, 126, 235};

    TestPicture up(w, h);
    ASSERT_TRUE(ConvertRgbToPlanar(frame.data(), up.picture, 3, stride));
    TestPicture down(w, h);
    ASSERT_TRUE(ConvertRgbToPlanar(frame.data() + (h - 1) * stride, down.picture, 3, -stride));
    for (uint32_t r = 0; r < h; ++r) {
        for (uint32_t j = 0; j < w; ++j) {
            EXPECT_EQ(up.Y(r, j), lumas[r]);
            EXPECT_EQ(down.Y(r, j), lumas[h - 1 - r]);
        }
    }
}

TEST_F(RgbToPlanar, WidestPixelStepSkipsTheExtraBytes)
{
    // 4-byte pixels whose fourth byte would change every sample if it were read as a colour.
    const uint32_t w = 6, h = 2;
    auto source = RandomBytes(4 * w * h, 11);
    std::vector<uint8_t> packed(3 * w * h);
    for (std::size_t i = 0; i < std::size_t(w) * h; ++i) std::memcpy(&packed[3 * i], &source[4 * i], 3);
    TestPicture wide(w, h), narrow(w, h);
    ASSERT_TRUE(ConvertRgbToPlanar(source.data(), wide.picture, 4, 4 * w));
    ASSERT_TRUE(ConvertRgbToPlanar(packed.data(), narrow.picture, 3, 3 * w));
    EXPECT_EQ(wide.storage, narrow.storage);
}

TEST_F(RgbToPlanar, WidthOneWritesLumaOnly)
{
    const auto frame = UniformFrame(1, 3, 255, 255, 255);
    TestPicture p(1, 3);
    ASSERT_TRUE(ConvertRgbToPlanar(frame.data(), p.picture, 3, 3));
    for (uint32_t r = 0; r < 3; ++r) EXPECT_EQ(p.Y(r, 0), 235);
    EXPECT_TRUE(p.OutsideIntact());
}

#if defined(KESTRUN_FAULT_INJECTION)
TEST_F(RgbToPlanar, FailedScratchAllocationWritesNothing)
{
    const uint32_t w = 10, h = 4;
    const auto frame = RandomBytes(3 * w * h, 5);
    TestPicture p(w, h);
    const auto before = p.storage;
    SetAllocationFailure(1);
    EXPECT_FALSE(ConvertRgbToPlanar(frame.data(), p.picture, 3, 3 * w));
    SetAllocationFailure(0);
    EXPECT_EQ(p.storage, before);
}
#endif

// ---------------------------------------------------------------------------
// Chroma decimation.

class ChromaDecimation : public ColourTables {};

TEST_F(ChromaDecimation, EdgesOvershootOnBothSides)
{
    const uint8_t soft[8] = {16, 16, 16, 16, 16, 240, 240, 240};
    const uint8_t hard[8] = {16, 16, 16, 16, 240, 240, 240, 240};
    uint8_t out[4];
    DecimateChromaRow(soft, out, 8);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{16, 15, 128, 241}));
    DecimateChromaRow(hard, out, 8);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{16, 29, 227, 240}));
}

TEST_F(ChromaDecimation, WidthFourMirrorsBothOutputsAndWidthFiveIgnoresItsLastSample)
{
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        const auto s = RandomBytes(5, seed);
        const int32_t first = 14534 * s[0] + 16511 * s[1] + 1850 * s[2] - 127 * s[3];
        const int32_t second = 1850 * s[1] + 16511 * s[2] + 14534 * s[3] - 127 * s[0];
        uint8_t four[2];
        DecimateChromaRow(s.data(), four, 4);
        EXPECT_EQ(four[0], ClampTable[(first + 16384) >> 15]);
        EXPECT_EQ(four[1], ClampTable[(second + 16384) >> 15]);

        auto row = s;
        for (int last = 0; last < 256; last += 51) {
            row[4] = static_cast<uint8_t>(last);
            uint8_t five[3] = {0, 0, 0x5C};
            DecimateChromaRow(row.data(), five, 5);
            EXPECT_EQ(five[0], four[0]);
            EXPECT_EQ(five[1], four[1]);
            EXPECT_EQ(five[2], 0x5C);
        }
    }
}

TEST_F(ChromaDecimation, NarrowRowsStayInsideTheRow)
{
    // The row sits between guard bytes that change from trial to trial;
    // widths 2 and 3 must give the rounded mean of s[0] and s[1] whatever
    // surrounds them (and whatever s[2] of width 3 holds).
    for (uint32_t width : {2u, 3u}) {
        for (uint32_t seed = 1; seed <= 30; ++seed) {
            auto buffer = RandomBytes(16, seed);
            const uint8_t* s = buffer.data() + 6;
            std::vector<uint8_t> out(9, 0xC3);
            DecimateChromaRow(s, out.data() + 4, width);
            SCOPED_TRACE(::testing::Message() << "width " << width << " seed " << seed);
            EXPECT_EQ(out[4], (s[0] + s[1] + 1) / 2);
            for (std::size_t i = 0; i < out.size(); ++i) {
                if (i != 4) {
                    EXPECT_EQ(out[i], 0xC3) << "byte " << i;
                }
            }
        }
    }
    // Widths 0 and 1 have no output at all.
    uint8_t s[2] = {9, 200}, out = 0xC3;
    DecimateChromaRow(s, &out, 1);
    DecimateChromaRow(s, &out, 0);
    EXPECT_EQ(out, 0xC3);
}

// ---------------------------------------------------------------------------
// Planar to RGB.

class PlanarToRgb : public ColourTables {};

TEST_F(PlanarToRgb, DocumentedSamplesAndSaturation)
{
    struct Case {
        uint8_t y, u, v;
        int r, g, b; // -1: not pinned
    };
    const Case cases[] = {
        {16, 128, 128, 0, 0, 0},       {235, 128, 128, 255, 255, 255}, {128, 128, 128, 130, 130, 130},
        {81, 90, 240, 254, 0, 0},      {145, 54, 34, 0, 255, 1},       {235, 255, 128, 255, 205, 255},
        {255, 255, 128, -1, -1, 255},  {0, 0, 128, -1, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "Y " << int(c.y) << " U " << int(c.u) << " V " << int(c.v));
        TestPicture p(2, 1);
        p.Y(0, 0) = p.Y(0, 1) = c.y;
        p.U(0, 0) = c.u;
        p.V(0, 0) = c.v;
        uint8_t out[6];
        ConvertPlanarToRgb(p.picture, out, 3, 6);
        for (int pixel = 0; pixel < 2; ++pixel) {
            const int expected[3] = {c.b, c.g, c.r};
            for (int channel = 0; channel < 3; ++channel) {
                if (expected[channel] >= 0) {
                    EXPECT_EQ(out[3 * pixel + channel], expected[channel]) << "pixel " << pixel << " byte " << channel;
                }
            }
        }
    }
}

TEST_F(PlanarToRgb, RowOrderFollowsTheRowStepAndPaddingStaysUntouched)
{
    const uint32_t w = 4, h = 3;
    const ptrdiff_t stride = 3 * w + 4;
    TestPicture p(w, h, 128);
    const uint8_t lumas[h] = {16, 128, 235}, greys[h] = {0, 130, 255};
    for (uint32_t r = 0; r < h; ++r) std::memset(&p.Y(r, 0), lumas[r], w);

    for (bool topDown : {false, true}) {
        SCOPED_TRACE(topDown ? "negative row step" : "positive row step");
        std::vector<uint8_t> out(stride * h, 0x3C);
        if (topDown) {
            ConvertPlanarToRgb(p.picture, out.data() + (h - 1) * stride, 3, -stride);
        } else {
            ConvertPlanarToRgb(p.picture, out.data(), 3, stride);
        }
        for (uint32_t m = 0; m < h; ++m) {
            const uint8_t grey = greys[topDown ? h - 1 - m : m];
            for (ptrdiff_t i = 0; i < stride; ++i) {
                EXPECT_EQ(out[m * stride + i], i < 3 * ptrdiff_t(w) ? grey : 0x3C) << "row " << m << " byte " << i;
            }
        }
    }
}

TEST_F(PlanarToRgb, FourthByteOfWidePixelsIsNeverWritten)
{
    const uint32_t w = 7, h = 3;
    TestPicture p(w, h);
    const auto content = RandomBytes(p.PlaneBytes(), 21);
    std::memcpy(p.picture.buffer, content.data(), content.size());
    std::vector<uint8_t> wide(4 * w * h, 0xE7), narrow(3 * w * h);
    ConvertPlanarToRgb(p.picture, wide.data(), 4, 4 * w);
    ConvertPlanarToRgb(p.picture, narrow.data(), 3, 3 * w);
    for (std::size_t i = 0; i < std::size_t(w) * h; ++i) {
        EXPECT_EQ(wide[4 * i + 3], 0xE7) << "pixel " << i;
        EXPECT_EQ(std::memcmp(&wide[4 * i], &narrow[3 * i], 3), 0) << "pixel " << i;
    }
}

TEST_F(PlanarToRgb, PairsShareChromaAndOddLastPixelTakesTheRowsLast)
{
    // Width 5: two chroma samples per row; the byte after row 0's last one is
    // row 1's first, set apart so that reading past the row would show.
    const uint32_t w = 5, h = 2;
    TestPicture p(w, h);
    std::memset(p.picture.yPlane, 100, w * h);
    const uint8_t u[h][2] = {{60, 200}, {20, 240}}, v[h][2] = {{180, 90}, {30, 220}};
    for (uint32_t r = 0; r < h; ++r) {
        for (uint32_t k = 0; k < 2; ++k) {
            p.U(r, k) = u[r][k];
            p.V(r, k) = v[r][k];
        }
    }
    std::vector<uint8_t> out(3 * w * h);
    ConvertPlanarToRgb(p.picture, out.data(), 3, 3 * w);
    for (uint32_t r = 0; r < h; ++r) {
        const uint8_t* row = &out[3 * w * r];
        EXPECT_EQ(std::memcmp(row, row + 3, 3), 0) << "row " << r;
        EXPECT_EQ(std::memcmp(row + 6, row + 9, 3), 0) << "row " << r;
        EXPECT_EQ(std::memcmp(row + 9, row + 12, 3), 0) << "row " << r;
        EXPECT_NE(std::memcmp(row, row + 6, 3), 0) << "row " << r;
    }
}

TEST_F(PlanarToRgb, WidthOneIsGrey)
{
    TestPicture p(1, 2);
    p.Y(0, 0) = 128;
    p.Y(1, 0) = 235;
    uint8_t out[6];
    ConvertPlanarToRgb(p.picture, out, 3, 3);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{130, 130, 130, 255, 255, 255}));
}

// ---------------------------------------------------------------------------
// Fast kernels against the reference ones, byte for byte.

class FastMatchesReference : public ColourTables {};

TEST_F(FastMatchesReference, SampleClipBothWays)
{
    const auto frames = SampleFrames("bgr24", 2);
    if (frames.empty()) GTEST_SKIP() << "ffmpeg is not available";
    const uint32_t w = SampleWidth, h = SampleHeight;
    const std::size_t frameBytes = 3 * std::size_t(w) * h;
    ASSERT_EQ(frames.size(), 2 * frameBytes);
    for (int f = 0; f < 2; ++f) {
        // Full width, then one pixel narrower over the same rows for an odd width.
        for (uint32_t width : {w, w - 1}) {
            SCOPED_TRACE(::testing::Message() << "frame " << f << " width " << width);
            const uint8_t* source = frames.data() + f * frameBytes;
            TestPicture fast(width, h), reference(width, h);
            ASSERT_TRUE(ConvertRgbToPlanar(source, fast.picture, 3, 3 * w));
            ASSERT_TRUE(ConvertRgbToPlanarReference(source, reference.picture, 3, 3 * w));
            ASSERT_EQ(fast.storage, reference.storage);
            std::vector<uint8_t> out(4 * std::size_t(width) * h, 0), expected(out.size(), 0);
            ConvertPlanarToRgb(fast.picture, out.data(), 4, 4 * ptrdiff_t(width));
            ConvertPlanarToRgbReference(fast.picture, expected.data(), 4, 4 * ptrdiff_t(width));
            ASSERT_EQ(out, expected);
        }
    }
}

} // namespace
