// Derived tables private to the colour kernels.
#pragma once

#include <cstdint>

// The nine forward tables regrouped by input sample: entry [c][i] holds the
// Y, U and V contributions of value i of channel c (0 blue, 1 green, 2 red)
// and a zero, so that one pixel is three 16-byte loads and two vector adds.
// Filled from conversionTables by BuildConversionTables.
struct alignas(16) ForwardContribution {
    int32_t y, u, v, zero;
};
extern ForwardContribution forwardContributions[3][256];
