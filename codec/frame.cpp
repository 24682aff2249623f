#include "frame.h"

#include <algorithm>
#include <cstring>

#include "colour/colour.h"
#include "huffman/huffman.h"
#include "zlib_stream.h"

namespace {
// Rows restored and written out at a time: two of the restore's 16-row
// wavefronts; a 1080p band of all three planes and its output stay in L2.
constexpr uint32_t RestoreBandRows = 32;

// Rows first to end - 1 of the picture's three planes, as a picture of their own.
PlanarPicture BandOf(const PlanarPicture& picture, uint32_t first, uint32_t end)
{
    PlanarPicture band = picture;
    band.height = end - first;
    band.yPlane += std::size_t(first) * picture.yRowLength;
    band.uPlane += std::size_t(first) * picture.chromaRowLength;
    band.vPlane += std::size_t(first) * picture.chromaRowLength;
    return band;
}

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

uint32_t Magnitude(LONG value) { return value < 0 ? 0u - uint32_t(value) : uint32_t(value); }

// Where the packed layouts keep luma and chroma within a pixel pair.
bool PackedOffsets(DWORD compression, uint32_t* yOffset, uint32_t* uOffset)
{
    if (compression == FourccYUY2) {
        *yOffset = 0;
        *uOffset = 1;
        return true;
    }
    if (compression == FourccUYVY) {
        *yOffset = 1;
        *uOffset = 0;
        return true;
    }
    return false;
}

bool PictureMatches(const CodecInstance& instance, uint32_t width, uint32_t height)
{
    const PlanarPicture* picture = instance.picture;
    return picture && picture->allocated && picture->width == width && picture->height == height;
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
                                                   : CodeWithDeflate(picture, 5, payload, limit, payloadLength);
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
    CodeResult result = CodeWithDeflate(picture, 0, payload, room, payloadLength);
    if (result == CodeResult::Ok) return FrameTagDeflate;
    if (result == CodeResult::NoMemory) *outOfMemory = true;
    return 0;
}
} // namespace

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

bool ReadFrameHeader(const uint8_t* frame, std::size_t size, FrameHeader* header)
{
    if (!frame || size < FrameHeaderSize) return false;
    header->tag = LoadLittleEndian32(frame);
    header->payloadLength = LoadLittleEndian32(frame + 4);
    return true;
}

LRESULT CompressFrame(CodecInstance& instance, const ICCOMPRESS& parameters)
{
    return CompressFrameWithCoder(instance, parameters,
                                  parameters.dwQuality < DeflateQualityThreshold ? FrameCoder::Huffman
                                                                                 : FrameCoder::Deflate);
}

LRESULT CompressFrameWithCoder(CodecInstance& instance, const ICCOMPRESS& parameters, FrameCoder coder)
{
    const BITMAPINFOHEADER* input = parameters.lpbiInput;
    const auto* source = static_cast<const uint8_t*>(parameters.lpInput);
    auto* frame = static_cast<uint8_t*>(parameters.lpOutput);
    if (!input || !source || !frame) return ICERR_BADPARAM;

    // A top-down source (negative height) is taken by its magnitude.
    const uint32_t width = input->biWidth < 0 ? 0 : uint32_t(input->biWidth);
    const uint32_t height = Magnitude(input->biHeight);
    if (!IsCodablePictureSize(width, height)) return ICERR_BADFORMAT;
    uint32_t yOffset = 0, uOffset = 0;
    const bool packed = PackedOffsets(input->biCompression, &yOffset, &uOffset);
    if (packed ? (input->biBitCount != 16 || width % 2 != 0)
               : (input->biCompression != BI_RGB || input->biBitCount != 24))
        return ICERR_BADFORMAT;
    if (!PictureMatches(instance, width, height)) return ICERR_BADSIZE;
    PlanarPicture& picture = *instance.picture;

    instance.frameTag = coder == FrameCoder::Huffman ? FrameTagHuffman : FrameTagDeflate;

    if (packed) {
        // Packed frames are top-down whatever the sign of the height: planar
        // row 0, the bottom row, is the last row in memory.
        const ptrdiff_t rowLength = ptrdiff_t(2) * width;
        PackedToPlanar(picture, source + rowLength * (height - 1), -rowLength, yOffset, uOffset);
    } else {
        // Rows exactly 3 x width bytes apart; a bottom-up bitmap has planar
        // row 0 first in memory, a top-down one last.
        const ptrdiff_t rowLength = ptrdiff_t(3) * width;
        const bool topDown = input->biHeight < 0;
        const uint8_t* first = topDown ? source + rowLength * (height - 1) : source;
        if (!ConvertRgbToPlanar(first, picture, 3, topDown ? -rowLength : rowLength)) return ICERR_MEMORY;
    }
    // For odd widths the bytes that belong to no plane are coded as zeros.
    if (width % 2 != 0) std::memset(picture.vPlane + std::size_t(picture.chromaRowLength) * height, 0, height);

    MedianTransformPicture(picture);

    std::size_t payloadLength = 0;
    bool outOfMemory = false;
    const uint32_t tag =
        CodePicture(picture, coder, frame, WorstCaseFrameSize(width, height), &payloadLength, &outOfMemory);
    if (tag == 0) return outOfMemory ? ICERR_MEMORY : ICERR_INTERNAL;

    instance.frameTag = tag;
    StoreLittleEndian32(frame, tag);
    StoreLittleEndian32(frame + 4, uint32_t(payloadLength));
    if (parameters.lpdwFlags) *parameters.lpdwFlags |= AVIIF_KEYFRAME;
    if (parameters.lpbiOutput) parameters.lpbiOutput->biSizeImage = DWORD(payloadLength + FrameHeaderSize);
    return ICERR_OK;
}

