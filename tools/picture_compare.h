// How far one picture is from another of the same pixel format: the largest
// difference in each component and the PSNR over all samples, and where two
// pictures first differ. Pictures are as ArchivePictures and
// PictureReader::NextInSourceFormat lay them out: planes one after the other,
// rows exactly as long as their samples.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct Difference {
    int components = 0;
    char names[4] = {};  // Y, U, V, A or R, G, B, A
    int largest[4] = {};
    double squares = 0;  // sum of squared differences, in units of the largest sample value
    uint64_t samples = 0;
    bool Identical() const;
    // PSNR in dB against the largest sample value; infinite when identical.
    double Psnr() const;
    // "R 3, G 2, B 4, PSNR 42.71 dB"
    std::string Describe() const;
    void Add(const Difference& other);
};

Difference ComparePictures(AVPixelFormat pixelFormat, uint32_t width, uint32_t height, const uint8_t* a,
                           const uint8_t* b);
// "differs from the source first at row 3 (from the top), pixel 10, Y: 17 in
// the archive, 18 in the source" (`other` names the second picture), or ""
// when the pictures are the same.
std::string FirstDifference(AVPixelFormat pixelFormat, uint32_t width, uint32_t height, const uint8_t* archive,
                            const uint8_t* source, const std::string& other = "the source");
