// The planar picture, the median transform and the frame paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/frame.h"
#include "codec/kernels.h"
#include "codec/zlib_stream.h"
#include "huffman/huffman.h"
#include "colour/colour.h"
#include "colour/colour_reference.h"
#include "support/test_support.h"

namespace {
using Bytes = std::vector<uint8_t>;

// An instance with a picture of the given size, as a BEGIN leaves it.
struct Session {
    CodecInstance instance{};
    Session(uint32_t width, uint32_t height)
    {
        BuildClampTable();
        BuildConversionTables();
        instance.picture = CreatePlanarPicture();
        EXPECT_TRUE(ResizePlanarPicture(*instance.picture, width, height));
    }
    ~Session() { DestroyPlanarPicture(instance.picture); }
};

BITMAPINFOHEADER Format(int32_t width, int32_t height, DWORD compression, WORD bitCount)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = width;
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = bitCount;
    format.biCompression = compression;
    format.biSizeImage = DWORD(uint64_t(width) * uint64_t(height < 0 ? -height : height) * bitCount / 8);
    return format;
}

struct Compressed {
    LRESULT result;
    Bytes frame;
    DWORD flags;
};

// Compresses into a buffer of exactly the worst-case size, followed by a
// guard that must stay untouched.
Compressed Compress(CodecInstance& instance, const BITMAPINFOHEADER& input, const uint8_t* raw, uint32_t quality,
                    DWORD flags = 0)
{
    const uint32_t height = uint32_t(input.biHeight < 0 ? -input.biHeight : input.biHeight);
    const std::size_t capacity = WorstCaseFrameSize(uint32_t(input.biWidth), height);
    Bytes buffer(capacity + 64, 0xA5);
    BITMAPINFOHEADER output = Format(input.biWidth, input.biHeight, FourccKSHA, 16);
    ICCOMPRESS parameters{};
    parameters.lpbiInput = const_cast<BITMAPINFOHEADER*>(&input);
    parameters.lpInput = const_cast<uint8_t*>(raw);
    parameters.lpbiOutput = &output;
    parameters.lpOutput = buffer.data();
    parameters.lpdwFlags = &flags;
    parameters.dwQuality = quality;
    LRESULT result = CompressFrame(instance, parameters);
    for (std::size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xA5) << "guard byte " << i;
    if (result != ICERR_OK) return {result, {}, flags};
    FrameHeader header;
    EXPECT_TRUE(ReadFrameHeader(buffer.data(), buffer.size(), &header));
    EXPECT_EQ(output.biSizeImage, header.payloadLength + FrameHeaderSize);
    EXPECT_LE(output.biSizeImage, capacity);
    buffer.resize(output.biSizeImage);
    return {result, buffer, flags};
}

