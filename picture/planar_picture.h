// The working form of one frame: Y, U and V planes of 8-bit samples in one
// allocation of 2 x width x height bytes (4:2:2, chroma at half horizontal
// resolution, full vertical resolution). Row 0 is the bottom row of the image.
//
//   buffer: | Y: width x height | U: (width>>1) x height | V: (width>>1) x height | odd width: height spare bytes |
//
// For an odd width the last `height` bytes belong to no plane; the frame
// compressor zeroes them so that they code deterministically.
#pragma once

#include <cstddef>
#include <cstdint>

struct PlanarPicture {
    uint32_t width;
    uint32_t height;
    uint32_t yRowLength;      // always equal to width
    uint32_t chromaRowLength; // width >> 1
    uint8_t* buffer;          // owned: 2 x width x height bytes
    uint8_t* yPlane;          // == buffer
    uint8_t* uPlane;          // yPlane + yRowLength x height
    uint8_t* vPlane;          // uPlane + chromaRowLength x height
    uint8_t allocated;        // 1 while buffer is owned and the plane pointers are valid
};

// The largest picture the codec takes: 2 x width x height must stay well
// inside 32 bits (frame sizes, zlib's 32-bit counters, worst-case sizes).
constexpr uint32_t MaxPictureDimension = 32768;
constexpr uint64_t MaxPictureBytes = uint64_t(1) << 30;

// True when width and height give a picture the frame code can work on:
// at least 2 x 1 (the transform needs a chroma sample per row), and no
// larger than the limits above.
bool IsCodablePictureSize(uint32_t width, uint32_t height);

inline std::size_t PictureBytes(uint32_t width, uint32_t height)
{
    return std::size_t(2) * width * height;
}

// Creates an empty holder (every field zero, no planes); null on failure.
PlanarPicture* CreatePlanarPicture();
// Releases the planes and the holder itself; null is allowed.
void DestroyPlanarPicture(PlanarPicture* picture);
// Frees the planes when owned and zeroes every field.
void ReleasePlanarPicture(PlanarPicture& picture);

// (Re)allocates the planes for width x height. Keeps the buffer and its
// content when the size is unchanged. Returns false, leaving the picture
// empty (allocated 0), when the allocation fails or the size is not codable.
bool ResizePlanarPicture(PlanarPicture& picture, uint32_t width, uint32_t height);

// Rows first to end - 1 of the picture's three planes, as a picture of their
// own that shares the buffer (and owns nothing).
PlanarPicture PictureBand(const PlanarPicture& picture, uint32_t first, uint32_t end);
