// RGB input: full-resolution Y, U and V, then the six-tap chroma halving.
#include "colour.h"

#include <cstring>

#include "colour_internal.h"
#include "platform/memory.h"

#if defined(KESTRUN_COLOUR_AVX2)
#include <immintrin.h>

#include "linear_sums_avx2.h"
// GCC 12's AVX-512 intrinsics start some results from an "undefined" vector
// that its own flow analysis then reports as uninitialised.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#elif defined(KESTRUN_COLOUR_SSE2)
#include <emmintrin.h>
#endif

namespace {

constexpr int32_t Centre = 14534, Near = 1977, Far = -127;
// The first and last outputs with their out-of-row taps folded back in.
constexpr int32_t EdgeNear = Near + Centre, EdgeFar = Near + Far;
static_assert(2 * (Centre + Near + Far) == 32768, "the taps must keep a flat row flat");

inline uint8_t Filtered(int32_t sum) { return ClampTable[(sum + 16384) >> 15]; }

#if defined(KESTRUN_COLOUR_SSE2)

// One row of B, G, R pixels to Y in the picture and full-resolution U and V.
// A pixel is three 16-byte loads of its Y, U, V contributions and two adds;
// the saturating packs clamp exactly as ClampTable does, for any sum. The
// step is a template argument so that the common 3-byte case gets constant
// offsets.
template <ptrdiff_t FixedStep>
void ConvertRow(const uint8_t* pixel, ptrdiff_t pixelStep, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t width)
{
    const ptrdiff_t step = FixedStep != 0 ? FixedStep : pixelStep;
    const auto sum = [](const uint8_t* p) {
        const auto* c = forwardContributions;
        __m128i s = _mm_add_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(&c[0][p[0]])),
                                  _mm_load_si128(reinterpret_cast<const __m128i*>(&c[1][p[1]])));
        s = _mm_add_epi32(s, _mm_load_si128(reinterpret_cast<const __m128i*>(&c[2][p[2]])));
        return _mm_srai_epi32(s, 18);
    };
    const auto store = [](uint8_t* to, __m128i from) {
        const int32_t word = _mm_cvtsi128_si32(from);
        std::memcpy(to, &word, 4);
    };
    uint32_t j = 0;
    for (; j + 4 <= width; j += 4, pixel += 4 * step) {
        const __m128i low = _mm_packs_epi32(sum(pixel), sum(pixel + step));
        const __m128i high = _mm_packs_epi32(sum(pixel + 2 * step), sum(pixel + 3 * step));
        const __m128i mixed = _mm_packus_epi16(low, high);                        // Y0 U0 V0 0 Y1 U1 V1 0 ...
        const __m128i pairs = _mm_unpacklo_epi8(mixed, _mm_srli_si128(mixed, 8)); // Y0 Y2 U0 U2 V0 V2 0 0 Y1 Y3 ...
        const __m128i planes = _mm_unpacklo_epi8(pairs, _mm_srli_si128(pairs, 8)); // Y0-Y3 U0-U3 V0-V3 0 0 0 0
        store(y + j, planes);
        store(u + j, _mm_srli_si128(planes, 4));
        store(v + j, _mm_srli_si128(planes, 8));
    }
    const __m128i zero = _mm_setzero_si128();
    for (; j < width; ++j, pixel += step) {
        const uint32_t word = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(sum(pixel), zero), zero)));
        y[j] = static_cast<uint8_t>(word);
        u[j] = static_cast<uint8_t>(word >> 8);
        v[j] = static_cast<uint8_t>(word >> 16);
    }
}

#if defined(KESTRUN_COLOUR_AVX2)

