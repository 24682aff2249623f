// The transform's row operations and its fast kernels: forward rows by
// SSE2, AVX2 and AVX-512 blocks, inverse rows by diagonal wavefronts.
#include "median_transform.h"

#include <algorithm>

#include "median_kernels.h"
#include "median_prediction.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#if defined(__GNUC__)
#define KESTRUN_MEDIAN_WIDE 1
#include <immintrin.h>
// GCC 12's AVX-512 intrinsics start some results from an "undefined" vector
// that its own flow analysis then reports as uninitialised.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif
#endif

// --- the row operations, one sample at a time ---

// The forward pass walks right to left so that row[x - 1] still holds its
// input value when row[x] is predicted; the rows go last to first for the
// same reason.
void MedianPredictRow(uint8_t* row, const uint8_t* previousRow, uint32_t count)
{
    for (uint32_t x = count - 1; x >= 1; --x)
        row[x] = uint8_t(row[x] - MedianPrediction(row[x - 1], previousRow[x], previousRow[x - 1]));
    row[0] = uint8_t(row[0] - previousRow[0]);
}

void MedianRestoreRow(uint8_t* row, const uint8_t* previousRow, uint32_t count)
{
    row[0] = uint8_t(row[0] + previousRow[0]);
    uint8_t left = row[0];
    for (uint32_t x = 1; x < count; ++x) {
        left = uint8_t(row[x] + MedianPrediction(left, previousRow[x], previousRow[x - 1]));
        row[x] = left;
    }
}

// --- fast kernels ---

namespace {
#if defined(__SSE2__)
// median(L, P, G) = max(min(L, P), min(max(L, P), G)), unsigned bytes.
inline __m128i Median16(__m128i left, __m128i above, __m128i aboveLeft)
{
    const __m128i gradient = _mm_sub_epi8(_mm_add_epi8(left, above), aboveLeft);
    return _mm_max_epu8(_mm_min_epu8(left, above), _mm_min_epu8(_mm_max_epu8(left, above), gradient));
}
#endif

// Forward prediction of one row, 16 samples at a time from the right. A
// block reads the samples just left of it, which are still input values
// because blocks further left are done later. The first block, whose left
// neighbours are its own samples moved up one place, is worked out first and
// stored last, over whatever the block before it wrote there: the same
// values, as both come from input values only. Its sample 0 gets left and
// above-left 0, so median(0, P, P) = P gives the first sample's plain
// difference from the one above.
void PredictRowFast(uint8_t* row, const uint8_t* previousRow, uint32_t count)
{
#if defined(__SSE2__)
    if (count >= 16) {
        const auto predict = [&](uint32_t x, __m128i left, __m128i above, __m128i aboveLeft) {
            const __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
            return _mm_sub_epi8(current, Median16(left, above, aboveLeft));
        };
        const auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
        const __m128i above0 = load(previousRow);
        const __m128i first = predict(0, _mm_slli_si128(load(row), 1), above0, _mm_slli_si128(above0, 1));
        for (uint32_t end = count; end > 16; end -= 16) {
            const uint32_t x = end - 16;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x),
                             predict(x, load(row + x - 1), load(previousRow + x), load(previousRow + x - 1)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row), first);
        return;
    }
#endif
    for (uint32_t x = count - 1; x >= 1; --x)
        row[x] = uint8_t(row[x] - MedianPrediction(row[x - 1], previousRow[x], previousRow[x - 1]));
    row[0] = uint8_t(row[0] - previousRow[0]);
}

void LeftDifferencesFast(uint8_t* row, uint32_t count)
{
    uint32_t end = count;
#if defined(__SSE2__)
    for (; end >= 17; end -= 16) {
        const uint32_t x = end - 16;
        const __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
        const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x - 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_sub_epi8(current, left));
    }
#endif
    for (uint32_t x = end - 1; x >= 1; --x) row[x] = uint8_t(row[x] - row[x - 1]);
}

#if defined(KESTRUN_MEDIAN_WIDE)
#define KESTRUN_AVX2 __attribute__((target("avx2")))
#define KESTRUN_AVX512 __attribute__((target("avx2,avx512f,avx512bw")))

