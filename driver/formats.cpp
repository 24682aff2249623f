#include "formats.h"

#include <cstring>
#include <limits>

#include "codec/codec.h"
#include "colour/colour.h"
#include "picture/planar_picture.h"

namespace {
// The plain header; every field the handlers read lies inside it.
constexpr std::size_t PlainHeaderLength = sizeof(BITMAPINFOHEADER);
// The longest header that fits the proposal buffer whole: BITMAPV4HEADER.
constexpr std::size_t LongestCopiedHeader = 108;

uint32_t Magnitude(LONG value) { return value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value); }

bool IsPacked(DWORD compression) { return compression == FourccYUY2 || compression == FourccUYVY; }

// The frame code needs at least 2 x 1 and, for packed 4:2:2, whole pixel pairs.
bool HasCodableSize(const BITMAPINFOHEADER& format)
{
    if (format.biWidth < 2 || format.biHeight == 0) return false;
    uint32_t width = static_cast<uint32_t>(format.biWidth);
    if (!IsCodablePictureSize(width, Magnitude(format.biHeight))) return false;
    return !(IsPacked(format.biCompression) && (width & 1) != 0);
}

bool IsCompressibleInput(const BITMAPINFOHEADER& format)
{
    bool known = (format.biCompression == BI_RGB && format.biBitCount == 24) ||
                 (IsPacked(format.biCompression) && format.biBitCount == 16);
    return known && HasCodableSize(format);
}

bool IsDecompressibleOutput(const BITMAPINFOHEADER& format)
{
    bool known = (format.biCompression == BI_RGB && (format.biBitCount == 24 || format.biBitCount == 32)) ||
                 (IsPacked(format.biCompression) && format.biBitCount == 16);
    return known && HasCodableSize(format);
}

// How many bytes of the input header a proposal copies. A biSize of 0 is
// taken as the plain header, which the host must have handed over anyway;
// 1 to 39 is no BITMAPINFOHEADER (0 here: refused). A header longer than the
// 112-byte buffer is cut to its BITMAPV4HEADER prefix, which is a complete
// header of its own; copying 112 bytes would leave a torn V5 header.
std::size_t CopiedHeaderLength(DWORD biSize)
{
    if (biSize == 0) return PlainHeaderLength;
    if (biSize < PlainHeaderLength) return 0;
    if (biSize > static_cast<DWORD>(ProposedFormatLength)) return LongestCopiedHeader;
    return biSize;
}

// Copies the input header into the host's buffer and says how long it is
// now; the result's biSize always equals the bytes written.
bool CopyHeader(const BITMAPINFOHEADER& input, void* output, BITMAPINFOHEADER& proposed)
{
    std::size_t length = CopiedHeaderLength(input.biSize);
    if (length == 0) return false;
    std::memmove(output, &input, length);
    std::memcpy(&proposed, output, PlainHeaderLength);
    proposed.biSize = static_cast<DWORD>(length);
    return true;
}

LRESULT AttachPicture(CodecInstance& instance, uint32_t width, uint32_t height)
{
    // A repeated BEGIN must not leak the picture of the one before.
    ReleasePicture(instance);
    PlanarPicture* picture = CreatePlanarPicture();
    if (!picture) return ICERR_MEMORY;
    BuildConversionTables(); // waits for a build in another thread (see OpenInstance)
    if (!ResizePlanarPicture(*picture, width, height)) {
        DestroyPlanarPicture(picture);
        return ICERR_MEMORY;
    }
    instance.picture = picture;
    return ICERR_OK;
}
} // namespace

