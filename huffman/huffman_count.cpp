// Counting the bytes: a portable loop over four tables, and an AVX-512
// kernel for the residuals' three common values.
#include "huffman.h"
#include "huffman_internal.h"
#include "platform/memory.h"

#if defined(__GNUC__) && defined(__x86_64__)
#define KESTRUN_COUNT_AVX512 1
#include <immintrin.h>
#endif

namespace {

// Four histograms so that runs of one value do not serialise on a single
// counter's load-increment-store. Measured on residual pictures: eight
// histograms, or 64-bit loads split by shifts, are slower (1.9 ms against
// 2.9 and 3.5 ms for a 1080p picture). Two of them count the first half
// and two the second, as the encoder needs the first half's counts; this
// also measured a tenth faster than four tables taking every fourth byte.
void CountPortable(const uint8_t* source, uint32_t length, uint32_t split, uint32_t (*partial)[256])
{
    const uint8_t* second = source + split;
    uint32_t i = 0;
    for (; i + 2 <= split; i += 2) {
        ++partial[0][source[i]];
        ++partial[1][source[i + 1]];
        ++partial[2][second[i]];
        ++partial[3][second[i + 1]];
    }
    for (i += split; i < length; ++i) ++partial[2][source[i]]; // the second half is up to 3 bytes longer
}

#if defined(KESTRUN_COUNT_AVX512)
#define KESTRUN_AVX512_VBMI2 __attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt")))

// Counts source[0, length) into two tables (added to them). Prediction
// residuals are mostly 0, 1 and 255, and a run of one value makes every
// increment of its counter wait for the one before. Those three values are
// counted 64 bytes at a time by comparison; the others are packed together
// (VBMI2 byte compression) into a staging buffer and counted two tables wide.
KESTRUN_AVX512_VBMI2 void CountBytesAvx512(const uint8_t* source, uint32_t length, uint32_t* first, uint32_t* second)
{
    constexpr uint32_t StageBytes = 4096;
    uint8_t stage[StageBytes + 64];
    uint32_t staged = 0;
    uint64_t zeros = 0, ones = 0, minusOnes = 0;
    const __m512i zero = _mm512_setzero_si512(), one = _mm512_set1_epi8(1), minusOne = _mm512_set1_epi8(-1);
    const auto drain = [&] {
        uint32_t i = 0;
        for (; i + 2 <= staged; i += 2) {
            ++first[stage[i]];
            ++second[stage[i + 1]];
        }
        if (i < staged) ++first[stage[i]];
        staged = 0;
    };
    uint32_t i = 0;
    for (; i + 64 <= length; i += 64) {
        const __m512i bytes = _mm512_loadu_si512(source + i);
        const __mmask64 isZero = _mm512_cmpeq_epi8_mask(bytes, zero);
        const __mmask64 isOne = _mm512_cmpeq_epi8_mask(bytes, one);
        const __mmask64 isMinusOne = _mm512_cmpeq_epi8_mask(bytes, minusOne);
        zeros += uint64_t(_mm_popcnt_u64(isZero));
        ones += uint64_t(_mm_popcnt_u64(isOne));
        minusOnes += uint64_t(_mm_popcnt_u64(isMinusOne));
        const __mmask64 rest = ~(isZero | isOne | isMinusOne);
        _mm512_storeu_si512(stage + staged, _mm512_maskz_compress_epi8(rest, bytes));
        staged += uint32_t(_mm_popcnt_u64(rest));
        if (staged > StageBytes - 64) drain();
    }
    for (; i < length; ++i) stage[staged++] = source[i]; // fewer than 64, and room for 64 is kept
    drain();
    first[0] += uint32_t(zeros);
    first[1] += uint32_t(ones);
    first[255] += uint32_t(minusOnes);
}

KESTRUN_AVX512_VBMI2 void CountAvx512(const uint8_t* source, uint32_t length, uint32_t split, uint32_t (*partial)[256])
{
    CountBytesAvx512(source, split, partial[0], partial[1]);
    CountBytesAvx512(source + split, length - split, partial[2], partial[3]);
}
#undef KESTRUN_AVX512_VBMI2
#endif

constexpr Kernel<CountKernel> countKernels[] = {
    {"portable", 0, CountPortable},
#if defined(KESTRUN_COUNT_AVX512)
    {"avx512vbmi2", CpuAvx512 | CpuAvx512Vbmi2, CountAvx512},
#endif
};
const CountKernel chosenCount = ChooseKernel<CountKernel>(countKernels).function;
} // namespace

HuffmanResult huffman_detail::CountHalves(HuffmanCoder& coder, const uint8_t* source, uint32_t length, uint32_t* firstHalfCounts,
                          CountKernel count)
{
    coder.alphabetSize = HuffmanAlphabetSize;
    coder.histogram = AllocateZeroedArray<int32_t>(HuffmanAlphabetSize);
    if (!coder.histogram) return HuffmanResult::NoMemory;
    uint32_t partial[4][HuffmanAlphabetSize] = {};
    (count ? count : chosenCount)(source, length, huffman_detail::EncodeSplit(length), partial);

    coder.usedCount = 0;
    coder.firstSymbol = -1;
    for (int v = 0; v < HuffmanAlphabetSize; ++v) {
        const uint32_t first = partial[0][v] + partial[1][v];
        const uint32_t total = first + partial[2][v] + partial[3][v];
        if (firstHalfCounts) firstHalfCounts[v] = first;
        coder.histogram[v] = static_cast<int32_t>(total); // below 2^24
        if (total != 0) {
            ++coder.usedCount;
            if (coder.firstSymbol < 0) coder.firstSymbol = v;
        }
    }
    return HuffmanResult::Ok;
}

std::span<const Kernel<CountKernel>> HuffmanCountKernels() { return countKernels; }

HuffmanResult CountSymbols(HuffmanCoder& coder, const uint8_t* source, uint32_t length)
{
    return huffman_detail::CountHalves(coder, source, length, nullptr, nullptr);
}

