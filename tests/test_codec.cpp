// The planar picture, the median transform and the frame paths of the core.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/codec.h"
#include "codec/median_reference.h"
#include "codec/median_transform.h"
#include "colour/colour.h"
#include "colour/colour_reference.h"
#include "huffman/huffman.h"
#include "picture/chroma.h"
#include "picture/chroma_reference.h"
#include "picture/packed.h"
#include "support/test_support.h"

namespace {
using Bytes = std::vector<uint8_t>;

// A working picture of the given size, and the colour tables the reference
// conversions read (the frame functions build them themselves).
struct Session {
    PlanarPicture picture{};
    Session(uint32_t width, uint32_t height)
    {
        BuildClampTable();
        BuildConversionTables();
        EXPECT_TRUE(ResizePlanarPicture(picture, width, height));
    }
    ~Session() { ReleasePlanarPicture(picture); }
};

// Packed 4:2:2 top-down and RGB bottom-up, as hosts hand them over.
FrameFormat Format(uint32_t width, uint32_t height, PixelLayout layout, RowOrder rowOrder = RowOrder::BottomUp)
{
    return {width, height, layout, IsPacked(layout) ? RowOrder::TopDown : rowOrder};
}

struct Compressed {
    CodecResult result;
    Bytes frame;
};

// Compresses into a buffer of exactly the worst-case size, followed by a
// guard that must stay untouched.
Compressed Compress(Session& session, const FrameFormat& input, const uint8_t* raw, FrameCoder coder)
{
    const std::size_t capacity = WorstCaseFrameSize(input.width, input.height);
    Bytes buffer(capacity + 64, 0xA5);
    std::size_t size = 0;
    const CodecResult result =
        CompressFrame(session.picture, input, raw, RawPictureBytes(input), coder, buffer.data(), capacity, &size);
    for (std::size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xA5) << "guard byte " << i;
    if (result != CodecResult::Ok) return {result, {}};
    FrameHeader header;
    EXPECT_TRUE(ReadFrameHeader(buffer.data(), buffer.size(), &header));
    EXPECT_EQ(size, header.payloadLength + FrameHeaderSize);
    EXPECT_LE(size, capacity);
    buffer.resize(size);
    return {result, buffer};
}

Compressed Compress(Session& session, const FrameFormat& input, const uint8_t* raw, uint32_t quality)
{
    return Compress(session, input, raw, CoderForQuality(quality));
}

CodecResult Decompress(Session& session, const Bytes& frame, const FrameFormat& output, Bytes& raw,
                       std::size_t frameSize = SIZE_MAX)
{
    return DecompressFrame(session.picture, frame.data(), frameSize == SIZE_MAX ? frame.size() : frameSize, output,
                           raw.data(), raw.size());
}

uint32_t TagOf(const Bytes& frame)
{
    FrameHeader header{};
    ReadFrameHeader(frame.data(), frame.size(), &header);
    return header.tag;
}
} // namespace

// --- median transform ---

TEST(MedianTransform, WorkedExampleAndInverse)
{
    // Row 0 first: the bottom row of the picture.
    uint8_t plane[] = {10, 12, 15, 20, 11, 14, 18, 25, 250, 3, 7, 9};
    const uint8_t residuals[] = {10, 2, 3, 5, 1, 2, 3, 5, 239, 9, 0, 251};
    MedianTransformPlane(plane, 4, 3);
    EXPECT_TRUE(std::equal(plane, plane + 12, residuals));
    MedianRestorePlane(plane, 4, 3);
    const uint8_t input[] = {10, 12, 15, 20, 11, 14, 18, 25, 250, 3, 7, 9};
    EXPECT_TRUE(std::equal(plane, plane + 12, input));
}

TEST(MedianTransform, OneRowIsLeftDifferencesAndOneColumnIsVerticalDifferences)
{
    uint8_t row[] = {5, 7, 6, 250, 4};
    MedianTransformPlane(row, 5, 1);
    EXPECT_EQ(Bytes(row, row + 5), (Bytes{5, 2, 255, 244, 10}));
    MedianRestorePlane(row, 5, 1);
    EXPECT_EQ(Bytes(row, row + 5), (Bytes{5, 7, 6, 250, 4}));

    uint8_t column[] = {9, 1, 200, 200};
    MedianTransformPlane(column, 1, 4);
    EXPECT_EQ(Bytes(column, column + 4), (Bytes{9, 248, 199, 0}));
}

TEST(MedianTransform, PredictionIsTheMedianOfLeftAboveAndGradient)
{
    // Exhaustive over L, P, Q against a sort of the three candidates.
    for (int l = 0; l < 256; l += 5)
        for (int p = 0; p < 256; p += 3)
            for (int q = 0; q < 256; q += 7) {
                uint8_t candidates[3] = {uint8_t(l), uint8_t(p), uint8_t(l + p - q)};
                std::sort(candidates, candidates + 3);
                uint8_t previous[2] = {uint8_t(q), uint8_t(p)};
                uint8_t row[2] = {uint8_t(l), 100};
                MedianPredictRow(row, previous, 2);
                ASSERT_EQ(row[1], uint8_t(100 - candidates[1])) << l << " " << p << " " << q;
            }
}

TEST(MedianTransform, RandomPlanesRestoreExactly)
{
    for (uint32_t rows : {1u, 2u, 7u})
        for (uint32_t length : {1u, 2u, 3u, 17u, 64u}) {
            Bytes plane = RandomBytes(rows * length, rows * 100 + length);
            Bytes original = plane;
            MedianTransformPlane(plane.data(), length, rows);
            MedianRestorePlane(plane.data(), length, rows);
            EXPECT_EQ(plane, original) << length << "x" << rows;
        }
}

