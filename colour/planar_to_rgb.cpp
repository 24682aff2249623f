// RGB output: each chroma sample serves the pixel pair it was filtered from.
//
// Four kernels give the same bytes: the portable one below, an SSE2 one for
// every x86 build, and AVX2 and AVX-512 ones chosen at run time. The vector kernels
// add a pair's {blue, green, red, 0} chroma offsets (chromaContributions) to
// each pixel's luma in one register and saturate with the signed and
// unsigned packs, which equal ClampTable for any sum. Each does whole groups
// of pixels and leaves the rest of a row to the portable code. The AVX2 and
// AVX-512 VNNI kernels compute most groups from inverseLinear instead, with
// no table loads, and leave the rest to the table code.
#include "colour.h"

#include "colour_internal.h"

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

// Pixels `first` (even) to the end of a row. Two pixels per chroma pair: the
// chroma contributions are looked up once.
template <ptrdiff_t Step>
void ConvertRowFrom(uint32_t first, const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t width)
{
    const ConversionTables& t = conversionTables;
    const uint8_t* const clamp = ClampTable;
    const uint32_t pairs = width / 2;
    out += ptrdiff_t(first) * Step;
    for (uint32_t k = first / 2; k < pairs; ++k, out += 2 * Step) {
        const int32_t red = t.RFromV[v[k]];
        const int32_t green = t.GFromU[u[k]] + t.GFromV[v[k]];
        const int32_t blue = t.BFromU[u[k]];
        const int32_t l0 = t.RgbFromY[y[2 * k]], l1 = t.RgbFromY[y[2 * k + 1]];
        out[0] = clamp[(l0 + blue) >> 18];
        out[1] = clamp[(l0 + green) >> 18];
        out[2] = clamp[(l0 + red) >> 18];
        out[Step] = clamp[(l1 + blue) >> 18];
        out[Step + 1] = clamp[(l1 + green) >> 18];
        out[Step + 2] = clamp[(l1 + red) >> 18];
    }
    if (width & 1) {
        // The odd last pixel has no chroma of its own; it keeps the last
        // pair's. Width 1 has no chroma row: neutral chroma gives grey.
        const uint8_t cu = pairs != 0 ? u[pairs - 1] : 128, cv = pairs != 0 ? v[pairs - 1] : 128;
        const int32_t l = t.RgbFromY[y[width - 1]];
        out[0] = clamp[(l + t.BFromU[cu]) >> 18];
        out[1] = clamp[(l + t.GFromU[cu] + t.GFromV[cv]) >> 18];
        out[2] = clamp[(l + t.RFromV[cv]) >> 18];
    }
}

template <ptrdiff_t Step>
void ConvertRowPortable(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t width)
{
    ConvertRowFrom<Step>(0, y, u, v, out, width);
}

#if defined(KESTRUN_COLOUR_SSE2)

