// One worker's frame coder for the tool: an instance with its picture,
// driven through the same frame functions as the driver, so the tool writes
// exactly the frames a Video for Windows host gets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/frame.h"

// A raw picture layout the tool reads or writes.
struct RawFormat {
    std::string name;  // yuy2, uyvy, rgb24, rgb32
    DWORD compression; // FourccYUY2, FourccUYVY or BI_RGB
    WORD bitCount;
    uint32_t bytesPerPixel;
};
// Null when `name` is not a known format.
const RawFormat* FindRawFormat(const std::string& name);

BITMAPINFOHEADER MakeFormat(uint32_t width, int32_t height, DWORD compression, WORD bitCount);

// Checks that the codec takes this size in this format; the message says why not.
bool CheckPictureSize(const RawFormat& format, uint32_t width, uint32_t height, std::string* why);

class FrameEncoder {
public:
    // `topDown` takes RGB24 rows top row first (packed 4:2:2 always is).
    FrameEncoder(const RawFormat& format, uint32_t width, uint32_t height, bool topDown = false);
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;
    // The room one compressed frame needs (WorstCaseFrameSize).
    std::size_t FrameCapacity() const { return WorstCaseFrameSize(width_, height_); }
    // Compresses one raw frame into `frame` (FrameCapacity() bytes of room)
    // as a host does with this quality; *size gets the frame's length.
    LRESULT Encode(const uint8_t* raw, uint32_t quality, uint8_t* frame, std::size_t* size);
    // The same with the coder named instead of picked by quality.
    LRESULT Encode(const uint8_t* raw, FrameCoder coder, uint8_t* frame, std::size_t* size);

private:
    CodecInstance instance_{};
    BITMAPINFOHEADER input_;
    BITMAPINFOHEADER output_;
    uint32_t width_, height_;
};

class FrameDecoder {
public:
    // A negative height asks for top-down RGB output.
    FrameDecoder(const RawFormat& format, uint32_t width, int32_t height);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;
    LRESULT Decode(const uint8_t* frame, std::size_t size, uint8_t* raw);

private:
    CodecInstance instance_{};
    BITMAPINFOHEADER output_;
};

std::string DescribeResult(LRESULT result);
