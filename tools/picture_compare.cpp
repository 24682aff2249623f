#include "picture_compare.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {
// Walks every sample of two pictures component by component, row by row.
template <typename Visit>
void ForEachSample(AVPixelFormat pixelFormat, uint32_t width, uint32_t height, const uint8_t* a, const uint8_t* b,
                   Visit&& visit)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(pixelFormat);
    uint8_t* pa[4] = {};
    uint8_t* pb[4] = {};
    int strides[4] = {};
    av_image_fill_arrays(pa, strides, a, pixelFormat, int(width), int(height), 1);
    av_image_fill_arrays(pb, strides, b, pixelFormat, int(width), int(height), 1);
    std::vector<uint16_t> rowA(width), rowB(width);
    for (int c = 0; c < d->nb_components; ++c) {
        const bool chroma = (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
        const int w = chroma ? -((-int(width)) >> d->log2_chroma_w) : int(width);
        const int h = chroma ? -((-int(height)) >> d->log2_chroma_h) : int(height);
        for (int y = 0; y < h; ++y) {
            av_read_image_line2(rowA.data(), const_cast<const uint8_t**>(pa), strides, d, 0, y, c, w, 0, 2);
            av_read_image_line2(rowB.data(), const_cast<const uint8_t**>(pb), strides, d, 0, y, c, w, 0, 2);
            for (int x = 0; x < w; ++x)
                if (!visit(c, y, x, int(rowA[std::size_t(x)]), int(rowB[std::size_t(x)]))) return;
        }
    }
}

char ComponentName(const AVPixFmtDescriptor* d, int c)
{
    if (c == 3 || (d->nb_components == 2 && c == 1)) return 'A';
    if (d->flags & AV_PIX_FMT_FLAG_RGB) return "RGB"[c];
    return "YUV"[c];
}
} // namespace

bool Difference::Identical() const
{
    for (int c = 0; c < components; ++c)
        if (largest[c] != 0) return false;
    return true;
}

double Difference::Psnr() const
{
    if (squares == 0 || samples == 0) return INFINITY;
    return 10 * std::log10(double(samples) / squares);
}

std::string Difference::Describe() const
{
    std::string text;
    for (int c = 0; c < components; ++c) text += std::string(1, names[c]) + " " + std::to_string(largest[c]) + ", ";
    char psnr[48];
    std::snprintf(psnr, sizeof psnr, Identical() ? "no difference" : "PSNR %.2f dB", Psnr());
    return text + psnr;
}

void Difference::Add(const Difference& other)
{
    if (components == 0) {
        *this = other;
        return;
    }
    for (int c = 0; c < components; ++c) largest[c] = largest[c] > other.largest[c] ? largest[c] : other.largest[c];
    squares += other.squares;
    samples += other.samples;
}

Difference ComparePictures(AVPixelFormat pixelFormat, uint32_t width, uint32_t height, const uint8_t* a,
                           const uint8_t* b)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(pixelFormat);
    Difference difference;
    difference.components = d->nb_components;
    for (int c = 0; c < d->nb_components; ++c) difference.names[c] = ComponentName(d, c);
    ForEachSample(pixelFormat, width, height, a, b, [&](int c, int, int, int x, int y) {
        const int delta = x > y ? x - y : y - x;
        const double top = double((1 << d->comp[c].depth) - 1);
        if (delta > difference.largest[c]) difference.largest[c] = delta;
        difference.squares += (double(delta) / top) * (double(delta) / top);
        ++difference.samples;
        return true;
    });
    return difference;
}

std::string FirstDifference(AVPixelFormat pixelFormat, uint32_t width, uint32_t height, const uint8_t* archive,
                            const uint8_t* source, const std::string& other)
{
    const std::size_t bytes = std::size_t(av_image_get_buffer_size(pixelFormat, int(width), int(height), 1));
    if (std::memcmp(archive, source, bytes) == 0) return "";
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(pixelFormat);
    std::string text;
    ForEachSample(pixelFormat, width, height, archive, source, [&](int c, int y, int x, int a, int s) {
        if (a == s) return true;
        char line[300];
        std::snprintf(line, sizeof line, "differs from %s first at row %d (from the top), %s %d, %c: %d in the "
                      "archive, %d in %s",
                      other.c_str(), y, (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB) ? "chroma sample" : "pixel",
                      x, ComponentName(d, c), a, s, other.c_str());
        text = line;
        return false;
    });
    return text;
}
