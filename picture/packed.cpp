// The packed 4:2:2 copies: a portable-plus-SSE2 kernel for every build, and
// AVX2 and AVX-512 VBMI splits of packed rows chosen at run time.
#include "packed.h"

#include "packed_kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__SSE2__) && defined(__GNUC__)
#define KESTRUN_PACKING_WIDE 1
#include <immintrin.h>
// GCC 12's AVX-512 intrinsics start some results from an "undefined" vector
// that its own flow analysis then reports as uninitialised.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace {
// One row of pixel pairs from its first byte. The vector loop handles 16
// pixels (32 bytes) at a time; yOffset selects the layout (YUY2: luma in
// even bytes; UYVY: luma in odd bytes), and chroma takes the other bytes.
void UnpackRow(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t pairs, uint32_t yOffset)
{
    uint32_t k = 0;
#if defined(__SSE2__)
    const __m128i low = _mm_set1_epi16(0x00FF);
    for (; k + 8 <= pairs; k += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * k));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * k + 16));
        const __m128i even = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
        const __m128i odd = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
        const __m128i luma = yOffset == 0 ? even : odd;
        const __m128i chroma = yOffset == 0 ? odd : even; // U, V, U, V, ...
        _mm_storeu_si128(reinterpret_cast<__m128i*>(y + 2 * k), luma);
        const __m128i us = _mm_packus_epi16(_mm_and_si128(chroma, low), _mm_setzero_si128());
        const __m128i vs = _mm_packus_epi16(_mm_srli_epi16(chroma, 8), _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + k), us);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + k), vs);
    }
#endif
    const uint8_t* s = row + yOffset + 4 * k;
    const ptrdiff_t chroma = 1 - 2 * ptrdiff_t(yOffset); // from luma to U
    for (; k < pairs; ++k, s += 4) {
        y[2 * k] = s[0];
        y[2 * k + 1] = s[2];
        u[k] = s[chroma];
        v[k] = s[chroma + 2];
    }
}

// The packed rows are written past the cache (streaming stores) where they
// start on 16 bytes: the frame is handed over whole, and nothing here reads
// it again. Measured on whole YUY2 decodes, a tenth faster so, as the
// stores no longer wait to read each line first.
void PackRow(uint8_t* row, const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t pairs, uint32_t yOffset)
{
    uint32_t k = 0;
#if defined(__SSE2__)
    const auto pack = [&](auto store) {
        for (; k + 8 <= pairs; k += 8) {
            const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * k));
            const __m128i chroma = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + k)),
                                                     _mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + k)));
            const __m128i a = yOffset == 0 ? _mm_unpacklo_epi8(luma, chroma) : _mm_unpacklo_epi8(chroma, luma);
            const __m128i b = yOffset == 0 ? _mm_unpackhi_epi8(luma, chroma) : _mm_unpackhi_epi8(chroma, luma);
            store(reinterpret_cast<__m128i*>(row + 4 * k), a);
            store(reinterpret_cast<__m128i*>(row + 4 * k + 16), b);
        }
    };
    if (reinterpret_cast<uintptr_t>(row) % 16 == 0)
        pack([](__m128i* to, __m128i bytes) { _mm_stream_si128(to, bytes); });
    else
        pack([](__m128i* to, __m128i bytes) { _mm_storeu_si128(to, bytes); });
#endif
    uint8_t* s = row + yOffset + 4 * k;
    const ptrdiff_t chroma = 1 - 2 * ptrdiff_t(yOffset);
    for (; k < pairs; ++k, s += 4) {
        s[0] = y[2 * k];
        s[2] = y[2 * k + 1];
        s[chroma] = u[k];
        s[chroma + 2] = v[k];
    }
}

#if defined(KESTRUN_PACKING_WIDE)
// UnpackRow 32 pixels at a time. The packs work within 128-bit lanes, so
// the luma comes out as quarters a0 b0 a1 b1 of the two loads a and b, and
// the chroma as dwords U(a0) U(b0) V(a0) V(b0) | U(a1) U(b1) V(a1) V(b1);
// one permute puts each in order.
__attribute__((target("avx2"))) void UnpackRowAvx2(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v,
                                                   uint32_t pairs, uint32_t yOffset)
{
    const __m256i low = _mm256_set1_epi16(0x00FF);
    const __m256i chromaOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    uint32_t k = 0;
    for (; k + 16 <= pairs; k += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * k));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 4 * k + 32));
        const __m256i even = _mm256_packus_epi16(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
        const __m256i odd = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
        const __m256i luma = yOffset == 0 ? even : odd;
        const __m256i chroma = yOffset == 0 ? odd : even; // U, V, U, V, ...
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(y + 2 * k), _mm256_permute4x64_epi64(luma, 0xD8));
        const __m256i uv = _mm256_permutevar8x32_epi32(
            _mm256_packus_epi16(_mm256_and_si256(chroma, low), _mm256_srli_epi16(chroma, 8)), chromaOrder);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(u + k), _mm256_castsi256_si128(uv));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(v + k), _mm256_extracti128_si256(uv, 1));
    }
    UnpackRow(row + 4 * k, y + 2 * k, u + k, v + k, pairs - k, yOffset);
}

