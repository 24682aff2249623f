#include "audio.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "cli.h"

namespace {
std::string StreamName(const std::string& file, int index)
{
    return file + ": audio stream " + std::to_string(index);
}

// The PCM that AVI carries for a packed sample format.
AVCodecID PcmCodec(AVSampleFormat format)
{
    switch (format) {
    case AV_SAMPLE_FMT_U8: return AV_CODEC_ID_PCM_U8;
    case AV_SAMPLE_FMT_S16: return AV_CODEC_ID_PCM_S16LE;
    case AV_SAMPLE_FMT_S32: return AV_CODEC_ID_PCM_S32LE;
    case AV_SAMPLE_FMT_FLT: return AV_CODEC_ID_PCM_F32LE;
    case AV_SAMPLE_FMT_DBL: return AV_CODEC_ID_PCM_F64LE;
    case AV_SAMPLE_FMT_S64: return AV_CODEC_ID_PCM_S64LE;
    default: return AV_CODEC_ID_NONE;
    }
}

// Two runs of interleaved samples compared as they come: side 0 the
// archive's, side 1 the source's. What one side has that the other has not
// yet waits in `lead_`.
class SampleComparison {
public:
    void Add(int side, const uint8_t* data, std::size_t bytes)
    {
        bytes_[side] += bytes;
        if (offset_ == lead_.size()) {
            lead_.clear();
            offset_ = 0;
            leader_ = side;
        }
        if (side == leader_) {
            lead_.insert(lead_.end(), data, data + bytes);
            return;
        }
        const std::size_t common = std::min(bytes, lead_.size() - offset_);
        if (firstDifference_ < 0 && std::memcmp(lead_.data() + offset_, data, common) != 0) {
            std::size_t i = 0;
            while (lead_[offset_ + i] == data[i]) ++i;
            firstDifference_ = int64_t(compared_ + i);
        }
        compared_ += common;
        offset_ += common;
        if (common < bytes) {
            lead_.assign(data + common, data + bytes);
            offset_ = 0;
            leader_ = side;
        } else if (offset_ > (1u << 20) && offset_ * 2 > lead_.size()) {
            lead_.erase(lead_.begin(), lead_.begin() + std::ptrdiff_t(offset_));
            offset_ = 0;
        }
    }

    int64_t Samples(int side, const SampleLayout& layout) const { return int64_t(bytes_[side]) / layout.Bytes(); }

    // "" when both hold the same samples; else how they differ.
    std::string Difference(const SampleLayout& layout) const
    {
        const int64_t archive = Samples(0, layout), source = Samples(1, layout);
        std::string text;
        if (archive != source)
            text = "the archive holds " + std::to_string(archive) + " samples, the source " + std::to_string(source);
        if (firstDifference_ >= 0) {
            const int64_t sample = firstDifference_ / layout.Bytes();
            const int channel = int(firstDifference_ % layout.Bytes()) / av_get_bytes_per_sample(layout.format);
            text += (text.empty() ? "" : "; ") + std::string("they first differ at sample ") + std::to_string(sample) +
                    " (channel " + std::to_string(channel + 1) + ")";
        } else if (archive != source) {
            text += "; the first " + std::to_string(std::min(archive, source)) + " are the same";
        }
        return text;
    }

private:
    std::vector<uint8_t> lead_;
    std::size_t offset_ = 0;
    int leader_ = 0;
    uint64_t bytes_[2] = {0, 0};
    uint64_t compared_ = 0;
    int64_t firstDifference_ = -1; // a byte offset
};

std::string LayoutText(const SampleLayout& layout)
{
    return std::to_string(layout.rate) + " Hz, " + std::to_string(layout.channels) + " channel" +
           (layout.channels == 1 ? "" : "s");
}
} // namespace