TEST(MedianTransform, RestoringBandByBandEqualsRestoringThePlane)
{
    for (uint32_t length : {1u, 5u, 40u, 77u}) {
        const uint32_t rows = 90;
        Bytes plane = RandomBytes(std::size_t(rows) * length, length);
        MedianTransformPlaneReference(plane.data(), length, rows);
        Bytes whole = plane;
        MedianRestorePlaneReference(whole.data(), length, rows);
        // Bands of every size from 1 to 40 rows, each split of the plane once.
        for (uint32_t band = 1; band <= 40; ++band) {
            Bytes banded = plane;
            for (uint32_t first = 0; first < rows; first += band)
                MedianRestorePlaneRows(banded.data(), length, first, std::min(rows, first + band));
            ASSERT_EQ(banded, whole) << length << " samples a row, bands of " << band;
        }
    }
}

// --- planar picture ---

TEST(PlanarPicture, OddWidthLayoutLeavesHeightBytesOutsideThePlanes)
{
    PlanarPicture picture{};
    ASSERT_TRUE(ResizePlanarPicture(picture, 5, 2));
    EXPECT_EQ(picture.chromaRowLength, 2u);
    EXPECT_EQ(picture.uPlane - picture.yPlane, 10);
    EXPECT_EQ(picture.vPlane - picture.uPlane, 4);
    EXPECT_EQ(picture.buffer + 20 - (picture.vPlane + 4), 2);
    ReleasePlanarPicture(picture);
    EXPECT_EQ(picture.allocated, 0);
}

TEST(PlanarPicture, ResizeKeepsTheBufferOnlyForTheSameSize)
{
    PlanarPicture picture{};
    ASSERT_TRUE(ResizePlanarPicture(picture, 8, 4));
    uint8_t* buffer = picture.buffer;
    buffer[3] = 77;
    ASSERT_TRUE(ResizePlanarPicture(picture, 8, 4));
    EXPECT_EQ(picture.buffer, buffer);
    EXPECT_EQ(picture.buffer[3], 77);
    ASSERT_TRUE(ResizePlanarPicture(picture, 10, 4));
    EXPECT_EQ(picture.width, 10u);
    EXPECT_EQ(picture.uPlane, picture.buffer + 40);
    ReleasePlanarPicture(picture);
}

// Pictures on both sides of 2 MB, where large blocks are mapped on their
// own, and of a tail rounded up to a whole huge page or not: every byte is
// there, a resize to another size moves it, and release gives it back.
TEST(PlanarPicture, EveryByteOfLargePicturesIsThere)
{
    PlanarPicture picture{};
    const std::pair<uint32_t, uint32_t> sizes[] = {{1024, 1023}, {1024, 1024}, {1920, 1080}, {1026, 1025},
                                                   {1026, 1100}, {2048, 1024}};
    for (const auto& [w, h] : sizes) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        ASSERT_TRUE(ResizePlanarPicture(picture, w, h));
        const std::size_t bytes = PictureBytes(w, h);
        std::memset(picture.buffer, 0x5A, bytes);
        EXPECT_EQ(picture.buffer[0], 0x5A);
        EXPECT_EQ(picture.buffer[bytes - 1], 0x5A);
    }
    ReleasePlanarPicture(picture);
    EXPECT_EQ(picture.buffer, nullptr);
}

TEST(PlanarPicture, SizesOutsideTheCodecAreRefused)
{
    PlanarPicture picture{};
    EXPECT_FALSE(ResizePlanarPicture(picture, 1, 10));
    EXPECT_FALSE(ResizePlanarPicture(picture, 10, 0));
    EXPECT_FALSE(ResizePlanarPicture(picture, 32769, 2));
    EXPECT_FALSE(ResizePlanarPicture(picture, 32768, 32768));
    EXPECT_EQ(picture.allocated, 0);
    EXPECT_EQ(picture.buffer, nullptr);
}

TEST(PackedCopies, Yuy2RowsLandBottomUpAndUyvyOrderIsUYVY)
{
    PlanarPicture picture{};
    ASSERT_TRUE(ResizePlanarPicture(picture, 4, 2));
    // Row A then row B in memory; B is the bottom row, planar row 0.
    const uint8_t frame[16] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14, 15, 16, 17, 18};
    PackedToPlanar(picture, frame + 8, -8, 0, 1);
    EXPECT_EQ(Bytes(picture.yPlane, picture.yPlane + 8), (Bytes{11, 13, 15, 17, 1, 3, 5, 7}));
    EXPECT_EQ(Bytes(picture.uPlane, picture.uPlane + 4), (Bytes{12, 16, 2, 6}));
    EXPECT_EQ(Bytes(picture.vPlane, picture.vPlane + 4), (Bytes{14, 18, 4, 8}));

    uint8_t out[16];
    std::memset(out, 0, sizeof out);
    PlanarToPacked(picture, out + 8, -8, 1, 0); // as UYVY: U, Y0, V, Y1
    const uint8_t uyvy[16] = {2, 1, 4, 3, 6, 5, 8, 7, 12, 11, 14, 13, 16, 15, 18, 17};
    EXPECT_TRUE(std::equal(out, out + 16, uyvy));
    ReleasePlanarPicture(picture);
}

// --- chroma repetition ---

