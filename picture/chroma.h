// Planar YUV pictures with subsampled chroma (4:2:0, 4:1:1) into packed
// 4:2:2 and back, by repeating chroma samples, never by interpolating them,
// so that the source's own pictures come back out byte for byte:
//
//   Rows       4:2:0: chroma row k serves picture rows 2k and 2k + 1
//   FieldRows  4:2:0 interlaced: each field repeats its own chroma rows;
//              chroma row 2m + f serves rows 4m + f and 4m + f + 2
//   Columns    4:1:1: chroma sample j serves pixel pairs 2j and 2j + 1
//   None       4:2:2 already: the chroma is copied as it is
//
// A repeated row lands where the 4:2:2 picture's median prediction from the
// row above is exact, so repetition costs almost nothing once coded. The
// packed side is YUY2 (Y0 U Y1 V), rows 2 x width bytes apart, top row
// first; the width must be even. Any height.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ChromaRepetition : uint8_t { None, Rows, FieldRows, Columns };

// Planes Y, U, V and the distance from one row to the next in each.
struct PlanarImage {
    uint8_t* plane[3];
    ptrdiff_t stride[3];
};

// The chroma planes' size for a width x height picture.
uint32_t ChromaWidth(ChromaRepetition repetition, uint32_t width);
uint32_t ChromaHeight(ChromaRepetition repetition, uint32_t height);

// The source chroma row that picture row `row` repeats, and the source
// chroma sample that pixel pair `pair` repeats.
uint32_t RepeatedChromaRow(ChromaRepetition repetition, uint32_t row, uint32_t height);
uint32_t RepeatedChromaSample(ChromaRepetition repetition, uint32_t pair);

// The planar picture into YUY2 with its chroma repeated.
void RepeatChromaToYuy2(ChromaRepetition repetition, const PlanarImage& source, uint32_t width, uint32_t height,
                        uint8_t* yuy2);

// The planar picture back out of YUY2. False when a sample the repetition
// put in more than one place differs between them: the picture was not made
// by that repetition, and taking one of them would not give it back. The
// output is then written all the same.
bool TakeChromaFromYuy2(ChromaRepetition repetition, const uint8_t* yuy2, uint32_t width, uint32_t height,
                        const PlanarImage& destination);
