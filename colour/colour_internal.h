// The tables, their derived forms and the kernels, private to the colour
// code and open to its tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "colour.h"
#include "platform/cpu.h"

struct ConversionTables {
    // Forward: an 8-bit R, G or B sample to its scaled contribution.
    int32_t YFromR[256], YFromG[256], YFromB[256];
    int32_t UFromR[256], UFromG[256], UFromB[256];
    int32_t VFromR[256], VFromG[256], VFromB[256];
    // Inverse: an 8-bit Y, U or V sample to its scaled contribution.
    int32_t RgbFromY[256], RFromV[256], GFromU[256], GFromV[256], BFromU[256];
};

// 2^18 in single precision, set before the first driver message.
extern const float ConversionScale;

extern ConversionTables conversionTables;
// Saturating byte table addressed from -256 to 511: ClampTable[x] for x in range.
// Its storage reaches further, ClampTableFirst to ClampTableLast, so that any
// sum the RGB output can form (-277 to 534) saturates by look-up alone.
constexpr int ClampTableFirst = -512;
constexpr int ClampTableLast = 767;
extern const uint8_t* const ClampTable;
extern bool ConversionTablesBuilt;
extern bool ClampTableBuilt;

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
#if defined(KESTRUN_COLOUR_SSE2)
#define KESTRUN_COLOUR_BASELINE "sse2"
#else
#define KESTRUN_COLOUR_BASELINE "portable"
#endif

// Sums of table entries as integer arithmetic, for the AVX-512 VNNI and the
// AVX2 kernels. Per output: A = K1 x1 + K2 x2 + K3 x3 + K0 over the input
// bytes, with each K written as three signed base-256 digits so that byte dot
// products ((x1, x2, x3, 1) against one digit of each) build A 8 bits at a
// time, and whole for word products (linear_sums_avx2.h).
// A - guard never exceeds the output's sum of table entries, taken to A's
// fraction bits, and falls short of it by at most the guard. So wherever
// the fraction bits of A above the guard's are not all zero, A shifted
// right by its fraction bits is the sum shifted right by 18, the table
// result; elsewhere the tables decide. Filled by BuildConversionTables;
// `usable` is false if the tables ever left the arithmetic's range, or (for
// the inverse) the outputs' luma factors K1 differ.
struct LinearSums {
    bool usable;
    uint32_t digits[3][3]; // [output][digit, most significant first]: bytes K1, K2, K3 and K0's digit
    int32_t top[3];        // K0 beyond its three digits, in units of 65536: where the sum starts
    int32_t factors[3][4]; // [output]: K1, K2, K3 (each -2^23..2^23 - 1) and K0 modulo 2^32
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

// The kernels, each family's table from the portable or SSE2 baseline up;
// the conversions run the fastest the processor has, the kernel check each.
//
// RGB input, one row of B, G, R pixels to Y, U and V at full resolution:
// with pixels 3 bytes apart, and with any pixel step.
struct RgbInputKernel {
    void (*packedRow)(const uint8_t* pixels, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t width);
    void (*anyStepRow)(const uint8_t* pixels, ptrdiff_t pixelStep, uint8_t* y, uint8_t* u, uint8_t* v,
                       uint32_t width);
};
std::span<const Kernel<RgbInputKernel>> RgbInputKernels();

// Chroma halving: the middle outputs from k while k + block is still one
// (`last` is the last output, which mirrors); returns the next output to do.
using DecimationKernel = uint32_t (*)(const uint8_t* source, uint8_t* destination, uint32_t k, uint32_t last);
std::span<const Kernel<DecimationKernel>> DecimationKernels();
void DecimateChromaRowWith(DecimationKernel kernel, const uint8_t* source, uint8_t* destination, uint32_t width);

// As ConvertRgbToPlanar, with the given kernels.
bool ConvertRgbToPlanarWith(const RgbInputKernel& input, DecimationKernel decimation, const uint8_t* source,
                            PlanarPicture& picture, ptrdiff_t pixelStep, ptrdiff_t rowStep);

// RGB output, one row of the picture to RGB24 and to RGB32 pixels. The
// AVX-512 kernels store sixteen pixels a step with byte masks, so in RGB32
// they leave the fourth bytes untouched instead of writing back the values
// read; the VNNI one, and the AVX2 one, compute the channels from
// inverseLinear instead of looking up the tables.
using RgbRowConverter = void (*)(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t width);
struct RgbOutputKernel {
    RgbRowConverter rgb24;
    RgbRowConverter rgb32;
};
std::span<const Kernel<RgbOutputKernel>> RgbOutputKernels();
// As ConvertPlanarToRgb, with the given kernel.
void ConvertPlanarToRgbWith(const RgbOutputKernel& kernel, const PlanarPicture& picture, uint8_t* destination,
                            ptrdiff_t pixelStep, ptrdiff_t rowStep);
