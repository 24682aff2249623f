#include "media.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "picture/chroma.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

std::string DescribeAvError(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

std::string FourccText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = char((tag >> (8 * i)) & 0xFF);
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

bool IsSpecialOutput(const std::string& path)
{
    struct stat status{};
    return ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

namespace {
struct QuietLibraries {
    QuietLibraries() { av_log_set_level(std::getenv("KESTRUN_FFMPEG_LOG") ? AV_LOG_INFO : AV_LOG_QUIET); }
};
const QuietLibraries quietLibraries;
} // namespace

// ---------------------------------------------------------------------------
// MediaInput

MediaInput::MediaInput(const std::string& path) : path_(path), name_(path == "-" ? "standard input" : path)
{
    if (path != "-") {
        struct stat status{};
        if (::stat(path.c_str(), &status) != 0) Fail(path + ": cannot open: " + std::strerror(errno));
        if (S_ISDIR(status.st_mode)) Fail(path + ": is a directory, not a video file");
    }
    const std::string url = path == "-" ? "pipe:0" : "file:" + path;
    int result = avformat_open_input(&context_, url.c_str(), nullptr, nullptr);
    if (result < 0) {
        context_ = nullptr;
        if (result == AVERROR_INVALIDDATA)
            Fail(name_ + ": not a video file (FFmpeg recognises no container in it)");
        Fail(name_ + ": cannot open: " + DescribeAvError(result));
    }
    // A constructor that throws runs no destructor: close the input here.
    try {
        result = avformat_find_stream_info(context_, nullptr);
        if (result < 0) Fail(name_ + ": not a readable video file: " + DescribeAvError(result));
        videoIndex_ = av_find_best_stream(context_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (videoIndex_ < 0) {
            // av_find_best_stream skips streams it cannot decode, such as ours.
            for (unsigned i = 0; i < context_->nb_streams; ++i)
                if (context_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
                    videoIndex_ = int(i);
                    break;
                }
        }
        if (videoIndex_ < 0) Fail(name_ + ": not a video: it holds no video stream");
    } catch (...) {
        avformat_close_input(&context_);
        throw;
    }
}

MediaInput::~MediaInput() { avformat_close_input(&context_); }

bool MediaInput::IsAvi() const { return std::strcmp(context_->iformat->name, "avi") == 0; }

int64_t MediaInput::AnnouncedFrames() const { return std::max<int64_t>(0, Video()->nb_frames); }

AVRational MediaInput::FrameRate(bool* guessed) const
{
    if (guessed) *guessed = false;
    const AVStream* stream = Video();
    for (AVRational rate : {stream->avg_frame_rate, stream->r_frame_rate})
        if (rate.num > 0 && rate.den > 0) return rate;
    if (guessed) *guessed = true;
    return AVRational{25, 1};
}

bool MediaInput::ReadPacket(AVPacket* packet)
{
    int result = av_read_frame(context_, packet);
    if (result == AVERROR_EOF) return false;
    if (result < 0) Fail(name_ + ": read error: " + DescribeAvError(result));
    return true;
}

void MediaInput::RequireKsha(const std::string& command) const
{
    if (IsKsha()) return;
    const AVCodecParameters* parameters = Video()->codecpar;
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(parameters->codec_id);
    std::string what = descriptor ? descriptor->name : "unknown";
    if (parameters->codec_tag) what += " '" + FourccText(parameters->codec_tag) + "'";
    Fail(name_ + ": its video is " + what + ", not KSHA; " + command +
         " reads archives that kestrun encode made (kestrun encode takes this file)");
}

// ---------------------------------------------------------------------------
// PictureReader

PictureReader::PictureReader(MediaInput& input) : input_(input)
{
    const AVCodecParameters* parameters = input.Video()->codecpar;
    if (input.IsKsha())
        Fail(input.Name() + ": is already a KSHA archive; kestrun decode turns it back into pictures");
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec) {
        // Built up step by step: GCC 12 warns falsely on the chained operator+.
        std::string what = "its codec";
        if (parameters->codec_tag) {
            what = "'";
            what += FourccText(parameters->codec_tag);
            what += "'";
        }
        Fail(input.Name() + ": cannot decode the video: FFmpeg has no decoder for " + what);
    }
    // A constructor that throws runs no destructor: release what it made here.
    try {
        decoder_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!decoder_ || !frame_ || !packet_) throw std::bad_alloc();
        int result = avcodec_parameters_to_context(decoder_, parameters);
        if (result >= 0) {
            decoder_->thread_count = 1;
            decoder_->pkt_timebase = input.Video()->time_base;
            result = avcodec_open2(decoder_, codec, nullptr);
        }
        if (result < 0) Fail(input.Name() + ": cannot decode the video: " + DescribeAvError(result));

        if (!Decode({})) Fail(input.Name() + ": holds no picture that can be decoded");
        pending_ = true;
        firstTimestamp_ = frame_->best_effort_timestamp;
        pixelFormat_ = frame_->format;
        if (frame_->width <= 0 || frame_->height <= 0) Fail(input.Name() + ": the video has no picture size");
        width_ = uint32_t(frame_->width);
        height_ = uint32_t(frame_->height);
        sampleAspect_ = frame_->sample_aspect_ratio.num > 0 ? frame_->sample_aspect_ratio
                                                              : input.Video()->sample_aspect_ratio;
        const std::string size = std::to_string(width_) + "x" + std::to_string(height_);
        plan_ = PlanSource(AVPixelFormat(pixelFormat_), frame_->interlaced_frame != 0);
        interlaced_ = frame_->interlaced_frame != 0;
        topFieldFirst_ = frame_->top_field_first != 0;
        format_ = plan_.layout;
        if (!format_->IsRgb() && width_ % 2 != 0)
            Fail(input.Name() + ": " + size + " " + PixelFormatName(pixelFormat_) +
                 ": the width is odd, and the codec keeps 4:2:2 pictures only at even widths (RGB24 sources may "
                 "have any width of at least 2)");
        if (plan_.mapping == Mapping::Converted) {
            scaler_ = sws_getContext(frame_->width, frame_->height, AVPixelFormat(pixelFormat_), frame_->width,
                                     frame_->height, AV_PIX_FMT_YUYV422, SWS_BICUBIC, nullptr, nullptr, nullptr);
            if (!scaler_)
                Fail(input.Name() + ": the pixel format " + PixelFormatName(pixelFormat_) +
                     " cannot be converted to YUY2");
        }
        std::string why;
        if (!CheckPictureSize(*format_, width_, height_, &why))
            Fail(input.Name() + ": " + size + " " + PixelFormatName(pixelFormat_) + ": " + why);
    } catch (...) {
        sws_freeContext(scaler_);
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&decoder_);
        throw;
    }
}

