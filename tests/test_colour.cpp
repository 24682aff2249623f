// Colour conversion: table entries, saturation, the forward and inverse
// conversions, the chroma filter, and the fast kernels against the
// per-sample reference ones.
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
#include "support/test_support.h"

// Kernel names in test names and messages.
void PrintTo(RgbKernel kernel, std::ostream* out)
{
    *out << (kernel == RgbKernel::Avx512Linear ? "Avx512Linear"
             : kernel == RgbKernel::Avx512     ? "Avx512"
             : kernel == RgbKernel::Avx2 ? "Avx2"
             : kernel == RgbKernel::Sse2 ? "Sse2"
                                         : "Portable");
}

namespace {

// A picture laid out as the codec lays it out, inside a vector with guard
// bytes on both sides so that stray writes show.
struct TestPicture {
    static constexpr std::size_t Guard = 32;
    static constexpr uint8_t GuardValue = 0xA5;
    std::vector<uint8_t> storage;
    PlanarPicture picture{};

    TestPicture(uint32_t width, uint32_t height, uint8_t fill = GuardValue)
        : storage(2 * std::size_t(width) * height + 2 * Guard, GuardValue)
    {
        picture.width = width;
        picture.height = height;
        picture.yRowLength = width;
        picture.chromaRowLength = width >> 1;
        picture.buffer = storage.data() + Guard;
        picture.yPlane = picture.buffer;
        picture.uPlane = picture.yPlane + std::size_t(width) * height;
        picture.vPlane = picture.uPlane + std::size_t(width >> 1) * height;
        picture.allocated = 1;
        std::memset(picture.buffer, fill, PlaneBytes());
    }
    std::size_t PlaneBytes() const
    {
        return (std::size_t(picture.width) + 2 * (picture.width >> 1)) * picture.height;
    }
    uint8_t& Y(uint32_t r, uint32_t j) { return picture.yPlane[std::size_t(r) * picture.width + j]; }
    uint8_t& U(uint32_t r, uint32_t k) { return picture.uPlane[std::size_t(r) * picture.chromaRowLength + k]; }
    uint8_t& V(uint32_t r, uint32_t k) { return picture.vPlane[std::size_t(r) * picture.chromaRowLength + k]; }
    // Everything outside the three planes: the guards and an odd width's spare bytes.
    bool OutsideIntact() const
    {
        const std::size_t planes = Guard + PlaneBytes();
        for (std::size_t i = 0; i < storage.size(); ++i) {
            if ((i < Guard || i >= planes) && storage[i] != GuardValue) return false;
        }
        return true;
    }
};

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

// What the AVX-512 kernels rely on, worked out from the digits they use:
// for every input, A - guard is at most the sum of entries at A's fraction
// bits and falls short of it by no more than the guard.
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
            // scale S - (A - guard) = sum over inputs of (scale T[x] - K x), minus K0, plus guard.
            int64_t least = c.guard - constant, most = least;
            for (int input = 0; input < 3; ++input) {
                const int32_t* table = c.tables[o][input];
                const int64_t k = factor(input);
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

// Lowers the ceiling of the RGB input or chroma halving kernels for a scope.
template <KernelLevel& Ceiling>
struct LevelCeiling {
    explicit LevelCeiling(KernelLevel level) { Ceiling = level; }
    ~LevelCeiling() { Ceiling = KernelLevel::Avx512; }
};
using InputCeiling = LevelCeiling<rgbInputCeiling>;
using DecimationCeiling = LevelCeiling<decimationCeiling>;

constexpr KernelLevel InputKernels[] = {KernelLevel::Baseline, KernelLevel::Avx2, KernelLevel::Avx512};

// Widths up to 160 reach the 32-output AVX-512 and 16-output AVX2 steps,
// their 8-output SSE2 follow-on and the scalar end, at every level.
TEST_F(FastMatchesReference, DecimationOnRandomAndExtremeRows)
{
    for (KernelLevel level : InputKernels)
    for (uint32_t width = 0; width <= 160; ++width) {
        DecimationCeiling ceiling(level);
        for (uint32_t seed = 0; seed < 8; ++seed) {
            auto row = RandomBytes(width, 1000 * width + seed);
            // Half the rows only 0 and 255, which drives the filter past the byte range.
            if (seed & 1) {
                for (auto& s : row) s = s & 1 ? 255 : 0;
            }
            std::vector<uint8_t> fast(width / 2 + 1, 0x11), reference(width / 2 + 1, 0x11);
            DecimateChromaRow(row.data(), fast.data(), width);
            ReferenceDecimateChromaRow(row.data(), reference.data(), width);
            ASSERT_EQ(fast, reference) << "width " << width << " seed " << seed << " level " << int(level);
        }
    }
    // The plane form: rows of width 7 packed without gaps, outputs 3 apart.
    const auto rows = RandomBytes(7 * 4, 3);
    std::vector<uint8_t> plane(3 * 4 + 1, 0x11), expected(3 * 4 + 1, 0x11);
    DecimateChromaPlane(plane.data(), 7, rows.data(), 4);
    for (uint32_t r = 0; r < 4; ++r) ReferenceDecimateChromaRow(&rows[7 * r], &expected[3 * r], 7);
    EXPECT_EQ(plane, expected);
}

TEST_F(FastMatchesReference, RgbToPlanarOnRandomFrames)
{
    // Widths up to 40 reach the 16-pixel steps and every remainder after them.
    for (KernelLevel kernel : InputKernels)
    for (uint32_t width = 2; width <= 40; ++width) {
        InputCeiling ceiling(kernel);
        for (uint32_t height = 1; height <= 5; ++height) {
            for (ptrdiff_t step : {3, 4}) {
                const ptrdiff_t stride = step * width + (width & 3);
                const auto frame = RandomBytes(stride * height, width * 100 + height * 10 + uint32_t(step));
                for (bool flip : {false, true}) {
                    const uint8_t* source = flip ? frame.data() + (height - 1) * stride : frame.data();
                    const ptrdiff_t rowStep = flip ? -stride : stride;
                    TestPicture fast(width, height), reference(width, height);
                    ASSERT_TRUE(ConvertRgbToPlanar(source, fast.picture, step, rowStep));
                    ASSERT_TRUE(ReferenceConvertRgbToPlanar(source, reference.picture, step, rowStep));
                    ASSERT_EQ(fast.storage, reference.storage)
                        << width << "x" << height << " step " << step << (flip ? " flipped" : "") << " kernel "
                        << int(kernel);
                }
            }
        }
    }
}

// Every one of the 2^24 colours through each row kernel, Y, U and V at full
// resolution against the table formula. The AVX-512 kernel computes with
// integer lines instead of the tables and hands pixels near a rounding edge
// back to them, so only all colours show that its window is wide enough.
TEST_F(FastMatchesReference, EveryColourThroughEachInputKernel)
{
    const ConversionTables& t = conversionTables;
    constexpr uint32_t width = 65536 + 5; // all blue-green pairs and a tail past the vector steps
    std::vector<uint8_t> row(3 * std::size_t(width) + 64);
    std::vector<uint8_t> planes(3 * std::size_t(width)), expected(planes.size());
    for (KernelLevel kernel : InputKernels) {
        if (!KernelLevelAvailable(kernel)) continue;
        for (uint32_t red = 0; red < 256; ++red) {
            for (uint32_t j = 0; j < width; ++j) {
                const uint8_t b = uint8_t(j), g = uint8_t(j >> 8), r = uint8_t(j < 65536 ? red : 255 - red);
                row[3 * j] = b;
                row[3 * j + 1] = g;
                row[3 * j + 2] = r;
                expected[j] = ClampTable[(t.YFromB[b] + t.YFromG[g] + t.YFromR[r]) >> 18];
                expected[width + j] = ClampTable[(t.UFromB[b] + t.UFromG[g] + t.UFromR[r]) >> 18];
                expected[2 * width + j] = ClampTable[(t.VFromB[b] + t.VFromG[g] + t.VFromR[r]) >> 18];
            }
            ConvertRgbRowWith(kernel, row.data(), planes.data(), planes.data() + width, planes.data() + 2 * width,
                              width);
            if (planes != expected) {
                const std::size_t i = std::size_t(std::mismatch(planes.begin(), planes.end(), expected.begin()).first -
                                                  planes.begin());
                const std::size_t j = i % width;
                FAIL() << "kernel " << int(kernel) << ": " << "YUV"[i / width] << " of B " << int(row[3 * j]) << " G "
                       << int(row[3 * j + 1]) << " R " << int(row[3 * j + 2]) << " is " << int(planes[i])
                       << " instead of " << int(expected[i]);
            }
        }
    }
}

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
            ASSERT_TRUE(ReferenceConvertRgbToPlanar(source, reference.picture, 3, 3 * w));
            ASSERT_EQ(fast.storage, reference.storage);
            std::vector<uint8_t> out(4 * std::size_t(width) * h, 0), expected(out.size(), 0);
            ConvertPlanarToRgb(fast.picture, out.data(), 4, 4 * ptrdiff_t(width));
            ReferenceConvertPlanarToRgb(fast.picture, expected.data(), 4, 4 * ptrdiff_t(width));
            ASSERT_EQ(out, expected);
        }
    }
}