// Four pixels at a time; one register holds their B, G, R, x bytes.
template <ptrdiff_t Step>
void ConvertRowSse2(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t width)
{
    const ChromaContribution* const fromU = chromaContributions[0];
    const ChromaContribution* const fromV = chromaContributions[1];
    const int32_t* const fromY = conversionTables.RgbFromY;
    const auto chroma = [&](uint32_t k) {
        return _mm_add_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(&fromU[u[k]])),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(&fromV[v[k]])));
    };
    const auto channels = [&](uint32_t j, __m128i offsets) {
        return _mm_srai_epi32(_mm_add_epi32(_mm_set1_epi32(fromY[y[j]]), offsets), 18);
    };
    const __m128i fourthBytes = _mm_set1_epi32(int32_t(0xFF000000u));
    const __m128i firstThree = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i nextThree = _mm_set_epi32(0x0000FFFF, int32_t(0xFF000000u), 0x0000FFFF, int32_t(0xFF000000u));
    // RGB24 groups store 8 bytes at offsets 0 and 6 of their 12: the last
    // two bytes of each store belong to the next pixel, so a group runs only
    // while one follows it in the row.
    const uint32_t room = Step == 4 ? 4 : 5;
    uint32_t j = 0;
    for (; j + room <= width; j += 4) {
        const __m128i first = chroma(j / 2), second = chroma(j / 2 + 1);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(channels(j, first), channels(j + 1, first)),
                                               _mm_packs_epi32(channels(j + 2, second), channels(j + 3, second)));
        uint8_t* const o = out + ptrdiff_t(j) * Step;
        if (Step == 4) {
            // The fourth bytes go back as they were read.
            const __m128i old = _mm_loadu_si128(reinterpret_cast<const __m128i*>(o));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o),
                             _mm_or_si128(_mm_and_si128(old, fourthBytes), _mm_andnot_si128(fourthBytes, bytes)));
        } else {
            // Each half to its two pixels' six bytes, then two zero bytes.
            const __m128i six = _mm_or_si128(_mm_and_si128(bytes, firstThree),
                                             _mm_and_si128(_mm_srli_epi64(bytes, 8), nextThree));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o), six);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 6), _mm_unpackhi_epi64(six, six));
        }
    }
    ConvertRowFrom<Step>(j, y, u, v, out, width);
}

#endif

#if defined(KESTRUN_COLOUR_AVX2)

#define KESTRUN_AVX2 __attribute__((target("avx2")))

// The chroma offsets of two pairs, one per 128-bit half.
KESTRUN_AVX2 inline __m256i ChromaPairs(const uint8_t* u, const uint8_t* v, uint32_t low, uint32_t high)
{
    const ChromaContribution* const fromU = chromaContributions[0];
    const ChromaContribution* const fromV = chromaContributions[1];
    const auto load = [](const ChromaContribution& entry) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(&entry));
    };
    const __m256i us = _mm256_inserti128_si256(_mm256_castsi128_si256(load(fromU[u[low]])), load(fromU[u[high]]), 1);
    const __m256i vs = _mm256_inserti128_si256(_mm256_castsi128_si256(load(fromV[v[low]])), load(fromV[v[high]]), 1);
    return _mm256_add_epi32(us, vs);
}

// Eight pixels' B, G, R, x bytes from pixel j on: their luma in one gather,
// the four chroma pairs as 16-byte loads (a gather of them measured no faster
// and needs more shuffles). Registers hold pixels i and i + 4 in their two
// halves, which is the order in which the packs put them back together, so
// the result has pixels 0-3 in its low half and 4-7 in its high half.
KESTRUN_AVX2 inline __m256i EightPixelsAvx2(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t j)
{
    const __m256i indices = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(y + j)));
    const __m256i luma = _mm256_i32gather_epi32(conversionTables.RgbFromY, indices, 4);
    const uint32_t k = j / 2;
    const __m256i pairs02 = ChromaPairs(u, v, k, k + 2), pairs13 = ChromaPairs(u, v, k + 1, k + 3);
    const __m256i p04 = _mm256_srai_epi32(_mm256_add_epi32(_mm256_shuffle_epi32(luma, 0x00), pairs02), 18);
    const __m256i p15 = _mm256_srai_epi32(_mm256_add_epi32(_mm256_shuffle_epi32(luma, 0x55), pairs02), 18);
    const __m256i p26 = _mm256_srai_epi32(_mm256_add_epi32(_mm256_shuffle_epi32(luma, 0xAA), pairs13), 18);
    const __m256i p37 = _mm256_srai_epi32(_mm256_add_epi32(_mm256_shuffle_epi32(luma, 0xFF), pairs13), 18);
    return _mm256_packus_epi16(_mm256_packs_epi32(p04, p15), _mm256_packs_epi32(p26, p37));
}

