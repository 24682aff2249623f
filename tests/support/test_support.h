// Shared helpers for the test programs: random pictures and real footage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/vfw.h"

std::vector<uint8_t> RandomBytes(std::size_t count, uint32_t seed);

// Frames of the sample clip decoded by ffmpeg into `pixelFormat` (an ffmpeg
// -pix_fmt name such as yuyv422, uyvy422 or bgr24), optionally through a
// filter (`-vf` argument, "" for none). Cached in the build tree. Returns an
// empty vector when ffmpeg is missing; tests then skip.
std::vector<uint8_t> SampleFrames(const std::string& pixelFormat, int frames, const std::string& filter = "");

// The sample clip shipped with the sources.
std::string SampleClipPath();
constexpr uint32_t SampleWidth = 720;
constexpr uint32_t SampleHeight = 405;

// A format header as hosts fill one in.
inline BITMAPINFOHEADER Header(uint32_t width, uint32_t height, DWORD compression, WORD bitCount, DWORD sizeImage)
{
    BITMAPINFOHEADER format{};
    format.biSize = sizeof format;
    format.biWidth = LONG(width);
    format.biHeight = LONG(height);
    format.biPlanes = 1;
    format.biBitCount = bitCount;
    format.biCompression = compression;
    format.biSizeImage = sizeImage;
    return format;
}