// The same with SSSE3 byte shuffles, eight pixels a step: one shuffle per
// four pixels takes their Y, U and V bytes apart, where SSE2 needs unpacks
// and shifts. The sums are the SSE2 ones.
template <ptrdiff_t FixedStep>
__attribute__((target("avx2"))) void ConvertRowAvx2(const uint8_t* pixel, ptrdiff_t pixelStep, uint8_t* y, uint8_t* u,
                                                    uint8_t* v, uint32_t width)
{
    const ptrdiff_t step = FixedStep != 0 ? FixedStep : pixelStep;
    const auto sum = [](const uint8_t* p) __attribute__((target("avx2"))) {
        const auto* c = forwardContributions;
        __m128i s = _mm_add_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(&c[0][p[0]])),
                                  _mm_load_si128(reinterpret_cast<const __m128i*>(&c[1][p[1]])));
        s = _mm_add_epi32(s, _mm_load_si128(reinterpret_cast<const __m128i*>(&c[2][p[2]])));
        return _mm_srai_epi32(s, 18);
    };
    const auto four = [&](const uint8_t* p) __attribute__((target("avx2"))) { // Y0-3 U0-3 V0-3 0000
        const __m128i planes = _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
        const __m128i low = _mm_packs_epi32(sum(p), sum(p + step));
        const __m128i high = _mm_packs_epi32(sum(p + 2 * step), sum(p + 3 * step));
        return _mm_shuffle_epi8(_mm_packus_epi16(low, high), planes);
    };
    uint32_t j = 0;
    for (; j + 8 <= width; j += 8, pixel += 8 * step) {
        const __m128i first = four(pixel), second = four(pixel + 4 * step);
        const __m128i yu = _mm_unpacklo_epi32(first, second); // Y0-3 Y4-7 U0-3 U4-7
        _mm_storel_epi64(reinterpret_cast<__m128i*>(y + j), yu);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + j), _mm_unpackhi_epi64(yu, yu));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + j), _mm_unpackhi_epi32(first, second));
    }
    ConvertRow<FixedStep>(pixel, pixelStep, y + j, u + j, v + j, width - j);
}

// The linear kernel's lanes, channel c of four pixels in each half: its
// first registers hold pixels 0-3 and 8-11, from 16-byte loads at pixels 0
// and 8; its second 4-7 and 12-15, from loads at pixel 4 and at byte 32 (4
// bytes before pixel 12), so that no load passes the group's 48 bytes.
constexpr auto pixelLanes = [] {
    struct {
        LaneShuffle lanes[2][3];
    } table{};
    for (int g = 0; g < 2; ++g)
        for (int c = 0; c < 3; ++c) {
            uint8_t at[2][4];
            for (int h = 0; h < 2; ++h)
                for (int i = 0; i < 4; ++i) at[h][i] = uint8_t(4 * (g & h) + 3 * i + c);
            table.lanes[g][c] = InputLanes(at);
        }
    return table;
}();

// Sixteen pixels a step by word products instead of table loads; the rare
// groups with a pixel near a rounding edge go again through the tables.
__attribute__((target("avx2"))) void ConvertRowLinearAvx2(const uint8_t* pixel, uint8_t* y, uint8_t* u, uint8_t* v,
                                                          uint32_t width)
{
    if (!forwardLinear.usable) return ConvertRowAvx2<3>(pixel, 3, y, u, v, width);
    LinearWords c[3];
    SetLinearWords(forwardLinear, c);
    uint32_t j = 0;
    for (; j + 16 <= width; j += 16, pixel += 48) {
        // The packs put each half's eight pixels in order.
        const __m256i bytes[2] = {LoadHalves(pixel, pixel + 24), LoadHalves(pixel + 12, pixel + 32)};
        __m256i least = NoneSeen(), sums[3][2];
        for (int g = 0; g < 2; ++g) {
            __m256i x[3];
            for (int i = 0; i < 3; ++i)
                x[i] = ShuffleInput(bytes[g], pixelLanes.lanes[g][i]);
            for (int o = 0; o < 3; ++o) {
                const __m256i a = _mm256_add_epi32(
                    _mm256_add_epi32(c[o].constant, Product(x[0], c[o].factors[0])),
                    _mm256_add_epi32(Product(x[1], c[o].factors[1]), Product(x[2], c[o].factors[2])));
                KeepLeast<ForwardFractionBits, ForwardGuard>(a, least);
                sums[o][g] = _mm256_srli_epi32(a, ForwardFractionBits);
            }
        }
        // Y 0-7 and U 0-7 in the low half, Y and U 8-15 in the high half.
        const __m256i yu = _mm256_packus_epi16(_mm256_packs_epi32(sums[0][0], sums[0][1]),
                                               _mm256_packs_epi32(sums[1][0], sums[1][1]));
        const __m256i vs = _mm256_packs_epi32(sums[2][0], sums[2][1]);
        const __m256i planes = _mm256_permute4x64_epi64(yu, 0xD8);
        const __m256i vv = _mm256_permute4x64_epi64(_mm256_packus_epi16(vs, vs), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + j), _mm256_castsi256_si128(planes));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + j), _mm256_extracti128_si256(planes, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + j), _mm256_castsi256_si128(vv));
        if (!AllSure(least)) ConvertRow<3>(pixel, 3, y + j, u + j, v + j, 16);
    }
    ConvertRowAvx2<3>(pixel, 3, y + j, u + j, v + j, width - j);
}