PictureReader::~PictureReader()
{
    sws_freeContext(scaler_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&decoder_);
}

std::string PictureReader::SourceFormat() const { return PixelFormatName(pixelFormat_); }

std::size_t PictureReader::SourcePictureBytes() const
{
    return std::size_t(av_image_get_buffer_size(AVPixelFormat(pixelFormat_), int(width_), int(height_), 1));
}

void PictureReader::StoreInSourceFormat(uint8_t* destination) const
{
    av_image_copy_to_buffer(destination, int(SourcePictureBytes()), frame_->data, frame_->linesize,
                            AVPixelFormat(pixelFormat_), int(width_), int(height_), 1);
}

bool PictureReader::Next(uint8_t* destination, uint8_t* native, const std::function<void(AVPacket*)>& other)
{
    if (!Advance(other)) return false;
    if (destination) Store(destination);
    if (native) StoreInSourceFormat(native);
    av_frame_unref(frame_);
    ++count_;
    return true;
}

bool PictureReader::Peek(uint8_t* destination, uint8_t* native)
{
    if (!pending_ || count_ != 0) return false;
    Store(destination);
    StoreInSourceFormat(native);
    return true;
}

// Brings the next decoded picture into frame_; false at the end.
bool PictureReader::Decode(const std::function<void(AVPacket*)>& other)
{
    for (;;) {
        int result = avcodec_receive_frame(decoder_, frame_);
        if (result == 0) return true;
        if (result == AVERROR_EOF) return false;
        if (result != AVERROR(EAGAIN))
            Fail(input_.Name() + ": picture " + std::to_string(count_) + " is damaged: " + DescribeAvError(result));
        if (flushed_) return false;
        bool haveVideo = false;
        while (!haveVideo) {
            if (!input_.ReadPacket(packet_)) {
                avcodec_send_packet(decoder_, nullptr);
                flushed_ = true;
                break;
            }
            if (packet_->stream_index == input_.VideoIndex()) {
                haveVideo = true;
                result = avcodec_send_packet(decoder_, packet_);
                av_packet_unref(packet_);
                if (result < 0 && result != AVERROR(EAGAIN))
                    Fail(input_.Name() + ": picture " + std::to_string(count_) +
                         " is damaged: " + DescribeAvError(result));
            } else {
                if (other) other(packet_);
                av_packet_unref(packet_);
            }
        }
    }
}

