#include "planar_picture.h"

#include <cstring>

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
    if (picture.allocated) FreeLargeMemory(picture.buffer, PictureBytes(picture.width, picture.height));
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

    auto* buffer = static_cast<uint8_t*>(AllocateLargeMemory(PictureBytes(width, height)));
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

PlanarPicture PictureBand(const PlanarPicture& picture, uint32_t first, uint32_t end)
{
    PlanarPicture band = picture;
    band.height = end - first;
    band.buffer = nullptr;
    band.allocated = 0;
    band.yPlane += std::size_t(first) * picture.yRowLength;
    band.uPlane += std::size_t(first) * picture.chromaRowLength;
    band.vPlane += std::size_t(first) * picture.chromaRowLength;
    return band;
}
