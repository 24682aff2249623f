#include "frame_codec.h"

#include <cinttypes>
#include <cstdio>
#include <new>

const RawFormat* FindRawFormat(const std::string& name)
{
    static const RawFormat formats[] = {
        {"yuy2", PixelLayout::Yuy2, 2},
        {"uyvy", PixelLayout::Uyvy, 2},
        {"rgb24", PixelLayout::Rgb24, 3},
        {"rgb32", PixelLayout::Rgb32, 4},
    };
    for (const auto& format : formats)
        if (format.name == name) return &format;
    return nullptr;
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
    if (!format.IsRgb() && width % 2 != 0) {
        *why = "packed 4:2:2 (" + format.name + ") needs an even width";
        return false;
    }
    return true;
}

namespace {
FrameFormat FormatOf(const RawFormat& format, uint32_t width, uint32_t height, RowOrder rowOrder)
{
    return {width, height, format.layout, format.IsRgb() ? rowOrder : RowOrder::TopDown};
}

void SizePicture(PlanarPicture& picture, uint32_t width, uint32_t height)
{
    if (!ResizePlanarPicture(picture, width, height)) throw std::bad_alloc();
}
} // namespace

FrameEncoder::FrameEncoder(const RawFormat& format, uint32_t width, uint32_t height, RowOrder rowOrder)
    : format_(FormatOf(format, width, height, rowOrder))
{
    SizePicture(picture_, width, height);
}

FrameEncoder::~FrameEncoder() { ReleasePlanarPicture(picture_); }

CodecResult FrameEncoder::Encode(const uint8_t* raw, FrameCoder coder, uint8_t* frame, std::size_t* size)
{
    return CompressFrame(picture_, format_, raw, RawPictureBytes(format_), coder, frame, FrameCapacity(), size);
}

FrameDecoder::FrameDecoder(const RawFormat& format, uint32_t width, uint32_t height, RowOrder rowOrder)
    : format_(FormatOf(format, width, height, rowOrder))
{
    SizePicture(picture_, width, height);
}

FrameDecoder::~FrameDecoder() { ReleasePlanarPicture(picture_); }

CodecResult FrameDecoder::Decode(const uint8_t* frame, std::size_t size, uint8_t* raw, FrameReport* report)
{
    return DecompressFrame(picture_, frame, size, format_, raw, RawPictureBytes(format_), report);
}

std::string DescribeResult(CodecResult result)
{
    if (IsDamage(result)) return "damaged frame";
    switch (result) {
    case CodecResult::Ok: return "ok";
    case CodecResult::OutOfMemory: return "out of memory";
    case CodecResult::UnsupportedFormat: return "format not supported";
    case CodecResult::NoPicture: return "picture size does not match";
    case CodecResult::BufferTooSmall: return "buffer too small";
    default: return "error " + std::to_string(int(result));
    }
}

std::string TagText(uint32_t tag)
{
    if (tag == FrameTagHuffman) return "HUFY";
    if (tag == FrameTagDeflate) return "LZYV";
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, tag);
    return text;
}
