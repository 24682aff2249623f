// Colour conversion between RGB and the planar 4:2:2 picture, in fixed point
// (18 fraction bits) through process-wide tables built once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "picture/planar_picture.h"

// Build once per process; safe to call from several threads at once (a call
// returns only once the table is complete). Later calls do nothing.
void BuildConversionTables();
void BuildClampTable();

// RGB24 (or any 3+ byte B, G, R pixel) to the picture. Source pixel j of
// picture row r is at source + r * rowStep + j * pixelStep. Returns false and
// writes nothing when the chroma scratch cannot be allocated. The scratch is
// one row of full-resolution U and V (2 x width bytes): rows are filtered
// independently, so each is decimated while still in cache.
bool ConvertRgbToPlanar(const uint8_t* source, PlanarPicture& picture, ptrdiff_t pixelStep, ptrdiff_t rowStep);

// The picture to B, G, R pixels (pixel step 3 or 4; the fourth byte keeps its
// value: with AVX-512 it is never written, with SSE2 and AVX2 the vector
// kernels store it back as they read it). Pixel j of picture row r goes to
// destination + r * rowStep + j * pixelStep.
// For an odd width the last pixel of a row takes the row's last chroma sample;
// a width of 1 (no chroma at all) gives grey.
void ConvertPlanarToRgb(const PlanarPicture& picture, uint8_t* destination, ptrdiff_t pixelStep, ptrdiff_t rowStep);

// Halves chroma rows with the six-tap filter: w full-resolution samples give w / 2.
// The first and last outputs mirror the row about its first sample and about
// s[2n - 1] (n = w / 2), so an odd width never uses its final sample. Widths
// 2 and 3 mirror at both ends, which makes their one output the rounded mean
// of s[0] and s[1]; widths 0 and 1 write nothing.
void DecimateChromaPlane(uint8_t* destinationPlane, uint32_t width, const uint8_t* sourceRows, uint32_t rows);
void DecimateChromaRow(const uint8_t* source, uint8_t* destination, uint32_t width);