// ---------------------------------------------------------------------------
// Each planar-to-RGB kernel against the reference, byte for byte, and the
// bytes a kernel must leave alone: row padding, the fourth byte of 4-byte
// pixels, and everything before the first row and after the last.

// RGB rows `stride` bytes apart between guard regions, every byte set to a
// pattern that depends on its position. Bottom-up output starts at the first
// row in memory; top-down output at the last, with a negative row step.
struct RgbTarget {
    static constexpr std::size_t Guard = 64;
    uint32_t width, height;
    ptrdiff_t step, stride;
    bool topDown;
    std::vector<uint8_t> storage;

    RgbTarget(uint32_t w, uint32_t h, ptrdiff_t pixelStep, ptrdiff_t padding, bool flip)
        : width(w), height(h), step(pixelStep), stride(pixelStep * w + padding), topDown(flip),
          storage(2 * Guard + std::size_t(stride) * h)
    {
        for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = Pattern(i);
    }
    static uint8_t Pattern(std::size_t i) { return static_cast<uint8_t>(i * 151 + 7); }
    uint8_t* Destination() { return storage.data() + Guard + (topDown ? std::size_t(stride) * (height - 1) : 0); }
    ptrdiff_t RowStep() const { return topDown ? -stride : stride; }
    // The first byte outside the pixels' B, G, R bytes that lost its pattern, or -1.
    ptrdiff_t FirstStrayWrite() const
    {
        std::vector<bool> written(storage.size(), false);
        for (uint32_t row = 0; row < height; ++row) {
            const std::size_t first = Guard + std::size_t(row) * std::size_t(stride);
            for (uint32_t j = 0; j < width; ++j) {
                const std::size_t at = first + std::size_t(j) * std::size_t(step);
                written[at] = written[at + 1] = written[at + 2] = true;
            }
        }
        for (std::size_t i = 0; i < storage.size(); ++i) {
            if (!written[i] && storage[i] != Pattern(i)) return ptrdiff_t(i);
        }
        return -1;
    }
};

