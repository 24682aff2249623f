// Counting the bytes: a portable loop over four tables, an AVX2 kernel for
// the residuals' twelve common values and an AVX-512 one for their three
// most common.
#include "huffman.h"
#include "huffman_internal.h"
#include "platform/memory.h"

#if defined(__GNUC__) && defined(__x86_64__)
#define KESTRUN_COUNT_AVX512 1
#define KESTRUN_COUNT_AVX2 1
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

#if defined(KESTRUN_COUNT_AVX2)
// Staged bytes, counted two tables wide; the stage is emptied.
inline void CountStaged(const uint8_t* stage, uint32_t& staged, uint32_t* first, uint32_t* second)
{
    uint32_t i = 0;
    for (; i + 2 <= staged; i += 2) {
        ++first[stage[i]];
        ++second[stage[i + 1]];
    }
    if (i < staged) ++first[stage[i]];
    staged = 0;
}

// For each mask of 8 bits, the shuffle that packs the bytes whose bits are
// set to the front, and how many they are.
struct ByteGathers {
    uint8_t shuffle[256][8];
    uint8_t count[256];
};
constexpr ByteGathers MakeByteGathers()
{
    ByteGathers g{};
    for (int mask = 0; mask < 256; ++mask) {
        int n = 0;
        for (int b = 0; b < 8; ++b)
            if (mask >> b & 1) g.shuffle[mask][n++] = uint8_t(b);
        g.count[mask] = uint8_t(n);
        for (int k = n; k < 8; ++k) g.shuffle[mask][k] = 0x80; // a zero, overwritten by the next group
    }
    return g;
}
constexpr ByteGathers byteGathers = MakeByteGathers();

// The values from CommonLow on, CommonCount of them, hold about 97 % of the
// residuals of camera footage; more of them would not stay in registers.
constexpr int CommonLow = -6;
constexpr int CommonCount = 12;

// The byte counters added to the totals, and cleared.
__attribute__((target("avx2"))) inline void EmptyCounters(__m256i (&counters)[CommonCount],
                                                           uint64_t (&totals)[CommonCount])
{
    for (int c = 0; c < CommonCount; ++c) {
        const __m256i sums = _mm256_sad_epu8(counters[c], _mm256_setzero_si256());
        const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        totals[c] += uint64_t(_mm_cvtsi128_si64(half)) + uint64_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half)));
        counters[c] = _mm256_setzero_si256();
    }
}

// The bytes of `bytes` that are not common values, 8 at a time by a shuffle,
// onto the end of the stage.
__attribute__((target("avx2"))) inline void StageRest(const uint8_t* bytes, uint32_t rest, uint8_t* stage,
                                                      uint32_t& staged)
{
    for (int g = 0; g < 4; ++g) {
        const uint32_t mask = rest >> (8 * g) & 0xFF;
        const __m128i eight = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes + 8 * g));
        const __m128i gather = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(byteGathers.shuffle[mask]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(stage + staged), _mm_shuffle_epi8(eight, gather));
        staged += byteGathers.count[mask];
    }
}

// Counts source[0, length) into two tables (added to them). Each common
// value is counted Step bytes at a time by comparison into byte counters,
// emptied into 64-bit totals before they could wrap; the twelve counters do
// not all stay in registers, so each is loaded and stored once for Step / 32
// comparisons. The other bytes are packed together, 8 at a time by a
// shuffle, into a staging buffer and counted two tables wide.
__attribute__((target("avx2"))) void CountBytesAvx2(const uint8_t* source, uint32_t length, uint32_t* first,
                                                     uint32_t* second)
{
    constexpr int Vectors = 4;
    constexpr uint32_t Step = 32 * Vectors, StepsBeforeWrap = 255 / Vectors;
    constexpr uint32_t StageBytes = 4096;
    uint8_t stage[StageBytes + Step];
    uint32_t staged = 0;
    __m256i counters[CommonCount];
    for (__m256i& c : counters) c = _mm256_setzero_si256();
    uint64_t totals[CommonCount] = {};
    // A byte's value less CommonLow: the common values become 0 to CommonCount - 1.
    const __m256i offset = _mm256_set1_epi8(int8_t(-CommonLow));
    const __m256i last = _mm256_set1_epi8(CommonCount - 1);
    uint32_t i = 0, steps = 0;
    for (; i + Step <= length; i += Step) {
        __m256i index[Vectors];
        for (int k = 0; k < Vectors; ++k)
            index[k] = _mm256_add_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 32 * k)), offset);
        for (int c = 0; c < CommonCount; ++c) {
            const __m256i value = _mm256_set1_epi8(int8_t(c));
            __m256i counter = counters[c];
            for (int k = 0; k < Vectors; ++k) counter = _mm256_sub_epi8(counter, _mm256_cmpeq_epi8(index[k], value));
            counters[c] = counter;
        }
        for (int k = 0; k < Vectors; ++k) {
            const __m256i common = _mm256_cmpeq_epi8(_mm256_min_epu8(index[k], last), index[k]);
            StageRest(source + i + 32 * k, ~uint32_t(_mm256_movemask_epi8(common)), stage, staged);
        }
        if (++steps == StepsBeforeWrap) {
            EmptyCounters(counters, totals);
            steps = 0;
        }
        if (staged > StageBytes - Step) CountStaged(stage, staged, first, second);
    }
    for (; i < length; ++i) stage[staged++] = source[i]; // fewer than Step, and room for Step is kept
    CountStaged(stage, staged, first, second);
    EmptyCounters(counters, totals);
    for (int c = 0; c < CommonCount; ++c) first[uint8_t(CommonLow + c)] += uint32_t(totals[c]);
}

__attribute__((target("avx2"))) void CountAvx2(const uint8_t* source, uint32_t length, uint32_t split,
                                                uint32_t (*partial)[256])
{
    CountBytesAvx2(source, split, partial[0], partial[1]);
    CountBytesAvx2(source + split, length - split, partial[2], partial[3]);
}
#endif

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
        if (staged > StageBytes - 64) CountStaged(stage, staged, first, second);
    }
    for (; i < length; ++i) stage[staged++] = source[i]; // fewer than 64, and room for 64 is kept
    CountStaged(stage, staged, first, second);
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
#if defined(KESTRUN_COUNT_AVX2)
    {"avx2", CpuAvx2, CountAvx2},
#endif
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