bool AviCarriesAsIs(AVCodecID codec)
{
    switch (codec) {
    case AV_CODEC_ID_PCM_U8:
    case AV_CODEC_ID_PCM_S16LE:
    case AV_CODEC_ID_PCM_S24LE:
    case AV_CODEC_ID_PCM_S32LE:
    case AV_CODEC_ID_PCM_F32LE:
    case AV_CODEC_ID_PCM_F64LE:
    case AV_CODEC_ID_PCM_ALAW:
    case AV_CODEC_ID_PCM_MULAW:
    case AV_CODEC_ID_MP2:
    case AV_CODEC_ID_MP3:
    case AV_CODEC_ID_AC3:
    case AV_CODEC_ID_DTS: return true;
    default: return false;
    }
}

AudioRoute RouteOf(const MediaInput& input, const AVStream* stream, int64_t start)
{
    if (input.IsAvi()) return AudioRoute::Copied;
    const AVCodecParameters* parameters = stream->codecpar;
    if (!AviCarriesAsIs(parameters->codec_id)) return AudioRoute::Decoded;
    // An AVI's audio starts with its video: copied packets keep their samples, not their times.
    const AVRational sample{1, std::max(1, parameters->sample_rate)};
    if (stream->start_time == AV_NOPTS_VALUE || start == AV_NOPTS_VALUE) return AudioRoute::Copied;
    const int64_t offset = av_rescale_q(stream->start_time, stream->time_base, sample) -
                           av_rescale_q(start, input.Video()->time_base, sample);
    // A container may not say how long a frame is: PCM's is a sample, the others' at most AC-3's.
    const int frame = parameters->frame_size > 0                          ? parameters->frame_size
                      : av_get_bits_per_sample(parameters->codec_id) > 0 ? 1
                                                                          : 1536;
    return std::abs(offset) <= frame ? AudioRoute::Copied : AudioRoute::Decoded;
}

// ---------------------------------------------------------------------------
// AudioDecoder

AudioDecoder::AudioDecoder(const std::string& name, const AVStream* stream) : name_(name), index_(stream->index)
{
    const AVCodecParameters* parameters = stream->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    if (!codec)
        Fail(StreamName(name, index_) + ": FFmpeg has no decoder for its " + avcodec_get_name(parameters->codec_id));
    // A constructor that throws runs no destructor: release what it made here.
    try {
        decoder_ = avcodec_alloc_context3(codec);
        frame_ = av_frame_alloc();
        if (!decoder_ || !frame_) throw std::bad_alloc();
        int result = avcodec_parameters_to_context(decoder_, parameters);
        if (result >= 0) {
            decoder_->thread_count = 1;
            decoder_->pkt_timebase = stream->time_base;
            result = avcodec_open2(decoder_, codec, nullptr);
        }
        if (result < 0) Fail(StreamName(name, index_) + ": cannot decode it: " + DescribeAvError(result));
        AVSampleFormat format = decoder_->sample_fmt;
        if (format == AV_SAMPLE_FMT_NONE) format = AVSampleFormat(parameters->format);
        layout_ = {decoder_->sample_rate, decoder_->ch_layout.nb_channels, av_get_packed_sample_fmt(format)};
        if (layout_.rate <= 0 || layout_.channels <= 0 || PcmCodec(layout_.format) == AV_CODEC_ID_NONE)
            Fail(StreamName(name, index_) + ": its sample rate, channels or sample format are not known");
    } catch (...) {
        av_frame_free(&frame_);
        avcodec_free_context(&decoder_);
        throw;
    }
}

AudioDecoder::~AudioDecoder()
{
    av_frame_free(&frame_);
    avcodec_free_context(&decoder_);
}

void AudioDecoder::Decode(const AVPacket* packet, const Sink& sink)
{
    const int sent = avcodec_send_packet(decoder_, packet);
    if (sent < 0 && sent != AVERROR_EOF)
        Fail(StreamName(name_, index_) + ": a packet does not decode: " + DescribeAvError(sent));
    for (;;) {
        const int result = avcodec_receive_frame(decoder_, frame_);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return;
        if (result < 0) Fail(StreamName(name_, index_) + ": a packet does not decode: " + DescribeAvError(result));
        Deliver(sink);
        av_frame_unref(frame_);
    }
}

