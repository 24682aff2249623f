// The linear sums (colour_internal.h) by 16-bit word products in AVX2
// registers, for processors without byte dot products; shared by the RGB
// input and output kernels.
//
// A 32-bit lane holds one input byte x as the words (x - 128) * 256 and x,
// and one word product against (K >> 8, K & 255) gives K x - 32768 (K >> 8)
// exactly, the constant folded into K0. The centred x is what lets the high
// word fit: x * 256 would not for x above 127. Splitting K into its high and
// low 12 bits instead, to multiply two inputs per product, takes two
// products and a shift for every two inputs, where this takes one product
// per input and lets the RGB output share one luma product between its
// three channels. Sums wrap modulo 2^32 as the byte dot products do; only
// A itself must fit.
#pragma once

#include <immintrin.h>

#include "colour_internal.h"

#define KESTRUN_LINEAR_WORDS __attribute__((target("avx2")))

// One output's word factors for each input, and its constant, in registers
// set once per row.
struct LinearWords {
    __m256i factors[3];
    __m256i constant;
};

KESTRUN_LINEAR_WORDS inline void SetLinearWords(const LinearSums& sums, LinearWords (&words)[3])
{
    for (int o = 0; o < 3; ++o) {
        uint32_t constant = uint32_t(sums.factors[o][3]);
        for (int i = 0; i < 3; ++i) {
            const int32_t k = sums.factors[o][i];
            const int32_t high = k >> 8, low = k & 255;
            words[o].factors[i] = _mm256_set1_epi32(int32_t(uint32_t(low) << 16 | uint16_t(high)));
            constant += uint32_t(high) * 32768u;
        }
        words[o].constant = _mm256_set1_epi32(int32_t(constant));
    }
}

// The lanes of one input from a byte shuffle that left each lane's x in
// its bytes 1 and 2 and zeros in bytes 0 and 3.
KESTRUN_LINEAR_WORDS inline __m256i InputWords(__m256i shuffled)
{
    return _mm256_xor_si256(shuffled, _mm256_set1_epi32(0x8000));
}

// K x for one input, less the constant SetLinearWords added to K0.
KESTRUN_LINEAR_WORDS inline __m256i Product(__m256i words, __m256i factor) { return _mm256_madd_epi16(words, factor); }

// A group's sums are sure when each A has a bit set among its fraction
// bits above the guard's: only there is A shifted right by its fraction bits
// the table result. `least` keeps, lane by lane, the smallest of those bits
// over the group (a minimum costs one operation where marking the zeros
// costs two); it starts as NoneSeen.
KESTRUN_LINEAR_WORDS inline __m256i NoneSeen() { return _mm256_set1_epi32(-1); }
template <int FractionBits, int64_t Guard> KESTRUN_LINEAR_WORDS inline void KeepLeast(__m256i a, __m256i& least)
{
    const int32_t unsureBits = int32_t(((int64_t(1) << FractionBits) - 1) & -Guard);
    least = _mm256_min_epu32(least, _mm256_and_si256(a, _mm256_set1_epi32(unsureBits)));
}
KESTRUN_LINEAR_WORDS inline bool AllSure(__m256i least)
{
    const __m256i zeros = _mm256_cmpeq_epi32(least, _mm256_setzero_si256());
    return _mm256_testz_si256(zeros, zeros);
}

// The shuffle that InputWords expects, for 32 bytes: lane i of 128-bit half
// h takes byte at[h][i] of that half.
struct alignas(32) LaneShuffle {
    uint8_t bytes[32];
};
constexpr LaneShuffle InputLanes(const uint8_t (&at)[2][4])
{
    LaneShuffle s{};
    for (int h = 0; h < 2; ++h)
        for (int i = 0; i < 4; ++i) {
            uint8_t* lane = s.bytes + 16 * h + 4 * i;
            lane[0] = lane[3] = 0x80;
            lane[1] = lane[2] = at[h][i];
        }
    return s;
}

// One input's lanes from the bytes: InputWords of the shuffle.
KESTRUN_LINEAR_WORDS inline __m256i ShuffleInput(__m256i bytes, const LaneShuffle& lanes)
{
    return InputWords(_mm256_shuffle_epi8(bytes, _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.bytes))));
}

// Two 16-byte loads, one per half.
KESTRUN_LINEAR_WORDS inline __m256i LoadHalves(const uint8_t* low, const uint8_t* high)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

#undef KESTRUN_LINEAR_WORDS
