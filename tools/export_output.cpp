#include "export_output.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <unistd.h>

#include "archive_reader.h"
#include "command_support.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {
const PictureFormat& Named(const std::string& name)
{
    const PictureFormat* format = FindPictureFormat(name, false);
    if (!format) throw std::logic_error("no picture format " + name);
    return *format;
}

// The planar name with the source's range: yuvj420p for a full-range source,
// so that CheckExactness takes it. The encoder gets the yuv form, which
// holds the same bytes, and the range in the stream's colour range.
std::string WithRange(const char* planar, bool fullRange)
{
    const std::string name = planar;
    return fullRange ? "yuvj" + name.substr(3) : name;
}
} // namespace

ExportTarget ChooseTarget(const std::string& to, const MediaInput& input, uint32_t width, bool notes)
{
    Provenance provenance;
    const bool recorded = ReadProvenance(input.Context(), &provenance);
    ExportTarget target;
    target.to = to;
    target.fullRange = recorded && provenance.mapping != Mapping::Bt601 &&
                       IsFullRange(av_get_pix_fmt(provenance.pixelFormat.c_str()));
    const Mapping mapping = recorded ? provenance.mapping : Mapping::Packed;
    if (to == "v210" || to == "uyvy") {
        if (width % 2 != 0)
            Fail(input.Name() + ": --to " + to + " holds 4:2:2 pictures of even width, and the archive's are " +
                 std::to_string(width) + " pixels wide (an RGB source); --to ffv1 holds them as RGB");
        target.muxer = "mov";
        target.containerName = "MOV";
        if (to == "v210") {
            target.codec = AV_CODEC_ID_V210;
            target.encoded = AV_PIX_FMT_YUV422P;
            target.decoded = AV_PIX_FMT_YUV422P10LE;
            target.pictures = Named("yuv422p");
        } else {
            target.codec = AV_CODEC_ID_RAWVIDEO;
            target.encoded = target.decoded = AV_PIX_FMT_UYVY422;
            target.pictures = Named("uyvy");
        }
        if (notes && RepetitionOf(mapping) != ChromaRepetition::None)
            std::fprintf(stderr, "note: %s: its source was %s, kept with %s; %s holds the archive's 4:2:2, the "
                                 "repeated chroma with it (its source's own pictures come back by taking every "
                                 "other chroma %s)\n",
                         input.Name().c_str(), provenance.pixelFormat.c_str(), DescribeMapping(mapping), to.c_str(),
                         RepetitionOf(mapping) == ChromaRepetition::Columns ? "pair of samples" : "row");
        return target;
    }
    if (to != "ffv1") UsageError("--to takes ffv1, v210 or uyvy, not \"" + to + "\"");
    target.muxer = "matroska";
    target.containerName = "Matroska";
    target.codec = AV_CODEC_ID_FFV1;
    if (width % 2 != 0) {
        // Packed 4:2:2 cannot hold an odd width: the codec decodes such an
        // archive to RGB, which FFV1 holds as B, G, R and a byte it ignores.
        target.pictures = Named("rgb24");
        target.encoded = target.decoded = AV_PIX_FMT_BGR0;
        target.fullRange = false;
        if (notes)
            std::fprintf(stderr, "note: %s: its pictures are %u pixels wide, a width 4:2:2 cannot hold; they go out "
                                 "as the codec decodes them, RGB (FFV1 bgr0)\n",
                         input.Name().c_str(), width);
        return target;
    }
    const char* planar = "yuv422p";
    switch (RepetitionOf(mapping)) {
    case ChromaRepetition::Rows:
    case ChromaRepetition::FieldRows: planar = "yuv420p"; break;
    case ChromaRepetition::Columns: planar = "yuv411p"; break;
    default: break;
    }
    target.pictures = Named(WithRange(planar, target.fullRange));
    target.repetition = RepetitionOf(mapping);
    const Exactness exactness = CheckExactness(target.pictures, recorded ? &provenance : nullptr, width);
    if (!exactness.problem.empty()) Fail(input.Name() + ": --to ffv1: " + exactness.problem);
    target.encoded = target.decoded = av_get_pix_fmt(planar);
    return target;
}

std::string DescribeTarget(const ExportTarget& target)
{
    if (target.to == "ffv1")
        return std::string("FFV1 ") + av_get_pix_fmt_name(target.encoded) + " in " + target.containerName;
    return std::string(target.to == "v210" ? "v210" : "UYVY (2vuy)") + " in " + target.containerName;
}

std::size_t V210Bytes(uint32_t width, uint32_t height) { return std::size_t((width + 47) / 48) * 128 * height; }

