// The linear sums (colour_internal.h) in AVX-512 registers, shared by the
// RGB input and output kernels. Include only where the processor's AVX-512
// VNNI support is checked before these run.
#pragma once

#include <immintrin.h>

#include "colour_internal.h"

#define KESTRUN_LINEAR_SUMS __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vnni")))

// One output's constants in registers, set once per row: the stores of a
// row would otherwise make the compiler read them again for every step.
struct LinearConstants {
    __m512i top, digits[3];
};

KESTRUN_LINEAR_SUMS inline void SetLinearConstants(const LinearSums& sums, LinearConstants (&constants)[3])
{
    for (int o = 0; o < 3; ++o) {
        constants[o].top = _mm512_set1_epi32(sums.top[o]);
        for (int d = 0; d < 3; ++d) constants[o].digits[d] = _mm512_set1_epi32(int32_t(sums.digits[o][d]));
    }
}

// A = K . x for sixteen pixels, x holding each pixel's three input bytes and
// a 1, built a digit at a time. `sure` keeps only the pixels whose A has a
// bit set among its fraction bits above the guard's, where A shifted right
// by its fraction bits is the table result.
template <int FractionBits, int64_t Guard>
KESTRUN_LINEAR_SUMS inline __m512i LinearSum(__m512i x, const LinearConstants& c, __mmask16& sure)
{
    __m512i a = _mm512_dpbusd_epi32(c.top, x, c.digits[0]);
    a = _mm512_dpbusd_epi32(_mm512_slli_epi32(a, 8), x, c.digits[1]);
    a = _mm512_dpbusd_epi32(_mm512_slli_epi32(a, 8), x, c.digits[2]);
    const int32_t unsureBits = int32_t(((int64_t(1) << FractionBits) - 1) & -Guard);
    sure = _mm512_mask_test_epi32_mask(sure, a, _mm512_set1_epi32(unsureBits));
    return a;
}

#undef KESTRUN_LINEAR_SUMS
