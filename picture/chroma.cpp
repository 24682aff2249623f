#include "chroma.h"

uint32_t ChromaWidth(ChromaRepetition repetition, uint32_t width)
{
    return repetition == ChromaRepetition::Columns ? (width + 3) / 4 : (width + 1) / 2;
}

uint32_t ChromaHeight(ChromaRepetition repetition, uint32_t height)
{
    return repetition == ChromaRepetition::Rows || repetition == ChromaRepetition::FieldRows ? (height + 1) / 2
                                                                                              : height;
}

uint32_t RepeatedChromaRow(ChromaRepetition repetition, uint32_t row, uint32_t height)
{
    if (repetition == ChromaRepetition::Rows) return row / 2;
    if (repetition != ChromaRepetition::FieldRows) return row;
    // A height that is not a multiple of 4 leaves the last chroma row to
    // both fields' last rows.
    const uint32_t chromaRow = row / 4 * 2 + row % 2, last = ChromaHeight(repetition, height) - 1;
    return chromaRow < last ? chromaRow : last;
}

uint32_t RepeatedChromaSample(ChromaRepetition repetition, uint32_t pair)
{
    return repetition == ChromaRepetition::Columns ? pair / 2 : pair;
}

namespace {
// The 4:2:2 row that a chroma row is taken back from: its first place.
uint32_t FirstRowOf(ChromaRepetition repetition, uint32_t chromaRow)
{
    if (repetition == ChromaRepetition::Rows) return 2 * chromaRow;
    if (repetition == ChromaRepetition::FieldRows) return chromaRow / 2 * 4 + chromaRow % 2;
    return chromaRow;
}

// The chroma of one 4:2:2 row from one source chroma row.
void RepeatRow(ChromaRepetition repetition, const uint8_t* y, const uint8_t* u, const uint8_t* v, uint32_t pairs,
               uint8_t* out)
{
    if (repetition == ChromaRepetition::Columns) {
        for (uint32_t k = 0; k < pairs; ++k, out += 4) {
            out[0] = y[2 * k];
            out[1] = u[k / 2];
            out[2] = y[2 * k + 1];
            out[3] = v[k / 2];
        }
        return;
    }
    for (uint32_t k = 0; k < pairs; ++k, out += 4) {
        out[0] = y[2 * k];
        out[1] = u[k];
        out[2] = y[2 * k + 1];
        out[3] = v[k];
    }
}
} // namespace

void RepeatChromaToYuy2(ChromaRepetition repetition, const PlanarImage& source, uint32_t width, uint32_t height,
                        uint8_t* yuy2)
{
    const uint32_t pairs = width / 2;
    for (uint32_t r = 0; r < height; ++r) {
        const uint32_t c = RepeatedChromaRow(repetition, r, height);
        RepeatRow(repetition, source.plane[0] + ptrdiff_t(r) * source.stride[0],
                  source.plane[1] + ptrdiff_t(c) * source.stride[1], source.plane[2] + ptrdiff_t(c) * source.stride[2],
                  pairs, yuy2 + std::size_t(r) * 2 * width);
    }
}

bool TakeChromaFromYuy2(ChromaRepetition repetition, const uint8_t* yuy2, uint32_t width, uint32_t height,
                        const PlanarImage& destination)
{
    const uint32_t pairs = width / 2, rowBytes = 2 * width;
    const uint32_t chromaWidth = ChromaWidth(repetition, width), chromaHeight = ChromaHeight(repetition, height);
    for (uint32_t r = 0; r < height; ++r) {
        const uint8_t* in = yuy2 + std::size_t(r) * rowBytes;
        uint8_t* y = destination.plane[0] + ptrdiff_t(r) * destination.stride[0];
        for (uint32_t k = 0; k < pairs; ++k) {
            y[2 * k] = in[4 * k];
            y[2 * k + 1] = in[4 * k + 2];
        }
    }
    const uint32_t step = repetition == ChromaRepetition::Columns ? 2 : 1;
    for (uint32_t c = 0; c < chromaHeight; ++c) {
        const uint8_t* in = yuy2 + std::size_t(FirstRowOf(repetition, c)) * rowBytes;
        uint8_t* u = destination.plane[1] + ptrdiff_t(c) * destination.stride[1];
        uint8_t* v = destination.plane[2] + ptrdiff_t(c) * destination.stride[2];
        for (uint32_t j = 0; j < chromaWidth; ++j) {
            u[j] = in[4 * step * j + 1];
            v[j] = in[4 * step * j + 3];
        }
    }
    // Every place the repetition put each sample must hold that sample.
    bool repeated = true;
    for (uint32_t r = 0; r < height; ++r) {
        const uint32_t c = RepeatedChromaRow(repetition, r, height);
        const uint8_t* in = yuy2 + std::size_t(r) * rowBytes;
        const uint8_t* u = destination.plane[1] + ptrdiff_t(c) * destination.stride[1];
        const uint8_t* v = destination.plane[2] + ptrdiff_t(c) * destination.stride[2];
        for (uint32_t k = 0; k < pairs; ++k) {
            const uint32_t j = RepeatedChromaSample(repetition, k);
            repeated &= in[4 * k + 1] == u[j] && in[4 * k + 3] == v[j];
        }
    }
    return repeated;
}