LRESULT Decompress(CodecInstance& instance, const Bytes& frame, const BITMAPINFOHEADER& output, Bytes& raw,
                   std::size_t inputSize = SIZE_MAX)
{
    return DecompressFrame(frame.data(), inputSize == SIZE_MAX ? frame.size() : inputSize, instance, output,
                           raw.data());
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

// Every row length up to 41, and lengths around the 16-, 32- and 64-sample
// blocks of the wider kernels, through each forward kernel the processor runs.
TEST(MedianTransform, FastKernelsMatchTheReferenceOnEveryShape)
{
    constexpr uint32_t ClipWidth = 200;
    Bytes clip = SampleFrames("gray", 1, "crop=200:12:300:200");
    std::vector<uint32_t> lengths;
    for (uint32_t length = 1; length <= 41; ++length) lengths.push_back(length);
    for (uint32_t length : {47u, 63u, 64u, 65u, 66u, 95u, 96u, 97u, 127u, 128u, 129u, 130u, 191u, 192u, 193u, 200u})
        lengths.push_back(length);
    struct RestoreCeiling {
        ~RestoreCeiling() { transformKernelCeiling = CodecKernel::Avx512; }
    } restore;
    int kernelsRun = 0;
    for (CodecKernel kernel : {CodecKernel::Sse2, CodecKernel::Avx2, CodecKernel::Avx512}) {
        if (!TransformKernelAvailable(kernel)) continue;
        ++kernelsRun;
        transformKernelCeiling = kernel;
        SCOPED_TRACE("kernel " + std::to_string(int(kernel)));
        for (uint32_t rows = 1; rows <= 11; ++rows)
            for (uint32_t length : lengths)
                for (int content = 0; content < 2; ++content) {
                    Bytes plane = RandomBytes(std::size_t(rows) * length, rows * 64 + length);
                    if (content == 1 && clip.size() >= std::size_t(rows) * ClipWidth) // real footage: small residuals
                        for (uint32_t r = 0; r < rows; ++r)
                            std::copy_n(clip.begin() + r * ClipWidth, length, plane.begin() + r * length);
                    Bytes fast = plane, reference = plane;
                    MedianTransformPlane(fast.data(), length, rows);
                    MedianTransformPlaneReference(reference.data(), length, rows);
                    ASSERT_EQ(fast, reference) << "forward " << length << "x" << rows;
                    MedianRestorePlane(fast.data(), length, rows);
                    MedianRestorePlaneReference(reference.data(), length, rows);
                    ASSERT_EQ(fast, reference) << "inverse " << length << "x" << rows;
                    ASSERT_EQ(fast, plane);
                }
    }
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_GE(kernelsRun, 1) << "x86 builds have the SSE2 kernel at least";
#endif
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

// Every even width to 70 and widths around two and three of the AVX-512
// kernel's 64-pixel blocks, through each kernel the processor runs.
TEST(PackedCopies, EveryWidthSplitsAndJoinsByTheLayout)
{
    std::vector<uint32_t> widths;
    for (uint32_t w = 2; w <= 70; w += 2) widths.push_back(w);
    for (uint32_t w : {126u, 128u, 130u, 190u, 192u, 194u, 1920u}) widths.push_back(w);
    struct RestoreCeiling {
        ~RestoreCeiling() { packingKernelCeiling = CodecKernel::Avx512; }
    } restore;
    for (CodecKernel kernel : {CodecKernel::Sse2, CodecKernel::Avx512}) {
        if (!PackingKernelAvailable(kernel)) continue;
        packingKernelCeiling = kernel;
        SCOPED_TRACE("kernel " + std::to_string(int(kernel)));
        for (uint32_t w : widths)
            for (uint32_t yOffset : {0u, 1u}) {
                const uint32_t h = 3, uOffset = 1 - yOffset;
                PlanarPicture picture{};
                ASSERT_TRUE(ResizePlanarPicture(picture, w, h));
                Bytes frame = RandomBytes(w * h * 2, w);
                PackedToPlanar(picture, frame.data() + w * 2 * (h - 1), -ptrdiff_t(w * 2), yOffset, uOffset);
                for (uint32_t r = 0; r < h; ++r) {
                    const uint8_t* packed = frame.data() + (h - 1 - r) * w * 2; // row r, counted from the bottom
                    for (uint32_t j = 0; j < w; ++j)
                        ASSERT_EQ(picture.yPlane[r * w + j], packed[2 * j + yOffset]) << w;
                    for (uint32_t k = 0; k < w / 2; ++k) {
                        ASSERT_EQ(picture.uPlane[r * (w / 2) + k], packed[4 * k + uOffset]) << w;
                        ASSERT_EQ(picture.vPlane[r * (w / 2) + k], packed[4 * k + uOffset + 2]) << w;
                    }
                }
                Bytes back(frame.size() + 8, 0xEE);
                PlanarToPacked(picture, back.data() + w * 2 * (h - 1), -ptrdiff_t(w * 2), yOffset, uOffset);
                EXPECT_TRUE(std::equal(frame.begin(), frame.end(), back.begin())) << w;
                EXPECT_TRUE(std::all_of(back.end() - 8, back.end(), [](uint8_t b) { return b == 0xEE; }));
                ReleasePlanarPicture(picture);
            }
    }
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
}

TEST(FrameCompress, QualityChoosesTheCoderAndEveryFrameIsAKeyFrame)
{
    const uint32_t w = 64, h = 16;
    Session session(w, h);
    Bytes raw = RandomBytes(w * h * 2, 1);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t(raw[i] % 8 + i % 64); // compressible
    BITMAPINFOHEADER input = Format(w, h, FourccYUY2, 16);
    struct Case {
        uint32_t quality;
        uint32_t tag;
    } cases[] = {{0, FrameTagHuffman}, {5999, FrameTagHuffman}, {6000, FrameTagDeflate}, {0xFFFFFFFF, FrameTagDeflate}};
    for (const Case& c : cases) {
        Compressed out = Compress(session.instance, input, raw.data(), c.quality, 0x40000003);
        ASSERT_EQ(out.result, ICERR_OK);
        EXPECT_EQ(TagOf(out.frame), c.tag) << c.quality;
        EXPECT_EQ(session.instance.frameTag, c.tag);
        EXPECT_EQ(out.flags, DWORD(0x40000003 | AVIIF_KEYFRAME));
    }
    // The tags' bytes lie in the file in reverse order of their names.
    Compressed huffman = Compress(session.instance, input, raw.data(), 0);
    EXPECT_EQ(std::string(huffman.frame.begin(), huffman.frame.begin() + 4), "YFUH");
    Compressed deflate = Compress(session.instance, input, raw.data(), 9000);
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
            for (DWORD format : {FourccYUY2, FourccUYVY})
                for (uint32_t quality : {0u, 10000u}) {
                    BITMAPINFOHEADER input = Format(w, h, format, 16);
                    Compressed out = Compress(session.instance, input, raw.data(), quality);
                    ASSERT_EQ(out.result, ICERR_OK);
                    Bytes decoded(raw.size());
                    ASSERT_EQ(Decompress(session.instance, out.frame, input, decoded), ICERR_OK);
                    ASSERT_EQ(decoded, raw) << w << "x" << h << " quality " << quality;
                    // Negative height: packed frames are top-down whatever the sign.
                    BITMAPINFOHEADER flipped = Format(w, -int32_t(h), format, 16);
                    Bytes again(raw.size());
                    ASSERT_EQ(Decompress(session.instance, out.frame, flipped, again), ICERR_OK);
                    ASSERT_EQ(again, raw);
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
            BITMAPINFOHEADER packed = Format(w, h, FourccYUY2, 16);
            Compressed out = Compress(session.instance, packed, raw.data(), 0);
            ASSERT_EQ(out.result, ICERR_OK);
            PlanarPicture& picture = *session.instance.picture;
            PackedToPlanar(picture, raw.data() + std::size_t(h - 1) * packed.biWidth * 2, -2 * ptrdiff_t(packed.biWidth),
                           0, 1);
            for (WORD bits : {WORD(24), WORD(32)})
                for (int32_t sign : {1, -1}) {
                    const ptrdiff_t step = bits / 8, rowLength = step * packed.biWidth;
                    Bytes expected(std::size_t(rowLength) * h, 0x5A), decoded(expected.size(), 0x5A);
                    ReferenceConvertPlanarToRgb(picture, sign < 0 ? expected.data() + rowLength * (h - 1) : expected.data(),
                                                step, sign < 0 ? -rowLength : rowLength);
                    ASSERT_EQ(Decompress(session.instance, out.frame, Format(packed.biWidth, sign * int32_t(h), BI_RGB, bits),
                                         decoded),
                              ICERR_OK);
                    ASSERT_EQ(decoded, expected) << w << "x" << h << " RGB" << bits << (sign < 0 ? " top-down" : "");
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
        Compressed out = Compress(session.instance, Format(w, h, FourccYUY2, 16), raw.data(), 0);
        ASSERT_EQ(out.result, ICERR_OK);
        ASSERT_EQ(TagOf(out.frame), FrameTagHuffman);

        PlanarPicture* picture = CreatePlanarPicture();
        ASSERT_TRUE(picture && ResizePlanarPicture(*picture, w, h));
        PackedToPlanar(*picture, raw.data() + std::size_t(h - 1) * w * 2, -2 * ptrdiff_t(w), 0, 1);
        MedianTransformPlaneReference(picture->yPlane, w, h);
        MedianTransformPlaneReference(picture->uPlane, w / 2, h);
        MedianTransformPlaneReference(picture->vPlane, w / 2, h);
        Bytes stream(WorstCaseFrameSize(w, h));
        std::size_t written = 0;
        ASSERT_EQ(HuffmanEncode(picture->buffer, w * h * 2, stream.data(), stream.size(), &written), HuffmanResult::Ok);
        DestroyPlanarPicture(picture);
        stream.resize(written);
        EXPECT_EQ(Bytes(out.frame.begin() + FrameHeaderSize, out.frame.end()), stream) << w << "x" << h;
    }
}

TEST(FrameRoundTrip, Yuy2InUyvyOutDiffersOnlyInByteOrder)
{
    const uint32_t w = 16, h = 8;
    Session session(w, h);
    Bytes raw = RandomBytes(w * h * 2, 9);
    Compressed out = Compress(session.instance, Format(w, h, FourccYUY2, 16), raw.data(), 0);
    Bytes decoded(raw.size());
    ASSERT_EQ(Decompress(session.instance, out.frame, Format(w, h, FourccUYVY, 16), decoded), ICERR_OK);
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
        const DWORD format = std::string(pixelFormat) == "yuyv422" ? FourccYUY2 : FourccUYVY;
        BITMAPINFOHEADER input = Format(SampleWidth, SampleHeight, format, 16);
        for (int f = 0; f < 3; ++f) {
            const uint8_t* raw = clip.data() + f * frameBytes;
            for (uint32_t quality : {0u, 10000u}) {
                Compressed out = Compress(session.instance, input, raw, quality);
                ASSERT_EQ(out.result, ICERR_OK);
                // Noisy camera footage still loses about half its size under both coders.
                EXPECT_LT(out.frame.size(), frameBytes * 6 / 10);
                Bytes decoded(frameBytes);
                ASSERT_EQ(Decompress(session.instance, out.frame, input, decoded), ICERR_OK);
                ASSERT_TRUE(std::equal(decoded.begin(), decoded.end(), raw)) << pixelFormat << " frame " << f;
            }
        }
    }
}

TEST(FrameRoundTrip, RgbOutputSizeFieldDoesNotLimitTheInflate)
{
    // A host may leave biSizeImage at 0 for RGB output; the whole picture is
    // still inflated.
    const uint32_t w = 10, h = 6;
    Session session(w, h);
    Bytes raw = RandomBytes(w * h * 3, 4);
    Compressed out = Compress(session.instance, Format(w, h, BI_RGB, 24), raw.data(), 10000);
    ASSERT_EQ(TagOf(out.frame), FrameTagDeflate);
    BITMAPINFOHEADER rgb = Format(w, h, BI_RGB, 24);
    Bytes expected(raw.size()), decoded(raw.size(), 0);
    ASSERT_EQ(Decompress(session.instance, out.frame, rgb, expected), ICERR_OK);
    rgb.biSizeImage = 0;
    ASSERT_EQ(Decompress(session.instance, out.frame, rgb, decoded), ICERR_OK);
    EXPECT_EQ(decoded, expected);
    rgb.biSizeImage = 1;
    ASSERT_EQ(Decompress(session.instance, out.frame, rgb, decoded), ICERR_OK);
    EXPECT_EQ(decoded, expected);
}

TEST(FrameCompress, OddWidthFramesAreDeterministic)
{
    const uint32_t w = 7, h = 5;
    Bytes raw = RandomBytes(w * h * 3, 3);
    BITMAPINFOHEADER input = Format(w, h, BI_RGB, 24);
    Bytes first;
    for (uint8_t stale : {0x00, 0xFF, 0x5A}) {
        Session session(w, h);
        std::memset(session.instance.picture->buffer, stale, PictureBytes(w, h));
        for (uint32_t quality : {0u, 10000u}) {
            Compressed out = Compress(session.instance, input, raw.data(), quality);
            ASSERT_EQ(out.result, ICERR_OK);
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
                BITMAPINFOHEADER input = Format(size.w, size.h, FourccYUY2, 16);
                Compressed out = Compress(session.instance, input, raw->data(), quality);
                ASSERT_EQ(out.result, ICERR_OK) << size.w << "x" << size.h;
                Bytes decoded(bytes);
                ASSERT_EQ(Decompress(session.instance, out.frame, input, decoded), ICERR_OK);
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
    Compressed out = Compress(session.instance, Format(2, 1, FourccYUY2, 16), raw, 0);
    ASSERT_EQ(out.result, ICERR_OK);
    EXPECT_EQ(TagOf(out.frame), FrameTagDeflate);
    EXPECT_EQ(session.instance.frameTag, FrameTagDeflate);

    // 1920x1080 random data deflates to more than the worst-case size.
    Session large(1920, 1080);
    Bytes random = RandomBytes(PictureBytes(1920, 1080), 5);
    Compressed big = Compress(large.instance, Format(1920, 1080, FourccYUY2, 16), random.data(), 10000);
    ASSERT_EQ(big.result, ICERR_OK);
    EXPECT_EQ(TagOf(big.frame), FrameTagHuffman);
}

TEST(FrameCompress, PicturesBeyondTheLengthFieldAreDeflated)
{
    // 2 x 4096 x 2048 = 2^24 bytes: one more than the 24-bit length field holds.
    const uint32_t w = 4096, h = 2048;
    Session session(w, h);
    Bytes raw(PictureBytes(w, h));
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = uint8_t((i >> 12) + (i & 3));
    Compressed out = Compress(session.instance, Format(w, h, FourccUYVY, 16), raw.data(), 0);
    ASSERT_EQ(out.result, ICERR_OK);
    EXPECT_EQ(TagOf(out.frame), FrameTagDeflate);
    Bytes decoded(raw.size());
    ASSERT_EQ(Decompress(session.instance, out.frame, Format(w, h, FourccUYVY, 16), decoded), ICERR_OK);
    EXPECT_EQ(decoded, raw);
}

TEST(FrameCompress, RefusesWhatItCannotCodeAndWritesNothing)
{
    Session session(8, 4);
    Bytes raw(8 * 4 * 3, 1);
    Bytes output(512, 0xCC);
    BITMAPINFOHEADER outputFormat = Format(8, 4, FourccKSHA, 16);
    DWORD flags = 0;
    auto run = [&](CodecInstance& instance, BITMAPINFOHEADER input) {
        ICCOMPRESS parameters{};
        parameters.lpbiInput = &input;
        parameters.lpInput = raw.data();
        parameters.lpbiOutput = &outputFormat;
        parameters.lpOutput = output.data();
        parameters.lpdwFlags = &flags;
        return CompressFrame(instance, parameters);
    };
    CodecInstance idle{};
    EXPECT_NE(run(idle, Format(8, 4, FourccYUY2, 16)), ICERR_OK);            // no picture
    EXPECT_NE(run(session.instance, Format(10, 4, FourccYUY2, 16)), ICERR_OK); // another size
    EXPECT_NE(run(session.instance, Format(8, 5, BI_RGB, 24)), ICERR_OK);
    Session odd(7, 4);
    EXPECT_EQ(run(odd.instance, Format(7, 4, FourccYUY2, 16)), ICERR_BADFORMAT); // odd packed width
    EXPECT_EQ(run(session.instance, Format(8, 4, BI_RGB, 32)), ICERR_BADFORMAT);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0xCC; }));
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(outputFormat.biSizeImage, DWORD(8 * 4 * 2));
}

TEST(FrameCompress, TopDownRgbIsReadFromItsLastRow)
{
    const uint32_t w = 6, h = 4;
    Session session(w, h);
    Bytes bottomUp = RandomBytes(w * h * 3, 8);
    Bytes topDown(bottomUp.size());
    for (uint32_t r = 0; r < h; ++r)
        std::copy_n(bottomUp.begin() + r * w * 3, w * 3, topDown.begin() + (h - 1 - r) * w * 3);
    Compressed a = Compress(session.instance, Format(w, h, BI_RGB, 24), bottomUp.data(), 0);
    Compressed b = Compress(session.instance, Format(w, -int32_t(h), BI_RGB, 24), topDown.data(), 0);
    ASSERT_EQ(a.result, ICERR_OK);
    EXPECT_EQ(a.frame, b.frame);
}

// --- damaged frames ---

class DamagedFrame : public ::testing::Test {
protected:
    static constexpr uint32_t w = 32, h = 8;
    Session session{w, h};
    BITMAPINFOHEADER format = Format(w, h, FourccYUY2, 16);
    Bytes raw = RandomBytes(w * h * 2, 11);
    Bytes output = Bytes(w * h * 2, 0x3C);

    Bytes Frame(uint32_t quality)
    {
        for (std::size_t i = 0; i < raw.size(); i += 2) raw[i] = uint8_t(raw[i] & 0x0F);
        return Compress(session.instance, format, raw.data(), quality).frame;
    }
    bool OutputUntouched() const
    {
        return std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0x3C; });
    }
};