void AudioDecoder::Deliver(const Sink& sink)
{
    const AVSampleFormat format = AVSampleFormat(frame_->format);
    if (av_get_packed_sample_fmt(format) != layout_.format || frame_->sample_rate != layout_.rate ||
        frame_->ch_layout.nb_channels != layout_.channels)
        Fail(StreamName(name_, index_) + ": its samples change from " + LayoutText(layout_) + " " +
             av_get_sample_fmt_name(layout_.format) + " to " + std::to_string(frame_->sample_rate) + " Hz, " +
             std::to_string(frame_->ch_layout.nb_channels) + " channels " + av_get_sample_fmt_name(format) +
             "; an archive's audio stream keeps one format");
    const int count = frame_->nb_samples;
    if (!av_sample_fmt_is_planar(format)) {
        sink(frame_->extended_data[0], count, frame_->best_effort_timestamp);
        return;
    }
    // Planar samples to the packed PCM of the same sample type.
    const int size = av_get_bytes_per_sample(format), step = layout_.Bytes();
    packed_.resize(std::size_t(count) * std::size_t(step));
    for (int channel = 0; channel < layout_.channels; ++channel) {
        const uint8_t* from = frame_->extended_data[channel];
        uint8_t* to = packed_.data() + channel * size;
        for (int i = 0; i < count; ++i, from += size, to += step) std::memcpy(to, from, std::size_t(size));
    }
    sink(packed_.data(), count, frame_->best_effort_timestamp);
}

// ---------------------------------------------------------------------------
// PcmTrack

PcmTrack::PcmTrack(const MediaInput& input, int stream, int64_t start)
    : decoder_(input.Name(), input.Context()->streams[stream]), timeBase_(input.Context()->streams[stream]->time_base)
{
    const AVRational sample{1, Layout().rate};
    startSample_ = start == AV_NOPTS_VALUE ? INT64_MIN : av_rescale_q(start, input.Video()->time_base, sample);
    limit_ = LeadSeconds * Layout().rate;
    tolerance_ = av_rescale_q_rnd(1, timeBase_, sample, AV_ROUND_UP) +
                 av_rescale_q_rnd(1, input.Video()->time_base, sample, AV_ROUND_UP);
}

void PcmTrack::Describe(AVCodecParameters* parameters) const
{
    const SampleLayout& layout = Layout();
    parameters->codec_type = AVMEDIA_TYPE_AUDIO;
    parameters->codec_id = PcmCodec(layout.format);
    parameters->codec_tag = 0;
    parameters->format = layout.format;
    parameters->sample_rate = layout.rate;
    if (av_channel_layout_copy(&parameters->ch_layout, &decoder_.ChannelLayout()) < 0) throw std::bad_alloc();
    parameters->block_align = layout.Bytes();
    parameters->bits_per_coded_sample = 8 * av_get_bytes_per_sample(layout.format);
    parameters->bit_rate = int64_t(layout.rate) * layout.Bytes() * 8;
}

std::string PcmTrack::PcmName() const
{
    const std::string name = avcodec_get_name(PcmCodec(Layout().format));
    return name.substr(name.find('_') + 1);
}

void PcmTrack::Take(const AVPacket* packet)
{
    decoder_.Decode(packet, [this](const uint8_t* samples, int64_t count, int64_t timestamp) {
        Add(samples, count, timestamp);
    });
}