// Eight pixels' B, G, R, x bytes as EightPixelsAvx2 gives them to the row.
// An RGB24 group stores 32 bytes where it may (`wide`): the 8 past its 24
// are the next pixels', written later.
template <ptrdiff_t Step> KESTRUN_AVX2 inline void StoreEightAvx2(uint8_t* o, __m256i bytes, bool wide)
{
    if (Step == 4) {
        // The fourth bytes go back as they were read.
        const __m256i fourthBytes = _mm256_set1_epi32(int32_t(0xFF000000u));
        const __m256i old = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(o));
        const __m256i merged =
            _mm256_or_si256(_mm256_and_si256(old, fourthBytes), _mm256_andnot_si256(fourthBytes, bytes));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), merged);
    } else {
        const __m256i dropFourth = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, //
                                                    0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        const __m256i joinHalves = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
        const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(bytes, dropFourth), joinHalves);
        if (wide) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), packed);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm256_castsi256_si128(packed));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 16), _mm256_extracti128_si256(packed, 1));
        }
    }
}

// Pixels j on: eight at a time by EightPixelsAvx2, then the portable code.
template <ptrdiff_t Step>
KESTRUN_AVX2 void FinishRowAvx2(uint32_t j, const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out,
                                uint32_t width)
{
    for (; j + 8 <= width; j += 8)
        StoreEightAvx2<Step>(out + ptrdiff_t(j) * Step, EightPixelsAvx2(y, u, v, j), j + 11 <= width);
    ConvertRowFrom<Step>(j, y, u, v, out, width);
}

// Lanes of the linear kernel's sixteen pixels: its first registers hold
// pixels 0-3 and 4-7 in their halves, its second 8-11 and 12-15, from Y
// bytes 0-15 and U or V bytes 0-7 in each half.
constexpr LaneShuffle lumaLanes[2] = {InputLanes({{0, 1, 2, 3}, {4, 5, 6, 7}}),
                                      InputLanes({{8, 9, 10, 11}, {12, 13, 14, 15}})};
constexpr LaneShuffle chromaLanes[2] = {InputLanes({{0, 0, 1, 1}, {2, 2, 3, 3}}),
                                        InputLanes({{4, 4, 5, 5}, {6, 6, 7, 7}})};

// Sixteen pixels a step by word products instead of table loads, the rare
// groups with a pixel near a rounding edge by EightPixelsAvx2. Blue has no
// V term and red no U term (their K are 0), and the three share one luma
// product (inverseLinear.usable holds that their luma factors agree).
template <ptrdiff_t Step>
KESTRUN_AVX2 void ConvertRowLinearAvx2(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out,
                                       uint32_t width)
{
    if (!inverseLinear.usable) return FinishRowAvx2<Step>(0, y, u, v, out, width);
    LinearWords c[3];
    SetLinearWords(inverseLinear, c);
    uint32_t j = 0;
    for (; j + 16 <= width; j += 16) {
        const uint32_t k = j / 2;
        const __m256i luma = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + j)));
        const __m256i us = _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + k)));
        const __m256i vs = _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + k)));
        __m256i least = NoneSeen(), blue[2], green[2], red[2];
        for (int g = 0; g < 2; ++g) {
            const __m256i yw = ShuffleInput(luma, lumaLanes[g]), uw = ShuffleInput(us, chromaLanes[g]),
                          vw = ShuffleInput(vs, chromaLanes[g]);
            const __m256i l = Product(yw, c[0].factors[0]);
            const __m256i b = _mm256_add_epi32(_mm256_add_epi32(l, c[0].constant), Product(uw, c[0].factors[1]));
            const __m256i chroma = _mm256_add_epi32(Product(uw, c[1].factors[1]), Product(vw, c[1].factors[2]));
            const __m256i gr = _mm256_add_epi32(_mm256_add_epi32(l, c[1].constant), chroma);
            const __m256i r = _mm256_add_epi32(_mm256_add_epi32(l, c[2].constant), Product(vw, c[2].factors[2]));
            KeepLeast<InverseFractionBits, InverseGuard>(b, least);
            KeepLeast<InverseFractionBits, InverseGuard>(gr, least);
            KeepLeast<InverseFractionBits, InverseGuard>(r, least);
            blue[g] = _mm256_srai_epi32(b, InverseFractionBits);
            green[g] = _mm256_srai_epi32(gr, InverseFractionBits);
            red[g] = _mm256_srai_epi32(r, InverseFractionBits);
        }
        __m256i first, second;
        if (AllSure(least)) {
            // Words of pixels 0-3 and 8-11 in the low halves, 4-7 and 12-15
            // in the high; the byte and word unpacks put them in order.
            const __m256i br =
                _mm256_packus_epi16(_mm256_packs_epi32(blue[0], blue[1]), _mm256_packs_epi32(red[0], red[1]));
            const __m256i gz = _mm256_packus_epi16(_mm256_packs_epi32(green[0], green[1]), _mm256_setzero_si256());
            const __m256i bg = _mm256_unpacklo_epi8(br, gz), rz = _mm256_unpackhi_epi8(br, gz);
            first = _mm256_unpacklo_epi16(bg, rz);
            second = _mm256_unpackhi_epi16(bg, rz);
        } else {
            first = EightPixelsAvx2(y, u, v, j);
            second = EightPixelsAvx2(y, u, v, j + 8);
        }
        uint8_t* const o = out + ptrdiff_t(j) * Step;
        // RGB32 reads the row before writing it (the fourth bytes): asked
        // for 16 groups ahead, the reads wait less for memory.
        if (Step == 4) __builtin_prefetch(o + 1024, 1, 3);
        StoreEightAvx2<Step>(o, first, true);
        StoreEightAvx2<Step>(o + 8 * Step, second, j + 19 <= width);
    }
    FinishRowAvx2<Step>(j, y, u, v, out, width);
}