#if defined(__x86_64__)
#include "linear_sums_avx512.h"

#define KESTRUN_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vnni")))

// Sixteen pixels a step by byte dot products instead of table loads; the
// rare pixels near a rounding edge take the table path.
KESTRUN_AVX512 void ConvertRowAvx512(const uint8_t* pixel, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t width)
{
    if (!forwardLinear.usable) return ConvertRowAvx2<3>(pixel, 3, y, u, v, width);
    LinearConstants c[3];
    SetLinearConstants(forwardLinear, c);
    // Dword j gets pixel j's B, G, R in its low three bytes and a 1 on top.
    const __m512i gather = _mm512_set_epi32(0x2F2E2D, 0x2C2B2A, 0x292827, 0x262524, 0x232221, 0x201F1E, 0x1D1C1B,
                                            0x1A1918, 0x171615, 0x141312, 0x11100F, 0x0E0D0C, 0x0B0A09, 0x080706,
                                            0x050403, 0x020100);
    const __m512i ones = _mm512_set1_epi32(0x01000000);
    // Bits 23 to 30 of a quadword's two dwords into bytes 0 and 1 (Y), 2
    // and 3 (U), 4 and 5 (V) of that quadword ...
    const __m512i results = _mm512_set1_epi64(0x0000371737173717);
    // ... and those bytes to sixteen Y, sixteen U and sixteen V.
    alignas(64) uint8_t order[64] = {};
    for (int i = 0; i < 48; ++i) order[i] = uint8_t(8 * (i % 16 / 2) + 2 * (i / 16) + i % 2);
    const __m512i planes = _mm512_load_si512(order);
    uint32_t j = 0;
    for (; j + 16 <= width; j += 16, pixel += 48) {
        // The group's 48 bytes by a 32-byte and a 16-byte load: a masked
        // 64-byte load of them stalls on some processors.
        const __m512i bytes = _mm512_inserti32x4(
            _mm512_zextsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixel))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixel + 32)), 2);
        const __m512i x = _mm512_mask_permutexvar_epi8(ones, 0x7777777777777777ull, gather, bytes);
        __mmask16 sure = 0xFFFF;
        const __m512i ys = LinearSum<ForwardFractionBits, ForwardGuard>(x, c[0], sure);
        const __m512i us = LinearSum<ForwardFractionBits, ForwardGuard>(x, c[1], sure);
        const __m512i vs = LinearSum<ForwardFractionBits, ForwardGuard>(x, c[2], sure);
        __m512i packed = _mm512_multishift_epi64_epi8(results, ys);
        packed = _mm512_mask_multishift_epi64_epi8(packed, 0x0C0C0C0C0C0C0C0Cull, results, us);
        packed = _mm512_mask_multishift_epi64_epi8(packed, 0x3030303030303030ull, results, vs);
        packed = _mm512_permutexvar_epi8(planes, packed);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + j), _mm512_castsi512_si128(packed));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + j), _mm512_extracti32x4_epi32(packed, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + j), _mm512_extracti32x4_epi32(packed, 2));
        if (sure != 0xFFFF) ConvertRow<3>(pixel, 3, y + j, u + j, v + j, 16);
    }
    ConvertRowAvx2<3>(pixel, 3, y + j, u + j, v + j, width - j);
}

#undef KESTRUN_AVX512
#endif

#endif

#else

