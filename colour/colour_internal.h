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
// The RGB input kernels (the conversion of a row and the chroma halving)
// come in three levels, fastest last: Baseline is SSE2 where the build has
// it, else portable code; Avx512 needs AVX-512 BW, VBMI and VNNI. Each runs
// the fastest level the processor has, no faster than its ceiling, which
// tests lower to run the others.
enum class KernelLevel { Baseline, Avx2, Avx512 };
inline KernelLevel rgbInputCeiling = KernelLevel::Avx512;
inline KernelLevel decimationCeiling = KernelLevel::Avx512;
bool KernelLevelAvailable(KernelLevel level);
// One row of B, G, R pixels (3 bytes apart) to Y, U and V at full
// resolution with the given kernel, which must be available.
void ConvertRgbRowWith(KernelLevel kernel, const uint8_t* pixels, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t width);

// Sums of table entries as integer arithmetic, for the AVX-512 kernels.
// Per output: A = K1 x1 + K2 x2 + K3 x3 + K0 over the input bytes, with each
// K written as three signed base-256 digits so that byte dot products
// ((x1, x2, x3, 1) against one digit of each) build A 8 bits at a time.
// A - guard never exceeds the output's sum of table entries, taken to A's
// fraction bits, and falls short of it by at most the guard. So wherever
// the fraction bits of A above the guard's are not all zero, A shifted
// right by its fraction bits is the sum shifted right by 18, the table
// result; elsewhere the tables decide. Filled by BuildConversionTables;
// `usable` is false if the tables ever left the arithmetic's range.
struct LinearSums {
    bool usable;
    uint32_t digits[3][3]; // [output][digit, most significant first]: bytes K1, K2, K3 and K0's digit
    int32_t top[3];        // K0 beyond its three digits, in units of 65536: where the sum starts
};
// Y, U and V from (B, G, R, 1), an unsigned A with 23 fraction bits.
constexpr int ForwardFractionBits = 23;
constexpr int64_t ForwardGuard = int64_t(1) << 9;
extern LinearSums forwardLinear;
// Blue, green and red from (Y, U, V, 1), a signed A with 21 fraction bits:
// its range, -277 to 534, would not fit 32 bits at 23.
constexpr int InverseFractionBits = 21;
constexpr int64_t InverseGuard = int64_t(1) << 9;
extern LinearSums inverseLinear;

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
// processor has; the tests run each against the reference. Avx512 (with
// VBMI) does sixteen pixels a step with byte-masked stores; in RGB32 they
// leave the fourth bytes untouched instead of writing back the values read.
// Avx512Linear (with VNNI as well) computes the channels from
// inverseLinear instead of looking up the tables.
enum class RgbKernel { Portable, Sse2, Avx2, Avx512, Avx512Linear };
bool RgbKernelAvailable(RgbKernel kernel);
// As ConvertPlanarToRgb, with the given kernel, which must be available.
void ConvertPlanarToRgbWith(RgbKernel kernel, const PlanarPicture& picture, uint8_t* destination, ptrdiff_t pixelStep,
                            ptrdiff_t rowStep);