namespace {
// Planes with rows a few bytes longer than they need, as decoders lay them out.
struct Planes {
    Bytes storage[3];
    PlanarImage image{};
    Planes(ChromaRepetition repetition, uint32_t width, uint32_t height, uint32_t seed)
    {
        const uint32_t widths[3] = {width, ChromaWidth(repetition, width), ChromaWidth(repetition, width)};
        const uint32_t heights[3] = {height, ChromaHeight(repetition, height), ChromaHeight(repetition, height)};
        for (int p = 0; p < 3; ++p) {
            image.stride[p] = ptrdiff_t(widths[p]) + 3;
            storage[p] = RandomBytes(std::size_t(image.stride[p]) * heights[p], seed * 3 + uint32_t(p));
            image.plane[p] = storage[p].data();
        }
    }
    // The samples inside the rows, without the padding.
    Bytes Samples(ChromaRepetition repetition, uint32_t width, uint32_t height) const
    {
        Bytes samples;
        for (int p = 0; p < 3; ++p) {
            const uint32_t w = p == 0 ? width : ChromaWidth(repetition, width);
            const uint32_t h = p == 0 ? height : ChromaHeight(repetition, height);
            for (uint32_t r = 0; r < h; ++r)
                samples.insert(samples.end(), image.plane[p] + ptrdiff_t(r) * image.stride[p],
                               image.plane[p] + ptrdiff_t(r) * image.stride[p] + w);
        }
        return samples;
    }
};
} // namespace

TEST(ChromaRepetition, RepeatsAsEachSampleSitsAndComesBackExactly)
{
    for (ChromaRepetition repetition :
         {ChromaRepetition::None, ChromaRepetition::Rows, ChromaRepetition::FieldRows, ChromaRepetition::Columns})
        for (uint32_t width : {2u, 4u, 6u, 10u, 34u, 720u})
            for (uint32_t height : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 9u, 13u, 576u}) {
                SCOPED_TRACE(::testing::Message() << int(repetition) << " " << width << "x" << height);
                const Planes source(repetition, width, height, width * 1000 + height);
                Bytes fast(std::size_t(width) * height * 2), reference(fast.size());
                RepeatChromaToYuy2(repetition, source.image, width, height, fast.data());
                RepeatChromaToYuy2Reference(repetition, source.image, width, height, reference.data());
                ASSERT_EQ(fast, reference);
                Planes back(repetition, width, height, 7), backReference(repetition, width, height, 8);
                ASSERT_TRUE(TakeChromaFromYuy2(repetition, fast.data(), width, height, back.image));
                TakeChromaFromYuy2Reference(repetition, fast.data(), width, height, backReference.image);
                const Bytes samples = source.Samples(repetition, width, height);
                ASSERT_EQ(back.Samples(repetition, width, height), samples);
                ASSERT_EQ(backReference.Samples(repetition, width, height), samples);
                // A 4:2:2 picture that no repetition made is told apart.
                const Bytes noise = RandomBytes(fast.size(), width + height);
                const bool repeatsSomething = repetition != ChromaRepetition::None &&
                                              (repetition == ChromaRepetition::Columns ? width >= 4 : height >= 2);
                EXPECT_EQ(TakeChromaFromYuy2(repetition, noise.data(), width, height, back.image), !repeatsSomething);
            }
}

// Interlaced 4:2:0 keeps each field's colour on its own rows: a picture whose
// top field is one colour and bottom field another stays so in 4:2:2.
TEST(ChromaRepetition, FieldsKeepTheirOwnChroma)
{
    const uint32_t width = 4, height = 8;
    Planes source(ChromaRepetition::FieldRows, width, height, 1);
    for (uint32_t c = 0; c < ChromaHeight(ChromaRepetition::FieldRows, height); ++c)
        for (int p = 1; p < 3; ++p)
            std::memset(source.image.plane[p] + ptrdiff_t(c) * source.image.stride[p], c % 2 ? 200 : 50, 2);
    Bytes yuy2(std::size_t(width) * height * 2);
    RepeatChromaToYuy2(ChromaRepetition::FieldRows, source.image, width, height, yuy2.data());
    for (uint32_t r = 0; r < height; ++r) EXPECT_EQ(yuy2[std::size_t(r) * 2 * width + 1], r % 2 ? 200 : 50) << r;
}

// --- frames ---

TEST(FrameSize, WorstCaseMatchesTheHostFormulaAboveSmallPictures)
{
    EXPECT_EQ(WorstCaseFrameSize(320, 240), 153766u);
    EXPECT_EQ(WorstCaseFrameSize(640, 480), 615027u);
    EXPECT_EQ(WorstCaseFrameSize(1920, 1080), 4151360u);
    // Small pictures are raised so the stored form always fits.
    EXPECT_EQ(WorstCaseFrameSize(2, 1), 8u + 4 + 5 + 11);
    EXPECT_EQ(WorstCaseFrameSize(1, 1), 0u);
    // What any encoder may write: 24-bit codes behind the largest table.
    EXPECT_EQ(LargestFrameSize(1920, 1080), 8u + 421 + 3 * 1920 * 1080 * 2);
    EXPECT_EQ(LargestFrameSize(2, 1), 8u + 1024 + 2 * 4);
    EXPECT_EQ(LargestFrameSize(1, 1), 0u);
}