// Portable form of the above, nine table loads per pixel.
template <ptrdiff_t FixedStep>
void ConvertRow(const uint8_t* pixel, ptrdiff_t pixelStep, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t width)
{
    const ptrdiff_t step = FixedStep != 0 ? FixedStep : pixelStep;
    const ConversionTables& t = conversionTables;
    const uint8_t* const clamp = ClampTable;
    for (uint32_t j = 0; j < width; ++j, pixel += step) {
        const uint8_t b = pixel[0], g = pixel[1], r = pixel[2];
        y[j] = clamp[(t.YFromB[b] + t.YFromG[g] + t.YFromR[r]) >> 18];
        u[j] = clamp[(t.UFromB[b] + t.UFromG[g] + t.UFromR[r]) >> 18];
        v[j] = clamp[(t.VFromB[b] + t.VFromG[g] + t.VFromR[r]) >> 18];
    }
}

#endif

#if defined(KESTRUN_COLOUR_SSE2)

// Middle outputs eight at a time, from output `k` on while k + 7 is still a
// middle output. No load goes past s[2n - 1], the last sample the filter
// uses, so an odd width's final sample stays unread. Returns the next output.
uint32_t DecimateMiddleSse2(const uint8_t* s, uint8_t* d, uint32_t k, uint32_t last)
{
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i innerWeights = _mm_set_epi16(Near, Centre, Near, Centre, Near, Centre, Near, Centre);
    // The outer pair rides with a constant 1 whose weight is the rounding half.
    const __m128i outerWeights = _mm_set_epi16(16384, Far, 16384, Far, 16384, Far, 16384, Far);
    const __m128i ones = _mm_set1_epi16(1);
    for (; k + 8 <= last; k += 8) {
        // Even and odd samples of three windows, one sample pair apart:
        // before[i] = s[2(k+i) - 2 ..], at[i] = s[2(k+i) ..], after[i] = s[2(k+i) + 2 ..].
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * k - 2));
        const __m128i at = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * k));
        const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * k + 2));
        const __m128i centre = _mm_add_epi16(_mm_and_si128(at, lowBytes), _mm_srli_epi16(at, 8));
        const __m128i nearPair = _mm_add_epi16(_mm_srli_epi16(before, 8), _mm_and_si128(after, lowBytes));
        const __m128i farPair = _mm_add_epi16(_mm_and_si128(before, lowBytes), _mm_srli_epi16(after, 8));
        const __m128i low = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(centre, nearPair), innerWeights),
                                          _mm_madd_epi16(_mm_unpacklo_epi16(farPair, ones), outerWeights));
        const __m128i high = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(centre, nearPair), innerWeights),
                                           _mm_madd_epi16(_mm_unpackhi_epi16(farPair, ones), outerWeights));
        const __m128i words = _mm_packs_epi32(_mm_srai_epi32(low, 15), _mm_srai_epi32(high, 15));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d + k), _mm_packus_epi16(words, words));
    }
    return k;
}

#if defined(KESTRUN_COLOUR_AVX2)

// The same, sixteen outputs at a time: the 128-bit halves hold outputs
// k..k+7 and k+8..k+15, which the per-half unpacks and packs keep in order.
__attribute__((target("avx2"))) uint32_t DecimateMiddleAvx2(const uint8_t* s, uint8_t* d, uint32_t k, uint32_t last)
{
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const __m256i innerWeights = _mm256_set1_epi32(int32_t(uint32_t(Near) << 16 | uint32_t(Centre)));
    const __m256i outerWeights = _mm256_set1_epi32(int32_t(uint32_t(16384) << 16 | uint16_t(Far)));
    const __m256i ones = _mm256_set1_epi16(1);
    for (; k + 16 <= last; k += 16) {
        const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2 * k - 2));
        const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2 * k));
        const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 2 * k + 2));
        const __m256i centre = _mm256_add_epi16(_mm256_and_si256(at, lowBytes), _mm256_srli_epi16(at, 8));
        const __m256i nearPair = _mm256_add_epi16(_mm256_srli_epi16(before, 8), _mm256_and_si256(after, lowBytes));
        const __m256i farPair = _mm256_add_epi16(_mm256_and_si256(before, lowBytes), _mm256_srli_epi16(after, 8));
        const __m256i low = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(centre, nearPair), innerWeights),
                                             _mm256_madd_epi16(_mm256_unpacklo_epi16(farPair, ones), outerWeights));
        const __m256i high = _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(centre, nearPair), innerWeights),
                                              _mm256_madd_epi16(_mm256_unpackhi_epi16(farPair, ones), outerWeights));
        const __m256i words = _mm256_packs_epi32(_mm256_srai_epi32(low, 15), _mm256_srai_epi32(high, 15));
        // Each half's first 8 bytes, side by side.
        const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + k), _mm256_castsi256_si128(bytes));
    }
    return k;
}

