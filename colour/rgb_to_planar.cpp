// RGB input: full-resolution Y, U and V, then the six-tap chroma halving.
#include "colour.h"

#include "../platform/memory.h"

namespace {

constexpr int32_t Centre = 14534, Near = 1977, Far = -127;
// The first and last outputs with their out-of-row taps folded back in.
constexpr int32_t EdgeNear = Near + Centre, EdgeFar = Near + Far;
static_assert(2 * (Centre + Near + Far) == 32768, "the taps must keep a flat row flat");

inline uint8_t Filtered(int32_t sum) { return ClampTable[(sum + 16384) >> 15]; }

// One row of B, G, R pixels to Y in the picture and full-resolution U and V.
// The step is a template argument so that the common 3-byte case gets
// constant offsets.
template <ptrdiff_t FixedStep>
void ConvertRow(const uint8_t* pixel, ptrdiff_t pixelStep, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t width)
{
    const ptrdiff_t step = FixedStep != 0 ? FixedStep : pixelStep;
    const ConversionTables& t = conversionTables;
    const uint8_t* const clamp = ClampTable;
    for (uint32_t j = 0; j < width; ++j, pixel += step) {
        const uint8_t b = pixel[0], g = pixel[1], r = pixel[2];
        y[j] = clamp[(t.YFromB[b] + t.YFromG[g] + t.YFromR[r]) >> 18];
        u[j] = clamp[(t.UFromB[b] + t.UFromG[g] + t.UFromR[r]) >> 18];
        v[j] = clamp[(t.VFromB[b] + t.VFromG[g] + t.VFromR[r]) >> 18];
    }
}

} // namespace

void DecimateChromaRow(const uint8_t* s, uint8_t* d, uint32_t width)
{
    const uint32_t outputs = width / 2;
    if (outputs == 0) return;
    if (outputs == 1) {
        // Mirrored at both ends every pair of taps meets s[0] + s[1]: the
        // weights collapse to 16384 each.
        d[0] = Filtered(16384 * (s[0] + s[1]));
        return;
    }
    d[0] = Filtered(Centre * s[0] + EdgeNear * s[1] + EdgeFar * s[2] + Far * s[3]);
    const uint32_t last = outputs - 1;
    for (uint32_t k = 1; k < last; ++k) {
        const uint8_t* c = s + 2 * k;
        d[k] = Filtered(Centre * (c[0] + c[1]) + Near * (c[-1] + c[2]) + Far * (c[-2] + c[3]));
    }
    const uint8_t* c = s + 2 * last;
    d[last] = Filtered(EdgeFar * c[-1] + EdgeNear * c[0] + Centre * c[1] + Far * c[-2]);
}

void DecimateChromaPlane(uint8_t* destinationPlane, uint32_t width, const uint8_t* sourceRows, uint32_t rows)
{
    const uint32_t half = width >> 1;
    for (uint32_t r = 0; r < rows; ++r) {
        DecimateChromaRow(sourceRows + std::size_t(r) * width, destinationPlane + std::size_t(r) * half, width);
    }
}

bool ConvertRgbToPlanar(const uint8_t* source, PlanarPicture& picture, ptrdiff_t pixelStep, ptrdiff_t rowStep)
{
    const uint32_t width = picture.width, half = width >> 1;
    // Rows are filtered independently, so one row of U and V is all the
    // scratch needed; a whole-frame scratch would only add a second pass
    // over memory that has left the cache.
    uint8_t* scratch = static_cast<uint8_t*>(AllocateMemory(std::size_t(2) * width));
    if (!scratch) return false;
    uint8_t* const u = scratch;
    uint8_t* const v = scratch + width;
    for (uint32_t r = 0; r < picture.height; ++r) {
        const uint8_t* row = source + ptrdiff_t(r) * rowStep;
        uint8_t* const y = picture.yPlane + std::size_t(r) * width;
        if (pixelStep == 3) {
            ConvertRow<3>(row, 3, y, u, v, width);
        } else {
            ConvertRow<0>(row, pixelStep, y, u, v, width);
        }
        DecimateChromaRow(u, picture.uPlane + std::size_t(r) * half, width);
        DecimateChromaRow(v, picture.vPlane + std::size_t(r) * half, width);
    }
    FreeMemory(scratch);
    return true;
}
