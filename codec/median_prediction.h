// The median predictor shared by the transform's reference and fast kernels.
#pragma once

#include <cstdint>

// The middle value of L, P and G = L + P - Q (mod 256), compared unsigned.
inline uint8_t MedianPrediction(uint8_t left, uint8_t above, uint8_t aboveLeft)
{
    const uint8_t gradient = uint8_t(left + above - aboveLeft);
    const uint8_t low = left < above ? left : above;
    const uint8_t high = left < above ? above : left;
    return gradient < low ? low : (gradient > high ? high : gradient);
}
