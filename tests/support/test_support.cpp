#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

std::vector<uint8_t> RandomBytes(std::size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<uint8_t>(generator() >> 24);
    return bytes;
}

std::string SampleClipPath() { return std::string(KESTRUN_SOURCE_DIR) + "/samples/city-720x405.mpg"; }

std::vector<uint8_t> SampleFrames(const std::string& pixelFormat, int frames, const std::string& filter)
{
    // The filter's FNV-1a hash, the same in every build: the Windows test
    // programs under Wine, 32-bit ones too, read the caches the Linux ones wrote.
    uint64_t hash = 14695981039346656037u;
    for (unsigned char c : filter) hash = (hash ^ c) * 1099511628211u;
    std::string key = pixelFormat + "-" + std::to_string(frames) + "-" + std::to_string(hash);
#if defined(KESTRUN_BINARY_DIR)
    // Cached in the build tree, whatever directory the tests run in.
    std::string cache = std::string(KESTRUN_BINARY_DIR) + "/sample-" + key + ".raw";
#else
    std::string cache = "sample-" + key + ".raw";
#endif
    std::ifstream cached(cache, std::ios::binary);
    if (!cached) {
        std::string command = "ffmpeg -nostdin -v quiet -y -i '" + SampleClipPath() + "' -frames:v " +
                              std::to_string(frames) + (filter.empty() ? "" : " -vf '" + filter + "'") +
                              " -pix_fmt " + pixelFormat + " -f rawvideo '" + cache + ".part' && mv '" + cache +
                              ".part' '" + cache + "'";
        if (std::system(command.c_str()) != 0) return {};
        cached.open(cache, std::ios::binary);
        if (!cached) return {};
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(cached), std::istreambuf_iterator<char>());
}
