// The transform one sample at a time, exactly as it is defined: the
// reference the fast kernels are checked against (tests and bench only).
#pragma once

#include <cstdint>

void MedianTransformPlaneReference(uint8_t* plane, uint32_t rowLength, uint32_t rows);
void MedianRestorePlaneReference(uint8_t* plane, uint32_t rowLength, uint32_t rows);
