#include "colour_reference.h"

#include "platform/memory.h"

namespace {

// Saturation by limiting the index, the other way round from the wide table
// the fast kernels use.
uint8_t Clamp(int32_t x)
{
    if (x < -256) return 0;
    if (x > 511) return 255;
    return ClampTable[x];
}

// Mirrors an out-of-row tap back inside 0..last, at either end, as often as
// needed (twice for the one output of widths 2 and 3).
int32_t MirrorTap(int32_t index, int32_t last)
{
    while (index < 0 || index > last) index = index < 0 ? -index : 2 * last - index;
    return index;
}

} // namespace

void DecimateChromaRowReference(const uint8_t* source, uint8_t* destination, uint32_t width)
{
    static const int32_t weights[6] = {-127, 1977, 14534, 14534, 1977, -127};
    const int32_t outputs = static_cast<int32_t>(width / 2);
    // The right-hand mirror is s[2n - 1], which for odd widths leaves out s[w - 1].
    const int32_t last = 2 * outputs - 1;
    for (int32_t k = 0; k < outputs; ++k) {
        int32_t sum = 0;
        for (int32_t t = 0; t < 6; ++t) sum += weights[t] * source[MirrorTap(2 * k - 2 + t, last)];
        destination[k] = Clamp((sum + 16384) >> 15);
    }
}

bool ConvertRgbToPlanarReference(const uint8_t* source, PlanarPicture& picture, ptrdiff_t pixelStep,
                                 ptrdiff_t rowStep)
{
    const uint32_t width = picture.width, height = picture.height;
    const std::size_t planeSize = std::size_t(width) * height;
    uint8_t* scratch = static_cast<uint8_t*>(AllocateMemory(2 * planeSize));
    if (!scratch) return false;
    const ConversionTables& t = conversionTables;
    for (uint32_t r = 0; r < height; ++r) {
        for (uint32_t j = 0; j < width; ++j) {
            const uint8_t* p = source + ptrdiff_t(r) * rowStep + ptrdiff_t(j) * pixelStep;
            const uint8_t b = p[0], g = p[1], red = p[2];
            const std::size_t at = std::size_t(r) * width + j;
            picture.yPlane[at] = Clamp((t.YFromB[b] + t.YFromG[g] + t.YFromR[red]) >> 18);
            scratch[at] = Clamp((t.UFromB[b] + t.UFromG[g] + t.UFromR[red]) >> 18);
            scratch[planeSize + at] = Clamp((t.VFromB[b] + t.VFromG[g] + t.VFromR[red]) >> 18);
        }
    }
    const uint32_t half = width >> 1;
    for (uint32_t r = 0; r < height; ++r) {
        DecimateChromaRowReference(scratch + std::size_t(r) * width, picture.uPlane + std::size_t(r) * half, width);
        DecimateChromaRowReference(scratch + planeSize + std::size_t(r) * width,
                                   picture.vPlane + std::size_t(r) * half, width);
    }
    FreeMemory(scratch);
    return true;
}

void ConvertPlanarToRgbReference(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t pixelStep,
                                 ptrdiff_t rowStep)
{
    const uint32_t width = picture.width, half = width >> 1;
    const ConversionTables& t = conversionTables;
    for (uint32_t r = 0; r < picture.height; ++r) {
        for (uint32_t j = 0; j < width; ++j) {
            const uint8_t y = picture.yPlane[std::size_t(r) * width + j];
            uint8_t u = 128, v = 128; // width 1: no chroma, neutral
            if (half != 0) {
                const uint32_t k = j / 2 < half ? j / 2 : half - 1;
                u = picture.uPlane[std::size_t(r) * half + k];
                v = picture.vPlane[std::size_t(r) * half + k];
            }
            const int32_t l = t.RgbFromY[y];
            uint8_t* p = destination + ptrdiff_t(r) * rowStep + ptrdiff_t(j) * pixelStep;
            p[2] = Clamp((l + t.RFromV[v]) >> 18);
            p[1] = Clamp((l + t.GFromU[u] + t.GFromV[v]) >> 18);
            p[0] = Clamp((l + t.BFromU[u]) >> 18);
        }
    }
}
