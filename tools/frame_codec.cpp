#include "frame_codec.h"

#include <cstring>
#include <new>

#include "colour/colour.h"

const RawFormat* FindRawFormat(const std::string& name)
{
    static const RawFormat formats[] = {
        {"yuy2", FourccYUY2, 16, 2},
        {"uyvy", FourccUYVY, 16, 2},
        {"rgb24", BI_RGB, 24, 3},
        {"rgb32", BI_RGB, 32, 4},
    };
    for (const auto& format : formats)
        if (format.name == name) return &format;
    return nullptr;
}

BITMAPINFOHEADER MakeFormat(uint32_t width, int32_t height, DWORD compression, WORD bitCount)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = LONG(width);
    format.biHeight = height;
    format.biPlanes = 1;
    format.biBitCount = bitCount;
    format.biCompression = compression;
    const uint64_t magnitude = height < 0 ? uint64_t(-int64_t(height)) : uint64_t(height);
    format.biSizeImage = DWORD(uint64_t(width) * magnitude * (bitCount / 8));
    return format;
}

bool CheckPictureSize(const RawFormat& format, uint32_t width, uint32_t height, std::string* why)
{
    if (width < 2 || height < 1) {
        *why = "the codec needs a picture of at least 2x1 pixels";
        return false;
    }
    if (!IsCodablePictureSize(width, height)) {
        *why = "the picture is larger than the codec takes";
        return false;
    }
    if (format.compression != BI_RGB && width % 2 != 0) {
        *why = "packed 4:2:2 (" + format.name + ") needs an even width";
        return false;
    }
    return true;
}

FrameEncoder::FrameEncoder(const RawFormat& format, uint32_t width, uint32_t height, bool topDown)
    : width_(width), height_(height)
{
    BuildClampTable();
    BuildConversionTables();
    const bool negative = topDown && format.compression == BI_RGB;
    input_ = MakeFormat(width, negative ? -int32_t(height) : int32_t(height), format.compression, format.bitCount);
    output_ = MakeFormat(width, int32_t(height), FourccKSHA, 16);
    instance_.picture = CreatePlanarPicture();
    if (!instance_.picture || !ResizePlanarPicture(*instance_.picture, width, height)) {
        // A constructor that throws runs no destructor: release the holder here.
        DestroyPlanarPicture(instance_.picture);
        throw std::bad_alloc();
    }
}

FrameEncoder::~FrameEncoder() { DestroyPlanarPicture(instance_.picture); }

LRESULT FrameEncoder::Encode(const uint8_t* raw, uint32_t quality, uint8_t* frame, std::size_t* size)
{
    return Encode(raw, quality < DeflateQualityThreshold ? FrameCoder::Huffman : FrameCoder::Deflate, frame, size);
}

LRESULT FrameEncoder::Encode(const uint8_t* raw, FrameCoder coder, uint8_t* frame, std::size_t* size)
{
    DWORD flags = 0;
    ICCOMPRESS parameters{};
    parameters.lpbiInput = &input_;
    parameters.lpInput = const_cast<uint8_t*>(raw);
    parameters.lpbiOutput = &output_;
    parameters.lpOutput = frame;
    parameters.lpdwFlags = &flags;
    LRESULT result = CompressFrameWithCoder(instance_, parameters, coder);
    *size = result == ICERR_OK ? output_.biSizeImage : 0;
    return result;
}

FrameDecoder::FrameDecoder(const RawFormat& format, uint32_t width, int32_t height)
{
    BuildClampTable();
    BuildConversionTables();
    output_ = MakeFormat(width, height, format.compression, format.bitCount);
    instance_.picture = CreatePlanarPicture();
    const uint32_t rows = height < 0 ? uint32_t(-int64_t(height)) : uint32_t(height);
    if (!instance_.picture || !ResizePlanarPicture(*instance_.picture, width, rows)) {
        DestroyPlanarPicture(instance_.picture);
        throw std::bad_alloc();
    }
}

FrameDecoder::~FrameDecoder() { DestroyPlanarPicture(instance_.picture); }

LRESULT FrameDecoder::Decode(const uint8_t* frame, std::size_t size, uint8_t* raw)
{
    return DecompressFrame(frame, size, instance_, output_, raw);
}

std::string DescribeResult(LRESULT result)
{
    switch (result) {
    case ICERR_OK: return "ok";
    case ICERR_MEMORY: return "out of memory";
    case ICERR_BADFORMAT: return "format not supported";
    case ICERR_BADSIZE: return "picture size does not match";
    case ICERR_ERROR: return "damaged frame";
    default: return "error " + std::to_string(long(result));
    }
}