KESTRUN_AVX2 inline __m256i Median32(__m256i left, __m256i above, __m256i aboveLeft)
{
    const __m256i gradient = _mm256_sub_epi8(_mm256_add_epi8(left, above), aboveLeft);
    return _mm256_max_epu8(_mm256_min_epu8(left, above), _mm256_min_epu8(_mm256_max_epu8(left, above), gradient));
}

KESTRUN_AVX2 inline __m256i Load32(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// The samples moved up one place, 0 coming in.
KESTRUN_AVX2 inline __m256i UpOne(__m256i v)
{
    return _mm256_alignr_epi8(v, _mm256_permute2x128_si256(v, v, 0x08), 15);
}

// PredictRowFast 32 samples at a time; shorter rows go to it.
KESTRUN_AVX2 void PredictRowAvx2(uint8_t* row, const uint8_t* previousRow, uint32_t count)
{
    if (count < 32) return PredictRowFast(row, previousRow, count);
    const __m256i current0 = Load32(row), above0 = Load32(previousRow);
    const __m256i first = _mm256_sub_epi8(current0, Median32(UpOne(current0), above0, UpOne(above0)));
    for (uint32_t end = count; end > 32; end -= 32) {
        const uint32_t x = end - 32;
        const __m256i median = Median32(Load32(row + x - 1), Load32(previousRow + x), Load32(previousRow + x - 1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + x), _mm256_sub_epi8(Load32(row + x), median));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(row), first);
}

KESTRUN_AVX512 inline __m512i Median64(__m512i left, __m512i above, __m512i aboveLeft)
{
    const __m512i gradient = _mm512_sub_epi8(_mm512_add_epi8(left, above), aboveLeft);
    return _mm512_max_epu8(_mm512_min_epu8(left, above), _mm512_min_epu8(_mm512_max_epu8(left, above), gradient));
}

KESTRUN_AVX512 inline __m512i UpOne(__m512i v)
{
    return _mm512_alignr_epi8(v, _mm512_alignr_epi64(v, _mm512_setzero_si512(), 6), 15);
}

// The same 64 samples at a time.
KESTRUN_AVX512 void PredictRowAvx512(uint8_t* row, const uint8_t* previousRow, uint32_t count)
{
    if (count < 64) return PredictRowAvx2(row, previousRow, count);
    const __m512i current0 = _mm512_loadu_si512(row), above0 = _mm512_loadu_si512(previousRow);
    const __m512i first = _mm512_sub_epi8(current0, Median64(UpOne(current0), above0, UpOne(above0)));
    for (uint32_t end = count; end > 64; end -= 64) {
        const uint32_t x = end - 64;
        const __m512i median = Median64(_mm512_loadu_si512(row + x - 1), _mm512_loadu_si512(previousRow + x),
                                        _mm512_loadu_si512(previousRow + x - 1));
        _mm512_storeu_si512(row + x, _mm512_sub_epi8(_mm512_loadu_si512(row + x), median));
    }
    _mm512_storeu_si512(row, first);
}

#undef KESTRUN_AVX2
#undef KESTRUN_AVX512

#endif

inline int Median(int left, int above, int aboveLeft)
{
    const int gradient = (left + above - aboveLeft) & 0xFF;
    const int low = left < above ? left : above;
    const int high = left < above ? above : left;
    const int raised = gradient < low ? low : gradient;
    return raised > high ? high : raised;
}

// Restores four rows at once along a diagonal wavefront: row j of the group
// works one column behind row j - 1, so the samples it needs from the row
// above are already restored, and they are handed over in registers. The
// four left-to-right chains are independent, so their latencies overlap.
constexpr int WavefrontRows = 4;

struct Wavefront {
    int last[WavefrontRows];     // each row's most recently restored sample
    int previous[WavefrontRows]; // the one before it
};

// One step: row j restores column t - j. With Checked, rows whose column lies
// outside 0..count-1 sit still (the wavefront's start and end).
template <bool Checked>
inline void WavefrontStep(Wavefront& s, uint8_t* const* rows, const uint8_t* above, uint32_t t, uint32_t count)
{
    int next[WavefrontRows] = {};
    bool active[WavefrontRows];
#pragma GCC unroll 4
    for (int j = 0; j < WavefrontRows; ++j) {
        const int64_t x = int64_t(t) - j;
        active[j] = !Checked || (x >= 0 && x < int64_t(count));
        if (!active[j]) continue;
        // Row j - 1's samples at x and x - 1 are its last two restored ones.
        const int up = j == 0 ? above[x] : s.last[j - 1];
        if (Checked && x == 0) {
            next[j] = (rows[j][x] + up) & 0xFF;
            continue;
        }
        const int upLeft = j == 0 ? above[x - 1] : s.previous[j - 1];
        next[j] = (rows[j][x] + Median(s.last[j], up, upLeft)) & 0xFF;
    }
#pragma GCC unroll 4
    for (int j = 0; j < WavefrontRows; ++j) {
        if (!active[j]) continue;
        rows[j][int64_t(t) - j] = uint8_t(next[j]);
        s.previous[j] = s.last[j];
        s.last[j] = next[j];
    }
}

void RestoreFourRows(uint8_t* first, std::size_t stride, uint32_t count)
{
    uint8_t* rows[WavefrontRows];
    for (int j = 0; j < WavefrontRows; ++j) rows[j] = first + stride * j;
    const uint8_t* above = first - stride;
    Wavefront s{};
    uint32_t t = 0;
    for (; t < WavefrontRows && t < count; ++t) WavefrontStep<true>(s, rows, above, t, count); // row 3 starts at t = 3
    if (t < count) {
        // The steady state, with the state in locals: stores through byte
        // pointers may alias anything, so state kept in memory would be
        // reloaded after every store.
        uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
        int l0 = s.last[0], l1 = s.last[1], l2 = s.last[2], l3 = s.last[3];
        int q0 = s.previous[0], q1 = s.previous[1], q2 = s.previous[2];
        int aboveLeft = above[t - 1];
        for (; t < count; ++t) {
            const int up = above[t];
            const int n0 = (r0[t] + Median(l0, up, aboveLeft)) & 0xFF;
            const int n1 = (r1[t - 1] + Median(l1, l0, q0)) & 0xFF;
            const int n2 = (r2[t - 2] + Median(l2, l1, q1)) & 0xFF;
            const int n3 = (r3[t - 3] + Median(l3, l2, q2)) & 0xFF;
            r0[t] = uint8_t(n0);
            r1[t - 1] = uint8_t(n1);
            r2[t - 2] = uint8_t(n2);
            r3[t - 3] = uint8_t(n3);
            aboveLeft = up;
            q0 = l0, q1 = l1, q2 = l2;
            l0 = n0, l1 = n1, l2 = n2, l3 = n3;
        }
        s.last[0] = l0, s.last[1] = l1, s.last[2] = l2, s.last[3] = l3;
        s.previous[0] = q0, s.previous[1] = q1, s.previous[2] = q2;
    }
    for (; t < count + WavefrontRows - 1; ++t) WavefrontStep<true>(s, rows, above, t, count);
}

#if defined(__SSE2__)
// Transposes a 16x16 byte block held in 16 vectors: byte k of v[j] moves to
// byte j of v[k].
inline void Transpose16x16(__m128i v[16])
{
    __m128i t[16], u[16], w[16];
    for (int i = 0; i < 8; ++i) {
        t[2 * i] = _mm_unpacklo_epi8(v[2 * i], v[2 * i + 1]);
        t[2 * i + 1] = _mm_unpackhi_epi8(v[2 * i], v[2 * i + 1]);
    }
    for (int g = 0; g < 4; ++g) { // rows 4g .. 4g + 3
        u[4 * g + 0] = _mm_unpacklo_epi16(t[4 * g + 0], t[4 * g + 2]);
        u[4 * g + 1] = _mm_unpackhi_epi16(t[4 * g + 0], t[4 * g + 2]);
        u[4 * g + 2] = _mm_unpacklo_epi16(t[4 * g + 1], t[4 * g + 3]);
        u[4 * g + 3] = _mm_unpackhi_epi16(t[4 * g + 1], t[4 * g + 3]);
    }
    for (int g = 0; g < 2; ++g) // rows 8g .. 8g + 7
        for (int k = 0; k < 4; ++k) {
            w[8 * g + 2 * k] = _mm_unpacklo_epi32(u[8 * g + k], u[8 * g + 4 + k]);
            w[8 * g + 2 * k + 1] = _mm_unpackhi_epi32(u[8 * g + k], u[8 * g + 4 + k]);
        }
    for (int k = 0; k < 8; ++k) {
        v[2 * k] = _mm_unpacklo_epi64(w[k], w[k + 8]);
        v[2 * k + 1] = _mm_unpackhi_epi64(w[k], w[k + 8]);
    }
}

// The wavefront of RestoreFourRows, sixteen rows wide in the lanes of one
// vector. Lane j restores row j at column t - j; the residuals of one step
// lie on a diagonal, so blocks of 16 steps are gathered by loading row j
// from column t0 - j and transposing, and scattered back the same way.
struct VectorWavefront {
    __m128i last;     // lane j: row j's most recently restored sample
    __m128i previous; // lane j: row j - 1's sample left of the one above `last`'s next
};

inline __m128i WavefrontVectorStep(VectorWavefront& s, __m128i residual, int above)
{
    // Row j - 1's newest sample sits above row j's next one; lane 0 takes the row above the group.
    const __m128i up = _mm_or_si128(_mm_slli_si128(s.last, 1), _mm_cvtsi32_si128(above));
    const __m128i restored = _mm_add_epi8(residual, Median16(s.last, up, s.previous));
    s.previous = up;
    s.last = restored;
    return restored;
}

constexpr uint32_t VectorRows = 16;

void RestoreSixteenRows(uint8_t* first, std::size_t stride, uint32_t count)
{
    uint8_t* rows[VectorRows];
    for (uint32_t j = 0; j < VectorRows; ++j) rows[j] = first + stride * j;
    const uint8_t* above = first - stride;

    // Start of the wavefront: row j up to column 15 - j, one sample at a time.
    for (uint32_t j = 0; j < VectorRows; ++j) {
        uint8_t* row = rows[j];
        const uint8_t* up = j == 0 ? above : rows[j - 1];
        row[0] = uint8_t(row[0] + up[0]);
        for (uint32_t x = 1; x <= VectorRows - 1 - j; ++x)
            row[x] = uint8_t(row[x] + MedianPrediction(row[x - 1], up[x], up[x - 1]));
    }
    alignas(16) uint8_t lanes[VectorRows];
    VectorWavefront s;
    for (uint32_t j = 0; j < VectorRows; ++j) lanes[j] = rows[j][VectorRows - 1 - j];
    s.last = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
    lanes[0] = above[VectorRows - 1];
    for (uint32_t j = 1; j < VectorRows; ++j) lanes[j] = rows[j - 1][VectorRows - 1 - j];
    s.previous = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));

    // Steady state, t = 16 .. count - 1: every lane inside its row.
    uint32_t t = VectorRows;
    for (; t + VectorRows <= count; t += VectorRows) {
        __m128i block[VectorRows];
        for (uint32_t j = 0; j < VectorRows; ++j)
            block[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[j] + t - j));
        Transpose16x16(block);
        for (uint32_t k = 0; k < VectorRows; ++k) block[k] = WavefrontVectorStep(s, block[k], above[t + k]);
        Transpose16x16(block);
        for (uint32_t j = 0; j < VectorRows; ++j)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[j] + t - j), block[j]);
    }
    for (; t < count; ++t) {
        for (uint32_t j = 0; j < VectorRows; ++j) lanes[j] = rows[j][t - j];
        const __m128i restored =
            WavefrontVectorStep(s, _mm_load_si128(reinterpret_cast<const __m128i*>(lanes)), above[t]);
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), restored);
        for (uint32_t j = 0; j < VectorRows; ++j) rows[j][t - j] = lanes[j];
    }

    // End of the wavefront: rows 1 to 15 catch up, in order.
    for (uint32_t j = 1; j < VectorRows; ++j) {
        uint8_t* row = rows[j];
        const uint8_t* up = rows[j - 1];
        for (uint32_t x = count - j; x < count; ++x)
            row[x] = uint8_t(row[x] + MedianPrediction(row[x - 1], up[x], up[x - 1]));
    }
}
#endif
} // namespace

