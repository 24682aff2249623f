// Shared helpers for the test programs: random pictures and real footage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