TEST(FrameCompress, QualityChoosesTheCoder)
{
    const uint32_t w = 64, h = 16;
    Session session(w, h);
    Bytes raw = RandomBytes(w * h * 2, 1);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(raw[i] % 8 + i % 64); // compressible
    const FrameFormat input = Format(w, h, PixelLayout::Yuy2);
    struct Case {
        uint32_t quality;
        uint32_t tag;
    } cases[] = {{0, FrameTagHuffman}, {5999, FrameTagHuffman}, {6000, FrameTagDeflate}, {0xFFFFFFFF, FrameTagDeflate}};
    for (const Case& c : cases) {
        Compressed out = Compress(session, input, raw.data(), c.quality);
        ASSERT_EQ(out.result, CodecResult::Ok);
        EXPECT_EQ(TagOf(out.frame), c.tag) << c.quality;
    }
    // The tags' bytes lie in the file in reverse order of their names.
    Compressed huffman = Compress(session, input, raw.data(), 0u);
    EXPECT_EQ(std::string(huffman.frame.begin(), huffman.frame.begin() + 4), "YFUH");
    Compressed deflate = Compress(session, input, raw.data(), 9000u);
    EXPECT_EQ(std::string(deflate.frame.begin(), deflate.frame.begin() + 4), "VYZL");
}

TEST(FrameRoundTrip, PackedFramesComeBackByteForByte)
{
    // Heights around the decoder's bands of 33, then 32 rows.
    for (uint32_t w : {2u, 4u, 6u, 38u, 320u})
        for (uint32_t h : {1u, 2u, 3u, 31u, 33u, 34u, 65u, 70u}) {
            Session session(w, h);
            Bytes raw = RandomBytes(w * h * 2, w * 1000 + h);
            for (std::size_t i = 0; i < raw.size(); i += 3) raw[i] = uint8_t(i / 7); // partly smooth
            for (PixelLayout layout : {PixelLayout::Yuy2, PixelLayout::Uyvy})
                for (uint32_t quality : {0u, 10000u}) {
                    const FrameFormat input = Format(w, h, layout);
                    Compressed out = Compress(session, input, raw.data(), quality);
                    ASSERT_EQ(out.result, CodecResult::Ok);
                    Bytes decoded(raw.size());
                    ASSERT_EQ(Decompress(session, out.frame, input, decoded), CodecResult::Ok);
                    ASSERT_EQ(decoded, raw) << w << "x" << h << " quality " << quality;
                    // The same picture bottom-up (its rows in reverse order)
                    // is the same frame, and decodes bottom-up to itself.
                    const FrameFormat flipped{w, h, layout, RowOrder::BottomUp};
                    Bytes reversed(raw.size());
                    for (uint32_t r = 0; r < h; ++r)
                        std::copy_n(raw.begin() + std::size_t(r) * w * 2, w * 2,
                                    reversed.begin() + std::size_t(h - 1 - r) * w * 2);
                    ASSERT_EQ(Compress(session, flipped, reversed.data(), quality).frame, out.frame);
                    Bytes again(raw.size());
                    ASSERT_EQ(Decompress(session, out.frame, flipped, again), CodecResult::Ok);
                    ASSERT_EQ(again, reversed);
                }
        }
}

// RGB output is written band by band as the planes are restored: every row
// of every band must equal the reference conversion of the restored picture.
TEST(FrameRoundTrip, RgbOutputEqualsTheReferenceConversionInEveryBand)
{
    for (uint32_t w : {2u, 40u, 334u})
        for (uint32_t h : {1u, 33u, 34u, 66u, 101u}) {
            Session session(w, h);
            Bytes raw = RandomBytes(std::size_t(w) * h * 2, w * 7 + h);
            for (std::size_t i = 0; i < raw.size(); i += 2) raw[i] = uint8_t(raw[i] / 16 + i / 50);
            const FrameFormat packed = Format(w, h, PixelLayout::Yuy2);
            Compressed out = Compress(session, packed, raw.data(), 0u);
            ASSERT_EQ(out.result, CodecResult::Ok);
            Session restored(w, h);
            PackedToPlanar(restored.picture, raw.data() + std::size_t(h - 1) * w * 2, -2 * ptrdiff_t(w), 0, 1);
            for (PixelLayout layout : {PixelLayout::Rgb24, PixelLayout::Rgb32})
                for (RowOrder order : {RowOrder::BottomUp, RowOrder::TopDown}) {
                    const ptrdiff_t step = BytesPerPixel(layout), rowLength = step * w;
                    const bool topDown = order == RowOrder::TopDown;
                    Bytes expected(std::size_t(rowLength) * h, 0x5A), decoded(expected.size(), 0x5A);
                    ConvertPlanarToRgbReference(restored.picture,
                                                topDown ? expected.data() + rowLength * (h - 1) : expected.data(),
                                                step, topDown ? -rowLength : rowLength);
                    ASSERT_EQ(Decompress(session, out.frame, Format(w, h, layout, order), decoded), CodecResult::Ok);
                    ASSERT_EQ(decoded, expected) << w << "x" << h << " RGB" << 8 * step << (topDown ? " top-down" : "");
                }
        }
}