void PackV210(const uint8_t* picture, uint32_t width, uint32_t height, uint8_t* packed)
{
    const std::size_t rowBytes = V210Bytes(width, 1), chromaWidth = (width + 1) / 2;
    const uint8_t* yPlane = picture;
    const uint8_t* uPlane = yPlane + std::size_t(width) * height;
    const uint8_t* vPlane = uPlane + chromaWidth * height;
    std::memset(packed, 0, rowBytes * height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* luma = yPlane + std::size_t(y) * width;
        const uint8_t* cb = uPlane + std::size_t(y) * chromaWidth;
        const uint8_t* cr = vPlane + std::size_t(y) * chromaWidth;
        uint8_t* row = packed + std::size_t(y) * rowBytes;
        // The samples of a row in the order v210 packs them: Cb Y Cr Y, ...
        std::size_t word = 0, slot = 0;
        uint32_t value = 0;
        auto put = [&](uint8_t sample) {
            value |= uint32_t(sample) << (2 + 10 * slot);
            if (++slot == 3) {
                std::memcpy(row + 4 * word++, &value, 4); // little-endian machine
                value = 0;
                slot = 0;
            }
        };
        for (uint32_t x = 0; x < width; x += 2) {
            put(cb[x / 2]);
            put(luma[x]);
            put(cr[x / 2]);
            put(luma[x + 1]);
        }
        while (slot != 0) put(0);
    }
}

void PictureToFrame(const ExportTarget& target, const uint8_t* picture, uint32_t width, uint32_t height,
                    AVFrame* frame)
{
    if (!frame->data[0]) {
        frame->format = target.encoded;
        frame->width = int(width);
        frame->height = int(height);
        if (av_frame_get_buffer(frame, 0) < 0) throw std::bad_alloc();
    }
    if (av_frame_make_writable(frame) < 0) throw std::bad_alloc();
    if (target.encoded == AV_PIX_FMT_BGR0) {
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* from = picture + std::size_t(y) * width * 3;
            uint8_t* to = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
            for (uint32_t x = 0; x < width; ++x, from += 3, to += 4) {
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
                to[3] = 0;
            }
        }
        return;
    }
    const uint8_t* planes[4] = {};
    int strides[4] = {};
    av_image_fill_arrays(const_cast<uint8_t**>(planes), strides, picture, target.encoded, int(width), int(height), 1);
    av_image_copy(frame->data, frame->linesize, planes, strides, target.encoded, int(width), int(height));
}

bool FrameToPicture(const ExportTarget& target, const AVFrame* frame, uint32_t width, uint32_t height,
                    std::vector<uint8_t>& picture)
{
    if (frame->format != target.decoded || frame->width != int(width) || frame->height != int(height)) return false;
    if (target.decoded == AV_PIX_FMT_BGR0) {
        picture.resize(std::size_t(width) * height * 3);
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* from = frame->data[0] + std::ptrdiff_t(y) * frame->linesize[0];
            uint8_t* to = picture.data() + std::size_t(y) * width * 3;
            for (uint32_t x = 0; x < width; ++x, from += 4, to += 3) std::memcpy(to, from, 3);
        }
        return true;
    }
    if (target.decoded == AV_PIX_FMT_YUV422P10LE) {
        // Each 10-bit sample must be an 8-bit one shifted left by two.
        picture.resize(std::size_t(width) * height * 2);
        uint8_t* to = picture.data();
        for (int p = 0; p < 3; ++p) {
            const uint32_t w = p == 0 ? width : (width + 1) / 2;
            for (uint32_t y = 0; y < height; ++y) {
                const uint8_t* row = frame->data[p] + std::ptrdiff_t(y) * frame->linesize[p];
                for (uint32_t x = 0; x < w; ++x) {
                    uint16_t sample;
                    std::memcpy(&sample, row + 2 * x, 2);
                    if ((sample & 3) != 0 || sample > 0x3FC) return false;
                    *to++ = uint8_t(sample >> 2);
                }
            }
        }
        return true;
    }
    const int size = av_image_get_buffer_size(target.decoded, int(width), int(height), 1);
    if (size < 0) return false;
    picture.resize(std::size_t(size));
    return av_image_copy_to_buffer(picture.data(), size, frame->data, frame->linesize, target.decoded, int(width),
                                   int(height), 1) == size;
}

// ---------------------------------------------------------------------------
// ExportFile

ExportFile::ExportFile(const std::string& path, const char* muxer)
    : path_(path), temporary_(path + ".partial-" + std::to_string(::getpid()))
{
    context_ = OpenMuxer(muxer, temporary_, path);
}

ExportFile::~ExportFile()
{
    CloseMuxer(context_);
    if (!committed_) std::remove(temporary_.c_str());
}

void ExportFile::Check(int result, const char* what)
{
    if (result >= 0 && !(context_->pb && context_->pb->error < 0)) return;
    if (result >= 0) result = context_->pb->error;
    Fail(path_ + ": " + what + ": " + DescribeAvError(result) + "; nothing was kept");
}

void ExportFile::Begin(AVDictionary** options) { Check(avformat_write_header(context_, options), "cannot write"); }

void ExportFile::Write(AVPacket* packet) { Check(av_interleaved_write_frame(context_, packet), "write failed"); }

void ExportFile::Close()
{
    Check(av_write_trailer(context_), "write failed");
    avio_flush(context_->pb);
    Check(0, "write failed");
    const int result = avio_closep(&context_->pb);
    if (result < 0) Check(result, "write failed");
}

void ExportFile::Commit()
{
    if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        Fail(path_ + ": cannot rename the finished export into place: " + std::strerror(error));
    }
    committed_ = true;
}

