// The tool's input and output modules on top of FFmpeg's libraries:
// containers read through libavformat (AVI, Y4M, anything it knows, or a
// pipe), pictures decoded through libavcodec and brought into a layout the
// codec takes, and AVI files written through libavformat's muxer under a
// temporary name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "frame_codec.h"
#include "large_buffer.h"
#include "source_plan.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

std::string DescribeAvError(int error);

// A muxer of FFmpeg's writing `file`, or a Fail naming `path` (what the user
// asked for) if it cannot be opened; CloseMuxer undoes it and nulls it.
AVFormatContext* OpenMuxer(const char* muxer, const std::string& file, const std::string& path);
void CloseMuxer(AVFormatContext*& context);
std::string FourccText(uint32_t tag);

// A container opened for reading; "-" is standard input.
class MediaInput {
public:
    explicit MediaInput(const std::string& path);
    ~MediaInput();
    MediaInput(const MediaInput&) = delete;
    MediaInput& operator=(const MediaInput&) = delete;

    const std::string& Name() const { return name_; }
    // The path it was opened with, "-" for standard input.
    const std::string& Path() const { return path_; }
    AVFormatContext* Context() const { return context_; }
    AVStream* Video() const { return context_->streams[videoIndex_]; }
    int VideoIndex() const { return videoIndex_; }
    bool IsAvi() const;
    bool IsKsha() const { return Video()->codecpar->codec_tag == FourccKSHA; }
    // Frames the container announces for the video stream, 0 when unknown.
    int64_t AnnouncedFrames() const;
    // The frame rate: the stream's, else 25 (with *guessed set).
    AVRational FrameRate(bool* guessed = nullptr) const;
    // The next packet of any stream into `packet`; false at the end.
    bool ReadPacket(AVPacket* packet);
    // Fails unless the video stream is KSHA, naming `command`.
    void RequireKsha(const std::string& command) const;

private:
    AVFormatContext* context_ = nullptr;
    int videoIndex_ = -1;
    std::string path_;
    std::string name_;
};

// Pictures of the input's video stream, each in one RawFormat (packed 4:2:2
// or RGB24 top-down), rows exactly width x bytesPerPixel apart, as the
// source's plan brings them there (source_plan.h); or in the source's own
// pixel format.
class PictureReader {
public:
    // Decodes the first picture to learn the format; fails with a clear
    // message when there is none or the codec cannot take it at all.
    explicit PictureReader(MediaInput& input);
    ~PictureReader();
    PictureReader(const PictureReader&) = delete;
    PictureReader& operator=(const PictureReader&) = delete;