#endif

#if defined(__x86_64__)

__attribute__((target("avx2,avx512f,avx512bw"))) inline __m512i Widened(const uint8_t* p)
{
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

// Thirty-two outputs at a time from samples widened to words: a dword of
// the words from s[2k] holds output k's centre pair, those from two samples
// before and after hold its outer pairs, so three word dot products sum
// output k with no shuffling.
__attribute__((target("avx2,avx512f,avx512bw,avx512vnni"))) uint32_t DecimateMiddleAvx512(const uint8_t* s, uint8_t* d,
                                                                                           uint32_t k, uint32_t last)
{
    const auto weights = [](int32_t low, int32_t high) { return int32_t(uint32_t(high) << 16 | uint16_t(low)); };
    const __m512i centreWeights = _mm512_set1_epi32(weights(Centre, Centre));
    const __m512i beforeWeights = _mm512_set1_epi32(weights(Far, Near));
    const __m512i afterWeights = _mm512_set1_epi32(weights(Near, Far));
    const __m512i half = _mm512_set1_epi32(16384); // each sum starts at the rounding half
    // The packs leave 128-bit lane l with outputs 4l to 4l + 3 of each
    // half in its first two dwords.
    const __m512i outputs = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 0, 0, 0, 0, 0, 0, 0, 0);
    for (; k + 32 <= last; k += 32) {
        __m512i sums[2];
        for (int h = 0; h < 2; ++h) {
            const uint8_t* c = s + 2 * k + 32 * h;
            __m512i sum = _mm512_dpwssd_epi32(half, Widened(c), centreWeights);
            sum = _mm512_dpwssd_epi32(sum, Widened(c - 2), beforeWeights);
            sum = _mm512_dpwssd_epi32(sum, Widened(c + 2), afterWeights);
            sums[h] = _mm512_srai_epi32(sum, 15);
        }
        const __m512i words = _mm512_packs_epi32(sums[0], sums[1]);
        const __m512i bytes = _mm512_permutexvar_epi32(outputs, _mm512_packus_epi16(words, words));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + k), _mm512_castsi512_si256(bytes));
    }
    return k;
}

#endif

#if defined(KESTRUN_COLOUR_AVX2)
uint32_t DecimateMiddleAvx2Chain(const uint8_t* s, uint8_t* d, uint32_t k, uint32_t last)
{
    return DecimateMiddleSse2(s, d, DecimateMiddleAvx2(s, d, k, last), last);
}
#if defined(__x86_64__)
uint32_t DecimateMiddleAvx512Chain(const uint8_t* s, uint8_t* d, uint32_t k, uint32_t last)
{
    return DecimateMiddleAvx2Chain(s, d, DecimateMiddleAvx512(s, d, k, last), last);
}
#endif
#endif

#endif

// The baseline halves one output at a time in DecimateChromaRowWith.
uint32_t DecimateMiddlePortable(const uint8_t*, uint8_t*, uint32_t k, uint32_t) { return k; }

template <ptrdiff_t FixedStep> void PackedRow(const uint8_t* pixels, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t width)
{
    ConvertRow<FixedStep>(pixels, FixedStep, y, u, v, width);
}

constexpr Kernel<RgbInputKernel> inputKernels[] = {
    {KESTRUN_COLOUR_BASELINE, 0, {PackedRow<3>, ConvertRow<0>}},
#if defined(KESTRUN_COLOUR_AVX2)
    {"avx2", CpuAvx2, {ConvertRowLinearAvx2, ConvertRowAvx2<0>}},
#if defined(__x86_64__)
    {"avx512vnni", CpuAvx512 | CpuAvx512Vbmi | CpuAvx512Vnni, {ConvertRowAvx512, ConvertRowAvx2<0>}},
#endif
#endif
};

