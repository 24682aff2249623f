// RGB output: each chroma sample serves the pixel pair it was filtered from.
#include "colour.h"

namespace {

// Two pixels per chroma pair: the chroma contributions are looked up once.
template <ptrdiff_t Step>
void ConvertRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t width)
{
    const ConversionTables& t = conversionTables;
    const uint8_t* const clamp = ClampTable;
    const uint32_t pairs = width / 2;
    // Width 1 has no chroma row: neutral chroma gives grey.
    int32_t red = t.RFromV[128], green = t.GFromU[128] + t.GFromV[128], blue = t.BFromU[128];
    for (uint32_t k = 0; k < pairs; ++k, out += 2 * Step) {
        red = t.RFromV[v[k]];
        green = t.GFromU[u[k]] + t.GFromV[v[k]];
        blue = t.BFromU[u[k]];
        const int32_t l0 = t.RgbFromY[y[2 * k]], l1 = t.RgbFromY[y[2 * k + 1]];
        out[0] = clamp[(l0 + blue) >> 18];
        out[1] = clamp[(l0 + green) >> 18];
        out[2] = clamp[(l0 + red) >> 18];
        out[Step] = clamp[(l1 + blue) >> 18];
        out[Step + 1] = clamp[(l1 + green) >> 18];
        out[Step + 2] = clamp[(l1 + red) >> 18];
    }
    if (width & 1) {
        // The odd last pixel has no chroma of its own; it keeps the last pair's.
        const int32_t l = t.RgbFromY[y[width - 1]];
        out[0] = clamp[(l + blue) >> 18];
        out[1] = clamp[(l + green) >> 18];
        out[2] = clamp[(l + red) >> 18];
    }
}

template <ptrdiff_t Step>
void ConvertPicture(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t rowStep)
{
    const uint32_t width = picture.width, half = width >> 1;
    for (uint32_t r = 0; r < picture.height; ++r) {
        ConvertRow<Step>(picture.yPlane + std::size_t(r) * width, picture.uPlane + std::size_t(r) * half,
                         picture.vPlane + std::size_t(r) * half, destination + ptrdiff_t(r) * rowStep, width);
    }
}

} // namespace

void ConvertPlanarToRgb(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t pixelStep, ptrdiff_t rowStep)
{
    if (pixelStep == 4) {
        ConvertPicture<4>(picture, destination, rowStep);
    } else {
        ConvertPicture<3>(picture, destination, rowStep);
    }
}