bool PictureReader::Next(AVFrame* holder, std::vector<uint8_t>& buffer, const uint8_t** picture,
                         const std::function<void(AVPacket*)>& other)
{
    av_frame_unref(holder);
    if (!Advance(other)) return false;
    const int row = int(width_ * format_->bytesPerPixel);
    const bool asIs = !scaler_ && (pixelFormat_ == AV_PIX_FMT_YUYV422 || pixelFormat_ == AV_PIX_FMT_UYVY422 ||
                                   pixelFormat_ == AV_PIX_FMT_BGR24);
    if (asIs && (frame_->linesize[0] == row || height_ == 1)) {
        av_frame_move_ref(holder, frame_);
        *picture = holder->data[0];
    } else {
        buffer.resize(PictureBytes());
        Store(buffer.data());
        av_frame_unref(frame_);
        *picture = buffer.data();
    }
    ++count_;
    return true;
}

bool PictureReader::FirstPictureHas(std::size_t offset, const uint8_t* bytes, std::size_t size) const
{
    if (!pending_ || count_ != 0 || scaler_) return false;
    if (pixelFormat_ != AV_PIX_FMT_YUYV422 && pixelFormat_ != AV_PIX_FMT_UYVY422 && pixelFormat_ != AV_PIX_FMT_BGR24)
        return false;
    const std::size_t row = std::size_t(width_) * format_->bytesPerPixel;
    if (offset > PictureBytes() || size > PictureBytes() - offset) return false;
    while (size > 0) {
        const std::size_t y = offset / row, x = offset % row, length = std::min(size, row - x);
        if (std::memcmp(bytes, frame_->data[0] + std::ptrdiff_t(y) * frame_->linesize[0] + x, length) != 0)
            return false;
        bytes += length;
        offset += length;
        size -= length;
    }
    return true;
}

// Brings the next picture into frame_ and checks that it keeps the format.
bool PictureReader::Advance(const std::function<void(AVPacket*)>& other)
{
    if (ended_) return false;
    if (!pending_ && !Decode(other)) {
        ended_ = true;
        return false;
    }
    pending_ = false;
    timestamp_ = frame_->best_effort_timestamp;
    if (frame_->format != pixelFormat_ || uint32_t(frame_->width) != width_ || uint32_t(frame_->height) != height_)
        Fail(input_.Name() + ": picture " + std::to_string(count_) + " changes from " + std::to_string(width_) + "x" +
             std::to_string(height_) + " " + PixelFormatName(pixelFormat_) + " to " + std::to_string(frame_->width) +
             "x" + std::to_string(frame_->height) + " " + PixelFormatName(frame_->format) +
             "; a stream keeps one picture size and format");
    return true;
}

// Bytes after the scaled picture that libswscale's last row may touch.
constexpr std::size_t ScalerSlack = 256;

void PictureReader::Store(uint8_t* destination)
{
    const std::size_t row = std::size_t(width_) * format_->bytesPerPixel;
    if (scaler_) {
        scaled_.resize(row * height_ + ScalerSlack);
        uint8_t* planes[4] = {scaled_.data()};
        int strides[4] = {int(row)};
        sws_scale(scaler_, frame_->data, frame_->linesize, 0, int(height_), planes, strides);
        std::memcpy(destination, scaled_.data(), row * height_);
        return;
    }
    switch (pixelFormat_) {
    case AV_PIX_FMT_YUYV422:
    case AV_PIX_FMT_UYVY422:
    case AV_PIX_FMT_BGR24:
        for (uint32_t y = 0; y < height_; ++y)
            std::memcpy(destination + y * row, frame_->data[0] + std::ptrdiff_t(y) * frame_->linesize[0], row);
        break;
    case AV_PIX_FMT_RGB24:
        for (uint32_t y = 0; y < height_; ++y) {
            const uint8_t* from = frame_->data[0] + std::ptrdiff_t(y) * frame_->linesize[0];
            uint8_t* to = destination + y * row;
            for (uint32_t x = 0; x < width_; ++x) {
                to[3 * x] = from[3 * x + 2];
                to[3 * x + 1] = from[3 * x + 1];
                to[3 * x + 2] = from[3 * x];
            }
        }
        break;
    default: { // planar 4:2:2, and 4:2:0 and 4:1:1 with their chroma repeated
        PlanarImage planes{};
        for (int p = 0; p < 3; ++p) {
            planes.plane[p] = frame_->data[p];
            planes.stride[p] = frame_->linesize[p];
        }
        RepeatChromaToYuy2(RepetitionOf(plan_.mapping), planes, width_, height_, destination);
        break;
    }
    }
}