constexpr Kernel<DecimationKernel> decimationKernels[] = {
    {"portable", 0, DecimateMiddlePortable},
#if defined(KESTRUN_COLOUR_SSE2)
    {"sse2", 0, DecimateMiddleSse2},
#endif
#if defined(KESTRUN_COLOUR_AVX2)
    {"avx2", CpuAvx2, DecimateMiddleAvx2Chain},
#if defined(__x86_64__)
    {"avx512vnni", CpuAvx512 | CpuAvx512Vnni, DecimateMiddleAvx512Chain},
#endif
#endif
};

const RgbInputKernel& chosenInput = ChooseKernel<RgbInputKernel>(inputKernels).function;
const DecimationKernel chosenDecimation = ChooseKernel<DecimationKernel>(decimationKernels).function;

} // namespace

void DecimateChromaRowWith(DecimationKernel middle, const uint8_t* s, uint8_t* d, uint32_t width)
{
    const uint32_t outputs = width / 2;
    if (outputs == 0) return;
    if (outputs == 1) {
        // Mirrored at both ends every pair of taps meets s[0] + s[1]: the
        // weights collapse to 16384 each.
        d[0] = Filtered(16384 * (s[0] + s[1]));
        return;
    }
    d[0] = Filtered(Centre * s[0] + EdgeNear * s[1] + EdgeFar * s[2] + Far * s[3]);
    const uint32_t last = outputs - 1;
    for (uint32_t k = middle(s, d, 1, last); k < last; ++k) {
        const uint8_t* c = s + 2 * k;
        d[k] = Filtered(Centre * (c[0] + c[1]) + Near * (c[-1] + c[2]) + Far * (c[-2] + c[3]));
    }
    const uint8_t* c = s + 2 * last;
    d[last] = Filtered(EdgeFar * c[-1] + EdgeNear * c[0] + Centre * c[1] + Far * c[-2]);
}

void DecimateChromaRow(const uint8_t* s, uint8_t* d, uint32_t width)
{
    DecimateChromaRowWith(chosenDecimation, s, d, width);
}

void DecimateChromaPlane(uint8_t* destinationPlane, uint32_t width, const uint8_t* sourceRows, uint32_t rows)
{
    const uint32_t half = width >> 1;
    for (uint32_t r = 0; r < rows; ++r) {
        DecimateChromaRow(sourceRows + std::size_t(r) * width, destinationPlane + std::size_t(r) * half, width);
    }
}

std::span<const Kernel<RgbInputKernel>> RgbInputKernels() { return inputKernels; }
std::span<const Kernel<DecimationKernel>> DecimationKernels() { return decimationKernels; }

bool ConvertRgbToPlanarWith(const RgbInputKernel& input, DecimationKernel decimation, const uint8_t* source,
                            PlanarPicture& picture, ptrdiff_t pixelStep, ptrdiff_t rowStep)
{
    const uint32_t width = picture.width, half = width >> 1;
    // Rows are filtered independently, so one row of U and V is all the
    // scratch needed; a whole-frame scratch would only add a second pass
    // over memory that has left the cache.
    uint8_t* scratch = static_cast<uint8_t*>(AllocateMemory(std::size_t(2) * width));
    if (!scratch) return false;
    uint8_t* const u = scratch;
    uint8_t* const v = scratch + width;
    for (uint32_t r = 0; r < picture.height; ++r) {
        const uint8_t* row = source + ptrdiff_t(r) * rowStep;
        uint8_t* const y = picture.yPlane + std::size_t(r) * width;
        if (pixelStep == 3)
            input.packedRow(row, y, u, v, width);
        else
            input.anyStepRow(row, pixelStep, y, u, v, width);
        DecimateChromaRowWith(decimation, u, picture.uPlane + std::size_t(r) * half, width);
        DecimateChromaRowWith(decimation, v, picture.vPlane + std::size_t(r) * half, width);
    }
    FreeMemory(scratch);
    return true;
}

bool ConvertRgbToPlanar(const uint8_t* source, PlanarPicture& picture, ptrdiff_t pixelStep, ptrdiff_t rowStep)
{
    return ConvertRgbToPlanarWith(chosenInput, chosenDecimation, source, picture, pixelStep, rowStep);
}
