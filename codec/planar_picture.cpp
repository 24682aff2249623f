#include "planar_picture.h"

#include <cstring>

#include "median.h"
#include "platform/memory.h"

bool IsCodablePictureSize(uint32_t width, uint32_t height)
{
    return width >= 2 && height >= 1 && width <= MaxPictureDimension && height <= MaxPictureDimension &&
           uint64_t(2) * width * height <= MaxPictureBytes;
}

PlanarPicture* CreatePlanarPicture()
{
    return AllocateZeroedArray<PlanarPicture>(1);
}

void ReleasePlanarPicture(PlanarPicture& picture)
{
    if (picture.allocated) FreeMemory(picture.buffer);
    std::memset(&picture, 0, sizeof picture);
}

void DestroyPlanarPicture(PlanarPicture* picture)
{
    if (!picture) return;
    ReleasePlanarPicture(*picture);
    FreeMemory(picture);
}

bool ResizePlanarPicture(PlanarPicture& picture, uint32_t width, uint32_t height)
{
    if (picture.allocated && picture.width == width && picture.height == height) return true;
    ReleasePlanarPicture(picture);
    if (!IsCodablePictureSize(width, height)) return false;

    auto* buffer = static_cast<uint8_t*>(AllocateMemory(PictureBytes(width, height)));
    if (!buffer) return false;
    picture.width = width;
    picture.height = height;
    picture.yRowLength = width;
    picture.chromaRowLength = width >> 1;
    picture.buffer = buffer;
    picture.yPlane = buffer;
    picture.uPlane = picture.yPlane + std::size_t(picture.yRowLength) * height;
    picture.vPlane = picture.uPlane + std::size_t(picture.chromaRowLength) * height;
    picture.allocated = 1;
    return true;
}

void PackedToPlanar(PlanarPicture& picture, const uint8_t* source, ptrdiff_t rowStep, uint32_t yOffset,
                    uint32_t uOffset)
{
    const uint32_t pairs = picture.width >> 1;
    const ptrdiff_t chroma = ptrdiff_t(uOffset) - ptrdiff_t(yOffset);
    for (uint32_t r = 0; r < picture.height; ++r) {
        const uint8_t* s = source + ptrdiff_t(yOffset) + ptrdiff_t(r) * rowStep;
        uint8_t* y = picture.yPlane + std::size_t(r) * picture.yRowLength;
        uint8_t* u = picture.uPlane + std::size_t(r) * picture.chromaRowLength;
        uint8_t* v = picture.vPlane + std::size_t(r) * picture.chromaRowLength;
        for (uint32_t k = 0; k < pairs; ++k, s += 4) {
            y[2 * k] = s[0];
            y[2 * k + 1] = s[2];
            u[k] = s[chroma];
            v[k] = s[chroma + 2];
        }
    }
}

void PlanarToPacked(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t rowStep, uint32_t yOffset,
                    uint32_t uOffset)
{
    const uint32_t pairs = picture.width >> 1;
    const ptrdiff_t chroma = ptrdiff_t(uOffset) - ptrdiff_t(yOffset);
    for (uint32_t r = 0; r < picture.height; ++r) {
        uint8_t* s = destination + ptrdiff_t(yOffset) + ptrdiff_t(r) * rowStep;
        const uint8_t* y = picture.yPlane + std::size_t(r) * picture.yRowLength;
        const uint8_t* u = picture.uPlane + std::size_t(r) * picture.chromaRowLength;
        const uint8_t* v = picture.vPlane + std::size_t(r) * picture.chromaRowLength;
        for (uint32_t k = 0; k < pairs; ++k, s += 4) {
            s[0] = y[2 * k];
            s[2] = y[2 * k + 1];
            s[chroma] = u[k];
            s[chroma + 2] = v[k];
        }
    }
}