// The payload of a packed frame is the Huffman stream of the whole picture,
// Y, U and V planes in turn, transformed by the reference kernels.
TEST(FrameCompress, PackedFramesCodeTheWholePictureTransform)
{
    // Large enough and smooth enough that the Huffman coder is the one kept.
    const uint32_t w = 64;
    for (uint32_t h : {8u, 32u, 33u, 34u, 65u, 97u}) {
        Session session(w, h);
        Bytes raw = RandomBytes(std::size_t(w) * h * 2, h);
        for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(raw[i] / 64 + i % 97);
        Compressed out = Compress(session, Format(w, h, PixelLayout::Yuy2), raw.data(), 0u);
        ASSERT_EQ(out.result, CodecResult::Ok);
        ASSERT_EQ(TagOf(out.frame), FrameTagHuffman);

        Session reference(w, h);
        PlanarPicture& picture = reference.picture;
        PackedToPlanar(picture, raw.data() + std::size_t(h - 1) * w * 2, -2 * ptrdiff_t(w), 0, 1);
        MedianTransformPlaneReference(picture.yPlane, w, h);
        MedianTransformPlaneReference(picture.uPlane, w / 2, h);
        MedianTransformPlaneReference(picture.vPlane, w / 2, h);
        Bytes stream(WorstCaseFrameSize(w, h));
        std::size_t written = 0;
        ASSERT_EQ(HuffmanEncode(picture.buffer, w * h * 2, stream.data(), stream.size(), &written), HuffmanResult::Ok);
        stream.resize(written);
        EXPECT_EQ(Bytes(out.frame.begin() + FrameHeaderSize, out.frame.end()), stream) << w << "x" << h;
    }
}

TEST(FrameRoundTrip, Yuy2InUyvyOutDiffersOnlyInByteOrder)
{
    const uint32_t w = 16, h = 8;
    Session session(w, h);
    Bytes raw = RandomBytes(w * h * 2, 9);
    Compressed out = Compress(session, Format(w, h, PixelLayout::Yuy2), raw.data(), 0u);
    Bytes decoded(raw.size());
    ASSERT_EQ(Decompress(session, out.frame, Format(w, h, PixelLayout::Uyvy), decoded), CodecResult::Ok);
    for (std::size_t i = 0; i < raw.size(); i += 2) {
        EXPECT_EQ(decoded[i], raw[i + 1]);
        EXPECT_EQ(decoded[i + 1], raw[i]);
    }
}

TEST(FrameRoundTrip, RealFootageInBothFormatsAndCoders)
{
    for (const char* pixelFormat : {"yuyv422", "uyvy422"}) {
        Bytes clip = SampleFrames(pixelFormat, 3);
        if (clip.empty()) GTEST_SKIP() << "ffmpeg is not available";
        const std::size_t frameBytes = std::size_t(SampleWidth) * SampleHeight * 2;
        ASSERT_EQ(clip.size(), 3 * frameBytes);
        Session session(SampleWidth, SampleHeight);
        const PixelLayout layout = std::string(pixelFormat) == "yuyv422" ? PixelLayout::Yuy2 : PixelLayout::Uyvy;
        const FrameFormat input = Format(SampleWidth, SampleHeight, layout);
        for (int f = 0; f < 3; ++f) {
            const uint8_t* raw = clip.data() + f * frameBytes;
            for (uint32_t quality : {0u, 10000u}) {
                Compressed out = Compress(session, input, raw, quality);
                ASSERT_EQ(out.result, CodecResult::Ok);
                // Noisy camera footage still loses about half its size under both coders.
                EXPECT_LT(out.frame.size(), frameBytes * 6 / 10);
                Bytes decoded(frameBytes);
                ASSERT_EQ(Decompress(session, out.frame, input, decoded), CodecResult::Ok);
                ASSERT_TRUE(std::equal(decoded.begin(), decoded.end(), raw)) << pixelFormat << " frame " << f;
            }
        }
    }
}

TEST(FrameCompress, OddWidthFramesAreDeterministic)
{
    const uint32_t w = 7, h = 5;
    Bytes raw = RandomBytes(w * h * 3, 3);
    const FrameFormat input = Format(w, h, PixelLayout::Rgb24);
    Bytes first;
    for (uint8_t stale : {0x00, 0xFF, 0x5A}) {
        Session session(w, h);
        std::memset(session.picture.buffer, stale, PictureBytes(w, h));
        for (uint32_t quality : {0u, 10000u}) {
            Compressed out = Compress(session, input, raw.data(), quality);
            ASSERT_EQ(out.result, CodecResult::Ok);
            if (quality == 0 && first.empty()) first = out.frame;
            if (quality == 0) {
                EXPECT_EQ(out.frame, first) << "stale byte " << int(stale);
            }
        }
    }
}

TEST(FrameCompress, EveryFrameFitsTheWorstCaseSizeAndDecodes)
{
    // Incompressible and adversarial content at many sizes: the chosen coder
    // may not fit, and deflate of random data outgrows its input.
    struct Size {
        uint32_t w, h;
    } sizes[] = {{2, 1}, {2, 2}, {4, 1}, {6, 3}, {16, 16}, {34, 7}, {64, 32}, {100, 35}, {160, 120}, {320, 240}, {1920, 1080}};
    for (const Size& size : sizes) {
        Session session(size.w, size.h);
        const std::size_t bytes = PictureBytes(size.w, size.h);
        Bytes random = RandomBytes(bytes, size.w + size.h);
        Bytes spread(bytes); // every byte value equally often
        for (std::size_t i = 0; i < bytes; ++i) spread[i] = uint8_t(i * 37);
        Bytes extremes(bytes); // values 0 and 255 only: a long weight table for two symbols
        for (std::size_t i = 0; i < bytes; ++i) extremes[i] = (random[i] & 1) ? 255 : 0;
        for (const Bytes* raw : {&random, &spread, &extremes})
            for (uint32_t quality : {0u, 10000u}) {
                const FrameFormat input = Format(size.w, size.h, PixelLayout::Yuy2);
                Compressed out = Compress(session, input, raw->data(), quality);
                ASSERT_EQ(out.result, CodecResult::Ok) << size.w << "x" << size.h;
                Bytes decoded(bytes);
                ASSERT_EQ(Decompress(session, out.frame, input, decoded), CodecResult::Ok);
                ASSERT_EQ(decoded, *raw) << size.w << "x" << size.h << " quality " << quality;
            }
    }
}

