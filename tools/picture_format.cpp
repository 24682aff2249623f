#include "picture_format.h"

#include <cstring>
#include <new>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {
constexpr ChromaRepetition None = ChromaRepetition::None;

const PictureFormat toolFormats[] = {
    {"yuy2", AV_PIX_FMT_YUYV422, "yuy2", false, None, false, false},
    {"yuyv422", AV_PIX_FMT_YUYV422, "yuy2", false, None, false, false},
    {"uyvy", AV_PIX_FMT_UYVY422, "uyvy", false, None, false, false},
    {"uyvy422", AV_PIX_FMT_UYVY422, "uyvy", false, None, false, false},
    {"rgb24", AV_PIX_FMT_BGR24, "rgb24", false, None, false, false},
    {"bgr24", AV_PIX_FMT_BGR24, "rgb24", false, None, false, false},
    {"rgb32", AV_PIX_FMT_BGRA, "rgb32", false, None, false, false},
    {"yuv422p", AV_PIX_FMT_YUV422P, "yuy2", true, None, false, false},
    {"yuvj422p", AV_PIX_FMT_YUVJ422P, "yuy2", true, None, false, false},
    {"yuv420p", AV_PIX_FMT_YUV420P, "yuy2", true, ChromaRepetition::Rows, false, false},
    {"yuvj420p", AV_PIX_FMT_YUVJ420P, "yuy2", true, ChromaRepetition::Rows, false, false},
    {"yuv411p", AV_PIX_FMT_YUV411P, "yuy2", true, ChromaRepetition::Columns, false, false},
    {"yuvj411p", AV_PIX_FMT_YUVJ411P, "yuy2", true, ChromaRepetition::Columns, false, false},
};
// FFmpeg's rgb24 is red first; its B, G, R is bgr24. RGB32 leaves out the
// fourth byte, which FFmpeg's bgra would want as alpha.
const PictureFormat ffmpegRgb24 = {"rgb24", AV_PIX_FMT_RGB24, "rgb24", false, None, true, false};

bool FourTwoZero(ChromaRepetition repetition)
{
    return repetition == ChromaRepetition::Rows || repetition == ChromaRepetition::FieldRows;
}
} // namespace

const PictureFormat* FindPictureFormat(const std::string& name, bool ffmpegNames)
{
    if (ffmpegNames && name == "rgb24") return &ffmpegRgb24;
    for (const PictureFormat& format : toolFormats)
        if (name == format.name && !(ffmpegNames && format.name == "rgb32")) return &format;
    return nullptr;
}

std::string PictureFormatNames(bool ffmpegNames)
{
    std::string names;
    for (const PictureFormat& format : toolFormats)
        if (!(ffmpegNames && format.name == "rgb32")) names += (names.empty() ? "" : ", ") + format.name;
    return names;
}

PictureFormat ConvertedFormat(AVPixelFormat pixelFormat)
{
    const char* name = av_get_pix_fmt_name(pixelFormat);
    return {name ? name : "?", pixelFormat, "yuy2", false, None, false, true};
}

bool IsFullRange(AVPixelFormat pixelFormat)
{
    return pixelFormat == AV_PIX_FMT_YUVJ420P || pixelFormat == AV_PIX_FMT_YUVJ422P ||
           pixelFormat == AV_PIX_FMT_YUVJ411P || pixelFormat == AV_PIX_FMT_YUVJ444P;
}