void PcmTrack::Add(const uint8_t* samples, int64_t count, int64_t timestamp)
{
    const int bytes = Layout().Bytes();
    const bool timed = timestamp != AV_NOPTS_VALUE;
    const int64_t at = timed ? av_rescale_q(timestamp, timeBase_, AVRational{1, Layout().rate}) : 0;
    if (startSample_ == INT64_MIN && timed) startSample_ = at; // the pictures have no time: the audio starts with them
    int64_t position = 0;
    // A time too far off to count in samples is no time.
    if (timed && !__builtin_sub_overflow(at, startSample_, &position) && position > -(INT64_C(1) << 62)) {
        const int64_t next = released_ + Pending();
        if (position >= limit_) {
            after_ += count;
            return;
        }
        if (position > next + tolerance_) {
            AddSilence(position - next);
        } else if (position < next - tolerance_) {
            const int64_t overlap = std::min(count, next - position);
            const int64_t before = std::clamp<int64_t>(-position, 0, overlap);
            before_ += before;
            overlapping_ += overlap - before;
            samples += overlap * bytes;
            count -= overlap;
        }
    }
    const int64_t room = std::max<int64_t>(0, limit_ - released_ - Pending());
    after_ += std::max<int64_t>(0, count - room);
    count = std::min(count, room);
    pending_.insert(pending_.end(), samples, samples + count * bytes);
}

void PcmTrack::AddSilence(int64_t count)
{
    filled_ += count;
    pending_.resize(pending_.size() + std::size_t(count * Layout().Bytes()),
                    Layout().format == AV_SAMPLE_FMT_U8 ? uint8_t(0x80) : uint8_t(0));
}

void PcmTrack::Release(int64_t end, AVRational timeBase, const SampleSink& sink)
{
    const int64_t last = av_rescale_q(end, timeBase, AVRational{1, Layout().rate});
    limit_ = std::max(limit_, last + LeadSeconds * Layout().rate);
    const int64_t count = std::min(Pending(), last - released_);
    if (count <= 0) return;
    const std::size_t bytes = std::size_t(count * Layout().Bytes());
    sink(pending_.data() + offset_, bytes, released_, count);
    released_ += count;
    offset_ += bytes;
    if (offset_ == pending_.size() || (offset_ > (1u << 20) && offset_ * 2 > pending_.size())) {
        pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(offset_));
        offset_ = 0;
    }
}

void PcmTrack::Finish(int64_t end, AVRational timeBase, const SampleSink& sink)
{
    Take(nullptr);
    const int64_t last = av_rescale_q(end, timeBase, AVRational{1, Layout().rate});
    const int64_t have = released_ + Pending();
    if (have < last) AddSilence(last - have);
    if (have > last) {
        after_ += have - last;
        pending_.resize(pending_.size() - std::size_t((have - last) * Layout().Bytes()));
    }
    Release(end, timeBase, sink);
}

// ---------------------------------------------------------------------------
// AudioCheck

struct AudioCheck::Pair {
    int archiveIndex;
    std::unique_ptr<AudioDecoder> archive;
    std::unique_ptr<AudioDecoder> copied; // the source's stream where the archive holds it as it is
    std::unique_ptr<PcmTrack> decoded;    // or as PCM
    SampleComparison comparison;

    const SampleLayout& SourceLayout() const { return copied ? copied->Layout() : decoded->Layout(); }
    AudioDecoder::Sink Side(int side)
    {
        const std::size_t bytes = std::size_t((side == 0 ? archive->Layout() : SourceLayout()).Bytes());
        return [this, side, bytes](const uint8_t* samples, int64_t count, int64_t) {
            comparison.Add(side, samples, std::size_t(count) * bytes);
        };
    }
    SampleSink SourceSink()
    {
        return [this](const uint8_t* data, std::size_t bytes, int64_t, int64_t) { comparison.Add(1, data, bytes); };
    }
};