// ---------------------------------------------------------------------------
// The check

namespace {
struct DecoderFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};

// The archive's pictures one after another, with their times, as export
// wrote them.
class ArchivePass {
public:
    ArchivePass(const std::string& path, const ExportTarget& target, uint32_t width, uint32_t height)
        : input_(path), reader_(input_), pictures_(target.pictures, width, height, target.repetition),
          picture_(pictures_.PictureBytes())
    {
    }
    // The next picture into Picture(); false at the end. Fails on damage (the
    // archive changed since it was read).
    bool Next()
    {
        if (!reader_.Next()) return false;
        reader_.MoveTo(frame_);
        const AVPacket* packet = frame_.packet.get();
        const CodecResult result =
            pictures_.Decode(packet->data, std::size_t(packet->size), picture_.data(), nullptr, nullptr);
        if (result != CodecResult::Ok)
            Fail(input_.Name() + ": frame " + std::to_string(frame_.number) + " no longer decodes (" +
                 DescribeResult(result) + "); nothing was kept");
        return true;
    }
    const std::vector<uint8_t>& Picture() const { return picture_; }
    const ArchiveFrame& Frame() const { return frame_; }
    AVRational TimeBase() const { return input_.Video()->time_base; }

private:
    MediaInput input_;
    ArchiveReader reader_;
    ArchivePictures pictures_;
    ArchiveFrame frame_;
    std::vector<uint8_t> picture_;
};
} // namespace

ExportCheckResult CheckExport(const std::string& exported, const std::string& archive, const ExportTarget& target,
                              uint32_t width, uint32_t height, unsigned threads)
{
    ExportCheckResult check;
    MediaInput input(exported);
    const AVStream* stream = input.Video();
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec || stream->codecpar->codec_id != target.codec) {
        check.problem = "its video is not the stream written";
        return check;
    }
    std::unique_ptr<AVCodecContext, DecoderFree> decoder(avcodec_alloc_context3(codec));
    FramePointer frame(av_frame_alloc());
    if (!decoder || !frame) throw std::bad_alloc();
    int result = avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    decoder->thread_count = int(threads);
    decoder->thread_type = FF_THREAD_SLICE;
    decoder->pkt_timebase = stream->time_base;
    if (result >= 0) result = avcodec_open2(decoder.get(), codec, nullptr);
    if (result < 0) Fail(input.Name() + ": cannot decode the export to check it: " + DescribeAvError(result));

    ArchivePass pass(archive, target, width, height);
    std::vector<uint8_t> picture;
    // Matroska keeps times in milliseconds: within half of its unit.
    const double tolerance = av_q2d(stream->time_base) / 2 + 1e-9;
    auto compare = [&]() -> bool {
        const std::string which = "picture " + std::to_string(check.pictures);
        if (!pass.Next()) {
            check.problem = "holds more pictures than the archive's " + std::to_string(check.pictures);
            return false;
        }
        const std::string named = which + " (frame " + std::to_string(pass.Frame().number) + " of the archive)";
        if (!FrameToPicture(target, frame.get(), width, height, picture)) {
            check.problem = named + " decodes to " + PixelFormatName(frame->format) + " " +
                            SizeText(uint32_t(frame->width), uint32_t(frame->height)) + ", not the pictures written";
            return false;
        }
        if (picture != pass.Picture()) {
            std::size_t at = 0;
            while (at < picture.size() && picture[at] == pass.Picture()[at]) ++at;
            check.problem = named + " differs from the archive's, first at byte " + std::to_string(at);
            return false;
        }
        const double time = double(frame->best_effort_timestamp) * av_q2d(stream->time_base);
        const double expected = double(pass.Frame().timestamp) * av_q2d(pass.TimeBase());
        if (frame->best_effort_timestamp == AV_NOPTS_VALUE || std::fabs(time - expected) > tolerance) {
            check.problem = named + " is at " + std::to_string(time) + " s, the archive's at " +
                            std::to_string(expected) + " s";
            return false;
        }
        ++check.pictures;
        return true;
    };
    auto receive = [&]() -> bool {
        for (;;) {
            const int got = avcodec_receive_frame(decoder.get(), frame.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
            if (got < 0) {
                check.problem = "picture " + std::to_string(check.pictures) +
                                " does not decode: " + DescribeAvError(got);
                return false;
            }
            const bool same = compare();
            av_frame_unref(frame.get());
            if (!same) return false;
        }
    };
    PacketPointer packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    while (input.ReadPacket(packet.get())) {
        const bool video = packet->stream_index == input.VideoIndex();
        if (video) result = avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        if (!video) continue;
        if (result < 0 && result != AVERROR(EAGAIN)) {
            check.problem = "picture " + std::to_string(check.pictures) + " does not decode: " + DescribeAvError(result);
            return check;
        }
        if (!receive()) return check;
    }
    avcodec_send_packet(decoder.get(), nullptr);
    if (!receive()) return check;
    if (pass.Next())
        check.problem = "holds " + std::to_string(check.pictures) + " pictures, fewer than the archive; the first " +
                        "missing is frame " + std::to_string(pass.Frame().number) + " of the archive";
    return check;
}
