#include "median_reference.h"

#include <cstddef>

#include "median_prediction.h"

// Rows last to first and each row right to left, so that every prediction
// reads input values.
void MedianTransformPlaneReference(uint8_t* plane, uint32_t rowLength, uint32_t rows)
{
    if (rowLength == 0 || rows == 0) return;
    for (uint32_t r = rows - 1; r >= 1; --r) {
        uint8_t* row = plane + std::size_t(r) * rowLength;
        const uint8_t* previous = row - rowLength;
        for (uint32_t x = rowLength - 1; x >= 1; --x)
            row[x] = uint8_t(row[x] - MedianPrediction(row[x - 1], previous[x], previous[x - 1]));
        row[0] = uint8_t(row[0] - previous[0]);
    }
    for (uint32_t x = rowLength - 1; x >= 1; --x) plane[x] = uint8_t(plane[x] - plane[x - 1]);
}

void MedianRestorePlaneReference(uint8_t* plane, uint32_t rowLength, uint32_t rows)
{
    if (rowLength == 0 || rows == 0) return;
    for (uint32_t x = 1; x < rowLength; ++x) plane[x] = uint8_t(plane[x] + plane[x - 1]);
    for (uint32_t r = 1; r < rows; ++r) {
        uint8_t* row = plane + std::size_t(r) * rowLength;
        const uint8_t* previous = row - rowLength;
        row[0] = uint8_t(row[0] + previous[0]);
        for (uint32_t x = 1; x < rowLength; ++x)
            row[x] = uint8_t(row[x] + MedianPrediction(row[x - 1], previous[x], previous[x - 1]));
    }
}
