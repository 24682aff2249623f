// One worker's frame coder for the tool: a working picture and a format,
// over the codec's core, so the tool writes exactly the frames a Video for
// Windows host gets from the driver.
#pragma once

#include <cstdint>
#include <string>

#include "codec/codec.h"

// A raw picture layout the tool reads or writes.
struct RawFormat {
    std::string name; // yuy2, uyvy, rgb24, rgb32
    PixelLayout layout;
    uint32_t bytesPerPixel;
    bool IsRgb() const { return !IsPacked(layout); }
};
// Null when `name` is not a known format.
const RawFormat* FindRawFormat(const std::string& name);

// Checks that the codec takes this size in this format; the message says why not.
bool CheckPictureSize(const RawFormat& format, uint32_t width, uint32_t height, std::string* why);

class FrameEncoder {
public:
    // `rowOrder` says how RGB24 rows lie (packed 4:2:2 is always top-down).
    FrameEncoder(const RawFormat& format, uint32_t width, uint32_t height, RowOrder rowOrder = RowOrder::BottomUp);
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;
    // The room one compressed frame needs (WorstCaseFrameSize).
    std::size_t FrameCapacity() const { return WorstCaseFrameSize(format_.width, format_.height); }
    // Compresses one raw frame into `frame` (FrameCapacity() bytes of room);
    // *size gets the frame's length.
    CodecResult Encode(const uint8_t* raw, FrameCoder coder, uint8_t* frame, std::size_t* size);

private:
    PlanarPicture picture_{};
    FrameFormat format_;
};

class FrameDecoder {
public:
    // `rowOrder` says how RGB rows are written (packed 4:2:2 is always top-down).
    FrameDecoder(const RawFormat& format, uint32_t width, uint32_t height, RowOrder rowOrder = RowOrder::BottomUp);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;
    std::size_t PictureBytes() const { return RawPictureBytes(format_); }
    // Decodes a frame of `size` bytes into `raw` (PictureBytes() bytes).
    CodecResult Decode(const uint8_t* frame, std::size_t size, uint8_t* raw, FrameReport* report = nullptr);

private:
    PlanarPicture picture_{};
    FrameFormat format_;
};

// A few words for a result that is not the frame's fault (out of memory,
// unsupported), or "damaged frame".
std::string DescribeResult(CodecResult result);
// The four-character tag as text: HUFY, LZYV, or its value in hex.
std::string TagText(uint32_t tag);