    const RawFormat& Format() const { return *format_; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    std::size_t PictureBytes() const { return std::size_t(width_) * height_ * format_->bytesPerPixel; }
    // The decoder's pixel format, and how its pictures go into the codec.
    std::string SourceFormat() const;
    int SourcePixelFormat() const { return pixelFormat_; }
    const SourcePlan& Plan() const { return plan_; }
    bool Converted() const { return plan_.mapping == Mapping::Converted; }
    bool Interlaced() const { return interlaced_; }
    bool TopFieldFirst() const { return topFieldFirst_; }
    AVRational SampleAspectRatio() const { return sampleAspect_; }
    // The decoder's best-effort timestamp (in the video stream's time base,
    // AV_NOPTS_VALUE when it has none) of the first picture, and of the
    // picture Next handed out last.
    int64_t FirstTimestamp() const { return firstTimestamp_; }
    int64_t Timestamp() const { return timestamp_; }

    // Writes the next picture to `destination` (PictureBytes() bytes, or
    // null) as the codec takes it, and to `native` (SourcePictureBytes(), or
    // null) as the decoder gives it, its planes one after the other with rows
    // exactly as long as their samples; false at the end. Packets of other
    // streams go to `other` (may be empty).
    bool Next(uint8_t* destination, uint8_t* native = nullptr, const std::function<void(AVPacket*)>& other = {});
    // The same without a copy where the decoder's picture is already laid
    // out as the codec takes it: `holder` then keeps a reference to it and
    // *picture points into it; otherwise `buffer` gets the picture.
    bool Next(AVFrame* holder, std::vector<uint8_t>& buffer, const uint8_t** picture,
              const std::function<void(AVPacket*)>& other = {});
    std::size_t SourcePictureBytes() const;
    // The first picture both ways, before it is handed out; false once it is.
    bool Peek(uint8_t* destination, uint8_t* native);
    // Whether `size` bytes from `offset` of the first picture (decoded, not
    // handed out yet, in Format()) are `bytes`; false for formats that are
    // not copied row by row.
    bool FirstPictureHas(std::size_t offset, const uint8_t* bytes, std::size_t size) const;

private:
    bool Decode(const std::function<void(AVPacket*)>& other);
    bool Advance(const std::function<void(AVPacket*)>& other);
    void Store(uint8_t* destination);
    void StoreInSourceFormat(uint8_t* destination) const;

    MediaInput& input_;
    AVCodecContext* decoder_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    // libswscale may write past the end of its last row (vector stores), so
    // it scales into this padded buffer, never into a caller's exact one.
    std::vector<uint8_t> scaled_;
    const RawFormat* format_ = nullptr;
    SourcePlan plan_{};
    int pixelFormat_ = -1;
    bool interlaced_ = false, topFieldFirst_ = false;
    uint32_t width_ = 0, height_ = 0;
    AVRational sampleAspect_{0, 1};
    int64_t firstTimestamp_ = AV_NOPTS_VALUE;
    int64_t timestamp_ = AV_NOPTS_VALUE;
    bool pending_ = false; // frame_ holds a picture not handed out yet
    bool flushed_ = false;
    bool ended_ = false;
    int64_t count_ = 0;
};

// The pictures of an AVI file read where they lie, without the demuxer and
// decoder: workers each read their own pictures, with no copy in between.
// Only for a file whose only stream is packed 4:2:2 stored as the codec
// takes it, one chunk of exactly one picture each, every chunk in the index.
class StoredPictures {
public:
    // Null unless `input` is such a file; `pictures` must still hold its
    // first picture, which the bytes at the index's first entry must equal.
    static std::unique_ptr<StoredPictures> Find(const MediaInput& input, const PictureReader& pictures);
    StoredPictures(const StoredPictures&) = delete;
    StoredPictures& operator=(const StoredPictures&) = delete;

    int64_t Count() const { return int64_t(chunks_.size()); }
    // Reads picture `number` into `destination` (PictureBytes); any thread
    // may read at once. "" when it is read, else what is wrong with it.
    std::string Read(int64_t number, uint8_t* destination);

private:
    StoredPictures(const std::string& path, std::size_t pictureBytes) : file_(path), pictureBytes_(pictureBytes) {}

    // Whether a chunk of one picture of stream 0 begins at `position`.
    bool ChunkAt(int64_t position);

    InputFile file_;
    std::size_t pictureBytes_;
    std::vector<int64_t> chunks_; // where each picture's chunk header begins
};

// An AVI file written through libavformat, under a temporary name renamed
// into place by Commit(). A path that exists and is not a regular file (a
// device such as /dev/null or /dev/full) is written directly.
class AviWriter {
public:
    explicit AviWriter(const std::string& path);
    ~AviWriter(); // removes the temporary file unless committed
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    AVStream* AddStream();
    // Adds a copy of `source` (codec, tag and parameters untouched).
    AVStream* CopyStream(const AVStream* source);
    // Writes the header; `options` such as flipped_raw_rgb.
    void Begin(bool flippedRawRgb = false);
    // Writes one packet (stream_index, timestamps in that stream's time_base).
    void Write(AVPacket* packet);
    void Commit();
    const std::string& Name() const { return path_; }
    AVFormatContext* Context() const { return context_; }

private:
    void CheckWrite(int result, const char* what);

    AVFormatContext* context_ = nullptr;
    std::string path_;
    std::string temporary_;
    bool direct_ = false;
    bool committed_ = false;
};

struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using PacketPointer = std::unique_ptr<AVPacket, PacketFree>;
using FramePointer = std::unique_ptr<AVFrame, FrameFree>;

// Reference-counted buffers of one size, reused once every reference is gone,
// each a LargeBuffer.
class BufferPool {
public:
    explicit BufferPool(std::size_t size);
    ~BufferPool() { av_buffer_pool_uninit(&pool_); }
    BufferPool(const BufferPool&) = delete;
    BufferPool& operator=(const BufferPool&) = delete;
    AVBufferRef* Get(); // never null

private:
    AVBufferPool* pool_;
};

// True when `path` names something to write in place (not a regular file).
bool IsSpecialOutput(const std::string& path);
