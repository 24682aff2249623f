#include "planar_picture.h"

#include <cstring>

#include "median.h"
#include "platform/memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {
// One row of pixel pairs; `s` points at the row's first luma byte. The
// vector loop handles 16 pixels (32 bytes) at a time; yOffset selects the
// layout (YUY2: luma in even bytes; UYVY: luma in odd bytes).
void UnpackRow(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t pairs, uint32_t yOffset,
               uint32_t uOffset)
{
    uint32_t k = 0;
#if defined(__SSE2__)
    const __m128i low = _mm_set1_epi16(0x00FF);
    for (; k + 8 <= pairs; k += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * k + 16));
        const __m128i even = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
        const __m128i odd = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
        const __m128i luma = yOffset == 0 ? even : odd;
        const __m128i chroma = yOffset == 0 ? odd : even; // U, V, U, V, ...
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 2 * k), luma);
        const __m128i us = _mm_packus_epi16(_mm_and_si128(chroma, low), _mm_setzero_si128());
        const __m128i vs = _mm_packus_epi16(_mm_srli_epi16(chroma, 8), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + k), us);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + k), vs);
    }
#endif
    const uint8_t* s = row + yOffset + 4 * k;
    const ptrdiff_t chroma = ptrdiff_t(uOffset) - ptrdiff_t(yOffset);
    for (; k < pairs; ++k, s += 4) {
        y[2 * k] = s[0];
        y[2 * k + 1] = s[2];
        u[k] = s[chroma];
        v[k] = s[chroma + 2];
    }
}

void PackRow(uint8_t* row, const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t pairs, uint32_t yOffset,
             uint32_t uOffset)
{
    uint32_t k = 0;
#if defined(__SSE2__)
    for (; k + 8 <= pairs; k += 8) {
        const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * k));
        const __m128i chroma = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + k)),
                                                 _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + k)));
        const __m128i a = yOffset == 0 ? _mm_unpacklo_epi8(luma, chroma) : _mm_unpacklo_epi8(chroma, luma);
        const __m128i b = yOffset == 0 ? _mm_unpackhi_epi8(luma, chroma) : _mm_unpackhi_epi8(chroma, luma);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 4 * k), a);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 4 * k + 16), b);
    }
#endif
    uint8_t* s = row + yOffset + 4 * k;
    const ptrdiff_t chroma = ptrdiff_t(uOffset) - ptrdiff_t(yOffset);
    for (; k < pairs; ++k, s += 4) {
        s[0] = y[2 * k];
        s[2] = y[2 * k + 1];
        s[chroma] = u[k];
        s[chroma + 2] = v[k];
    }
}
} // namespace

void PackedToPlanar(PlanarPicture& picture, const uint8_t* source, ptrdiff_t rowStep, uint32_t yOffset,
                    uint32_t uOffset)
{
    for (uint32_t r = 0; r < picture.height; ++r)
        UnpackRow(source + ptrdiff_t(r) * rowStep, picture.yPlane + std::size_t(r) * picture.yRowLength,
                  picture.uPlane + std::size_t(r) * picture.chromaRowLength,
                  picture.vPlane + std::size_t(r) * picture.chromaRowLength, picture.width >> 1, yOffset, uOffset);
}

void PlanarToPacked(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t rowStep, uint32_t yOffset,
                    uint32_t uOffset)
{
    for (uint32_t r = 0; r < picture.height; ++r)
        PackRow(destination + ptrdiff_t(r) * rowStep, picture.yPlane + std::size_t(r) * picture.yRowLength,
                picture.uPlane + std::size_t(r) * picture.chromaRowLength,
                picture.vPlane + std::size_t(r) * picture.chromaRowLength, picture.width >> 1, yOffset, uOffset);
}
