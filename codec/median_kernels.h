// The transform's kernels, for the kernel check and the bench.
#pragma once

#include <cstdint>
#include <span>

#include "platform/cpu.h"

// Forward: one row from the one below it in the plane.
using PredictRowKernel = void (*)(uint8_t* row, const uint8_t* previousRow, uint32_t count);
std::span<const Kernel<PredictRowKernel>> MedianPredictKernels();
void MedianTransformPlaneWith(PredictRowKernel kernel, uint8_t* plane, uint32_t rowLength, uint32_t rows);

// Inverse: MedianRestorePlaneRows with the kernel's own wavefronts.
using RestoreRowsKernel = void (*)(uint8_t* plane, uint32_t rowLength, uint32_t firstRow, uint32_t endRow);
std::span<const Kernel<RestoreRowsKernel>> MedianRestoreKernels();