TEST_F(DamagedFrame, UnknownTagIsAnErrorAndWritesNothing)
{
    Bytes frame = Frame(0);
    frame[0] ^= 1;
    EXPECT_EQ(Decompress(session.instance, frame, format, output), ICERR_ERROR);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, TruncatedFramesAreErrorsForBothCoders)
{
    for (uint32_t quality : {0u, 10000u}) {
        Bytes frame = Frame(quality);
        for (std::size_t keep = 1; keep < frame.size(); ++keep) {
            // Copied into a buffer of exactly `keep` bytes so any over-read is caught.
            Bytes cut(frame.begin(), frame.begin() + keep);
            EXPECT_EQ(DecompressFrame(cut.data(), keep, session.instance, format, output.data()),
                      ICERR_ERROR)
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
        EXPECT_EQ(Decompress(session.instance, frame, format, decoded), ICERR_OK);
        EXPECT_EQ(decoded, raw);
        Bytes cut(frame.begin(), frame.end() - 1);
        EXPECT_EQ(Decompress(session.instance, cut, format, output), ICERR_ERROR);
    }
}

TEST_F(DamagedFrame, StreamLengthOtherThanThePictureIsAnError)
{
    Bytes frame = Frame(0);
    // The Huffman stream's 24-bit length field says one byte less, then more
    // than the picture holds.
    frame[8] = uint8_t(frame[8] - 1);
    EXPECT_EQ(Decompress(session.instance, frame, format, output), ICERR_ERROR);
    frame[8] = uint8_t(frame[8] + 2);
    EXPECT_EQ(Decompress(session.instance, frame, format, output), ICERR_ERROR);
    frame[10] = 0x7F;
    EXPECT_EQ(Decompress(session.instance, frame, format, output), ICERR_ERROR);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, StreamsMustEndExactlyAtThePayloadEnd)
{
    for (uint32_t quality : {0u, 10000u}) {
        Bytes frame = Frame(quality);
        // One more payload byte than the stream uses.
        Bytes longer = frame;
        longer.push_back(0);
        longer[4] = uint8_t(longer[4] + 1);
        if (longer[4] == 0) longer[5] = uint8_t(longer[5] + 1);
        EXPECT_EQ(Decompress(session.instance, longer, format, output), ICERR_ERROR) << quality;
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
    EXPECT_EQ(Decompress(session.instance, padded, format, output), ICERR_ERROR);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, DeflateStreamOfAnotherSizeOrBadChecksumIsAnError)
{
    Bytes frame = Frame(10000);
    Bytes checksum = frame;
    checksum.back() ^= 0x40;
    EXPECT_EQ(Decompress(session.instance, checksum, format, output), ICERR_ERROR);
    // A valid zlib stream of a smaller picture.
    Session small(w, h / 2);
    Bytes smaller = Compress(small.instance, Format(w, h / 2, FourccYUY2, 16), raw.data(), 10000).frame;
    EXPECT_EQ(Decompress(session.instance, smaller, format, output), ICERR_ERROR);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(DamagedFrame, NoPictureOrAnotherSizeIsRefused)
{
    Bytes frame = Frame(0);
    CodecInstance idle{};
    EXPECT_NE(Decompress(idle, frame, format, output), ICERR_OK);
    EXPECT_NE(Decompress(session.instance, frame, Format(w + 2, h, FourccYUY2, 16), output), ICERR_OK);
    EXPECT_NE(Decompress(session.instance, frame, Format(w, h, BI_RGB, 16), output), ICERR_OK);
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
            LRESULT result = DecompressFrame(damaged.data(), damaged.size(), session.instance, format, guarded.data());
            EXPECT_TRUE(result == ICERR_OK || result == ICERR_ERROR);
            EXPECT_TRUE(std::all_of(guarded.end() - 32, guarded.end(), [](uint8_t b) { return b == 0x77; }));
        }
    }
}

// --- coder choices beyond the quality ---

namespace {
Bytes CompressWith(CodecInstance& instance, const BITMAPINFOHEADER& input, const uint8_t* raw, FrameCoder coder)
{
    const uint32_t height = uint32_t(input.biHeight < 0 ? -input.biHeight : input.biHeight);
    Bytes frame(WorstCaseFrameSize(uint32_t(input.biWidth), height));
    BITMAPINFOHEADER output = Format(input.biWidth, input.biHeight, FourccKSHA, 16);
    DWORD flags = 0;
    ICCOMPRESS parameters{};
    parameters.lpbiInput = const_cast<BITMAPINFOHEADER*>(&input);
    parameters.lpInput = const_cast<uint8_t*>(raw);
    parameters.lpbiOutput = &output;
    parameters.lpOutput = frame.data();
    parameters.lpdwFlags = &flags;
    EXPECT_EQ(CompressFrameWithCoder(instance, parameters, coder), ICERR_OK);
    frame.resize(output.biSizeImage);
    return frame;
}
} // namespace

TEST(FrameCoders, SmallestIsNeverLargerThanEitherCoderAndArchiveIsAnOrdinaryDeflateFrame)
{
    Bytes clip = SampleFrames("yuyv422", 2);
    Bytes noise = RandomBytes(std::size_t(SampleWidth) * SampleHeight * 2, 12);
    std::vector<const uint8_t*> pictures = {noise.data()};
    if (!clip.empty()) pictures.push_back(clip.data() + std::size_t(SampleWidth) * SampleHeight * 2);
    Session session(SampleWidth, SampleHeight);
    BITMAPINFOHEADER input = Format(SampleWidth, SampleHeight, FourccYUY2, 16);
    for (const uint8_t* raw : pictures) {
        Bytes huffman = CompressWith(session.instance, input, raw, FrameCoder::Huffman);
        Bytes deflate = CompressWith(session.instance, input, raw, FrameCoder::Deflate);
        Bytes smallest = CompressWith(session.instance, input, raw, FrameCoder::Smallest);
        Bytes archive = CompressWith(session.instance, input, raw, FrameCoder::Archive);
        EXPECT_EQ(smallest.size(), std::min(huffman.size(), deflate.size()));
        EXPECT_EQ(smallest == huffman || smallest == deflate, true);
        if (raw != noise.data()) {
            EXPECT_EQ(TagOf(archive), FrameTagDeflate);
            EXPECT_LT(archive.size(), deflate.size());
        }
        for (const Bytes* frame : {&smallest, &archive}) {
            Bytes decoded(noise.size());
            ASSERT_EQ(Decompress(session.instance, *frame, input, decoded), ICERR_OK);
            EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), raw));
        }
    }
}

