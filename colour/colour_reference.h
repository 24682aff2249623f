// Plain, per-sample versions of the colour kernels: every sample computed
// from the formulas on its own, with no pairing, no row scratch and explicit
// mirroring and saturation. The tests hold the fast kernels to these byte for
// byte; nothing in the codec calls them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "colour_internal.h"

// Same contract as ConvertRgbToPlanar, with a whole-frame chroma scratch.
bool ConvertRgbToPlanarReference(const uint8_t* source, PlanarPicture& picture, ptrdiff_t pixelStep,
                                 ptrdiff_t rowStep);
void ConvertPlanarToRgbReference(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t pixelStep,
                                 ptrdiff_t rowStep);
void DecimateChromaRowReference(const uint8_t* source, uint8_t* destination, uint32_t width);