TEST(FrameCompress, ACoderThatDoesNotFitGivesWayToTheOther)
{
    // 2x1 with values 0 and 255: the Huffman weight table alone needs 128
    // bytes, more than the 20 bytes of payload room.
    Session session(2, 1);
    const uint8_t raw[4] = {0, 255, 255, 0};
    Compressed out = Compress(session, Format(2, 1, PixelLayout::Yuy2), raw, 0u);
    ASSERT_EQ(out.result, CodecResult::Ok);
    EXPECT_EQ(TagOf(out.frame), FrameTagDeflate);

    // 1920x1080 random data deflates to more than the worst-case size.
    Session large(1920, 1080);
    Bytes random = RandomBytes(PictureBytes(1920, 1080), 5);
    Compressed big = Compress(large, Format(1920, 1080, PixelLayout::Yuy2), random.data(), 10000u);
    ASSERT_EQ(big.result, CodecResult::Ok);
    EXPECT_EQ(TagOf(big.frame), FrameTagHuffman);
}

TEST(FrameCompress, PicturesBeyondTheLengthFieldAreDeflated)
{
    // 2 x 4096 x 2048 = 2^24 bytes: one more than the 24-bit length field holds.
    const uint32_t w = 4096, h = 2048;
    Session session(w, h);
    Bytes raw(PictureBytes(w, h));
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t((i >> 12) + (i & 3));
    Compressed out = Compress(session, Format(w, h, PixelLayout::Uyvy), raw.data(), 0u);
    ASSERT_EQ(out.result, CodecResult::Ok);
    EXPECT_EQ(TagOf(out.frame), FrameTagDeflate);
    Bytes decoded(raw.size());
    ASSERT_EQ(Decompress(session, out.frame, Format(w, h, PixelLayout::Uyvy), decoded), CodecResult::Ok);
    EXPECT_EQ(decoded, raw);
}

TEST(FrameCompress, RefusesWhatItCannotCodeAndWritesNothing)
{
    Session session(8, 4), odd(7, 4);
    PlanarPicture idle{};
    Bytes raw(8 * 4 * 4, 1);
    Bytes output(512, 0xCC);
    struct Case {
        PlanarPicture* picture;
        FrameFormat input;
        std::size_t sourceSize, capacity;
        CodecResult expected;
    } cases[] = {
        {&idle, Format(8, 4, PixelLayout::Yuy2), raw.size(), output.size(), CodecResult::NoPicture},
        {&session.picture, Format(10, 4, PixelLayout::Yuy2), raw.size(), output.size(), CodecResult::NoPicture},
        {&session.picture, Format(8, 5, PixelLayout::Rgb24), raw.size(), output.size(), CodecResult::NoPicture},
        {&odd.picture, Format(7, 4, PixelLayout::Yuy2), raw.size(), output.size(), CodecResult::UnsupportedFormat},
        {&session.picture, Format(8, 4, PixelLayout::Rgb32), raw.size(), output.size(), CodecResult::UnsupportedFormat},
        {&session.picture, Format(1, 4, PixelLayout::Rgb24), raw.size(), output.size(), CodecResult::UnsupportedFormat},
        {&session.picture, Format(8, 4, PixelLayout::Yuy2), 8 * 4 * 2 - 1, output.size(), CodecResult::BufferTooSmall},
        {&session.picture, Format(8, 4, PixelLayout::Yuy2), raw.size(), 7, CodecResult::BufferTooSmall},
    };
    for (const Case& c : cases) {
        std::size_t size = 99;
        EXPECT_EQ(CompressFrame(*c.picture, c.input, raw.data(), c.sourceSize, FrameCoder::Huffman, output.data(),
                                c.capacity, &size),
                  c.expected);
        EXPECT_EQ(size, 0u);
    }
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0xCC; }));
}

TEST(FrameCompress, TopDownRgbIsReadFromItsLastRow)
{
    const uint32_t w = 6, h = 4;
    Session session(w, h);
    Bytes bottomUp = RandomBytes(w * h * 3, 8);
    Bytes topDown(bottomUp.size());
    for (uint32_t r = 0; r < h; ++r)
        std::copy_n(bottomUp.begin() + r * w * 3, w * 3, topDown.begin() + (h - 1 - r) * w * 3);
    Compressed a = Compress(session, Format(w, h, PixelLayout::Rgb24), bottomUp.data(), 0u);
    Compressed b = Compress(session, Format(w, h, PixelLayout::Rgb24, RowOrder::TopDown), topDown.data(), 0u);
    ASSERT_EQ(a.result, CodecResult::Ok);
    EXPECT_EQ(a.frame, b.frame);
}

// --- damaged frames ---

class DamagedFrame : public ::testing::Test {
protected:
    static constexpr uint32_t w = 32, h = 8;
    Session session{w, h};
    FrameFormat format = Format(w, h, PixelLayout::Yuy2);
    Bytes raw = RandomBytes(w * h * 2, 11);
    Bytes output = Bytes(w * h * 2, 0x3C);

    Bytes Frame(uint32_t quality)
    {
        for (std::size_t i = 0; i < raw.size(); i += 2) raw[i] = uint8_t(raw[i] & 0x0F);
        return Compress(session, format, raw.data(), quality).frame;
    }
    CodecResult Decode(const Bytes& frame, FrameReport* report = nullptr)
    {
        return DecompressFrame(session.picture, frame.data(), frame.size(), format, output.data(), output.size(),
                               report);
    }
    bool OutputUntouched() const
    {
        return std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x3C; });
    }
};