Exactness CheckExactness(const PictureFormat& format, const Provenance* provenance, uint32_t width)
{
    const std::string wide = std::to_string(width) + " pixels wide";
    if (std::strcmp(format.codecLayout, "yuy2") == 0 || std::strcmp(format.codecLayout, "uyvy") == 0) {
        if (width % 2 != 0)
            return {format.name + " needs an even width, and the archive's pictures are " + wide +
                        "; rgb24 or rgb32 hold them",
                    false};
    }
    if (!format.planar) return {"", true};
    if (provenance) {
        const AVPixelFormat source = av_get_pix_fmt(provenance->pixelFormat.c_str());
        const bool fullSource = IsFullRange(source), fullFormat = IsFullRange(format.pixelFormat);
        if (source != AV_PIX_FMT_NONE && !(provenance->mapping == Mapping::Bt601) && fullSource != fullFormat)
            return {"the archive's source is " + provenance->pixelFormat + " (" +
                        (fullSource ? "full" : "limited") + " range), and " + format.name + " is " +
                        (fullFormat ? "full" : "limited") + " range; ask for the format of the same range",
                    false};
    }
    if (format.repetition == None) return {"", true};
    const Mapping mapping = provenance ? provenance->mapping : Mapping::Packed;
    const ChromaRepetition kept = RepetitionOf(mapping);
    const bool same = FourTwoZero(format.repetition) ? FourTwoZero(kept) : kept == format.repetition;
    if (same) return {"", true};
    return {std::string("the archive's 4:2:2 pictures have ") +
                (provenance ? DescribeMapping(mapping) : "chroma of a source that is not recorded") + ", so " +
                format.name + " would interpolate it",
            true};
}

ArchivePictures::ArchivePictures(const PictureFormat& format, uint32_t width, uint32_t height,
                                 ChromaRepetition repetition, RowOrder rgbRowOrder)
    : format_(format), width_(width), height_(height), repetition_(repetition)
{
    // A 4:2:0 format takes back the archive's own row repetition (in the
    // frame or in each field).
    if (format.planar && FourTwoZero(format.repetition) && FourTwoZero(repetition)) repetition_ = repetition;
    else if (format.planar) repetition_ = format.repetition;
    decoder_ = std::make_unique<FrameDecoder>(*FindRawFormat(format.codecLayout), width, height, rgbRowOrder);
    pictureBytes_ = std::size_t(av_image_get_buffer_size(format.pixelFormat, int(width), int(height), 1));
    // libswscale may read a little past the end of its input too.
    if (format.planar || format.convert) packed_.resize(std::size_t(width) * height * 2 + (format.convert ? 256 : 0));
    if (format.convert) {
        scaler_ = sws_getContext(int(width), int(height), AV_PIX_FMT_YUYV422, int(width), int(height),
                                 format.pixelFormat, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (!scaler_) throw std::bad_alloc();
        // libswscale may write past the end of its last row.
        scaled_.resize(pictureBytes_ + 256);
    }
}

ArchivePictures::~ArchivePictures() { sws_freeContext(scaler_); }

CodecResult ArchivePictures::Decode(const uint8_t* frame, std::size_t size, uint8_t* picture, FrameReport* report,
                                    bool* repeated)
{
    if (repeated) *repeated = true;
    if (!format_.planar && !format_.convert) {
        const CodecResult result = decoder_->Decode(frame, size, picture, report);
        if (result == CodecResult::Ok && format_.swapRgb)
            for (std::size_t i = 0; i + 2 < pictureBytes_; i += 3) std::swap(picture[i], picture[i + 2]);
        return result;
    }
    const CodecResult result = decoder_->Decode(frame, size, packed_.data(), report);
    if (result != CodecResult::Ok) return result;
    if (format_.planar) {
        PlanarImage planes{};
        uint8_t* at = picture;
        for (int p = 0; p < 3; ++p) {
            const uint32_t w = p == 0 ? width_ : ChromaWidth(repetition_, width_);
            const uint32_t h = p == 0 ? height_ : ChromaHeight(repetition_, height_);
            planes.plane[p] = at;
            planes.stride[p] = ptrdiff_t(w);
            at += std::size_t(w) * h;
        }
        const bool same = TakeChromaFromYuy2(repetition_, packed_.data(), width_, height_, planes);
        if (repeated) *repeated = same;
        return CodecResult::Ok;
    }
    const uint8_t* source[4] = {packed_.data()};
    const int sourceStride[4] = {int(2 * width_)};
    uint8_t* planes[4] = {};
    int strides[4] = {};
    av_image_fill_arrays(planes, strides, scaled_.data(), format_.pixelFormat, int(width_), int(height_), 1);
    sws_scale(scaler_, source, sourceStride, 0, int(height_), planes, strides);
    std::memcpy(picture, scaled_.data(), pictureBytes_);
    return CodecResult::Ok;
}
