// The chroma repetition worked out sample by sample from where each 4:2:0 or
// 4:1:1 chroma sample sits in the picture, the reference the repetition is
// held to (tests only).
#pragma once

#include "chroma.h"

void RepeatChromaToYuy2Reference(ChromaRepetition repetition, const PlanarImage& source, uint32_t width,
                                 uint32_t height, uint8_t* yuy2);
void TakeChromaFromYuy2Reference(ChromaRepetition repetition, const uint8_t* yuy2, uint32_t width, uint32_t height,
                                 const PlanarImage& destination);
