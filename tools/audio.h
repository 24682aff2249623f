// Audio in archives: which audio streams go into an AVI as they are, the PCM
// the others become, in step with the pictures, and verify's comparison of
// an archive's audio with its source's, sample by sample.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media.h"

// Codecs that AVI and its hosts take as they are, copied from any source:
// PCM (little-endian integers and floats, A-law, mu-law), MPEG audio layers 2
// and 3, AC-3 and DTS. Others (AAC, Vorbis, Opus, FLAC, big-endian PCM) are
// decoded to PCM.
bool AviCarriesAsIs(AVCodecID codec);

enum class AudioRoute { Copied, Decoded };

// How audio `stream` of `input` goes into an archive whose first picture has
// the video timestamp `start`: an AVI's audio is copied, as it always was;
// another source's is copied where AVI carries its codec and it starts with
// the pictures (within one of its frames), and decoded to PCM otherwise, so
// that it starts with them.
AudioRoute RouteOf(const MediaInput& input, const AVStream* stream, int64_t start);

// Samples, interleaved, of one channel count and packed sample format.
struct SampleLayout {
    int rate = 0;
    int channels = 0;
    AVSampleFormat format = AV_SAMPLE_FMT_NONE; // packed
    int Bytes() const { return channels * av_get_bytes_per_sample(format); } // one sample of every channel
};

// One audio stream's decoder, its frames made interleaved.
class AudioDecoder {
public:
    // `name` is the file's, for messages.
    AudioDecoder(const std::string& name, const AVStream* stream);
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    const SampleLayout& Layout() const { return layout_; }
    const AVChannelLayout& ChannelLayout() const { return decoder_->ch_layout; }
    // `count` samples from the frame's best-effort timestamp (in the
    // stream's time base, AV_NOPTS_VALUE when unknown).
    using Sink = std::function<void(const uint8_t* samples, int64_t count, int64_t timestamp)>;
    // Decodes `packet`, or with null what the decoder still holds.
    void Decode(const AVPacket* packet, const Sink& sink);

private:
    void Deliver(const Sink& sink);

    std::string name_;
    int index_;
    AVCodecContext* decoder_ = nullptr;
    AVFrame* frame_ = nullptr;
    SampleLayout layout_;
    std::vector<uint8_t> packed_;
};

// `bytes` of samples for the archive at sample `position` (from the first
// picture on), `count` of them.
using SampleSink = std::function<void(const uint8_t* data, std::size_t bytes, int64_t position, int64_t count)>;

// A source's audio stream as an archive holds it in PCM: the decoder's
// samples from the first picture's time on, silence where the stream has a
// gap, samples that overlap others left out, ending with the pictures.
class PcmTrack {
public:
    // `start` is the first picture's timestamp in the video's time base.
    PcmTrack(const MediaInput& input, int stream, int64_t start);

    const SampleLayout& Layout() const { return decoder_.Layout(); }
    // The archive's stream: PCM of the decoder's sample type, packed.
    void Describe(AVCodecParameters* parameters) const;
    // Its name: "s16le", "f32le" and so on.
    std::string PcmName() const;

    // Decodes a packet of the stream; its samples wait for Release.
    void Take(const AVPacket* packet);
    // Hands on the samples before `end` (in `timeBase`, from the first picture).
    void Release(int64_t end, AVRational timeBase, const SampleSink& sink);
    // At the end: the rest, ending at `end` exactly.
    void Finish(int64_t end, AVRational timeBase, const SampleSink& sink);

    // Samples left out before the first picture, over samples before them
    // (timestamps that go back), and after the last picture; silence put in.
    int64_t Before() const { return before_; }
    int64_t Overlapping() const { return overlapping_; }
    int64_t After() const { return after_; }
    int64_t Filled() const { return filled_; }

private:
    void Add(const uint8_t* samples, int64_t count, int64_t timestamp);
    void AddSilence(int64_t count);
    int64_t Pending() const { return int64_t(pending_.size() - offset_) / Layout().Bytes(); }

    AudioDecoder decoder_;
    AVRational timeBase_;
    int64_t startSample_;
    int64_t tolerance_; // in samples: the rounding of the stream's timestamps and the pictures'
    // Samples this far past the pictures so far wait; later ones (a stream
    // that outlasts the pictures, or a jump in its timestamps) are left out,
    // so that what waits stays bounded.
    static constexpr int64_t LeadSeconds = 60;
    int64_t limit_;
    std::vector<uint8_t> pending_;
    std::size_t offset_ = 0;  // pending_ is consumed up to here
    int64_t released_ = 0;    // samples handed on: where pending_ begins
    int64_t before_ = 0, overlapping_ = 0, after_ = 0, filled_ = 0;
};

// verify's look at an archive's audio: each audio stream decoded and
// compared with the source's stream that went into it, decoded the same way.
class AudioCheck {
public:
    // `start` is the source's first picture's timestamp.
    AudioCheck(const MediaInput& archive, const MediaInput& source, int64_t start);
    ~AudioCheck();

    void TakeArchive(const AVPacket* packet);
    void TakeSource(const AVPacket* packet);
    // The archive's video has reached `end` (in `timeBase`).
    void Release(int64_t end, AVRational timeBase);
    // One line for each audio stream (identical, or how it differs), and
    // whether all are identical.
    std::vector<std::string> Finish(int64_t end, AVRational timeBase, bool* identical);

private:
    struct Pair;
    std::vector<std::unique_ptr<Pair>> pairs_;
    std::vector<Pair*> byArchive_, bySource_; // per stream index, null for none
    std::string countProblem_;
    PacketPointer unskipped_;
};