class PlanarToRgbKernel : public ColourTables, public ::testing::WithParamInterface<RgbKernel> {
protected:
    void SetUp() override
    {
        if (!RgbKernelAvailable(GetParam())) GTEST_SKIP() << "kernel not built in or not supported by this processor";
    }
    // Converts with the kernel under test and with the reference into
    // identical targets and compares every byte of them.
    void ExpectSameAsReference(const PlanarPicture& picture, ptrdiff_t step, ptrdiff_t padding, bool topDown)
    {
        SCOPED_TRACE(::testing::Message() << picture.width << "x" << picture.height << " step " << step << " padding "
                                          << padding << (topDown ? " top-down" : " bottom-up"));
        RgbTarget fast(picture.width, picture.height, step, padding, topDown);
        RgbTarget reference(picture.width, picture.height, step, padding, topDown);
        ConvertPlanarToRgbWith(GetParam(), picture, fast.Destination(), step, fast.RowStep());
        ReferenceConvertPlanarToRgb(picture, reference.Destination(), step, reference.RowStep());
        ASSERT_EQ(fast.FirstStrayWrite(), -1);
        ASSERT_EQ(reference.FirstStrayWrite(), -1);
        if (fast.storage != reference.storage) {
            const auto at = std::mismatch(fast.storage.begin(), fast.storage.end(), reference.storage.begin());
            const std::size_t i = std::size_t(at.first - fast.storage.begin()) - RgbTarget::Guard;
            FAIL() << "first difference in memory row " << i / std::size_t(fast.stride) << " at byte "
                   << i % std::size_t(fast.stride) << ": " << int(*at.first) << " instead of " << int(*at.second);
        }
    }
};

