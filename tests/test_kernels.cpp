// The kernel check: every kernel of every family that the processor runs
// (its feature word, narrowed by KESTRUN_CPU) against the family's reference,
// byte for byte, on shapes around each kernel's block widths, with inputs
// and outputs against guard pages. A kernel the processor cannot run is
// reported as skipped, by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/fast_inflate.h"
#include "codec/median_kernels.h"
#include "codec/median_reference.h"
#include "codec/zlib_stream.h"
#include "colour/colour_internal.h"
#include "colour/colour_reference.h"
#include "huffman/huffman_internal.h"
#include "huffman/huffman_reference.h"
#include "picture/packed_kernels.h"
#include "platform/cpu.h"
#include "support/guarded_buffer.h"
#include "support/huffman_inputs.h"
#include "support/test_picture.h"
#include "support/test_support.h"

namespace {
using Bytes = std::vector<uint8_t>;
using huffman_inputs::BurstsOfLongCodes;
using huffman_inputs::FibonacciInput;
using huffman_inputs::LongestCodeInput;
using huffman_inputs::SkewedBytes;
using huffman_inputs::UnlikeHalves;

template <typename Function> std::vector<const Kernel<Function>*> Entries(std::span<const Kernel<Function>> kernels)
{
    std::vector<const Kernel<Function>*> entries;
    for (const Kernel<Function>& kernel : kernels) entries.push_back(&kernel);
    return entries;
}

struct KernelName {
    template <typename Function>
    std::string operator()(const ::testing::TestParamInfo<const Kernel<Function>*>& info) const
    {
        return info.param->name;
    }
};

bool Runs(uint32_t features) { return (features & ~CpuFeatures()) == 0; }

// A family's test: its kernel as the parameter, skipped where the processor
// word does not admit it.
template <typename Function> class KernelTest : public ::testing::TestWithParam<const Kernel<Function>*> {
protected:
    void SetUp() override
    {
        if (!Runs(Tested().features))
            GTEST_SKIP() << Tested().name << " needs what this processor (or KESTRUN_CPU=" << CpuLevelName(CpuFeatures())
                         << ") does not have";
        BuildClampTable();
        BuildConversionTables();
    }
    const ::Kernel<Function>& Tested() const { return *this->GetParam(); }
};

Bytes Copy(const uint8_t* data, std::size_t size) { return Bytes(data, data + size); }

// A planar picture whose buffer ends against a guard page.
struct GuardedPicture {
    GuardedBuffer storage;
    PlanarPicture picture{};
    GuardedPicture(uint32_t width, uint32_t height) : storage(PictureBytes(width, height))
    {
        picture.width = width;
        picture.height = height;
        picture.yRowLength = width;
        picture.chromaRowLength = width >> 1;
        picture.buffer = picture.yPlane = storage.data();
        picture.uPlane = picture.yPlane + std::size_t(width) * height;
        picture.vPlane = picture.uPlane + std::size_t(width >> 1) * height;
        picture.allocated = 1;
    }
};

// Every row length up to 41, and lengths around the 16-, 32- and 64-sample
// blocks of the wider kernels.
std::vector<uint32_t> RowLengths()
{
    std::vector<uint32_t> lengths;
    for (uint32_t length = 1; length <= 41; ++length) lengths.push_back(length);
    for (uint32_t length : {47u, 63u, 64u, 65u, 66u, 95u, 96u, 97u, 127u, 128u, 129u, 130u, 191u, 192u, 193u, 200u})
        lengths.push_back(length);
    return lengths;
}

// Planes of rows 1 to 11 high for every row length, random and (where ffmpeg
// made the clip) real footage, whose residuals are small; `check` gets each
// in a guarded buffer of exactly its size.
template <typename Check> void ForEachPlane(Check&& check)
{
    constexpr uint32_t ClipWidth = 200;
    static const Bytes clip = SampleFrames("gray", 1, "crop=200:12:300:200");
    for (uint32_t rows = 1; rows <= 11; ++rows)
        for (uint32_t length : RowLengths())
            for (int content = 0; content < 2; ++content) {
                Bytes plane = RandomBytes(std::size_t(rows) * length, rows * 64 + length);
                if (content == 1 && clip.size() >= std::size_t(rows) * ClipWidth)
                    for (uint32_t r = 0; r < rows; ++r)
                        std::copy_n(clip.begin() + r * ClipWidth, length, plane.begin() + r * length);
                GuardedBuffer guarded(plane.size());
                std::memcpy(guarded.data(), plane.data(), plane.size());
                check(plane, guarded, length, rows);
                if (::testing::Test::HasFatalFailure()) return;
            }
}

} // namespace