namespace {
// Row 0 from the left alone; the caller goes on from row 1.
uint32_t RestoreFirstRow(uint8_t* plane, uint32_t rowLength, uint32_t firstRow)
{
    if (firstRow != 0) return firstRow;
    for (uint32_t x = 1; x < rowLength; ++x) plane[x] = uint8_t(plane[x] + plane[x - 1]);
    return 1;
}

// Four rows at a time where rows are long enough, then one by one.
uint32_t RestoreRowsByFour(uint8_t* plane, uint32_t rowLength, uint32_t r, uint32_t endRow)
{
    if (rowLength >= WavefrontRows)
        for (; r + WavefrontRows <= endRow; r += WavefrontRows)
            RestoreFourRows(plane + std::size_t(r) * rowLength, rowLength, rowLength);
    for (; r < endRow; ++r)
        MedianRestoreRow(plane + std::size_t(r) * rowLength, plane + std::size_t(r - 1) * rowLength, rowLength);
    return r;
}

void RestoreRowsPortable(uint8_t* plane, uint32_t rowLength, uint32_t firstRow, uint32_t endRow)
{
    if (rowLength == 0 || firstRow >= endRow) return;
    RestoreRowsByFour(plane, rowLength, RestoreFirstRow(plane, rowLength, firstRow), endRow);
}

#if defined(__SSE2__)
// Sixteen rows at a time in the lanes of a vector, where rows are long
// enough to fill its pipeline; what is left four and one at a time.
void RestoreRowsSse2(uint8_t* plane, uint32_t rowLength, uint32_t firstRow, uint32_t endRow)
{
    if (rowLength == 0 || firstRow >= endRow) return;
    uint32_t r = RestoreFirstRow(plane, rowLength, firstRow);
    if (rowLength >= 2 * VectorRows)
        for (; r + VectorRows <= endRow; r += VectorRows)
            RestoreSixteenRows(plane + std::size_t(r) * rowLength, rowLength, rowLength);
    RestoreRowsByFour(plane, rowLength, r, endRow);
}
#endif

constexpr Kernel<PredictRowKernel> predictKernels[] = {
    {"sse2", 0, PredictRowFast},
#if defined(KESTRUN_MEDIAN_WIDE)
    {"avx2", CpuAvx2, PredictRowAvx2},
    {"avx512", CpuAvx512, PredictRowAvx512},
#endif
};

constexpr Kernel<RestoreRowsKernel> restoreKernels[] = {
    {"portable", 0, RestoreRowsPortable},
#if defined(__SSE2__)
    {"sse2", 0, RestoreRowsSse2},
#endif
};

const PredictRowKernel chosenPredictor = ChooseKernel<PredictRowKernel>(predictKernels).function;
const RestoreRowsKernel chosenRestorer = ChooseKernel<RestoreRowsKernel>(restoreKernels).function;
} // namespace