#define KESTRUN_VBMI __attribute__((target("avx2,avx512f,avx512bw,avx512vbmi")))

// Byte permutations from 128 packed bytes (64 pixels) to their planar
// samples, for luma in even bytes (YUY2) and in odd bytes (UYVY). Packing
// the other way stays with the SSE2 rows: a 512-bit version of it measured
// a tenth slower in whole frame decodes (same speed alone in a loop).
struct PackingIndices {
    uint8_t luma[64];   // packed byte of each luma sample
    uint8_t chroma[64]; // packed byte of each U, then each V sample
};

constexpr PackingIndices MakePackingIndices(int yOffset)
{
    const int uOffset = 1 - yOffset;
    PackingIndices t{};
    for (int i = 0; i < 64; ++i) {
        t.luma[i] = uint8_t(2 * i + yOffset);
        t.chroma[i] = uint8_t(i < 32 ? 4 * i + uOffset : 4 * (i - 32) + uOffset + 2);
    }
    return t;
}

alignas(64) constexpr PackingIndices packingIndices[2] = {MakePackingIndices(0), MakePackingIndices(1)};

// UnpackRow 64 pixels at a time: two permutes of the row's 128 bytes.
KESTRUN_VBMI void UnpackRowAvx512(const uint8_t* row, uint8_t* y, uint8_t* u, uint8_t* v, uint32_t pairs,
                                  uint32_t yOffset)
{
    const PackingIndices& t = packingIndices[yOffset];
    const __m512i lumaIndex = _mm512_load_si512(t.luma), chromaIndex = _mm512_load_si512(t.chroma);
    uint32_t k = 0;
    for (; k + 32 <= pairs; k += 32) {
        const __m512i a = _mm512_loadu_si512(row + 4 * k), b = _mm512_loadu_si512(row + 4 * k + 64);
        _mm512_storeu_si512(y + 2 * k, _mm512_permutex2var_epi8(a, lumaIndex, b));
        const __m512i chroma = _mm512_permutex2var_epi8(a, chromaIndex, b);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(u + k), _mm512_castsi512_si256(chroma));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + k), _mm512_extracti64x4_epi64(chroma, 1));
    }
    UnpackRow(row + 4 * k, y + 2 * k, u + k, v + k, pairs - k, yOffset);
}

#undef KESTRUN_VBMI
#endif

constexpr Kernel<PackingKernel> packingKernels[] = {
    {"sse2", 0, {UnpackRow, PackRow}},
#if defined(KESTRUN_PACKING_WIDE)
    {"avx2", CpuAvx2, {UnpackRowAvx2, PackRow}},
    {"avx512vbmi", CpuAvx512 | CpuAvx512Vbmi, {UnpackRowAvx512, PackRow}}, // see PackingIndices
#endif
};

const PackingKernel& ChosenKernel()
{
    static const PackingKernel& chosen = ChooseKernel<PackingKernel>(packingKernels).function;
    return chosen;
}
} // namespace

std::span<const Kernel<PackingKernel>> PackingKernels() { return packingKernels; }

void PackedToPlanarWith(const PackingKernel& kernel, PlanarPicture& picture, const uint8_t* source,
                        ptrdiff_t rowStep, uint32_t yOffset)
{
    for (uint32_t r = 0; r < picture.height; ++r)
        kernel.unpack(source + ptrdiff_t(r) * rowStep, picture.yPlane + std::size_t(r) * picture.yRowLength,
                      picture.uPlane + std::size_t(r) * picture.chromaRowLength,
                      picture.vPlane + std::size_t(r) * picture.chromaRowLength, picture.width >> 1, yOffset);
}

void PlanarToPackedWith(const PackingKernel& kernel, const PlanarPicture& picture, uint8_t* destination,
                        ptrdiff_t rowStep, uint32_t yOffset)
{
    for (uint32_t r = 0; r < picture.height; ++r)
        kernel.pack(destination + ptrdiff_t(r) * rowStep, picture.yPlane + std::size_t(r) * picture.yRowLength,
                    picture.uPlane + std::size_t(r) * picture.chromaRowLength,
                    picture.vPlane + std::size_t(r) * picture.chromaRowLength, picture.width >> 1, yOffset);
#if defined(__SSE2__)
    _mm_sfence(); // the streaming stores are seen before anything written after
#endif
}

void PackedToPlanar(PlanarPicture& picture, const uint8_t* source, ptrdiff_t rowStep, uint32_t yOffset, uint32_t)
{
    PackedToPlanarWith(ChosenKernel(), picture, source, rowStep, yOffset);
}

void PlanarToPacked(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t rowStep, uint32_t yOffset,
                    uint32_t)
{
    PlanarToPackedWith(ChosenKernel(), picture, destination, rowStep, yOffset);
}