// ---------------------------------------------------------------------------
// The processor word and the choice it makes.

TEST(ProcessorWord, ChoosesTheLastKernelTheWordAdmits)
{
    constexpr Kernel<int> kernels[] = {{"a", 0, 0}, {"b", CpuAvx2, 1}, {"c", CpuAvx512 | CpuAvx512Vnni, 2}, {"d", CpuBmi2, 3}};
    EXPECT_EQ(ChooseKernel<int>(kernels, 0).function, 0);
    EXPECT_EQ(ChooseKernel<int>(kernels, CpuSse2 | CpuAvx2).function, 1);
    EXPECT_EQ(ChooseKernel<int>(kernels, CpuAvx2 | CpuAvx512).function, 1); // c needs VNNI too
    EXPECT_EQ(ChooseKernel<int>(kernels, CpuAvx2 | CpuAvx512 | CpuAvx512Vnni).function, 2);
    EXPECT_EQ(ChooseKernel<int>(kernels, CpuAvx2 | CpuBmi2).function, 3);
    // Each level holds the ones below it, and names itself.
    uint32_t below = 0;
    for (const CpuLevel& level : CpuLevels()) {
        EXPECT_EQ(level.features & below, below) << level.name;
        EXPECT_STREQ(CpuLevelName(level.features), level.name);
        below = level.features;
    }
    EXPECT_STREQ(CpuLevelName(0), "none");
}

// What this run uses, printed; a KESTRUN_CPU that names no level is a mistake
// in the run, not a narrowing, and fails here.
TEST(ProcessorWord, NarrowingNamesALevelAndTheChosenKernelsRun)
{
    EXPECT_TRUE(CpuEnvironmentIsValid()) << "KESTRUN_CPU names no level (sse2, avx2, avx512, avx512icl)";
    EXPECT_EQ(CpuFeatures() & ~ProcessorFeatures(), 0u) << "narrowing never adds a feature";
    std::printf("[ processor ] %s (word 0x%02x); running as %s (0x%02x)\n", CpuLevelName(ProcessorFeatures()),
                ProcessorFeatures(), CpuLevelName(CpuFeatures()), CpuFeatures());
    const auto report = [](const char* family, auto kernels) {
        const auto& chosen = ChooseKernel(kernels);
        EXPECT_TRUE(Runs(chosen.features)) << family;
        std::printf("[ kernels   ] %-18s %s\n", family, chosen.name);
    };
    report("median forward", MedianPredictKernels());
    report("median inverse", MedianRestoreKernels());
    report("packing", PackingKernels());
    report("RGB input", RgbInputKernels());
    report("chroma halving", DecimationKernels());
    report("RGB output", RgbOutputKernels());
    report("Huffman counting", HuffmanCountKernels());
    report("Huffman coding", HuffmanCodingKernels());
    report("inflate", InflateKernels());
}

// ---------------------------------------------------------------------------
// The median transform, forward and inverse.

using MedianForward = KernelTest<PredictRowKernel>;

TEST_P(MedianForward, MatchesTheReferenceOnEveryShape)
{
    ForEachPlane([&](const Bytes& plane, GuardedBuffer& guarded, uint32_t length, uint32_t rows) {
        Bytes reference = plane;
        MedianTransformPlaneReference(reference.data(), length, rows);
        MedianTransformPlaneWith(Tested().function, guarded.data(), length, rows);
        ASSERT_EQ(Copy(guarded.data(), plane.size()), reference) << length << "x" << rows;
    });
}

INSTANTIATE_TEST_SUITE_P(Kernels, MedianForward, ::testing::ValuesIn(Entries(MedianPredictKernels())), KernelName());

using MedianInverse = KernelTest<RestoreRowsKernel>;