LRESULT QueryCompress(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output)
{
    if (!input) return ICERR_BADPARAM;
    if (!IsCompressibleInput(*input)) return ICERR_BADFORMAT;
    if (!output) return ICERR_OK;
    bool matches = output->biWidth == input->biWidth && output->biHeight == input->biHeight &&
                   output->biCompression == FourccKSHA;
    return matches ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT QueryDecompress(const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output)
{
    if (!input) return ICERR_BADPARAM;
    if (input->biCompression != FourccKSHA || !HasCodableSize(*input)) return ICERR_BADFORMAT;
    if (!output) return ICERR_OK;
    // The output may flip the picture. A compressed stream made from a
    // top-down source keeps that source's negative height; its frames are
    // stored like any other, so only the magnitude counts on that side too.
    if (output->biWidth != input->biWidth || Magnitude(output->biHeight) != Magnitude(input->biHeight))
        return ICERR_BADFORMAT;
    return IsDecompressibleOutput(*output) ? ICERR_OK : ICERR_BADFORMAT;
}

LRESULT ProposeCompressFormat(const BITMAPINFOHEADER* input, void* output)
{
    if (!output) return ProposedFormatLength;
    if (!input) return ICERR_BADPARAM;
    BITMAPINFOHEADER proposed;
    if (!CopyHeader(*input, output, proposed)) return ICERR_BADFORMAT;
    proposed.biBitCount = 16;
    proposed.biCompression = FourccKSHA;
    std::memcpy(output, &proposed, PlainHeaderLength);
    return ICERR_OK;
}

LRESULT ProposeDecompressFormat(const BITMAPINFOHEADER* input, void* output)
{
    if (!output) return ProposedFormatLength;
    if (!input) return ICERR_BADPARAM;
    BITMAPINFOHEADER proposed;
    if (!CopyHeader(*input, output, proposed)) return ICERR_BADFORMAT;
    // Rows of exactly 3 x width bytes, as the decompressor writes them. The
    // magnitude keeps a top-down stream's size positive.
    uint64_t width = proposed.biWidth > 0 ? static_cast<uint64_t>(proposed.biWidth) : 0;
    proposed.biSizeImage = static_cast<DWORD>(width * Magnitude(proposed.biHeight) * 3);
    proposed.biCompression = BI_RGB;
    proposed.biBitCount = 24;
    std::memcpy(output, &proposed, PlainHeaderLength);
    return ICERR_OK;
}

LRESULT CompressedFrameSize(const BITMAPINFOHEADER* output)
{
    if (!output) return ICERR_BADPARAM;
    // A top-down source compresses to a frame of the same size as a bottom-up one.
    int64_t width = output->biWidth;
    int64_t height = Magnitude(output->biHeight);
    if (width < 0 || width > MaxPictureDimension || height > MaxPictureDimension) return 0;
    int64_t raw = int64_t(output->biBitCount) * height * width / 8;
    int64_t size = raw + (raw + 999) / 1000 + 12;
    // The formula alone is too small for the smallest pictures; the frame
    // code knows how large its frames can get.
    int64_t worst = WorstCaseFrameSize(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    if (worst > size) size = worst;
    if (size > std::numeric_limits<LRESULT>::max()) size = std::numeric_limits<LRESULT>::max();
    return static_cast<LRESULT>(size);
}

LRESULT BeginCompress(CodecInstance& instance, const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output)
{
    if (!input || !output) return ICERR_BADPARAM;
    if (QueryCompress(input, output) != ICERR_OK) return ICERR_BADFORMAT;
    return AttachPicture(instance, static_cast<uint32_t>(output->biWidth), Magnitude(output->biHeight));
}

LRESULT BeginDecompress(CodecInstance& instance, const BITMAPINFOHEADER* input, const BITMAPINFOHEADER* output)
{
    if (!input || !output) return ICERR_BADPARAM;
    if (QueryDecompress(input, output) != ICERR_OK) return ICERR_BADFORMAT;
    return AttachPicture(instance, static_cast<uint32_t>(output->biWidth), Magnitude(output->biHeight));
}

void ReleasePicture(CodecInstance& instance)
{
    DestroyPlanarPicture(instance.picture);
    instance.picture = nullptr;
}

namespace {
// The core's answer as the host hears it.
LRESULT HostResult(CodecResult result)
{
    if (IsDamage(result)) return ICERR_ERROR;
    switch (result) {
    case CodecResult::Ok: return ICERR_OK;
    case CodecResult::OutOfMemory: return ICERR_MEMORY;
    case CodecResult::UnsupportedFormat: return ICERR_BADFORMAT;
    case CodecResult::NoPicture: return ICERR_BADSIZE;
    default: return ICERR_INTERNAL;
    }
}

uint32_t WidthOf(const BITMAPINFOHEADER& header) { return header.biWidth < 0 ? 0 : uint32_t(header.biWidth); }

// The core's record for a host's header, false when the codec has no layout
// for it. Packed 4:2:2 is top-down whatever the sign of the height; RGB is
// bottom-up unless the height is negative.
bool CoreFormat(const BITMAPINFOHEADER& header, bool compressing, FrameFormat* format)
{
    format->width = WidthOf(header);
    format->height = Magnitude(header.biHeight);
    format->rowOrder = header.biHeight < 0 ? RowOrder::TopDown : RowOrder::BottomUp;
    if (header.biCompression == FourccYUY2 || header.biCompression == FourccUYVY) {
        format->layout = header.biCompression == FourccYUY2 ? PixelLayout::Yuy2 : PixelLayout::Uyvy;
        format->rowOrder = RowOrder::TopDown;
        return header.biBitCount == 16;
    }
    if (header.biCompression != BI_RGB) return false;
    format->layout = header.biBitCount == 32 ? PixelLayout::Rgb32 : PixelLayout::Rgb24;
    return header.biBitCount == 24 || (header.biBitCount == 32 && !compressing);
}

bool PictureMatches(const CodecInstance& instance, uint32_t width, uint32_t height)
{
    const PlanarPicture* picture = instance.picture;
    return picture && picture->allocated && picture->width == width && picture->height == height;
}
} // namespace

LRESULT CompressHostFrame(CodecInstance& instance, const ICCOMPRESS* parameters)
{
    if (!parameters) return ICERR_BADPARAM;
    if (!instance.picture) return ICERR_BADSIZE;
    if (!parameters->lpbiInput || !parameters->lpInput || !parameters->lpbiOutput || !parameters->lpOutput)
        return ICERR_BADPARAM;
    FrameFormat input;
    if (!CoreFormat(*parameters->lpbiInput, true, &input) || !IsCompressibleFormat(input)) return ICERR_BADFORMAT;
    if (!PictureMatches(instance, input.width, input.height)) return ICERR_BADSIZE;
    // The tag the quality asks for is recorded before the frame is coded,
    // and the tag used once it is.
    const FrameCoder coder = CoderForQuality(parameters->dwQuality);
    instance.frameTag = coder == FrameCoder::Huffman ? FrameTagHuffman : FrameTagDeflate;
    auto* frame = static_cast<uint8_t*>(parameters->lpOutput);
    std::size_t frameSize = 0;
    // The host's buffers are as large as the formats say: the input picture,
    // and the worst-case size ICM_COMPRESS_GET_SIZE answers.
    const CodecResult result =
        CompressFrame(*instance.picture, input, static_cast<const uint8_t*>(parameters->lpInput),
                      RawPictureBytes(input), coder, frame, WorstCaseFrameSize(input.width, input.height), &frameSize);
    if (result != CodecResult::Ok) return HostResult(result);
    FrameHeader header;
    ReadFrameHeader(frame, frameSize, &header);
    instance.frameTag = header.tag;
    if (parameters->lpdwFlags) *parameters->lpdwFlags |= AVIIF_KEYFRAME;
    parameters->lpbiOutput->biSizeImage = DWORD(frameSize);
    return ICERR_OK;
}

LRESULT DecompressHostFrame(CodecInstance& instance, DWORD flags, const BITMAPINFOHEADER* inputFormat,
                            const void* input, const BITMAPINFOHEADER* outputFormat, void* output)
{
    if (!instance.picture) return ICERR_BADSIZE;
    // Every frame is a key frame: an update or a repeat of the last one
    // leaves the host's picture as it is.
    if ((flags & (ICDECOMPRESS_UPDATE | ICDECOMPRESS_NULLFRAME)) != 0) return ICERR_OK;
    if (!input || !outputFormat || !output) return ICERR_BADPARAM;
    FrameFormat format;
    const bool known = CoreFormat(*outputFormat, false, &format);
    if (!PictureMatches(instance, format.width, format.height)) return ICERR_BADSIZE;
    if (!known) return ICERR_BADFORMAT;
    // The frame's size is the input format's biSizeImage. A host that leaves
    // it 0 must hand over a buffer of the worst-case size (what
    // ICM_COMPRESS_GET_SIZE answers); the payload is read no further.
    std::size_t inputSize = inputFormat ? inputFormat->biSizeImage : 0;
    if (inputSize == 0) inputSize = WorstCaseFrameSize(format.width, format.height);
    return HostResult(DecompressFrame(*instance.picture, static_cast<const uint8_t*>(input), inputSize, format,
                                      static_cast<uint8_t*>(output), RawPictureBytes(format)));
}
