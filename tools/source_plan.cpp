#include "source_plan.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {
// What libswscale's conversion to YUY2 loses of a format, in words.
std::string ConversionLoss(AVPixelFormat pixelFormat)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(pixelFormat);
    if (!d) return "the pictures are converted to YUY2 with libswscale";
    std::string loss;
    const auto add = [&](const std::string& what) { loss += (loss.empty() ? "" : ", ") + what; };
    int depth = 0;
    for (int c = 0; c < d->nb_components; ++c) depth = depth > d->comp[c].depth ? depth : d->comp[c].depth;
    if (d->flags & AV_PIX_FMT_FLAG_RGB)
        add("colour goes through libswscale's BT.601 into 4:2:2; decoded RGB differs from the source");
    else if (d->nb_components < 3)
        add("grey is taken as full range: its levels are scaled into 16 to 235, and it gets neutral chroma");
    else if (d->log2_chroma_w == 0 && d->log2_chroma_h == 0)
        add("chroma at full resolution is halved to 4:2:2 by interpolation");
    else if (d->log2_chroma_w != 1 || d->log2_chroma_h != 0)
        add("chroma is resampled to 4:2:2 by interpolation");
    if (depth > 8) add(std::to_string(depth) + " bits a sample are narrowed to 8");
    if (d->flags & AV_PIX_FMT_FLAG_ALPHA) add("the alpha channel is dropped");
    if (loss.empty()) add("the pictures are converted to YUY2 with libswscale");
    return loss;
}
} // namespace

std::string PixelFormatName(int pixelFormat)
{
    const char* name = av_get_pix_fmt_name(AVPixelFormat(pixelFormat));
    return name ? name : "an unknown pixel format";
}

SourcePlan PlanSource(AVPixelFormat pixelFormat, bool interlaced)
{
    const RawFormat* yuy2 = FindRawFormat("yuy2");
    switch (pixelFormat) {
    case AV_PIX_FMT_YUYV422:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P: return {yuy2, Mapping::Packed, true, ""};
    case AV_PIX_FMT_UYVY422: return {FindRawFormat("uyvy"), Mapping::Packed, true, ""};
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P: return {yuy2, interlaced ? Mapping::FieldRows : Mapping::RowsRepeated, true, ""};
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_YUVJ411P: return {yuy2, Mapping::ColumnsRepeated, true, ""};
    case AV_PIX_FMT_BGR24:
    case AV_PIX_FMT_RGB24:
        return {FindRawFormat("rgb24"), Mapping::Bt601, false,
                "colour is stored as BT.601 4:2:2; decoded RGB differs from the source"};
    default: return {yuy2, Mapping::Converted, false, ConversionLoss(pixelFormat)};
    }
}
