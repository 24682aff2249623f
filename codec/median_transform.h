// The median-prediction transform: each sample minus the median of its left
// neighbour L, the one above P and the gradient L + P - Q (Q above-left),
// modulo 256, and the exact inverse. Planes are rows of `rowLength` samples,
// row 0 first (the bottom row of the image); row 0 predicts from the left
// alone, the first sample of every other row from the one above.
#pragma once

#include <cstdint>

#include "picture/planar_picture.h"

// One row from the previous one (count >= 1): the plain sample-by-sample
// forms. The forward row runs right to left so that its left neighbours are
// still input values.
void MedianPredictRow(uint8_t* row, const uint8_t* previousRow, uint32_t count);
void MedianRestoreRow(uint8_t* row, const uint8_t* previousRow, uint32_t count);

// A whole plane in place, through the fastest kernels the processor runs.
void MedianTransformPlane(uint8_t* plane, uint32_t rowLength, uint32_t rows);
void MedianRestorePlane(uint8_t* plane, uint32_t rowLength, uint32_t rows);
// Restores rows firstRow to endRow - 1 of a plane whose rows below firstRow
// are restored already: a plane restored band after band, bottom up, ends
// exactly as MedianRestorePlane leaves it.
void MedianRestorePlaneRows(uint8_t* plane, uint32_t rowLength, uint32_t firstRow, uint32_t endRow);

// The three planes in the order Y, U, V.
void MedianTransformPicture(PlanarPicture& picture);
void MedianRestorePicture(PlanarPicture& picture);
