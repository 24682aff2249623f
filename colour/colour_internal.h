// Derived tables and kernel choices private to the colour code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "colour.h"

// SSE2 is part of every x86 target the codec builds for (-msse2 on i686);
// KESTRUN_COLOUR_NO_SIMD builds the portable kernels there for testing.
#if !defined(KESTRUN_COLOUR_NO_SIMD) && \
    (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#define KESTRUN_COLOUR_SSE2 1
#endif
// AVX2 kernels are compiled per function (GCC and Clang target attributes)
// and chosen at run time, so the build itself stays at SSE2.
#if defined(KESTRUN_COLOUR_SSE2) && defined(__GNUC__)
#define KESTRUN_COLOUR_AVX2 1
#endif

// Whether the processor runs the AVX2 kernels; asked once per process.
bool Avx2Available();
// Tests set these to run the SSE2 chroma halving and RGB input kernels where
// AVX2 would be used.
inline bool forceSse2Decimation = false;
inline bool forceSse2RgbInput = false;

// The nine forward tables regrouped by input sample: entry [c][i] holds the
// Y, U and V contributions of value i of channel c (0 blue, 1 green, 2 red)
// and a zero, so that one pixel is three 16-byte loads and two vector adds.
// Filled from conversionTables by BuildConversionTables.
struct alignas(16) ForwardContribution {
    int32_t y, u, v, zero;
};
extern ForwardContribution forwardContributions[3][256];

// The inverse chroma tables regrouped by sample: entry [0][u] holds
// {BFromU, GFromU, 0, 0} and entry [1][v] {0, GFromV, RFromV, 0}, so that
// one 16-byte add gives a pixel pair's blue, green and red offsets in output
// byte order. Filled from conversionTables by BuildConversionTables.
struct alignas(16) ChromaContribution {
    int32_t blue, green, red, zero;
};
extern ChromaContribution chromaContributions[2][256];

// The planar-to-RGB kernels. ConvertPlanarToRgb runs the fastest one the
// processor has; the tests run each against the reference. Avx512 differs
// from Avx2 in RGB32 only, where byte-masked stores leave the fourth bytes
// untouched instead of writing back the values read.
enum class RgbKernel { Portable, Sse2, Avx2, Avx512 };
bool RgbKernelAvailable(RgbKernel kernel);
// As ConvertPlanarToRgb, with the given kernel, which must be available.
void ConvertPlanarToRgbWith(RgbKernel kernel, const PlanarPicture& picture, uint8_t* destination, ptrdiff_t pixelStep,
                            ptrdiff_t rowStep);
