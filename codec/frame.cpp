#include "codec.h"

#include <algorithm>
#include <cstring>

#include "colour/colour.h"
#include "huffman/huffman.h"
#include "median_transform.h"
#include "picture/packed.h"
#include "zlib_stream.h"

namespace {
// Rows restored and written out at a time: two of the restore's 16-row
// wavefronts; a 1080p band of all three planes and its output stay in L2.
constexpr uint32_t RestoreBandRows = 32;
// Deflate levels: the frame coder's, and the stored blocks of the last resort.
constexpr int FrameDeflateLevel = 5;
constexpr int StoredDeflateLevel = 0;

void StoreLittleEndian32(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

uint32_t LoadLittleEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

bool PictureMatches(const PlanarPicture& picture, uint32_t width, uint32_t height)
{
    return picture.allocated && picture.width == width && picture.height == height;
}

// Where planar row 0, the bottom row, lies in a raw picture, and the step
// from one row to the next.
struct RawRows {
    ptrdiff_t rowStep;
    std::size_t rowZero;
};
RawRows RowsOf(const FrameFormat& format)
{
    const ptrdiff_t rowLength = ptrdiff_t(BytesPerPixel(format.layout)) * format.width;
    if (format.rowOrder == RowOrder::BottomUp) return {rowLength, 0};
    return {-rowLength, std::size_t(rowLength) * (format.height - 1)};
}

uint32_t LumaOffset(PixelLayout layout) { return layout == PixelLayout::Yuy2 ? 0 : 1; }

// The colour tables, built by the first caller that needs them (the driver
// builds them at open and begin; later calls return at once).
void EnsureColourTables()
{
    BuildClampTable();
    BuildConversionTables();
}
enum class CodeResult { Ok, DoesNotFit, NoMemory };

CodeResult CodeWithHuffman(const PlanarPicture& picture, uint8_t* payload, std::size_t room, std::size_t* written)
{
    const std::size_t size = PictureBytes(picture.width, picture.height);
    if (size > HuffmanMaxLength) return CodeResult::DoesNotFit;
    switch (HuffmanEncode(picture.buffer, uint32_t(size), payload, room, written)) {
    case HuffmanResult::Ok: return CodeResult::Ok;
    case HuffmanResult::NoMemory: return CodeResult::NoMemory;
    default: return CodeResult::DoesNotFit;
    }
}

CodeResult CodeWithDeflate(const PlanarPicture& picture, int level, uint8_t* payload, std::size_t room,
                           std::size_t* written)
{
    switch (DeflateInto(picture.buffer, PictureBytes(picture.width, picture.height), payload, room, level, written)) {
    case ZlibResult::Ok: return CodeResult::Ok;
    case ZlibResult::NoMemory: return CodeResult::NoMemory;
    default: return CodeResult::DoesNotFit;
    }
}

CodeResult CodeWithArchiveDeflate(const PlanarPicture& picture, uint8_t* payload, std::size_t room,
                                  std::size_t* written)
{
    switch (DeflateArchiveInto(picture.buffer, PictureBytes(picture.width, picture.height), payload, room, written)) {
    case ZlibResult::Ok: return CodeResult::Ok;
    case ZlibResult::NoMemory: return CodeResult::NoMemory;
    default: return CodeResult::DoesNotFit;
    }
}

// Codes the transformed picture behind the header, within `capacity` bytes
// for the whole frame. The chosen coder goes first; when its stream does not
// fit, the other one; when neither fits, deflate's stored blocks, which
// always fit the worst-case size. Returns the tag used, or 0.
uint32_t CodePicture(const PlanarPicture& picture, FrameCoder coder, uint8_t* frame, std::size_t capacity,
                     std::size_t* payloadLength, bool* outOfMemory)
{
    uint8_t* payload = frame + FrameHeaderSize;
    const std::size_t room = capacity - FrameHeaderSize;
    const std::size_t size = PictureBytes(picture.width, picture.height);
    *outOfMemory = false;
    auto attempt = [&](uint32_t tag, std::size_t limit, bool archive) {
        CodeResult result = tag == FrameTagHuffman ? CodeWithHuffman(picture, payload, limit, payloadLength)
                            : archive              ? CodeWithArchiveDeflate(picture, payload, limit, payloadLength)
                                                   : CodeWithDeflate(picture, FrameDeflateLevel, payload, limit, payloadLength);
        if (result == CodeResult::NoMemory) *outOfMemory = true;
        return result == CodeResult::Ok;
    };

    // The attempts in order; running out of memory ends them all, so a
    // frame is never quietly coded another way for want of memory.
    struct Attempt {
        uint32_t tag;
        std::size_t limit;
        bool archive;
    };
    Attempt attempts[3];
    int count = 0;
    switch (coder) {
    case FrameCoder::Huffman:
        attempts[count++] = {FrameTagHuffman, room, false};
        attempts[count++] = {FrameTagDeflate, room, false};
        break;
    case FrameCoder::Deflate:
    case FrameCoder::Archive:
        attempts[count++] = {FrameTagDeflate, room, coder == FrameCoder::Archive};
        attempts[count++] = {FrameTagHuffman, room, false};
        break;
    case FrameCoder::Smallest: {
        // The Huffman stream's size is known before it is written; deflate
        // gets room for one byte less, so it is kept only when smaller.
        const std::size_t huffmanSize = size <= HuffmanMaxLength ? HuffmanEncodedSize(picture.buffer, uint32_t(size)) : 0;
        if (huffmanSize != 0 && huffmanSize <= room) {
            attempts[count++] = {FrameTagDeflate, huffmanSize - 1, false};
            attempts[count++] = {FrameTagHuffman, room, false};
        }
        attempts[count++] = {FrameTagDeflate, room, false};
        break;
    }
    }
    for (int i = 0; i < count; ++i) {
        if (attempt(attempts[i].tag, attempts[i].limit, attempts[i].archive)) return attempts[i].tag;
        if (*outOfMemory) return 0;
    }
    CodeResult result = CodeWithDeflate(picture, StoredDeflateLevel, payload, room, payloadLength);
    if (result == CodeResult::Ok) return FrameTagDeflate;
    if (result == CodeResult::NoMemory) *outOfMemory = true;
    return 0;
}

// Whether a frame of `size` bytes can hold a picture: a HUFY stream of two or
// more used values spends at least a bit on every byte, and deflate gains at
// most 1032:1. A HUFY stream of one used value (a picture whose residuals are
// all equal) has no code bits at all and is plausible at any size.
bool PlausibleFrame(const uint8_t* frame, std::size_t size, const FrameHeader& header, uint32_t width,
                    uint32_t height)
{
    // The Huffman stream's used count - 1, after its length and first value.
    constexpr std::size_t UsedCountByte = FrameHeaderSize + 4;
    if (header.tag == FrameTagHuffman && size > UsedCountByte && frame[UsedCountByte] == 0) return true;
    return size - FrameHeaderSize >= PictureBytes(width, height) / 1040;
}

CodecResult FromHuffman(HuffmanResult result)
{
    switch (result) {
    case HuffmanResult::Ok: return CodecResult::Ok;
    case HuffmanResult::NoMemory: return CodecResult::OutOfMemory;
    case HuffmanResult::Truncated: return CodecResult::CutShort;
    case HuffmanResult::OutputTooSmall: return CodecResult::LongerThanPicture;
    default: return CodecResult::BadStream;
    }
}

CodecResult FromInflate(InflateResult result)
{
    switch (result) {
    case InflateResult::Ok: return CodecResult::Ok;
    case InflateResult::NoMemory: return CodecResult::OutOfMemory;
    case InflateResult::CutShort: return CodecResult::CutShort;
    case InflateResult::ShortOutput: return CodecResult::ShorterThanPicture;
    case InflateResult::LongOutput: return CodecResult::LongerThanPicture;
    case InflateResult::BadCheckValue: return CodecResult::BadCheckValue;
    default: return CodecResult::BadStream;
    }
}

// The payload into the picture buffer: the stream must describe exactly the
// picture and end exactly at the payload's end (with zero padding, as the
// encoder writes it), which catches most damage a stream without a check
// value can show.
CodecResult DecodePayload(PlanarPicture& picture, uint32_t tag, const uint8_t* payload, std::size_t payloadSize,
                          FrameReport& report)
{
    const std::size_t pictureBytes = PictureBytes(picture.width, picture.height);
    if (tag == FrameTagHuffman) {
        HuffmanDecodeInfo info;
        const HuffmanResult result = HuffmanDecode(picture.buffer, pictureBytes, payload, payloadSize, &info);
        report.streamLength = info.length;
        if (result != HuffmanResult::Ok) return FromHuffman(result);
        if (info.length != pictureBytes) return CodecResult::ShorterThanPicture;
        report.streamEnd = info.bytesRead;
        if (info.bytesRead != payloadSize) return CodecResult::TrailingBytes;
        return info.paddingIsZero ? CodecResult::Ok : CodecResult::NonZeroPadding;
    }
    if (tag == FrameTagDeflate) {
        std::size_t consumed = 0;
        const InflateResult result = InflateExact(payload, payloadSize, picture.buffer, pictureBytes, &consumed);
        if (result != InflateResult::Ok) return FromInflate(result);
        report.streamEnd = consumed;
        return consumed == payloadSize ? CodecResult::Ok : CodecResult::TrailingBytes;
    }
    return CodecResult::UnknownTag;
}
} // namespace

bool IsCompressibleFormat(const FrameFormat& format)
{
    if (!IsCodablePictureSize(format.width, format.height)) return false;
    if (IsPacked(format.layout)) return format.width % 2 == 0;
    return format.layout == PixelLayout::Rgb24;
}

bool IsDecompressibleFormat(const FrameFormat& format)
{
    return IsCodablePictureSize(format.width, format.height) && (!IsPacked(format.layout) || format.width % 2 == 0);
}

uint32_t WorstCaseFrameSize(uint32_t width, uint32_t height)
{
    if (!IsCodablePictureSize(width, height)) return 0;
    const uint64_t a = PictureBytes(width, height);
    const uint64_t formula = a + (a + 999) / 1000 + 12;
    // Stored deflate blocks: 5 bytes per block of up to 65,535 bytes, the
    // 2-byte zlib header, the 4-byte checksum, and room for one empty final
    // block; plus the frame header.
    const uint64_t stored = FrameHeaderSize + a + 5 * ((a + 65534) / 65535) + 11;
    return uint32_t(std::max(formula, stored));
}

uint64_t LargestFrameSize(uint32_t width, uint32_t height)
{
    if (!IsCodablePictureSize(width, height)) return 0;
    const uint64_t a = PictureBytes(width, height);
    const uint64_t huffman = HuffmanMaxOverhead + 3 * a;
    const uint64_t deflate = 2 * a + 1024;
    return FrameHeaderSize + std::max(huffman, deflate);
}

bool ReadFrameHeader(const uint8_t* frame, std::size_t size, FrameHeader* header)
{
    if (!frame || size < FrameHeaderSize) return false;
    header->tag = LoadLittleEndian32(frame);
    header->payloadLength = LoadLittleEndian32(frame + 4);
    return true;
}

CodecResult CompressFrame(PlanarPicture& picture, const FrameFormat& input, const uint8_t* source,
                          std::size_t sourceSize, FrameCoder coder, uint8_t* frame, std::size_t capacity,
                          std::size_t* frameSize)
{
    *frameSize = 0;
    if (!IsCompressibleFormat(input)) return CodecResult::UnsupportedFormat;
    if (!PictureMatches(picture, input.width, input.height)) return CodecResult::NoPicture;
    if (!source || sourceSize < RawPictureBytes(input) || !frame || capacity < FrameHeaderSize)
        return CodecResult::BufferTooSmall;
    const uint32_t width = input.width, height = input.height;

    const RawRows rows = RowsOf(input);
    if (IsPacked(input.layout)) {
        PackedToPlanar(picture, source + rows.rowZero, rows.rowStep, LumaOffset(input.layout),
                       1 - LumaOffset(input.layout));
    } else {
        EnsureColourTables();
        if (!ConvertRgbToPlanar(source + rows.rowZero, picture, 3, rows.rowStep)) return CodecResult::OutOfMemory;
    }
    // For odd widths the bytes that belong to no plane are coded as zeros.
    if (width % 2 != 0) std::memset(picture.vPlane + std::size_t(picture.chromaRowLength) * height, 0, height);

    MedianTransformPicture(picture);

    std::size_t payloadLength = 0;
    bool outOfMemory = false;
    // No frame grows past the worst-case size, whatever room the caller gives.
    const std::size_t room = std::min<std::size_t>(capacity, WorstCaseFrameSize(width, height));
    const uint32_t tag = CodePicture(picture, coder, frame, room, &payloadLength, &outOfMemory);
    if (tag == 0) return outOfMemory ? CodecResult::OutOfMemory : CodecResult::BufferTooSmall;
    StoreLittleEndian32(frame, tag);
    StoreLittleEndian32(frame + 4, uint32_t(payloadLength));
    *frameSize = payloadLength + FrameHeaderSize;
    return CodecResult::Ok;
}

CodecResult InspectFrame(const uint8_t* frame, std::size_t size, uint32_t width, uint32_t height,
                         FrameHeader* header)
{
    if (!ReadFrameHeader(frame, size, header)) return CodecResult::CutShort;
    if (size > LargestFrameSize(width, height)) return CodecResult::LongerThanPicture;
    if (!PlausibleFrame(frame, size, *header, width, height)) return CodecResult::ShorterThanPicture;
    if (header->tag != FrameTagHuffman && header->tag != FrameTagDeflate) return CodecResult::UnknownTag;
    const std::size_t available = size - FrameHeaderSize;
    if (header->payloadLength > available) return CodecResult::CutShort;
    if (header->payloadLength < available) return CodecResult::TrailingBytes;
    return CodecResult::Ok;
}

CodecResult DecompressFrame(PlanarPicture& picture, const uint8_t* frame, std::size_t frameSize,
                            const FrameFormat& output, uint8_t* destination, std::size_t destinationSize,
                            FrameReport* report)
{
    FrameReport local{};
    FrameReport& r = report ? *report : local;
    r = FrameReport{};
    const uint32_t width = output.width, height = output.height;
    if (!PictureMatches(picture, width, height)) return CodecResult::NoPicture;
    if (!IsDecompressibleFormat(output)) return CodecResult::UnsupportedFormat;
    if (!destination || destinationSize < RawPictureBytes(output)) return CodecResult::BufferTooSmall;

    FrameHeader header;
    if (!ReadFrameHeader(frame, frameSize, &header)) return CodecResult::CutShort;
    r.tag = header.tag;
    r.payloadLength = header.payloadLength;
    // The payload never extends past the frame handed over.
    const std::size_t payloadSize = std::min<std::size_t>(header.payloadLength, frameSize - FrameHeaderSize);
    if (CodecResult result = DecodePayload(picture, header.tag, frame + FrameHeaderSize, payloadSize, r);
        result != CodecResult::Ok)
        return result;

    // The planes are restored and written out band by band, so that each band
    // is still in cache when it is converted.
    const bool packed = IsPacked(output.layout);
    if (!packed) EnsureColourTables();
    const RawRows rows = RowsOf(output);
    uint8_t* const rowZero = destination + rows.rowZero;
    const ptrdiff_t pixelStep = BytesPerPixel(output.layout);
    // Later bands start one row after a multiple of the wavefront's 16 rows.
    for (uint32_t first = 0, end = std::min(height, RestoreBandRows + 1); first < height;
         first = end, end = std::min(height, end + RestoreBandRows)) {
        MedianRestorePlaneRows(picture.yPlane, picture.yRowLength, first, end);
        MedianRestorePlaneRows(picture.uPlane, picture.chromaRowLength, first, end);
        MedianRestorePlaneRows(picture.vPlane, picture.chromaRowLength, first, end);
        const PlanarPicture band = PictureBand(picture, first, end);
        uint8_t* const bandStart = rowZero + rows.rowStep * ptrdiff_t(first);
        if (packed) {
            PlanarToPacked(band, bandStart, rows.rowStep, LumaOffset(output.layout), 1 - LumaOffset(output.layout));
        } else {
            ConvertPlanarToRgb(band, bandStart, pixelStep, rows.rowStep);
        }
    }
    return CodecResult::Ok;
}