// ---------------------------------------------------------------------------
// StoredPictures

namespace {
constexpr int64_t ChunkHeaderSize = 8; // the chunk's id ("00db" or "00dc" for stream 0), then its length
} // namespace

std::unique_ptr<StoredPictures> StoredPictures::Find(const MediaInput& input, const PictureReader& pictures)
{
    AVStream* video = input.Video();
    const AVCodecParameters* parameters = video->codecpar;
    const uint32_t tag = parameters->codec_tag;
    const PixelLayout layout = tag == FourccYUY2 ? PixelLayout::Yuy2 : PixelLayout::Uyvy;
    // Another stream's packets would have to go out in the order the
    // demuxer finds them among the pictures: such files go through it.
    if (input.Path() == "-" || !input.IsAvi() || input.Context()->nb_streams != 1 ||
        parameters->codec_id != AV_CODEC_ID_RAWVIDEO || (tag != FourccYUY2 && tag != FourccUYVY) ||
        pictures.Converted() || pictures.Format().layout != layout)
        return nullptr;
    // An index that lists fewer chunks than the header counts pictures is
    // partial (the demuxer builds it while reading a file without one).
    const int count = avformat_index_get_entries_count(video);
    if (count <= 0 || count != video->nb_frames) return nullptr;

    const std::size_t pictureBytes = pictures.PictureBytes();
    std::unique_ptr<StoredPictures> stored(new StoredPictures(input.Path(), pictureBytes));
    const int64_t fileSize = int64_t(stored->file_.Size());
    if (!stored->file_.IsRegularFile() || fileSize != avio_size(input.Context()->pb)) return nullptr;
    stored->chunks_.reserve(std::size_t(count));
    int64_t end = 0;
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(video, i);
        if (!entry || int64_t(entry->size) != int64_t(pictureBytes) || entry->pos < end) return nullptr;
        end = entry->pos + ChunkHeaderSize + int64_t(pictureBytes);
        if (end > fileSize) return nullptr;
        stored->chunks_.push_back(entry->pos);
    }
    // The first picture as the decoder gave it proves the layout and where
    // the index points. Compared piece by piece: a whole picture's buffer
    // would be a thousand page faults more before any work starts.
    if (!stored->ChunkAt(stored->chunks_[0])) return nullptr;
    std::vector<uint8_t> piece(std::min<std::size_t>(pictureBytes, 256 * 1024));
    for (std::size_t done = 0; done < pictureBytes; done += piece.size()) {
        const std::size_t size = std::min(piece.size(), pictureBytes - done);
        if (stored->file_.ReadAt(piece.data(), size, uint64_t(stored->chunks_[0] + ChunkHeaderSize) + done) != size ||
            !pictures.FirstPictureHas(done, piece.data(), size))
            return nullptr;
    }
    return stored;
}

bool StoredPictures::ChunkAt(int64_t position)
{
    uint8_t header[ChunkHeaderSize];
    if (file_.ReadAt(header, sizeof header, uint64_t(position)) != sizeof header) return false;
    const uint32_t length = uint32_t(header[4]) | uint32_t(header[5]) << 8 | uint32_t(header[6]) << 16 |
                            uint32_t(header[7]) << 24;
    return header[0] == '0' && header[1] == '0' && header[2] == 'd' && (header[3] == 'b' || header[3] == 'c') &&
           length == pictureBytes_;
}

std::string StoredPictures::Read(int64_t number, uint8_t* destination)
{
    const int64_t chunk = chunks_[std::size_t(number)];
    if (ChunkAt(chunk) && file_.ReadAt(destination, pictureBytes_, uint64_t(chunk + ChunkHeaderSize)) == pictureBytes_)
        return "";
    return "is not where the index puts it (no chunk of one picture begins at byte " + std::to_string(chunk) +
           "; did the file change while it was read?)";
}

// ---------------------------------------------------------------------------
// AviWriter

AviWriter::AviWriter(const std::string& path) : path_(path)
{
    if (path == "-") Fail("an AVI cannot go to standard output (it is finished by seeking back); give a file name");
    direct_ = IsSpecialOutput(path);
    temporary_ = direct_ ? path : path + ".partial-" + std::to_string(::getpid());
    context_ = OpenMuxer("avi", temporary_, path);
}