LRESULT DecompressFrame(const uint8_t* input, std::size_t inputSize, CodecInstance& instance,
                        const BITMAPINFOHEADER& outputFormat, void* output)
{
    if (!input || !output) return ICERR_BADPARAM;
    const uint32_t width = outputFormat.biWidth < 0 ? 0 : uint32_t(outputFormat.biWidth);
    const uint32_t height = Magnitude(outputFormat.biHeight);
    if (!PictureMatches(instance, width, height)) return ICERR_BADSIZE;
    uint32_t yOffset = 0, uOffset = 0;
    const bool packed = PackedOffsets(outputFormat.biCompression, &yOffset, &uOffset);
    if (packed ? (outputFormat.biBitCount != 16 || width % 2 != 0)
               : (outputFormat.biCompression != BI_RGB ||
                  (outputFormat.biBitCount != 24 && outputFormat.biBitCount != 32)))
        return ICERR_BADFORMAT;
    PlanarPicture& picture = *instance.picture;

    FrameHeader header;
    if (!ReadFrameHeader(input, inputSize == 0 ? FrameHeaderSize : inputSize, &header)) return ICERR_ERROR;
    // The payload never extends past the frame the host handed over.
    std::size_t payloadSize = header.payloadLength;
    if (inputSize != 0) payloadSize = std::min(payloadSize, inputSize - FrameHeaderSize);
    const uint8_t* payload = input + FrameHeaderSize;
    const std::size_t pictureBytes = PictureBytes(width, height);

    if (header.tag == FrameTagHuffman) {
        HuffmanDecodeInfo info;
        const HuffmanResult result = HuffmanDecode(picture.buffer, pictureBytes, payload, payloadSize, &info);
        // Running out of memory says nothing about the frame: not "damaged".
        if (result == HuffmanResult::NoMemory) return ICERR_MEMORY;
        // The stream must describe exactly the picture and end exactly at the
        // payload's end with zero padding, as the encoder writes it: this
        // catches most damage a stream without a check value can show.
        if (result != HuffmanResult::Ok || info.length != pictureBytes || info.bytesRead != payloadSize ||
            !info.paddingIsZero)
            return ICERR_ERROR;
    } else if (header.tag == FrameTagDeflate) {
        std::size_t consumed = 0;
        ZlibResult result = InflateExact(payload, payloadSize, picture.buffer, pictureBytes, &consumed);
        if (result == ZlibResult::NoMemory) return ICERR_MEMORY;
        if (result != ZlibResult::Ok || consumed != payloadSize) return ICERR_ERROR;
    } else {
        return ICERR_ERROR;
    }

    // The planes are restored and written out band by band, so that each band
    // is still in cache when it is converted.
    auto* destination = static_cast<uint8_t*>(output);
    const bool topDown = !packed && outputFormat.biHeight < 0;
    const ptrdiff_t pixelStep = packed ? 2 : outputFormat.biBitCount == 24 ? 3 : 4;
    const ptrdiff_t rowLength = pixelStep * width;
    // Packed frames are always top-down: planar row 0 is their last row.
    uint8_t* const rowZero = packed || topDown ? destination + rowLength * (height - 1) : destination;
    const ptrdiff_t rowStep = packed || topDown ? -rowLength : rowLength;
    // Later bands start one row after a multiple of the wavefront's 16 rows.
    for (uint32_t first = 0, end = std::min(height, RestoreBandRows + 1); first < height;
         first = end, end = std::min(height, end + RestoreBandRows)) {
        MedianRestorePlaneRows(picture.yPlane, picture.yRowLength, first, end);
        MedianRestorePlaneRows(picture.uPlane, picture.chromaRowLength, first, end);
        MedianRestorePlaneRows(picture.vPlane, picture.chromaRowLength, first, end);
        const PlanarPicture band = BandOf(picture, first, end);
        uint8_t* const bandStart = rowZero + rowStep * ptrdiff_t(first);
        if (packed) {
            PlanarToPacked(band, bandStart, rowStep, yOffset, uOffset);
        } else {
            ConvertPlanarToRgb(band, bandStart, pixelStep, rowStep);
        }
    }
    return ICERR_OK;
}
