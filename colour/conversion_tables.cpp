// The process-wide fixed-point tables: built once, then only read.
#include "colour.h"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "colour_internal.h"

const float ConversionScale = 262144.0f;

ConversionTables conversionTables;
bool ConversionTablesBuilt = false;
ForwardContribution forwardContributions[3][256];
ChromaContribution chromaContributions[2][256];
LinearSums forwardLinear;
LinearSums inverseLinear;
bool ClampTableBuilt = false;

namespace {

// Wider than the declared -256..511 so that every sum ConvertPlanarToRgb can
// form (blue reaches -277..534 for full-range chroma) saturates by look-up
// alone, with no limiting branch in the pixel loop.
uint8_t clampStorage[ClampTableLast - ClampTableFirst + 1];

// The single-precision coefficients are pinned to the exact bit patterns the
// entries depend on, so a different literal parse cannot go unnoticed.
constexpr float YCoefficientR = 0.256788f;
constexpr float YCoefficientG = 0.504129f;
constexpr float YCoefficientB = 0.097906f;
constexpr float YToRgb = 1.164383f;
constexpr float VToR = 1.596027f;
constexpr float UToG = -0.391762f;
constexpr float VToG = -0.812968f;
constexpr float UToB = 2.017232f;
static_assert(std::bit_cast<uint32_t>(YCoefficientR) == 0x3E8379B7u);
static_assert(std::bit_cast<uint32_t>(YCoefficientG) == 0x3F010E99u);
static_assert(std::bit_cast<uint32_t>(YCoefficientB) == 0x3DC882F1u);
static_assert(std::bit_cast<uint32_t>(YToRgb) == 0x3F950A81u);
static_assert(std::bit_cast<uint32_t>(VToR) == 0x3FCC4A9Du);
static_assert(std::bit_cast<uint32_t>(UToG) == 0xBEC89507u);
static_assert(std::bit_cast<uint32_t>(VToG) == 0xBF501EACu);
static_assert(std::bit_cast<uint32_t>(UToB) == 0x40011A54u);

// Every step is stored through a volatile float so that each product and
// sum is rounded to single precision in the written order, whatever the
// compiler would otherwise keep in wider registers or fuse.
int32_t SingleEntry(float term, float coefficient, float firstOffset, float secondOffset)
{
    volatile float product = term * coefficient;
    volatile float partial = product + firstOffset;
    volatile float sum = partial + secondOffset;
    return static_cast<int32_t>(sum); // truncates toward zero
}

int32_t DoubleEntry(double term, double coefficient, double firstOffset, double secondOffset)
{
    volatile double product = term * coefficient;
    volatile double partial = product + firstOffset;
    volatile double sum = partial + secondOffset;
    return static_cast<int32_t>(sum);
}

void FillConversionTables(ConversionTables& t)
{
    const float s = ConversionScale;
    const float half = s * 0.5f, sixteen = s * 16.0f, centre = s * 128.0f; // exact
    for (int i = 0; i < 256; ++i) {
        const float sample = s * static_cast<float>(i);      // exact: i * 2^18
        const float luma = static_cast<float>(i - 16) * s;   // exact
        const float chroma = static_cast<float>(i - 128) * s; // exact
        t.YFromR[i] = SingleEntry(sample, YCoefficientR, half, sixteen);
        t.YFromG[i] = SingleEntry(sample, YCoefficientG, 0.0f, 0.0f);
        t.YFromB[i] = SingleEntry(sample, YCoefficientB, 0.0f, 0.0f);

        const double wide = static_cast<double>(sample);
        t.UFromR[i] = DoubleEntry(wide, -0.148223, centre, half);
        t.UFromG[i] = DoubleEntry(wide, -0.290993, 0.0, 0.0);
        t.UFromB[i] = DoubleEntry(wide, 0.439216, 0.0, 0.0);
        // The V offset is summed first, unlike the U offset; the entries are
        // exact either way, but keep the written order.
        t.VFromR[i] = DoubleEntry(wide, 0.439216, static_cast<double>(centre) + static_cast<double>(half), 0.0);
        t.VFromG[i] = DoubleEntry(wide, -0.367788, 0.0, 0.0);
        t.VFromB[i] = DoubleEntry(wide, -0.071427, 0.0, 0.0);

        t.RgbFromY[i] = SingleEntry(luma, YToRgb, half, 0.0f);
        t.RFromV[i] = SingleEntry(chroma, VToR, 0.0f, 0.0f);
        t.GFromU[i] = SingleEntry(chroma, UToG, 0.0f, 0.0f);
        t.GFromV[i] = SingleEntry(chroma, VToG, 0.0f, 0.0f);
        t.BFromU[i] = SingleEntry(chroma, UToB, 0.0f, 0.0f);
    }
}

// Lowest and highest of scale T[i] - k i over the table: how far the line
// k i strays from the entries, at the sums' fraction bits.
struct Spread {
    int64_t low, high;
    int64_t Width() const { return high - low; }
};

Spread SpreadOf(const int32_t* table, int64_t scale, int64_t k)
{
    Spread s{INT64_MAX, INT64_MIN};
    for (int64_t i = 0; i < 256; ++i) {
        const int64_t d = scale * int64_t(table[i]) - k * i;
        s.low = std::min(s.low, d);
        s.high = std::max(s.high, d);
    }
    return s;
}

// The slope whose line stays closest to the entries. The spread's width is
// convex in k, so walking downhill from the end-to-end slope finds its least.
int64_t FlattestSlope(const int32_t* table, int64_t scale)
{
    const auto width = [&](int64_t k) { return SpreadOf(table, scale, k).Width(); };
    int64_t k = (scale * (int64_t(table[255]) - table[0]) + 127) / 255;
    while (width(k - 1) < width(k)) --k;
    while (width(k + 1) < width(k)) ++k;
    return k;
}

// Splits off the low base-256 digit of `value` in -128..127.
int64_t LowDigit(int64_t& value)
{
    const int64_t digit = ((value + 128) & 255) - 128;
    value = (value - digit) / 256;
    return digit;
}

// One output's sum of up to three tables (a null table is an input that
// does not count) as A = K . (x1, x2, x3, 1), `scale` times the entries
// plus `guard`, with A's range over every input.
struct LinearFit {
    bool fits = true;
    uint32_t digits[3] = {};
    int32_t top = 0;
    int64_t factors[4] = {}; // K1, K2, K3 and K0 whole
    int64_t lowest = 0, highest = 0; // of A
};

LinearFit FitLinear(const int32_t* const (&tables)[3], int64_t scale, int64_t guard)
{
    LinearFit fit;
    const auto put = [&](int64_t value, int byte) {
        // Three digits, most significant first, into one byte of each dot-product word.
        for (int level = 2; level >= 0; --level) {
            const int64_t digit = LowDigit(value);
            fit.digits[level] |= uint32_t(uint8_t(int8_t(digit))) << (8 * byte);
        }
        return value; // what the three digits could not hold
    };
    int64_t offset = guard, window = 0, lowest = 0, highest = 0;
    for (int c = 0; c < 3; ++c) {
        const int32_t* table = tables[c];
        if (!table) continue;
        const int64_t k = FlattestSlope(table, scale);
        const Spread s = SpreadOf(table, scale, k);
        offset += s.low;
        window += s.Width();
        lowest += scale * int64_t(*std::min_element(table, table + 256));
        highest += scale * int64_t(*std::max_element(table, table + 256));
        fit.factors[c] = k;
        if (put(k, c) != 0) fit.fits = false;
    }
    fit.factors[3] = offset;
    // The offset beyond its three digits is where the accumulator starts.
    const int64_t top = put(offset, 3) * 256;
    fit.top = int32_t(top);
    // A - guard is at most `window` below scale times the sum of entries.
    fit.lowest = lowest - window + guard;
    fit.highest = highest + guard;
    if (top != fit.top || window > guard) fit.fits = false;
    return fit;
}

void FillLinearSums(const ConversionTables& t)
{
    const int32_t* const forward[3][3] = {{t.YFromB, t.YFromG, t.YFromR},
                                          {t.UFromB, t.UFromG, t.UFromR},
                                          {t.VFromB, t.VFromG, t.VFromR}};
    const int32_t* const inverse[3][3] = {{t.RgbFromY, t.BFromU, nullptr},
                                          {t.RgbFromY, t.GFromU, t.GFromV},
                                          {t.RgbFromY, nullptr, t.RFromV}};
    LinearSums f{true, {}, {}, {}}, g{true, {}, {}, {}};
    // Each K in -2^23..2^23 - 1, so that K >> 8 is a 16-bit word; K0 is
    // taken modulo 2^32, as the sums are.
    const auto copyFactors = [](const LinearFit& fit, int32_t (&factors)[4]) {
        for (int i = 0; i < 4; ++i) factors[i] = int32_t(uint32_t(uint64_t(fit.factors[i])));
        return std::all_of(fit.factors, fit.factors + 3,
                           [](int64_t k) { return k >= -(int64_t(1) << 23) && k < (int64_t(1) << 23); });
    };
    for (int o = 0; o < 3; ++o) {
        const LinearFit in = FitLinear(forward[o], int64_t(1) << (ForwardFractionBits - 18), ForwardGuard);
        std::copy_n(in.digits, 3, f.digits[o]);
        f.top[o] = in.top;
        // A stays within 0..2^32 - 1 and A >> 23 fits a byte.
        if (!copyFactors(in, f.factors[o]) || !in.fits || in.lowest < 0 || in.highest >= (int64_t(1) << 32) ||
            (in.highest >> ForwardFractionBits) > 255)
            f.usable = false;
        const LinearFit out = FitLinear(inverse[o], int64_t(1) << (InverseFractionBits - 18), InverseGuard);
        std::copy_n(out.digits, 3, g.digits[o]);
        g.top[o] = out.top;
        // A stays a signed 32-bit sum, and the three share one luma line.
        if (!copyFactors(out, g.factors[o]) || !out.fits || out.lowest < INT32_MIN || out.highest > INT32_MAX ||
            g.factors[o][0] != g.factors[0][0])
            g.usable = false;
    }
    forwardLinear = f;
    inverseLinear = g;
}

bool BuildConversionTablesOnce()
{
    ConversionTables& t = conversionTables;
    FillConversionTables(t);
    for (int i = 0; i < 256; ++i) {
        forwardContributions[0][i] = {t.YFromB[i], t.UFromB[i], t.VFromB[i], 0};
        forwardContributions[1][i] = {t.YFromG[i], t.UFromG[i], t.VFromG[i], 0};
        forwardContributions[2][i] = {t.YFromR[i], t.UFromR[i], t.VFromR[i], 0};
        chromaContributions[0][i] = {t.BFromU[i], t.GFromU[i], 0, 0};
        chromaContributions[1][i] = {0, t.GFromV[i], t.RFromV[i], 0};
    }
    FillLinearSums(t);
    ConversionTablesBuilt = true;
    return true;
}

bool BuildClampTableOnce()
{
    for (int x = ClampTableFirst; x <= ClampTableLast; ++x) {
        clampStorage[x - ClampTableFirst] = static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x);
    }
    ClampTableBuilt = true;
    return true;
}

} // namespace

const uint8_t* const ClampTable = clampStorage - ClampTableFirst;

// Function-local statics: a once-only construction that concurrent callers
// wait for, on every target (std::thread and friends are missing from the
// win32-thread mingw runtime). A caller that may race another thread should
// call these rather than test the flags: the call is what orders its reads
// after the build.
void BuildConversionTables()
{
    static const bool built = BuildConversionTablesOnce();
    (void)built;
}

void BuildClampTable()
{
    static const bool built = BuildClampTableOnce();
    (void)built;
}
