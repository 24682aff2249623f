// The packing kernels, for the kernel check and the bench: each splits or
// joins one row of pixel pairs; yOffset (0 for YUY2, 1 for UYVY) picks the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "planar_picture.h"
#include "platform/cpu.h"

using RowUnpacker = void (*)(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t pairs, uint32_t yOffset);
using RowPacker = void (*)(uint8_t* row, const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t pairs,
                           uint32_t yOffset);
struct PackingKernel {
    RowUnpacker unpack;
    RowPacker pack;
};
std::span<const Kernel<PackingKernel>> PackingKernels();

// PackedToPlanar and PlanarToPacked through the given kernel.
void PackedToPlanarWith(const PackingKernel& kernel, PlanarPicture& picture, const uint8_t* source,
                        ptrdiff_t rowStep, uint32_t yOffset);
void PlanarToPackedWith(const PackingKernel& kernel, const PlanarPicture& picture, uint8_t* destination,
                        ptrdiff_t rowStep, uint32_t yOffset);
