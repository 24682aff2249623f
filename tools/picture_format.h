// The formats the tool gives an archive's pictures out in: what the codec
// decodes to (packed 4:2:2, RGB), the planar YUV formats of the sources it
// keeps exactly (the chroma repetition taken back), and, where the user
// accepts the loss, any format libswscale converts 4:2:2 to.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "frame_codec.h"
#include "provenance.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

struct PictureFormat {
    std::string name;
    AVPixelFormat pixelFormat;   // the same bytes as FFmpeg names them
    const char* codecLayout;     // what the codec decodes to first: yuy2, uyvy, rgb24 or rgb32
    bool planar;                 // Y, U, V planes, from YUY2
    ChromaRepetition repetition; // planar: the chroma it keeps (None: 4:2:2)
    bool swapRgb;                // R, G, B rather than the codec's B, G, R
    bool convert;                // through libswscale from YUY2 (lossy)
};

// A format by its name. With `ffmpegNames` rgb24 is R, G, B, as ffmpeg's
// -pix_fmt names it; otherwise it is the tool's (and Windows') B, G, R.
// Null when the name is unknown.
const PictureFormat* FindPictureFormat(const std::string& name, bool ffmpegNames);
// The names FindPictureFormat knows, for messages.
std::string PictureFormatNames(bool ffmpegNames);
// `pixelFormat` converted to from YUY2 by libswscale, for --lossy.
PictureFormat ConvertedFormat(AVPixelFormat pixelFormat);
// Whether the format is YUV with full-range samples (the yuvj formats).
bool IsFullRange(AVPixelFormat pixelFormat);

// Why `format` cannot give this archive's pictures back exactly ("" when it
// can), and whether --lossy may take them out all the same (by libswscale).
struct Exactness {
    std::string problem;
    bool lossyPossible;
};
Exactness CheckExactness(const PictureFormat& format, const Provenance* provenance, uint32_t width);

// One worker's way from a frame to a picture in a format: RGB rows in
// `rgbRowOrder` (the tool writes RGB bottom-up into AVI and raw files, as
// Windows does), everything else top row first; planes one after the other,
// rows exactly as long as their samples.
class ArchivePictures {
public:
    // `repetition`: the archive's, for planar formats that keep 4:2:0 or 4:1:1.
    ArchivePictures(const PictureFormat& format, uint32_t width, uint32_t height, ChromaRepetition repetition,
                    RowOrder rgbRowOrder = RowOrder::TopDown);
    ~ArchivePictures();
    ArchivePictures(const ArchivePictures&) = delete;
    ArchivePictures& operator=(const ArchivePictures&) = delete;

    std::size_t PictureBytes() const { return pictureBytes_; }
    // Decodes a frame into `picture` (PictureBytes() bytes). `*repeated`,
    // when given, says whether the chroma was repeated as the archive says.
    CodecResult Decode(const uint8_t* frame, std::size_t size, uint8_t* picture, FrameReport* report = nullptr,
                       bool* repeated = nullptr);

private:
    PictureFormat format_;
    uint32_t width_, height_;
    ChromaRepetition repetition_;
    std::size_t pictureBytes_;
    std::unique_ptr<FrameDecoder> decoder_;
    std::vector<uint8_t> packed_, scaled_;
    SwsContext* scaler_ = nullptr;
};