TEST_F(DamagedFrame, UnknownTagWritesNothing)
{
    Bytes frame = Frame(0);
    frame[0] ^= 1;
    FrameReport report;
    EXPECT_EQ(Decode(frame, &report), CodecResult::UnknownTag);
    EXPECT_EQ(report.tag, TagOf(frame));
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, TruncatedFramesAreCutShortForBothCoders)
{
    for (uint32_t quality : {0u, 10000u}) {
        Bytes frame = Frame(quality);
        for (std::size_t keep = 0; keep < frame.size(); ++keep) {
            // Copied into a buffer of exactly `keep` bytes so any over-read is caught.
            Bytes cut(frame.begin(), frame.begin() + keep);
            EXPECT_EQ(DecompressFrame(session.picture, cut.data(), keep, format, output.data(), output.size()),
                      CodecResult::CutShort)
                << "quality " << quality << " kept " << keep;
        }
        EXPECT_TRUE(OutputUntouched());
    }
}

TEST_F(DamagedFrame, PayloadLengthBeyondTheFrameIsHeldToTheFrame)
{
    for (uint32_t quality : {0u, 10000u}) {
        Bytes frame = Frame(quality);
        // Announce more than was handed over: the decoder must not read past it.
        frame[4] = 0xFF;
        frame[5] = 0xFF;
        frame[6] = 0xFF;
        Bytes decoded(output.size());
        EXPECT_EQ(Decompress(session, frame, format, decoded), CodecResult::Ok);
        EXPECT_EQ(decoded, raw);
        Bytes cut(frame.begin(), frame.end() - 1);
        EXPECT_EQ(Decompress(session, cut, format, output), CodecResult::CutShort);
    }
}

TEST_F(DamagedFrame, StreamLengthOtherThanThePictureIsNamed)
{
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i % 5); // smooth: the Huffman stream fits
    Bytes frame = Frame(0);
    ASSERT_EQ(TagOf(frame), FrameTagHuffman);
    // The Huffman stream's 24-bit length field says one byte less, then one
    // more and far more than the picture holds.
    const auto setLength = [&](uint32_t length) {
        frame[8] = uint8_t(length);
        frame[9] = uint8_t(length >> 8);
        frame[10] = uint8_t(length >> 16);
    };
    FrameReport report;
    setLength(w * h * 2 - 1);
    EXPECT_EQ(Decode(frame, &report), CodecResult::ShorterThanPicture);
    EXPECT_EQ(report.streamLength, w * h * 2 - 1);
    setLength(w * h * 2 + 1);
    EXPECT_EQ(Decode(frame, &report), CodecResult::LongerThanPicture);
    setLength(0x7F0000);
    EXPECT_EQ(Decode(frame), CodecResult::LongerThanPicture);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, StreamsMustEndExactlyAtThePayloadEnd)
{
    for (uint32_t quality : {0u, 10000u}) {
        Bytes frame = Frame(quality);
        const std::size_t payload = frame.size() - FrameHeaderSize;
        // One more payload byte than the stream uses.
        Bytes longer = frame;
        longer.push_back(0);
        longer[4] = uint8_t(longer[4] + 1);
        if (longer[4] == 0) longer[5] = uint8_t(longer[5] + 1);
        FrameReport report;
        EXPECT_EQ(Decode(longer, &report), CodecResult::TrailingBytes) << quality;
        EXPECT_EQ(report.streamEnd, payload);
        EXPECT_EQ(report.payloadLength, payload + 1);
    }
    // Padding bits after the last Huffman code must be zero. (A smooth
    // picture, so that the Huffman stream fits this small frame.)
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(i % 5);
    Bytes frame = Frame(0);
    ASSERT_EQ(TagOf(frame), FrameTagHuffman);
    HuffmanDecodeInfo info;
    Bytes scratch(w * h * 2);
    ASSERT_EQ(HuffmanDecode(scratch.data(), scratch.size(), frame.data() + 8, frame.size() - 8, &info), HuffmanResult::Ok);
    Bytes padded = frame;
    padded.back() = uint8_t(padded.back() | 0x01);
    // This picture's stream does not end on a byte boundary, so bit 0 of the
    // last byte is padding.
    HuffmanDecodeInfo paddedInfo;
    HuffmanDecode(scratch.data(), scratch.size(), padded.data() + 8, padded.size() - 8, &paddedInfo);
    ASSERT_FALSE(paddedInfo.paddingIsZero);
    EXPECT_EQ(Decode(padded), CodecResult::NonZeroPadding);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, DeflateStreamOfAnotherSizeOrBadChecksumIsNamed)
{
    Bytes frame = Frame(10000);
    Bytes checksum = frame;
    checksum.back() ^= 0x40;
    EXPECT_EQ(Decode(checksum), CodecResult::BadCheckValue);
    // A valid zlib stream of a smaller picture, and of a larger one.
    Session small(w, h / 2), large(w, h * 2);
    Bytes smaller = Compress(small, Format(w, h / 2, PixelLayout::Yuy2), raw.data(), 10000u).frame;
    EXPECT_EQ(Decode(smaller), CodecResult::ShorterThanPicture);
    Bytes twice = raw;
    twice.insert(twice.end(), raw.begin(), raw.end());
    Bytes larger = Compress(large, Format(w, h * 2, PixelLayout::Yuy2), twice.data(), 10000u).frame;
    EXPECT_EQ(Decode(larger), CodecResult::LongerThanPicture);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, NoPictureAnotherSizeOrASmallBufferIsRefused)
{
    Bytes frame = Frame(0);
    PlanarPicture idle{};
    EXPECT_EQ(DecompressFrame(idle, frame.data(), frame.size(), format, output.data(), output.size()),
              CodecResult::NoPicture);
    EXPECT_EQ(DecompressFrame(session.picture, frame.data(), frame.size(), Format(w + 2, h, PixelLayout::Yuy2),
                              output.data(), output.size()),
              CodecResult::NoPicture);
    EXPECT_EQ(DecompressFrame(session.picture, frame.data(), frame.size(), format, output.data(), output.size() - 1),
              CodecResult::BufferTooSmall);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, BitFlipsNeverEscapeTheOutput)
{
    for (uint32_t quality : {0u, 10000u}) {
        Bytes frame = Frame(quality);
        for (std::size_t bit = 0; bit < frame.size() * 8; bit += 5) {
            Bytes damaged = frame;
            damaged[bit / 8] ^= uint8_t(1 << (bit % 8));
            Bytes guarded(output.size() + 32, 0x77);
            const CodecResult result = DecompressFrame(session.picture, damaged.data(), damaged.size(), format,
                                                       guarded.data(), output.size());
            EXPECT_TRUE(result == CodecResult::Ok || IsDamage(result));
            EXPECT_TRUE(std::all_of(guarded.end() - 32, guarded.end(), [](uint8_t b) { return b == 0x77; }));
        }
    }
}

