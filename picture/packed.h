// Copies between the planar picture and the packed 4:2:2 layouts:
//
//   YUY2: Y0 U Y1 V   (yOffset 0, uOffset 1)
//   UYVY: U Y0 V Y1   (yOffset 1, uOffset 0)
//
// `source`/`destination` point at the packed row of planar row 0; `rowStep`
// is added once per row. uOffset is always 1 - yOffset. The copies work on
// whole pixel pairs: for an odd width the last pixel of each row is left out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "planar_picture.h"

void PackedToPlanar(PlanarPicture& picture, const uint8_t* source, ptrdiff_t rowStep, uint32_t yOffset,
                    uint32_t uOffset);
void PlanarToPacked(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t rowStep, uint32_t yOffset,
                    uint32_t uOffset);