TEST_P(MedianInverse, MatchesTheReferenceOnEveryShapeWholeAndByBands)
{
    ForEachPlane([&](const Bytes& plane, GuardedBuffer& guarded, uint32_t length, uint32_t rows) {
        Bytes residuals = plane;
        MedianTransformPlaneReference(residuals.data(), length, rows);
        // Whole, then in bands of 1, 3, 16 and 17 rows: each band starts on
        // rows the one before restored.
        for (uint32_t band : {rows, 1u, 3u, 16u, 17u}) {
            std::memcpy(guarded.data(), residuals.data(), residuals.size());
            for (uint32_t first = 0; first < rows; first += band)
                Tested().function(guarded.data(), length, first, std::min(rows, first + band));
            ASSERT_EQ(Copy(guarded.data(), plane.size()), plane) << length << "x" << rows << " bands of " << band;
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Kernels, MedianInverse, ::testing::ValuesIn(Entries(MedianRestoreKernels())), KernelName());

// ---------------------------------------------------------------------------
// Packed 4:2:2 split and joined, against the layout itself: every even width
// to 70, widths around two and three of the 64-pixel blocks, and odd widths,
// whose last pixel the copies leave out; with the frame ending at the guard
// page and starting on 16 bytes, where rows of a multiple of 8 pixels take
// the joins' streaming stores.

using Packing = KernelTest<PackingKernel>;

TEST_P(Packing, SplitsAndJoinsByTheLayoutAtEveryWidth)
{
    std::vector<uint32_t> widths;
    for (uint32_t w = 2; w <= 70; w += 2) widths.push_back(w);
    for (uint32_t w : {126u, 128u, 130u, 190u, 192u, 194u, 1920u, 3u, 33u, 65u, 129u}) widths.push_back(w);
    for (uint32_t w : widths)
        for (uint32_t h : {1u, 3u})
            for (uint32_t yOffset : {0u, 1u})
                for (std::size_t alignment : {1u, 16u}) {
                    SCOPED_TRACE(::testing::Message() << w << "x" << h << (yOffset ? " UYVY" : " YUY2")
                                                      << ", aligned to " << alignment);
                    const uint32_t uOffset = 1 - yOffset, rowBytes = 2 * w;
                    const Bytes frame = RandomBytes(std::size_t(rowBytes) * h, w + h);
                    GuardedBuffer packed(frame.size(), alignment);
                    std::memcpy(packed.data(), frame.data(), frame.size());
                    GuardedPicture planes(w, h);
                    // Planar row 0 is the last row in memory.
                    PackedToPlanarWith(Tested().function, planes.picture, packed.data() + rowBytes * (h - 1),
                                       -ptrdiff_t(rowBytes), yOffset);
                    const PlanarPicture& p = planes.picture;
                    for (uint32_t r = 0; r < h; ++r) {
                        const uint8_t* row = frame.data() + std::size_t(h - 1 - r) * rowBytes;
                        for (uint32_t j = 0; j < w / 2 * 2; ++j) ASSERT_EQ(p.yPlane[r * w + j], row[2 * j + yOffset]);
                        for (uint32_t k = 0; k < w / 2; ++k) {
                            ASSERT_EQ(p.uPlane[r * (w / 2) + k], row[4 * k + uOffset]);
                            ASSERT_EQ(p.vPlane[r * (w / 2) + k], row[4 * k + uOffset + 2]);
                        }
                    }
                    std::memset(packed.data(), 0xEE, frame.size());
                    PlanarToPackedWith(Tested().function, p, packed.data() + rowBytes * (h - 1), -ptrdiff_t(rowBytes),
                                       yOffset);
                    for (uint32_t r = 0; r < h; ++r) {
                        const std::size_t at = std::size_t(r) * rowBytes, pairs = std::size_t(w / 2) * 4;
                        ASSERT_TRUE(std::equal(frame.begin() + at, frame.begin() + at + pairs, packed.data() + at));
                        ASSERT_TRUE(std::all_of(packed.data() + at + pairs, packed.data() + at + rowBytes,
                                                [](uint8_t b) { return b == 0xEE; }))
                            << "an odd width's last pixel is not written";
                    }
                }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Packing, ::testing::ValuesIn(Entries(PackingKernels())), KernelName());

// ---------------------------------------------------------------------------
// RGB input: the row conversion, and the chroma halving.

namespace {
// While it lives, the linear sums are marked unusable if `tablesOnly`, as
// BuildConversionTables marks them when the tables leave their range: the
// kernels that compute from them must then give the same bytes by tables.
class LinearSumsOff {
public:
    explicit LinearSumsOff(bool tablesOnly) : forward(forwardLinear.usable), inverse(inverseLinear.usable)
    {
        if (tablesOnly) forwardLinear.usable = inverseLinear.usable = false;
    }
    ~LinearSumsOff()
    {
        forwardLinear.usable = forward;
        inverseLinear.usable = inverse;
    }
    LinearSumsOff(const LinearSumsOff&) = delete;
    LinearSumsOff& operator=(const LinearSumsOff&) = delete;

private:
    bool forward, inverse;
};
} // namespace

using RgbInput = KernelTest<RgbInputKernel>;

// Every one of the 2^24 colours, Y, U and V at full resolution against the
// table formula. The AVX2 and AVX-512 kernels compute with integer lines
// instead of the tables and hand pixels near a rounding edge back to them, so
// only all colours show that their window is wide enough.
TEST_P(RgbInput, EveryColourGivesTheTableSums)
{
    const ConversionTables& t = conversionTables;
    constexpr uint32_t width = 65536 + 5; // all blue-green pairs and a tail past the vector steps
    GuardedBuffer row(3 * std::size_t(width));
    Bytes planes(3 * std::size_t(width)), expected(planes.size());
    for (uint32_t red = 0; red < 256; ++red) {
        for (uint32_t j = 0; j < width; ++j) {
            const uint8_t b = uint8_t(j), g = uint8_t(j >> 8), r = uint8_t(j < 65536 ? red : 255 - red);
            row.data()[3 * j] = b;
            row.data()[3 * j + 1] = g;
            row.data()[3 * j + 2] = r;
            expected[j] = ClampTable[(t.YFromB[b] + t.YFromG[g] + t.YFromR[r]) >> 18];
            expected[width + j] = ClampTable[(t.UFromB[b] + t.UFromG[g] + t.UFromR[r]) >> 18];
            expected[2 * width + j] = ClampTable[(t.VFromB[b] + t.VFromG[g] + t.VFromR[r]) >> 18];
        }
        Tested().function.packedRow(row.data(), planes.data(), planes.data() + width, planes.data() + 2 * width, width);
        if (planes != expected) {
            const std::size_t i =
                std::size_t(std::mismatch(planes.begin(), planes.end(), expected.begin()).first - planes.begin());
            const std::size_t j = i % width;
            FAIL() << "YUV"[i / width] << " of B " << int(row.data()[3 * j]) << " G " << int(row.data()[3 * j + 1])
                   << " R " << int(row.data()[3 * j + 2]) << " is " << int(planes[i]) << " instead of "
                   << int(expected[i]);
        }
    }
}

// Whole frames, widths up to 40 (the 16-pixel steps and every remainder),
// pixels 3 and 4 bytes apart, rows either way, against the reference; the
// bottom-up ones by tables only, with the linear sums unusable.
TEST_P(RgbInput, RandomFramesMatchTheReference)
{
    const DecimationKernel decimation = DecimationKernels()[0].function;
    for (uint32_t width = 2; width <= 40; ++width)
        for (uint32_t height = 1; height <= 5; ++height)
            for (ptrdiff_t step : {3, 4}) {
                const ptrdiff_t stride = step * width + (width & 3);
                const Bytes frame = RandomBytes(stride * height, width * 100 + height * 10 + uint32_t(step));
                GuardedBuffer source(frame.size());
                std::memcpy(source.data(), frame.data(), frame.size());
                for (bool flip : {false, true}) {
                    const LinearSumsOff off(flip);
                    const uint8_t* first = flip ? source.data() + (height - 1) * stride : source.data();
                    const ptrdiff_t rowStep = flip ? -stride : stride;
                    TestPicture fast(width, height), reference(width, height);
                    ASSERT_TRUE(ConvertRgbToPlanarWith(Tested().function, decimation, first, fast.picture, step, rowStep));
                    ASSERT_TRUE(ConvertRgbToPlanarReference(first, reference.picture, step, rowStep));
                    ASSERT_EQ(fast.storage, reference.storage)
                        << width << "x" << height << " step " << step << (flip ? " flipped" : "");
                }
            }
}

INSTANTIATE_TEST_SUITE_P(Kernels, RgbInput, ::testing::ValuesIn(Entries(RgbInputKernels())), KernelName());

using ChromaHalving = KernelTest<DecimationKernel>;

// Widths up to 160 reach the 32-output AVX-512 and 16-output AVX2 steps,
// their 8-output SSE2 follow-on and the scalar end; half the rows only 0 and
// 255, which drives the filter past the byte range.
TEST_P(ChromaHalving, RandomAndExtremeRowsMatchTheReference)
{
    for (uint32_t width = 0; width <= 160; ++width)
        for (uint32_t seed = 0; seed < 8; ++seed) {
            Bytes row = RandomBytes(width, 1000 * width + seed);
            if (seed & 1)
                for (auto& s : row) s = s & 1 ? 255 : 0;
            GuardedBuffer source(width);
            if (width != 0) std::memcpy(source.data(), row.data(), width);
            GuardedBuffer fast(width / 2);
            Bytes reference(width / 2 + 1, 0x11);
            DecimateChromaRowWith(Tested().function, source.data(), fast.data(), width);
            DecimateChromaRowReference(row.data(), reference.data(), width);
            ASSERT_EQ(reference[width / 2], 0x11);
            ASSERT_EQ(Copy(fast.data(), width / 2), Bytes(reference.begin(), reference.end() - 1))
                << "width " << width << " seed " << seed;
        }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ChromaHalving, ::testing::ValuesIn(Entries(DecimationKernels())), KernelName());

// ---------------------------------------------------------------------------
// RGB output, against the reference byte for byte, and the bytes a kernel
// must leave alone: row padding, the fourth byte of 4-byte pixels, and
// everything before the first row and after the last.

namespace {
// RGB rows `stride` bytes apart between guard regions, every byte set to a
// pattern that depends on its position. Bottom-up output starts at the first
// row in memory; top-down output at the last, with a negative row step.
struct RgbTarget {
    static constexpr std::size_t Guard = 64;
    uint32_t width, height;
    ptrdiff_t step, stride;
    bool topDown;
    Bytes storage;

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
} // namespace

class RgbOutput : public KernelTest<RgbOutputKernel> {
protected:
    // Converts a copy of the picture that ends against a guard page with the
    // kernel under test, and the picture with the reference, into identical
    // targets, and compares every byte of them.
    void ExpectSameAsReference(const PlanarPicture& picture, ptrdiff_t step, ptrdiff_t padding, bool topDown)
    {
        SCOPED_TRACE(::testing::Message() << picture.width << "x" << picture.height << " step " << step << " padding "
                                          << padding << (topDown ? " top-down" : " bottom-up"));
        GuardedPicture guarded(picture.width, picture.height);
        std::memcpy(guarded.picture.buffer, picture.buffer, PictureBytes(picture.width, picture.height));
        RgbTarget fast(picture.width, picture.height, step, padding, topDown);
        RgbTarget reference(picture.width, picture.height, step, padding, topDown);
        ConvertPlanarToRgbWith(Tested().function, guarded.picture, fast.Destination(), step, fast.RowStep());
        ConvertPlanarToRgbReference(picture, reference.Destination(), step, reference.RowStep());
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

TEST_P(RgbOutput, RandomPicturesOfEveryNarrowWidth)
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

// The padded ones also with the linear sums unusable.
TEST_P(RgbOutput, RandomPicturesOfFrameWidths)
{
    for (uint32_t width : {720u, 1917u, 1920u, 1923u, 4101u}) {
        TestPicture p(width, 3);
        const auto content = RandomBytes(p.PlaneBytes(), width);
        std::memcpy(p.picture.buffer, content.data(), content.size());
        for (ptrdiff_t step : {3, 4}) {
            for (bool topDown : {false, true}) {
                ExpectSameAsReference(p.picture, step, 0, topDown);
                const LinearSumsOff off(true);
                ExpectSameAsReference(p.picture, step, 13, topDown);
                if (HasFatalFailure()) return;
            }
        }
    }
}

TEST_P(RgbOutput, EverySampleCombination)
{
    // Picture y has Y = y in even pixels and 255 - y in odd ones, U = k in
    // pair k and V = r in row r: the 256 pictures meet every (Y, U, V) in
    // both pixels of a pair, so every sum the tables can form is saturated
    // once in each position of the vector registers. The narrow cases above
    // cover the stores; this covers the arithmetic, in RGB24 and in RGB32
    // for the groups that a linear kernel gives back to the tables.
    const uint32_t width = 512, height = 256;
    TestPicture p(width, height);
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t k = 0; k < width / 2; ++k) {
            p.U(r, k) = uint8_t(k);
            p.V(r, k) = uint8_t(r);
        }
    }
    Bytes out(std::size_t(4 * width) * height), expected(out.size());
    for (uint32_t y = 0; y < 256; ++y) {
        for (uint32_t r = 0; r < height; ++r) {
            for (uint32_t j = 0; j < width; j += 2) {
                p.Y(r, j) = uint8_t(y);
                p.Y(r, j + 1) = uint8_t(255 - y);
            }
        }
        for (ptrdiff_t step : {3, 4}) {
            const ptrdiff_t stride = step * width;
            ConvertPlanarToRgbWith(Tested().function, p.picture, out.data(), step, stride);
            ConvertPlanarToRgbReference(p.picture, expected.data(), step, stride);
            if (out != expected) {
                const auto at = std::mismatch(out.begin(), out.end(), expected.begin()).first;
                const std::size_t i = std::size_t(at - out.begin()), pixel = std::size_t(step);
                const std::size_t r = i / std::size_t(stride), j = i % std::size_t(stride) / pixel;
                FAIL() << "Y " << int(p.Y(r, j)) << " U " << j / 2 << " V " << r << " step " << step << " byte "
                       << i % pixel << ": " << int(out[i]) << " instead of " << int(expected[i]);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, RgbOutput, ::testing::ValuesIn(Entries(RgbOutputKernels())), KernelName());

// ---------------------------------------------------------------------------
// The Huffman coder: counting and coding.

using HuffmanCounting = KernelTest<CountKernel>;

// The counts decide the codes, and a miscount still round-trips (only the
// sizes suffer), so they are checked directly: every byte, each half's share.
TEST_P(HuffmanCounting, EveryByteIsCountedInItsHalf)
{
    std::vector<Bytes> inputs;
    for (uint32_t n : {0u, 1u, 2u, 3u, 63u, 64u, 65u, 127u, 128u, 129u, 255u, 4095u, 4096u, 8191u, 70001u})
        inputs.push_back(SkewedBytes(n, 0.6, n));
    inputs.push_back(RandomBytes(100003, 7));              // the three common values rare
    inputs.push_back(Bytes(200001, 0));                      // one value only
    inputs.push_back(SkewedBytes((1u << 20) + 13, 0.8, 8)); // mostly 0, 1 and 255
    Bytes runs = RandomBytes(50000, 9);
    for (std::size_t i = 0; i < runs.size(); ++i) runs[i] = (i / 700) % 2 ? runs[i] : uint8_t(i % 3 == 0 ? 255 : 1);
    inputs.push_back(runs);
    // Runs of the values at either edge of the AVX2 kernel's byte counters
    // (-6 and 5) and just past them, long enough to fill a counter many times.
    Bytes edges(300007);
    for (std::size_t i = 0; i < edges.size(); ++i) edges[i] = std::array<uint8_t, 4>{250, 5, 6, 249}[i / 9000 % 4];
    inputs.push_back(edges);
    // Values from -8 to 7 at random: common and other bytes mixed within
    // every 8-byte group the AVX2 kernel packs.
    Bytes mixed = RandomBytes(65541, 16);
    for (uint8_t& b : mixed) b = uint8_t(int(b % 16) - 8);
    inputs.push_back(mixed);
    for (const Bytes& input : inputs) {
        SCOPED_TRACE(::testing::Message() << input.size() << " bytes");
        const uint32_t length = static_cast<uint32_t>(input.size()), split = huffman_detail::EncodeSplit(length);
        uint32_t expected[256] = {}, expectedFirst[256] = {};
        for (uint32_t i = 0; i < length; ++i) {
            ++expected[input[i]];
            if (i < split) ++expectedFirst[input[i]];
        }
        GuardedBuffer source(input.size());
        if (!input.empty()) std::memcpy(source.data(), input.data(), input.size());
        HuffmanCoder coder;
        uint32_t counts[256], first[256];
        ASSERT_EQ(huffman_detail::PrepareEncoder(coder, source.data(), length, counts, first, Tested().function),
                  HuffmanResult::Ok);
        for (int v = 0; v < 256; ++v) {
            ASSERT_EQ(counts[v], expected[v]) << "value " << v;
            ASSERT_EQ(first[v], expectedFirst[v]) << "value " << v;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, HuffmanCounting, ::testing::ValuesIn(Entries(HuffmanCountKernels())), KernelName());

using HuffmanCoding = KernelTest<CodingLoop>;

// Lengths around the two-writer threshold and every longest code, codes
// joined one by one, by pairs and as the length decides, into a buffer of
// exactly the stream's size. Halves of unlike statistics around the length
// from which pairs are used, and with the bit where the second part starts
// moved by the count of a rare value. Short codes broken by runs of long
// ones, which take the doubled steps apart, at the stream's end as well.
TEST_P(HuffmanCoding, StreamsEqualTheReference)
{
    std::vector<Bytes> inputs;
    for (uint32_t n : {1u, 2u, 511u, 512u, 513u, 514u, 515u, 2000u, 65537u}) {
        inputs.push_back(RandomBytes(n, n));
        inputs.push_back(SkewedBytes(n, 0.9, n));
    }
    for (int small : {2, 5, 7, 10, 19}) inputs.push_back(FibonacciInput(small, 64));
    inputs.push_back(LongestCodeInput());
    inputs.push_back(SkewedBytes(3000001, 0.4, 4));
    for (uint32_t n : {(1u << 19) - 1, 1u << 19, (1u << 19) + 1})
        for (bool flatFirst : {false, true}) inputs.push_back(UnlikeHalves(n, flatFirst, 0, n));
    for (int rare = 0; rare < 16; ++rare) inputs.push_back(UnlikeHalves(5001, rare % 2 == 0, rare, 7));
    for (std::size_t burst : {3u, 8u, 17u, 40u}) {
        inputs.push_back(BurstsOfLongCodes(300001, 997, burst, uint32_t(burst)));
        inputs.push_back(BurstsOfLongCodes(997 / 2 + 997 + burst, 997, burst, uint32_t(burst))); // a run at the end
    }
    for (std::size_t count : {20300u, 20301u, 20302u, 20303u})
        inputs.push_back(BurstsOfLongCodes(count, 40000, 300, uint32_t(count))); // long codes up to the end
    for (PairCoding pairs : {PairCoding::Never, PairCoding::Always, PairCoding::ByLength})
        for (const Bytes& input : inputs) {
            SCOPED_TRACE(::testing::Message() << input.size() << " bytes"
                                              << (pairs == PairCoding::Always  ? ", by pairs"
                                                  : pairs == PairCoding::Never ? ", one by one"
                                                                               : ", as the length decides"));
            const uint32_t length = static_cast<uint32_t>(input.size());
            Bytes reference(input.size() + HuffmanMaxOverhead);
            std::size_t referenceSize = 0;
            ASSERT_EQ(HuffmanEncodeReference(input.data(), length, reference.data(), reference.size(), &referenceSize),
                      HuffmanResult::Ok);
            GuardedBuffer source(input.size());
            std::memcpy(source.data(), input.data(), input.size());
            GuardedBuffer stream(referenceSize);
            const EncodeOptions options{ChooseKernel(HuffmanCountKernels()).function, Tested().function, pairs};
            std::size_t written = 0;
            ASSERT_EQ(HuffmanEncodeWith(options, source.data(), length, stream.data(), stream.size(), &written),
                      HuffmanResult::Ok);
            ASSERT_EQ(written, referenceSize);
            ASSERT_EQ(Copy(stream.data(), written), Bytes(reference.begin(), reference.begin() + referenceSize));
        }
}

INSTANTIATE_TEST_SUITE_P(Kernels, HuffmanCoding, ::testing::ValuesIn(Entries(HuffmanCodingKernels())), KernelName());

// ---------------------------------------------------------------------------
// Inflate: zlib's verdict on every stream, zlib's bytes where it accepts
// one, and the same account of what is wrong with a stream cut short, of
// another length or with a bad check value.

using Inflate = KernelTest<InflateKernel>;

namespace {
struct Inflated {
    InflateResult result;
    Bytes output;
    std::size_t consumed;
};

Inflated InflateGuarded(InflateKernel kernel, const Bytes& stream, std::size_t size, std::size_t outputSize)
{
    GuardedBuffer source(size), destination(outputSize);
    std::memcpy(source.data(), stream.data(), size);
    Inflated inflated{InflateResult::Ok, {}, 0};
    inflated.result = kernel(source.data(), size, destination.data(), outputSize, &inflated.consumed);
    inflated.output = Copy(destination.data(), outputSize);
    return inflated;
}

Bytes Deflated(const Bytes& picture)
{
    Bytes stream(picture.size() + picture.size() / 100 + 64);
    std::size_t length = 0;
    EXPECT_EQ(DeflateInto(picture.data(), picture.size(), stream.data(), stream.size(), 5, &length), ZlibResult::Ok);
    stream.resize(length);
    return stream;
}
} // namespace

TEST_P(Inflate, GivesZlibsVerdictOnGoodAndDamagedStreams)
{
    Bytes picture = RandomBytes(5000, 13);
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(picture[i] % 5 + i / 100);
    const Bytes stream = Deflated(picture);
    for (std::size_t damage = 0; damage <= stream.size() * 8; damage += 3) {
        Bytes damaged = stream;
        if (damage < stream.size() * 8) damaged[damage / 8] ^= uint8_t(1 << (damage % 8));
        for (std::size_t cut : {damaged.size(), damaged.size() - 1}) {
            const Inflated a = InflateGuarded(Tested().function, damaged, cut, picture.size());
            const Inflated b = InflateGuarded(InflateExactZlib, damaged, cut, picture.size());
            ASSERT_EQ(a.result, b.result) << "bit " << damage << " cut " << cut;
            if (a.result == InflateResult::Ok) {
                ASSERT_EQ(a.output, b.output);
                ASSERT_EQ(a.consumed, b.consumed);
            }
        }
    }
}

TEST_P(Inflate, NamesWhatIsWrongAsZlibDoes)
{
    Bytes picture = RandomBytes(20000, 14);
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(picture[i] % 9 + i / 300);
    const Bytes stream = Deflated(picture);
    const auto both = [&](const Bytes& s, std::size_t size, std::size_t outputSize, InflateResult expected) {
        EXPECT_EQ(InflateGuarded(Tested().function, s, size, outputSize).result, expected) << size << " bytes";
        EXPECT_EQ(InflateGuarded(InflateExactZlib, s, size, outputSize).result, expected) << size << " bytes (zlib)";
    };
    both(stream, stream.size(), picture.size(), InflateResult::Ok);
    for (std::size_t size = 0; size < stream.size(); size += size < 64 || stream.size() - size < 64 ? 1 : 97)
        both(stream, size, picture.size(), InflateResult::CutShort);
    Bytes check = stream;
    check.back() ^= 0x10;
    both(check, check.size(), picture.size(), InflateResult::BadCheckValue);
    both(stream, stream.size(), picture.size() - 1, InflateResult::LongOutput);
    both(stream, stream.size(), picture.size() + 1, InflateResult::ShortOutput);
    Bytes header = stream;
    header[0] ^= 0x01; // no longer a multiple of 31
    both(header, header.size(), picture.size(), InflateResult::BadData);
    // A code-length repeat with nothing before it, its two repeat bits past
    // the end of the input: zlib asks for them first, so the stream is cut short.
    const Bytes repeat = {0x78, 0x01, 0x05, 0x0a, 0x24, 0x24};
    both(repeat, repeat.size(), 10213, InflateResult::CutShort);
    both(Bytes{0x78, 0x01, 0x05, 0x0a, 0x24, 0x24, 0x00}, 7, 10213, InflateResult::BadData);
    // Input and room both cut short: the one zlib meets first is told, also
    // where the output fills up just before a literal pair whose second code
    // lies past the end of the input.
    Bytes literals = RandomBytes(300, 15);
    for (uint8_t& b : literals) b %= 5;
    const Bytes pairStream = Deflated(literals);
    Bytes out(literals.size() + 1);
    for (std::size_t size = 0; size <= pairStream.size(); ++size)
        for (std::size_t outputSize = 0; outputSize <= literals.size(); ++outputSize) {
            std::size_t consumed = 0;
            const InflateResult ours = Tested().function(pairStream.data(), size, out.data(), outputSize, &consumed);
            ASSERT_EQ(ours, InflateExactZlib(pairStream.data(), size, out.data(), outputSize, &consumed))
                << size << " bytes into " << outputSize;
        }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Inflate, ::testing::ValuesIn(Entries(InflateKernels())), KernelName());