std::span<const Kernel<PredictRowKernel>> MedianPredictKernels() { return predictKernels; }
std::span<const Kernel<RestoreRowsKernel>> MedianRestoreKernels() { return restoreKernels; }

void MedianTransformPlaneWith(PredictRowKernel predict, uint8_t* plane, uint32_t rowLength, uint32_t rows)
{
    if (rowLength == 0 || rows == 0) return;
    for (uint32_t r = rows - 1; r >= 1; --r)
        predict(plane + std::size_t(r) * rowLength, plane + std::size_t(r - 1) * rowLength, rowLength);
    LeftDifferencesFast(plane, rowLength);
}

void MedianTransformPlane(uint8_t* plane, uint32_t rowLength, uint32_t rows)
{
    MedianTransformPlaneWith(chosenPredictor, plane, rowLength, rows);
}

void MedianRestorePlaneRows(uint8_t* plane, uint32_t rowLength, uint32_t firstRow, uint32_t endRow)
{
    chosenRestorer(plane, rowLength, firstRow, endRow);
}

void MedianRestorePlane(uint8_t* plane, uint32_t rowLength, uint32_t rows)
{
    MedianRestorePlaneRows(plane, rowLength, 0, rows);
}

void MedianTransformPicture(PlanarPicture& picture)
{
    MedianTransformPlane(picture.yPlane, picture.width, picture.height);
    MedianTransformPlane(picture.uPlane, picture.chromaRowLength, picture.height);
    MedianTransformPlane(picture.vPlane, picture.chromaRowLength, picture.height);
}

void MedianRestorePicture(PlanarPicture& picture)
{
    MedianRestorePlane(picture.yPlane, picture.width, picture.height);
    MedianRestorePlane(picture.uPlane, picture.chromaRowLength, picture.height);
    MedianRestorePlane(picture.vPlane, picture.chromaRowLength, picture.height);
}