#define KESTRUN_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi")))

// The chroma offsets of pairs k, k + 2, k + 4 and k + 6, one per 128-bit lane.
KESTRUN_AVX512 inline __m512i ChromaQuad(const uint8_t* u, const uint8_t* v, uint32_t k)
{
    const ChromaContribution* const fromU = chromaContributions[0];
    const ChromaContribution* const fromV = chromaContributions[1];
    const auto pair = [&](uint32_t i) {
        return _mm_add_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(&fromU[u[i]])),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(&fromV[v[i]])));
    };
    __m512i quad = _mm512_castsi128_si512(pair(k));
    quad = _mm512_inserti32x4(quad, pair(k + 2), 1);
    quad = _mm512_inserti32x4(quad, pair(k + 4), 2);
    return _mm512_inserti32x4(quad, pair(k + 6), 3);
}

// Sixteen pixels' B, G, R, x bytes from pixel j on, in order: lane L of the
// luma holds pixels 4L to 4L + 3, whose pairs are 2L and 2L + 1, and the
// packs put each lane's four pixels back in order.
KESTRUN_AVX512 inline __m512i SixteenPixelsAvx512(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t j)
{
    const __m512i indices = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + j)));
    const __m512i luma = _mm512_i32gather_epi32(indices, conversionTables.RgbFromY, 4);
    const uint32_t k = j / 2;
    const __m512i even = ChromaQuad(u, v, k), odd = ChromaQuad(u, v, k + 1);
    const __m512i p0 = _mm512_srai_epi32(_mm512_add_epi32(_mm512_shuffle_epi32(luma, _MM_PERM_AAAA), even), 18);
    const __m512i p1 = _mm512_srai_epi32(_mm512_add_epi32(_mm512_shuffle_epi32(luma, _MM_PERM_BBBB), even), 18);
    const __m512i p2 = _mm512_srai_epi32(_mm512_add_epi32(_mm512_shuffle_epi32(luma, _MM_PERM_CCCC), odd), 18);
    const __m512i p3 = _mm512_srai_epi32(_mm512_add_epi32(_mm512_shuffle_epi32(luma, _MM_PERM_DDDD), odd), 18);
    return _mm512_packus_epi16(_mm512_packs_epi32(p0, p1), _mm512_packs_epi32(p2, p3));
}