AVFormatContext* OpenMuxer(const char* muxer, const std::string& file, const std::string& path)
{
    AVFormatContext* context = nullptr;
    int result = avformat_alloc_output_context2(&context, nullptr, muxer, nullptr);
    if (result < 0 || !context) throw std::bad_alloc();
    result = avio_open(&context->pb, ("file:" + file).c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        avformat_free_context(context);
        Fail(path + ": cannot write: " + DescribeAvError(result));
    }
    return context;
}

void CloseMuxer(AVFormatContext*& context)
{
    if (!context) return;
    avio_closep(&context->pb);
    avformat_free_context(context);
    context = nullptr;
}

AviWriter::~AviWriter()
{
    CloseMuxer(context_);
    if (!committed_ && !direct_) std::remove(temporary_.c_str());
}

AVStream* AviWriter::AddStream()
{
    AVStream* stream = avformat_new_stream(context_, nullptr);
    if (!stream) throw std::bad_alloc();
    return stream;
}

AVStream* AviWriter::CopyStream(const AVStream* source)
{
    AVStream* stream = AddStream();
    if (avcodec_parameters_copy(stream->codecpar, source->codecpar) < 0) throw std::bad_alloc();
    stream->time_base = source->time_base;
    stream->avg_frame_rate = source->avg_frame_rate;
    stream->r_frame_rate = source->r_frame_rate;
    stream->sample_aspect_ratio = source->sample_aspect_ratio;
    stream->disposition = source->disposition;
    av_dict_copy(&stream->metadata, source->metadata, 0);
    return stream;
}

void AviWriter::CheckWrite(int result, const char* what)
{
    if (result >= 0 && !(context_->pb && context_->pb->error < 0)) return;
    if (result >= 0) result = context_->pb->error;
    Fail(path_ + ": " + what + ": " + DescribeAvError(result) +
         (direct_ ? std::string("; the output is incomplete") : std::string("; nothing was kept")));
}

void AviWriter::Begin(bool flippedRawRgb)
{
    AVDictionary* options = nullptr;
    if (flippedRawRgb) av_dict_set(&options, "flipped_raw_rgb", "1", 0);
    int result = avformat_write_header(context_, &options);
    av_dict_free(&options);
    if (result < 0 && result != AVERROR(ENOSPC) && !(context_->pb && context_->pb->error < 0))
        Fail(path_ + ": cannot write this AVI: " + DescribeAvError(result));
    CheckWrite(result, "write failed");
}

void AviWriter::Write(AVPacket* packet)
{
    CheckWrite(av_interleaved_write_frame(context_, packet), "write failed");
}

void AviWriter::Commit()
{
    CheckWrite(av_write_trailer(context_), "write failed");
    avio_flush(context_->pb);
    CheckWrite(0, "write failed");
    int result = avio_closep(&context_->pb);
    if (result < 0) CheckWrite(result, "write failed");
    if (!direct_ && std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary_.c_str());
        committed_ = true;
        Fail(path_ + ": cannot rename the finished output into place: " + std::strerror(error));
    }
    committed_ = true;
}

// ---------------------------------------------------------------------------
// LargeBuffer and BufferPool

namespace {
// A new LargeBuffer as a reference-counted buffer that unmaps it when the
// last reference goes.
AVBufferRef* LargeAvBuffer(std::size_t size)
{
    std::size_t mapped = 0;
    uint8_t* data = LargeBuffer(size).Detach(&mapped);
    auto free = [](void* length, uint8_t* start) { LargeBuffer::Unmap(start, reinterpret_cast<std::size_t>(length)); };
    AVBufferRef* buffer = av_buffer_create(data, size, free, reinterpret_cast<void*>(mapped), 0);
    if (!buffer) LargeBuffer::Unmap(data, mapped);
    return buffer;
}
} // namespace

BufferPool::BufferPool(std::size_t size)
    : pool_(av_buffer_pool_init(size, [](std::size_t bytes) -> AVBufferRef* {
          try {
              return LargeAvBuffer(bytes); // zeroed once: bytes nobody writes stay 0
          } catch (const std::bad_alloc&) {
              return nullptr;
          }
      }))
{
    if (!pool_) throw std::bad_alloc();
}

AVBufferRef* BufferPool::Get()
{
    AVBufferRef* buffer = av_buffer_pool_get(pool_);
    if (!buffer) throw std::bad_alloc();
    return buffer;
}