TEST_P(PlanarToRgbKernel, RandomPicturesOfEveryNarrowWidth)
{
    // Widths 1 to 41 take every remainder of the vector groups, with and
    // without an odd last pixel; half the pictures use only 0 and 255, which
    // drives every channel into both saturations.
    for (uint32_t width = 1; width <= 41; ++width) {
        for (uint32_t height = 1; height <= 5; ++height) {
            TestPicture p(width, height);
            auto content = RandomBytes(p.PlaneBytes(), width * 100 + height);
            if (height & 1) {
                for (auto& sample : content) sample = sample & 1 ? 255 : 0;
            }
            std::memcpy(p.picture.buffer, content.data(), content.size());
            for (ptrdiff_t step : {3, 4}) {
                for (bool topDown : {false, true}) {
                    ExpectSameAsReference(p.picture, step, ptrdiff_t(width % 3), topDown);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}

TEST_P(PlanarToRgbKernel, RandomPicturesOfFrameWidths)
{
    for (uint32_t width : {720u, 1917u, 1920u, 1923u, 4101u}) {
        TestPicture p(width, 3);
        const auto content = RandomBytes(p.PlaneBytes(), width);
        std::memcpy(p.picture.buffer, content.data(), content.size());
        for (ptrdiff_t step : {3, 4}) {
            for (bool topDown : {false, true}) {
                ExpectSameAsReference(p.picture, step, 0, topDown);
                ExpectSameAsReference(p.picture, step, 13, topDown);
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST_P(PlanarToRgbKernel, EverySampleCombination)
{
    // Picture y has Y = y in even pixels and 255 - y in odd ones, U = k in
    // pair k and V = r in row r: the 256 pictures meet every (Y, U, V) in
    // both pixels of a pair, so every sum the tables can form is saturated
    // once in each position of the vector registers. The narrow cases above
    // cover the stores; this covers the arithmetic.
    const uint32_t width = 512, height = 256;
    TestPicture p(width, height);
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t k = 0; k < width / 2; ++k) {
            p.U(r, k) = uint8_t(k);
            p.V(r, k) = uint8_t(r);
        }
    }
    const ptrdiff_t stride = 3 * width;
    std::vector<uint8_t> out(std::size_t(stride) * height), expected(out.size());
    for (uint32_t y = 0; y < 256; ++y) {
        for (uint32_t r = 0; r < height; ++r) {
            for (uint32_t j = 0; j < width; j += 2) {
                p.Y(r, j) = uint8_t(y);
                p.Y(r, j + 1) = uint8_t(255 - y);
            }
        }
        ConvertPlanarToRgbWith(GetParam(), p.picture, out.data(), 3, stride);
        ReferenceConvertPlanarToRgb(p.picture, expected.data(), 3, stride);
        if (out != expected) {
            const auto at = std::mismatch(out.begin(), out.end(), expected.begin()).first;
            const std::size_t i = std::size_t(at - out.begin());
            const std::size_t r = i / std::size_t(stride), j = i % std::size_t(stride) / 3;
            FAIL() << "Y " << int(p.Y(r, j)) << " U " << j / 2 << " V " << r << " byte " << i % 3 << ": " << int(out[i])
                   << " instead of " << int(expected[i]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, PlanarToRgbKernel,
                         ::testing::Values(RgbKernel::Portable, RgbKernel::Sse2, RgbKernel::Avx2, RgbKernel::Avx512,
                                           RgbKernel::Avx512Linear),
                         [](const ::testing::TestParamInfo<RgbKernel>& info) {
                             return ::testing::PrintToString(info.param);
                         });

} // namespace