// Eight pixels from pixel j on, then the portable code, finish a row of
// the AVX-512 kernels, with byte-masked stores as theirs.
template <ptrdiff_t Step>
KESTRUN_AVX512 void FinishRowAvx512(uint32_t j, const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out,
                                    uint32_t width, __m512i drop)
{
    if (j + 8 <= width) {
        const __m256i bytes = EightPixelsAvx2(y, u, v, j);
        uint8_t* const o = out + ptrdiff_t(j) * Step;
        if (Step == 4) _mm256_mask_storeu_epi8(o, 0x77777777u, bytes);
        else _mm256_mask_storeu_epi8(o, 0x00FFFFFFu, _mm256_permutexvar_epi8(_mm512_castsi512_si256(drop), bytes));
        j += 8;
    }
    ConvertRowFrom<Step>(j, y, u, v, out, width);
}

// Output byte i of RGB24 is byte i % 3 of pixel i / 3.
alignas(64) constexpr auto dropFourth = [] {
    struct {
        uint8_t bytes[64];
    } table{};
    for (int i = 0; i < 48; ++i) table.bytes[i] = uint8_t(i / 3 * 4 + i % 3);
    return table;
}();

// Sixteen pixels' bytes, already in output order, to the row: RGB24 groups
// end exactly where their pixels do, and RGB32 never touches the fourth
// bytes, neither read nor written back.
template <ptrdiff_t Step>
KESTRUN_AVX512 inline void StoreOrdered(uint8_t* o, __m512i bytes)
{
    _mm512_mask_storeu_epi8(o, Step == 4 ? 0x7777777777777777u : 0x0000FFFFFFFFFFFFu, bytes);
}

// The same from B, G, R, x per pixel.
template <ptrdiff_t Step>
KESTRUN_AVX512 inline void StoreSixteen(uint8_t* o, __m512i bytes, __m512i drop)
{
    StoreOrdered<Step>(o, Step == 4 ? bytes : _mm512_permutexvar_epi8(drop, bytes));
}

template <ptrdiff_t Step>
KESTRUN_AVX512 void ConvertRowAvx512(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out,
                                     uint32_t width)
{
    const __m512i drop = _mm512_load_si512(dropFourth.bytes);
    uint32_t j = 0;
    for (; j + 16 <= width; j += 16) StoreSixteen<Step>(out + ptrdiff_t(j) * Step, SixteenPixelsAvx512(y, u, v, j), drop);
    FinishRowAvx512<Step>(j, y, u, v, out, width, drop);
}

#if defined(__x86_64__)
#include "linear_sums_avx512.h"

#define KESTRUN_AVX512_VNNI __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512vbmi,avx512vnni")))

// One channel of sixteen pixels before saturation: A shifted right by its
// fraction bits.
KESTRUN_AVX512_VNNI inline __m512i Channel(__m512i x, const LinearConstants& c, __mmask16& sure)
{
    return _mm512_srai_epi32(LinearSum<InverseFractionBits, InverseGuard>(x, c, sure), InverseFractionBits);
}