AudioCheck::AudioCheck(const MediaInput& archive, const MediaInput& source, int64_t start)
    : byArchive_(archive.Context()->nb_streams, nullptr), bySource_(source.Context()->nb_streams, nullptr),
      unskipped_(av_packet_alloc())
{
    if (!unskipped_) throw std::bad_alloc();
    auto audioOf = [](const MediaInput& input) {
        std::vector<int> streams;
        for (unsigned i = 0; i < input.Context()->nb_streams; ++i)
            if (input.Context()->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) streams.push_back(int(i));
        return streams;
    };
    const std::vector<int> archiveAudio = audioOf(archive), sourceAudio = audioOf(source);
    if (archiveAudio.size() != sourceAudio.size())
        countProblem_ = "audio: the archive holds " + std::to_string(archiveAudio.size()) + " audio stream" +
                        (archiveAudio.size() == 1 ? "" : "s") + ", the source " + std::to_string(sourceAudio.size());
    for (std::size_t n = 0; n < std::min(archiveAudio.size(), sourceAudio.size()); ++n) {
        auto pair = std::make_unique<Pair>();
        const AVStream* theirs = source.Context()->streams[sourceAudio[n]];
        pair->archiveIndex = archiveAudio[n];
        pair->archive = std::make_unique<AudioDecoder>(archive.Name(), archive.Context()->streams[archiveAudio[n]]);
        if (RouteOf(source, theirs, start) == AudioRoute::Copied)
            pair->copied = std::make_unique<AudioDecoder>(source.Name(), theirs);
        else
            pair->decoded = std::make_unique<PcmTrack>(source, sourceAudio[n], start);
        byArchive_[std::size_t(archiveAudio[n])] = bySource_[std::size_t(sourceAudio[n])] = pair.get();
        pairs_.push_back(std::move(pair));
    }
}

AudioCheck::~AudioCheck() = default;

void AudioCheck::TakeArchive(const AVPacket* packet)
{
    if (Pair* pair = byArchive_[std::size_t(packet->stream_index)]) pair->archive->Decode(packet, pair->Side(0));
}

void AudioCheck::TakeSource(const AVPacket* packet)
{
    Pair* pair = bySource_[std::size_t(packet->stream_index)];
    if (!pair) return;
    if (pair->copied) {
        // What the source's container says to skip (an encoder's delay) the copy no longer says.
        if (av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, nullptr)) {
            if (av_packet_ref(unskipped_.get(), packet) < 0) throw std::bad_alloc();
            av_packet_shrink_side_data(unskipped_.get(), AV_PKT_DATA_SKIP_SAMPLES, 0);
            pair->copied->Decode(unskipped_.get(), pair->Side(1));
            av_packet_unref(unskipped_.get());
        } else {
            pair->copied->Decode(packet, pair->Side(1));
        }
    } else
        pair->decoded->Take(packet);
}

void AudioCheck::Release(int64_t end, AVRational timeBase)
{
    for (auto& pair : pairs_)
        if (pair->decoded) pair->decoded->Release(end, timeBase, pair->SourceSink());
}

std::vector<std::string> AudioCheck::Finish(int64_t end, AVRational timeBase, bool* identical)
{
    std::vector<std::string> lines;
    *identical = countProblem_.empty();
    if (!countProblem_.empty()) lines.push_back(countProblem_);
    for (auto& pair : pairs_) {
        pair->archive->Decode(nullptr, pair->Side(0));
        if (pair->copied)
            pair->copied->Decode(nullptr, pair->Side(1));
        else
            pair->decoded->Finish(end, timeBase, pair->SourceSink());
        const SampleLayout& ours = pair->archive->Layout();
        const SampleLayout& theirs = pair->SourceLayout();
        std::string difference;
        if (ours.rate != theirs.rate || ours.channels != theirs.channels || ours.format != theirs.format)
            difference = LayoutText(ours) + " " + av_get_sample_fmt_name(ours.format) + " in the archive, " +
                         LayoutText(theirs) + " " + av_get_sample_fmt_name(theirs.format) + " in the source";
        else
            difference = pair->comparison.Difference(ours);
        const std::string stream = "audio stream " + std::to_string(pair->archiveIndex);
        if (difference.empty()) {
            lines.push_back(stream + ": identical to the source (" + LayoutText(ours) + ", " +
                            std::to_string(pair->comparison.Samples(0, ours)) + " samples)");
        } else {
            lines.push_back(stream + ": differs from the source: " + difference);
            *identical = false;
        }
    }
    return lines;
}