TEST(FrameCoders, BothInflatersAgreeOnGoodAndDamagedStreams)
{
    Bytes picture = RandomBytes(5000, 13);
    for (std::size_t i = 0; i < picture.size(); ++i) picture[i] = uint8_t(picture[i] % 5 + i / 100);
    Bytes stream(6000);
    std::size_t length = 0;
    ASSERT_EQ(DeflateInto(picture.data(), picture.size(), stream.data(), stream.size(), 5, &length), ZlibResult::Ok);
    stream.resize(length);
    for (std::size_t damage = 0; damage <= stream.size() * 8; damage += 3) {
        Bytes damaged = stream;
        if (damage < stream.size() * 8) damaged[damage / 8] ^= uint8_t(1 << (damage % 8));
        for (std::size_t cut : {damaged.size(), damaged.size() - 1}) {
            Bytes a(picture.size()), b(picture.size());
            std::size_t consumedA = 0, consumedB = 0;
            ZlibResult ra = InflateExact(damaged.data(), cut, a.data(), a.size(), &consumedA);
            ZlibResult rb = InflateExactZlib(damaged.data(), cut, b.data(), b.size(), &consumedB);
            ASSERT_EQ(ra, rb) << "bit " << damage << " cut " << cut;
            if (ra == ZlibResult::Ok) {
                ASSERT_EQ(a, b);
                ASSERT_EQ(consumedA, consumedB);
            }
        }
    }
}
