// The process-wide fixed-point tables: built once, then only read.
#include "colour.h"

#include <bit>

#include "colour_internal.h"

const float ConversionScale = 262144.0f;

ConversionTables conversionTables;
bool ConversionTablesBuilt = false;
ForwardContribution forwardContributions[3][256];
ChromaContribution chromaContributions[2][256];
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
