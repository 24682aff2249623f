#include "chroma_reference.h"

#include <cstddef>

namespace {
// The chroma sample that covers pixel (x, y): 4:1:1 halves the pairs again;
// 4:2:0 halves the rows, of the frame or of each field.
void Covering(ChromaRepetition repetition, uint32_t x, uint32_t y, uint32_t height, uint32_t* column, uint32_t* row)
{
    *column = repetition == ChromaRepetition::Columns ? x / 4 : x / 2;
    switch (repetition) {
    case ChromaRepetition::Rows: *row = y / 2; break;
    case ChromaRepetition::FieldRows: {
        const uint32_t field = y % 2, lineInField = y / 2, chromaLines = (height + 1) / 2;
        const uint32_t row2 = 2 * (lineInField / 2) + field;
        *row = row2 < chromaLines ? row2 : chromaLines - 1;
        break;
    }
    default: *row = y; break;
    }
}

uint8_t At(const PlanarImage& image, int plane, uint32_t x, uint32_t y)
{
    return image.plane[plane][ptrdiff_t(y) * image.stride[plane] + x];
}
} // namespace

void RepeatChromaToYuy2Reference(ChromaRepetition repetition, const PlanarImage& source, uint32_t width,
                                 uint32_t height, uint8_t* yuy2)
{
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* pixel = yuy2 + std::size_t(y) * 2 * width + 2 * x;
            uint32_t column, row;
            Covering(repetition, x, y, height, &column, &row);
            pixel[0] = At(source, 0, x, y);
            pixel[1] = At(source, x % 2 == 0 ? 1 : 2, column, row); // U with the even pixel, V with the odd
        }
}

void TakeChromaFromYuy2Reference(ChromaRepetition repetition, const uint8_t* yuy2, uint32_t width, uint32_t height,
                                 const PlanarImage& destination)
{
    // Every pixel writes its samples where they came from; the last to
    // write wins, which for a repeated picture is the same value.
    for (uint32_t y = height; y-- > 0;)
        for (uint32_t x = width; x-- > 0;) {
            const uint8_t* pixel = yuy2 + std::size_t(y) * 2 * width + 2 * x;
            uint32_t column, row;
            Covering(repetition, x, y, height, &column, &row);
            destination.plane[0][ptrdiff_t(y) * destination.stride[0] + x] = pixel[0];
            destination.plane[x % 2 == 0 ? 1 : 2][ptrdiff_t(row) * destination.stride[x % 2 == 0 ? 1 : 2] + column] =
                pixel[1];
        }
}