// Sixteen pixels a step by byte dot products instead of table loads, the
// rare groups with a pixel near a rounding edge by the tables.
template <ptrdiff_t Step>
KESTRUN_AVX512_VNNI void ConvertRowLinear(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out,
                                          uint32_t width)
{
    if (!inverseLinear.usable) return ConvertRowAvx512<Step>(y, u, v, out, width);
    LinearConstants c[3];
    SetLinearConstants(inverseLinear, c);
    // Dword i gets Y i, U and V i / 2 (from bytes 16 to 23 and 24 to 31 of
    // the second source) and, where the mask leaves the index, a 1.
    alignas(64) uint8_t gatherBytes[64];
    for (int i = 0; i < 16; ++i) {
        gatherBytes[4 * i] = uint8_t(i);
        gatherBytes[4 * i + 1] = uint8_t(64 + i / 2);
        gatherBytes[4 * i + 2] = uint8_t(64 + 8 + i / 2);
        gatherBytes[4 * i + 3] = 1;
    }
    const __m512i gather = _mm512_load_si512(gatherBytes);
    // The packs leave lane L with the blue, green and red of pixels 4L to
    // 4L + 3 in its bytes 0-3, 4-7 and 8-11; these put them in output order.
    alignas(64) uint8_t orderBytes[64] = {};
    for (int i = 0; i < 16 * Step; ++i) {
        const int pixel = i / int(Step), channel = i % int(Step);
        orderBytes[i] = uint8_t(16 * (pixel / 4) + 4 * (channel % 3) + pixel % 4);
    }
    const __m512i order = _mm512_load_si512(orderBytes);
    const __m512i drop = _mm512_load_si512(dropFourth.bytes);
    uint32_t j = 0;
    for (; j + 16 <= width; j += 16) {
        const uint32_t k = j / 2;
        const __m128i chroma = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + k)),
                                                  _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + k)));
        const __m512i x = _mm512_mask2_permutex2var_epi8(
            _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y + j))), gather,
            0x7777777777777777ull, _mm512_castsi128_si512(chroma));
        __mmask16 sure = 0xFFFF;
        const __m512i blue = Channel(x, c[0], sure), green = Channel(x, c[1], sure), red = Channel(x, c[2], sure);
        uint8_t* const o = out + ptrdiff_t(j) * Step;
        if (sure != 0xFFFF) {
            StoreSixteen<Step>(o, SixteenPixelsAvx512(y, u, v, j), drop);
            continue;
        }
        const __m512i bytes = _mm512_permutexvar_epi8(
            order, _mm512_packus_epi16(_mm512_packs_epi32(blue, green), _mm512_packs_epi32(red, red)));
        StoreOrdered<Step>(o, bytes);
    }
    FinishRowAvx512<Step>(j, y, u, v, out, width, drop);
}

#undef KESTRUN_AVX512_VNNI
#endif

#undef KESTRUN_AVX512

#undef KESTRUN_AVX2

#endif

constexpr Kernel<RgbOutputKernel> outputKernels[] = {
    {"portable", 0, {ConvertRowPortable<3>, ConvertRowPortable<4>}},
#if defined(KESTRUN_COLOUR_SSE2)
    {"sse2", 0, {ConvertRowSse2<3>, ConvertRowSse2<4>}},
#endif
#if defined(KESTRUN_COLOUR_AVX2)
    {"avx2", CpuAvx2, {ConvertRowLinearAvx2<3>, ConvertRowLinearAvx2<4>}},
    {"avx512vbmi", CpuAvx512 | CpuAvx512Vbmi, {ConvertRowAvx512<3>, ConvertRowAvx512<4>}},
#if defined(__x86_64__)
    {"avx512vnni", CpuAvx512 | CpuAvx512Vbmi | CpuAvx512Vnni, {ConvertRowLinear<3>, ConvertRowLinear<4>}},
#endif
#endif
};

const RgbOutputKernel& chosenOutput = ChooseKernel<RgbOutputKernel>(outputKernels).function;
} // namespace

std::span<const Kernel<RgbOutputKernel>> RgbOutputKernels() { return outputKernels; }

void ConvertPlanarToRgbWith(const RgbOutputKernel& kernel, const PlanarPicture& picture, uint8_t* destination,
                            ptrdiff_t pixelStep, ptrdiff_t rowStep)
{
    const RgbRowConverter row = pixelStep == 4 ? kernel.rgb32 : kernel.rgb24;
    const uint32_t width = picture.width, half = width >> 1;
    for (uint32_t r = 0; r < picture.height; ++r) {
        row(picture.yPlane + std::size_t(r) * width, picture.uPlane + std::size_t(r) * half,
            picture.vPlane + std::size_t(r) * half, destination + ptrdiff_t(r) * rowStep, width);
    }
}

void ConvertPlanarToRgb(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t pixelStep, ptrdiff_t rowStep)
{
    ConvertPlanarToRgbWith(chosenOutput, picture, destination, pixelStep, rowStep);
}
