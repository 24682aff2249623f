#include "median.h"
#include "planar_picture.h"

// The forward pass walks right to left so that row[x - 1] still holds its
// input value when row[x] is predicted; the rows go last to first for the
// same reason.
void MedianPredictRow(uint8_t* row, const uint8_t* previousRow, uint32_t count)
{
    for (uint32_t x = count - 1; x >= 1; --x)
        row[x] = uint8_t(row[x] - MedianPrediction(row[x - 1], previousRow[x], previousRow[x - 1]));
    row[0] = uint8_t(row[0] - previousRow[0]);
}

void MedianRestoreRow(uint8_t* row, const uint8_t* previousRow, uint32_t count)
{
    row[0] = uint8_t(row[0] + previousRow[0]);
    uint8_t left = row[0];
    for (uint32_t x = 1; x < count; ++x) {
        left = uint8_t(row[x] + MedianPrediction(left, previousRow[x], previousRow[x - 1]));
        row[x] = left;
    }
}

void MedianTransformPlane(uint8_t* plane, uint32_t rowLength, uint32_t rows)
{
    if (rowLength == 0 || rows == 0) return;
    for (uint32_t r = rows - 1; r >= 1; --r)
        MedianPredictRow(plane + std::size_t(r) * rowLength, plane + std::size_t(r - 1) * rowLength, rowLength);
    for (uint32_t x = rowLength - 1; x >= 1; --x) plane[x] = uint8_t(plane[x] - plane[x - 1]);
}

void MedianRestorePlane(uint8_t* plane, uint32_t rowLength, uint32_t rows)
{
    if (rowLength == 0 || rows == 0) return;
    for (uint32_t x = 1; x < rowLength; ++x) plane[x] = uint8_t(plane[x] + plane[x - 1]);
    for (uint32_t r = 1; r < rows; ++r)
        MedianRestoreRow(plane + std::size_t(r) * rowLength, plane + std::size_t(r - 1) * rowLength, rowLength);
}

void MedianTransformPicture(PlanarPicture& picture)
{
    MedianTransformPlane(picture.yPlane, picture.width, picture.height);
    MedianTransformPlane(picture.uPlane, picture.chromaRowLength, picture.height);
    MedianTransformPlane(picture.vPlane, picture.chromaRowLength, picture.height);
}

void MedianRestorePicture(PlanarPicture& picture)
{
    MedianRestorePlane(picture.yPlane, picture.width, picture.height);
    MedianRestorePlane(picture.uPlane, picture.chromaRowLength, picture.height);
    MedianRestorePlane(picture.vPlane, picture.chromaRowLength, picture.height);
}