// What a reader of stored files learns from the header alone, in the order
// the checks run: each frame fails the first check it meets.
TEST(InspectFrame, NamesWhatTheHeaderAndSizeShow)
{
    const uint32_t w = 64, h = 32;
    Session session(w, h);
    Bytes raw = RandomBytes(w * h * 2, 21);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(raw[i] % 4 + i % 50);
    const Bytes good = Compress(session, Format(w, h, PixelLayout::Yuy2), raw.data(), 0u).frame;
    ASSERT_EQ(TagOf(good), FrameTagHuffman);
    const auto with = [&](auto change) {
        Bytes frame = good;
        change(frame);
        return frame;
    };
    Bytes flat(PictureBytes(w, h), 7); // one used value: a stream of no code bits
    Session flatSession(w, h);
    const Bytes oneValue = Compress(flatSession, Format(w, h, PixelLayout::Yuy2), flat.data(), 0u).frame;
    struct Case {
        const char* what;
        Bytes frame;
        CodecResult expected;
    } cases[] = {
        {"intact", good, CodecResult::Ok},
        {"no header", Bytes(good.begin(), good.begin() + 7), CodecResult::CutShort},
        {"longer than the format can describe", with([&](Bytes& f) { f.resize(LargestFrameSize(w, h) + 1); }),
         CodecResult::LongerThanPicture},
        {"longer than this encoder writes, within the format",
         with([&](Bytes& f) { f.resize(WorstCaseFrameSize(w, h) + 1); }), CodecResult::TrailingBytes},
        {"too short for the picture", Bytes(good.begin(), good.begin() + 9), CodecResult::ShorterThanPicture},
        {"one used value, any length", oneValue, CodecResult::Ok},
        {"unknown tag", with([](Bytes& f) { f[3] ^= 0x20; }), CodecResult::UnknownTag},
        {"payload past the frame", with([](Bytes& f) { f.pop_back(); }), CodecResult::CutShort},
        {"bytes after the payload", with([](Bytes& f) { f.push_back(0); }), CodecResult::TrailingBytes},
    };
    for (const Case& c : cases) {
        FrameHeader header{};
        EXPECT_EQ(InspectFrame(c.frame.data(), c.frame.size(), w, h, &header), c.expected) << c.what;
    }
}

// --- coder choices beyond the quality ---

TEST(FrameCoders, SmallestIsNeverLargerThanEitherCoderAndArchiveIsAnOrdinaryDeflateFrame)
{
    Bytes clip = SampleFrames("yuyv422", 2);
    Bytes noise = RandomBytes(std::size_t(SampleWidth) * SampleHeight * 2, 12);
    std::vector<const uint8_t*> pictures = {noise.data()};
    if (!clip.empty()) pictures.push_back(clip.data() + std::size_t(SampleWidth) * SampleHeight * 2);
    Session session(SampleWidth, SampleHeight);
    const FrameFormat input = Format(SampleWidth, SampleHeight, PixelLayout::Yuy2);
    for (const uint8_t* raw : pictures) {
        Bytes huffman = Compress(session, input, raw, FrameCoder::Huffman).frame;
        Bytes deflate = Compress(session, input, raw, FrameCoder::Deflate).frame;
        Bytes smallest = Compress(session, input, raw, FrameCoder::Smallest).frame;
        Bytes archive = Compress(session, input, raw, FrameCoder::Archive).frame;
        EXPECT_EQ(smallest.size(), std::min(huffman.size(), deflate.size()));
        EXPECT_EQ(smallest == huffman || smallest == deflate, true);
        if (raw != noise.data()) {
            EXPECT_EQ(TagOf(archive), FrameTagDeflate);
            EXPECT_LT(archive.size(), deflate.size());
        }
        for (const Bytes* frame : {&smallest, &archive}) {
            Bytes decoded(noise.size());
            ASSERT_EQ(Decompress(session, *frame, input, decoded), CodecResult::Ok);
            EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), raw));
        }
    }
}
