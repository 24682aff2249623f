// encode: any video FFmpeg reads (AVI, Y4M, a pipe) to a KSHA archive, its
// pictures in frame slots by their times, its audio copied or as PCM, the
// other streams of an AVI source copied untouched.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "archive.h"
#include "audio.h"
#include "command_support.h"
#include "commands.h"
#include "fixity.h"
#include "picture_compare.h"
#include "picture_format.h"
#include "pipeline.h"
#include "progress.h"
#include "timing.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {
// The archive's video stream: KSHA at 16 bits a pixel, as a Video for
// Windows host with the codec's driver reads it.
AVStream* AddArchiveStream(AviWriter& writer, const PictureReader& pictures)
{
    AVStream* video = writer.AddStream();
    AVCodecParameters* parameters = video->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_NONE;
    parameters->codec_tag = FourccKSHA;
    parameters->width = int(pictures.Width());
    parameters->height = int(pictures.Height());
    parameters->bits_per_coded_sample = 16;
    parameters->sample_aspect_ratio = pictures.SampleAspectRatio();
    video->sample_aspect_ratio = pictures.SampleAspectRatio();
    return video;
}

std::string StreamText(const AVStream* stream)
{
    const char* type = av_get_media_type_string(stream->codecpar->codec_type);
    return "stream " + std::to_string(stream->index) + " (" + (type ? type : "data") + ")";
}

std::string ListText(const std::vector<std::string>& items)
{
    std::string list;
    for (const auto& item : items) list += (list.empty() ? "" : ", ") + item;
    return list;
}

// The source's streams besides its pictures, in the archive: every audio
// stream, copied or as PCM (RouteOf); an AVI source's other video streams,
// copied. What cannot go in is named in a note, and so is what goes in as PCM.
class OtherStreams {
public:
    // `start` is the first picture's timestamp; before the writer begins.
    OtherStreams(const MediaInput& input, AviWriter& writer, int64_t start, bool notes)
        : input_(input), writer_(writer), start_(start), packet_(av_packet_alloc()),
          copies_(input.Context()->nb_streams, -1), tracks_(input.Context()->nb_streams),
          targets_(input.Context()->nb_streams, nullptr)
    {
        if (!packet_) throw std::bad_alloc();
        std::vector<std::string> left, decoded;
        for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
            const AVStream* stream = input.Context()->streams[i];
            const AVMediaType type = stream->codecpar->codec_type;
            if (int(i) == input.VideoIndex()) continue;
            if (type == AVMEDIA_TYPE_AUDIO && RouteOf(input, stream, start) == AudioRoute::Decoded) {
                tracks_[i] = std::make_unique<PcmTrack>(input, int(i), start);
                targets_[i] = writer.AddStream();
                tracks_[i]->Describe(targets_[i]->codecpar);
                targets_[i]->time_base = AVRational{1, tracks_[i]->Layout().rate};
                const std::string codec = avcodec_get_name(stream->codecpar->codec_id);
                decoded.push_back("stream " + std::to_string(i) + " (" + codec + " to " + tracks_[i]->PcmName() + ": " +
                                  (AviCarriesAsIs(stream->codecpar->codec_id)
                                       ? "it does not start with the pictures"
                                       : "AVI does not carry " + codec + " as it is") +
                                  ")");
            } else if (type == AVMEDIA_TYPE_AUDIO || (type == AVMEDIA_TYPE_VIDEO && input.IsAvi())) {
                AVStream* copy = writer.CopyStream(stream);
                if (!input.IsAvi()) copy->codecpar->codec_tag = 0; // the source container's tag: the AVI's is another
                copies_[i] = copy->index;
            } else {
                left.push_back(StreamText(stream));
            }
        }
        if (!notes) return;
        if (!left.empty())
            std::fprintf(stderr, "note: %s: %s left out: an archive holds the pictures, the audio, and an AVI "
                                 "source's other video\n",
                         input.Name().c_str(), ListText(left).c_str());
        if (!decoded.empty())
            std::fprintf(stderr, "note: %s: audio decoded to PCM: %s\n",
                         input.Name().c_str(), ListText(decoded).c_str());
    }

    // A packet of another stream of the source.
    void Take(AVPacket* packet)
    {
        const std::size_t index = std::size_t(packet->stream_index);
        if (tracks_[index]) return tracks_[index]->Take(packet);
        if (copies_[index] < 0) return;
        // An AVI's streams start together; another source's copies start with its first picture.
        if (!input_.IsAvi() && start_ != AV_NOPTS_VALUE) {
            const AVStream* stream = input_.Context()->streams[index];
            const int64_t shift = av_rescale_q(start_, input_.Video()->time_base, stream->time_base);
            for (int64_t* time : {&packet->pts, &packet->dts})
                if (*time != AV_NOPTS_VALUE) *time = std::max<int64_t>(0, *time - shift);
        }
        CopyPacket(input_, writer_, copies_, packet);
    }

    // The PCM up to the video's end so far (in `timeBase`).
    void Release(int64_t end, AVRational timeBase)
    {
        for (std::size_t i = 0; i < tracks_.size(); ++i)
            if (tracks_[i]) tracks_[i]->Release(end, timeBase, Sink(i));
    }

    // The PCM to the video's end, and a note of what did not fit its time.
    void Finish(int64_t end, AVRational timeBase, bool notes)
    {
        for (std::size_t i = 0; i < tracks_.size(); ++i) {
            if (!tracks_[i]) continue;
            tracks_[i]->Finish(end, timeBase, Sink(i));
            const PcmTrack& track = *tracks_[i];
            std::vector<std::string> parts;
            const struct {
                int64_t samples;
                const char* what;
            } counts[] = {{track.Before(), "before the first picture left out"},
                          {track.Overlapping(), "over the samples before them left out"},
                          {track.After(), "after the last picture left out"},
                          {track.Filled(), "of silence where it has none"}};
            for (const auto& count : counts) {
                if (count.samples == 0) continue;
                char text[160];
                std::snprintf(text, sizeof text, "%lld samples (%.1f ms) %s", static_cast<long long>(count.samples),
                              1000.0 * double(count.samples) / track.Layout().rate, count.what);
                parts.push_back(text);
            }
            if (notes && !parts.empty())
                std::fprintf(stderr, "note: %s: stream %zu in step with the pictures: %s\n", input_.Name().c_str(), i,
                             ListText(parts).c_str());
        }
    }

private:
    SampleSink Sink(std::size_t index)
    {
        return [this, index](const uint8_t* data, std::size_t bytes, int64_t position, int64_t count) {
            AVStream* stream = targets_[index];
            av_packet_unref(packet_.get());
            if (av_new_packet(packet_.get(), int(bytes)) < 0) throw std::bad_alloc();
            std::memcpy(packet_->data, data, bytes);
            packet_->stream_index = stream->index;
            packet_->pts = packet_->dts = position;
            packet_->duration = count;
            packet_->flags = AV_PKT_FLAG_KEY;
            av_packet_rescale_ts(packet_.get(), AVRational{1, tracks_[index]->Layout().rate}, stream->time_base);
            writer_.Write(packet_.get());
        };
    }

    const MediaInput& input_;
    AviWriter& writer_;
    int64_t start_;
    PacketPointer packet_;
    std::vector<int> copies_;                      // per source stream: its copy's index, -1 for none
    std::vector<std::unique_ptr<PcmTrack>> tracks_; // per source stream: its PCM, when decoded
    std::vector<AVStream*> targets_;               // and the archive's stream for it
};
} // namespace

namespace {
// How far the archive's pictures would be from the source's, measured on its
// first picture: coded and decoded back to the source's pixel format.
std::string FirstPictureLoss(PictureReader& pictures)
{
    const uint32_t width = pictures.Width(), height = pictures.Height();
    std::vector<uint8_t> input(pictures.PictureBytes()), native(pictures.SourcePictureBytes());
    if (!pictures.Peek(input.data(), native.data())) return "";
    FrameEncoder encoder(pictures.Format(), width, height, RowOrder::TopDown);
    std::vector<uint8_t> frame(encoder.FrameCapacity());
    std::size_t size = 0;
    if (encoder.Encode(input.data(), FrameCoder::Huffman, frame.data(), &size) != CodecResult::Ok) return "";
    const AVPixelFormat source = AVPixelFormat(pictures.SourcePixelFormat());
    const PictureFormat format = pictures.Plan().mapping == Mapping::Bt601
                                     ? *FindPictureFormat(source == AV_PIX_FMT_RGB24 ? "rgb24" : "bgr24", true)
                                     : ConvertedFormat(source);
    ArchivePictures back(format, width, height, ChromaRepetition::None);
    std::vector<uint8_t> decoded(back.PictureBytes());
    if (back.Decode(frame.data(), size, decoded.data()) != CodecResult::Ok) return "";
    return " (on its first picture: largest difference " +
           ComparePictures(source, width, height, decoded.data(), native.data()).Describe() + ")";
}

std::string FieldOrder(const PictureReader& pictures)
{
    if (!pictures.Interlaced()) return "progressive";
    return pictures.TopFieldFirst() ? "top-first" : "bottom-first";
}

// Stops a lossy source before anything is written, unless it is accepted;
// says once what the archive keeps.
void ConsentToLoss(const EncodeJob& job, const MediaInput& input, PictureReader& pictures, bool notes)
{
    const SourcePlan& plan = pictures.Plan();
    const std::string what = input.Name() + ": " + SizeText(pictures.Width(), pictures.Height()) + " " +
                             pictures.SourceFormat();
    if (!plan.exact && !job.lossy)
        Fail(what + ": the archive would not be exact: " + plan.loss + FirstPictureLoss(pictures) +
             "; kestrun encode --lossy archives it all the same");
    if (!notes) return;
    if (!plan.exact)
        std::fprintf(stderr, "note: %s: archived lossy, as --lossy asks: %s\n", what.c_str(), plan.loss.c_str());
    else if (plan.mapping != Mapping::Packed)
        std::fprintf(stderr, "note: %s is kept exactly, %s into 4:2:2 (kestrun decode --format %s gives it back)\n",
                     what.c_str(), DescribeMapping(plan.mapping), pictures.SourceFormat().c_str());
}
} // namespace

JobStats RunEncode(const EncodeJob& job)
{
    MediaInput input(job.input);
    const bool notes = job.notes && !job.quiet;
    PictureReader pictures(input);
    ConsentToLoss(job, input, pictures, notes);
    const RawFormat& format = pictures.Format();
    const uint32_t width = pictures.Width(), height = pictures.Height();

    AviWriter writer(job.output);
    AVStream* video = AddArchiveStream(writer, pictures);
    bool guessed = false;
    const AVRational rate = input.IsAvi() ? input.FrameRate(&guessed) : NominalRate(input.Video(), &guessed);
    if (guessed && notes)
        std::fprintf(stderr, "note: %s: the frame rate is not known; the archive says 25 frames/s\n",
                     input.Name().c_str());
    // An AVI source keeps its own time base (its rate and scale): its frames are the slots.
    const AVRational timeBase = input.IsAvi() ? input.Video()->time_base : av_inv_q(rate);
    video->time_base = timeBase;
    video->avg_frame_rate = rate;
    FrameSlots slots(input.Video()->time_base, timeBase);
    OtherStreams others(input, writer, pictures.FirstTimestamp(), notes);
    Provenance provenance;
    provenance.encoder = EncoderName();
    provenance.pixelFormat = pictures.SourceFormat();
    provenance.width = width;
    provenance.height = height;
    provenance.rate = rate;
    provenance.fieldOrder = FieldOrder(pictures);
    provenance.mapping = pictures.Plan().mapping;
    provenance.exact = pictures.Plan().exact;
    provenance.loss = pictures.Plan().loss;
    WriteProvenance(writer.Context(), provenance);
    writer.Begin();

    std::vector<std::unique_ptr<FrameEncoder>> encoders;
    for (unsigned w = 0; w < job.threads; ++w)
        encoders.push_back(std::make_unique<FrameEncoder>(format, width, height, RowOrder::TopDown));

    // The fixity file: the digest of each picture as the archive stores it.
    // Packed YUY2 goes in as it is stored, so its digest is the input's; any
    // other input is digested as its frame decodes, which proves the frame too.
    std::unique_ptr<OutputFile> fixity;
    const bool wantFixity = job.fixity && !IsSpecialOutput(job.output);
    if (wantFixity) {
        fixity = std::make_unique<OutputFile>(FixityPathFor(job.output));
        const std::string header = Framemd5Header(video->time_base, width, height, video->sample_aspect_ratio);
        fixity->Write(header.data(), header.size());
    }
    const std::size_t fixityBytes = FixityPictureBytes(width, height);
    const bool digestInput = format.layout == PixelLayout::Yuy2 && width % 2 == 0;
    std::vector<std::unique_ptr<ArchivePictures>> digesters(job.threads);

    // Frames go to the muxer in pooled buffers, which it may hold while it
    // interleaves; the pool reuses them, so nothing is allocated per frame.
    const std::size_t capacity = encoders[0]->FrameCapacity();
    BufferPool pool(capacity + AV_INPUT_BUFFER_PADDING_SIZE);
    // Pictures that lie in the file as the codec takes them are read by the
    // workers, each its own, straight into the slot: the demuxer would copy
    // every picture once more, all on this thread.
    const std::unique_ptr<StoredPictures> stored = StoredPictures::Find(input, pictures);
    struct Slot {
        FramePointer holder{av_frame_alloc()};
        std::vector<uint8_t> converted;
        LargeBuffer read; // a stored picture
        std::string readError;
        const uint8_t* picture = nullptr;
        AVBufferRef* coded = nullptr;
        std::size_t size = 0;
        CodecResult result = CodecResult::Ok;
        std::vector<uint8_t> stored; // the picture as the archive stores it, when digested from its frame
        Digest digest{};
        int64_t number = 0;  // the picture's, in the source
        int64_t frame = 0;   // its frame slot in the archive
        ~Slot() { av_buffer_unref(&coded); }
    };
    JobStats stats;
    stats.width = width;
    stats.height = height;
    stats.sourceFormat = pictures.SourceFormat();
    stats.mapping = pictures.Plan().mapping;
    stats.exact = pictures.Plan().exact;
    stats.loss = pictures.Plan().loss;
    Progress progress(job.quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    PacketPointer packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();

    OrderedPipeline<Slot> pipeline(
        job.threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            // The pool zeroes a new buffer: here that is not this thread's work.
            if (!slot.coded) slot.coded = pool.Get();
            if (stored) {
                slot.readError = stored->Read(slot.number, slot.read.Data());
                if (!slot.readError.empty()) return;
                slot.picture = slot.read.Data();
            }
            slot.result = encoders[worker]->Encode(slot.picture, job.coder, slot.coded->data, &slot.size);
            if (!fixity || slot.result != CodecResult::Ok) return;
            if (digestInput) {
                slot.digest = Md5Of(slot.picture, PictureBytes(width, height));
                return;
            }
            slot.result =
                DigestForFixity(slot.coded->data, slot.size, width, height, digesters[worker], slot.stored, &slot.digest);
        },
        [&](Slot& slot) {
            if (!slot.readError.empty())
                Fail(input.Name() + ": picture " + std::to_string(slot.number) + " " + slot.readError);
            if (slot.result != CodecResult::Ok)
                Fail(input.Name() + ": picture " + std::to_string(slot.number) +
                     " cannot be compressed: " + DescribeResult(slot.result));
            av_frame_unref(slot.holder.get());
            FrameHeader header{};
            ReadFrameHeader(slot.coded->data, slot.size, &header);
            (header.tag == FrameTagHuffman ? stats.huffmanFrames : stats.deflateFrames) += 1;
            if (fixity) {
                const int64_t pts = av_rescale_q(slot.frame, timeBase, video->time_base);
                const std::string line = Framemd5Line(pts, std::max<int64_t>(1, av_rescale_q(1, timeBase, video->time_base)),
                                                      fixityBytes, slot.digest);
                fixity->Write(line.data(), line.size());
            }
            WriteKeyFrame(writer, video, packet.get(), &slot.coded, slot.size, slot.frame, 1, timeBase);
            stats.codedBytes += slot.size;
            ++stats.frames;
            progress.Update(stats.frames, stats.codedBytes);
        });

    auto copyOther = [&](AVPacket* other) { others.Take(other); };
    int64_t end = 0; // where the video ends so far, in slots
    for (int64_t number = 0;; ++number) {
        Slot& slot = pipeline.Acquire();
        if (stored) {
            if (number == stored->Count()) break;
            if (!slot.read.Data()) slot.read = LargeBuffer(pictures.PictureBytes());
            slot.frame = number; // a file of pictures alone, one a frame
        } else {
            if (!slot.holder) throw std::bad_alloc();
            if (!pictures.Next(slot.holder.get(), slot.converted, &slot.picture, copyOther)) break;
            slot.frame = slots.Place(pictures.Timestamp());
        }
        slot.number = number;
        end = slot.frame + 1;
        pipeline.Submit();
        others.Release(end, timeBase);
    }
    pipeline.Drain();
    if (stats.frames == 0) Fail(input.Name() + ": holds no picture");
    others.Finish(end, timeBase, notes);
    if (notes && !slots.Note().empty())
        std::fprintf(stderr, "note: %s: %s\n", input.Name().c_str(), slots.Note().c_str());
    stats.holds = end - stats.frames;
    // The fixity file first: an archive in place has its digests beside it.
    if (fixity) fixity->Commit();
    writer.Commit();
    if (!wantFixity && !IsSpecialOutput(job.output) && std::remove(FixityPathFor(job.output).c_str()) == 0 && notes)
        std::fprintf(stderr, "note: %s: removed, the fixity file of the archive this one replaces\n",
                     FixityPathFor(job.output).c_str());
    progress.Clear();
    stats.pictureBytes = uint64_t(stats.frames) * PictureBytes(width, height);
    stats.seconds = progress.Seconds();
    return stats;
}

int EncodeCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--coder", "--threads"}, {"--quiet", "--lossy", "--no-fixity"});
    if (arguments.positional.size() != 2)
        UsageError("usage: kestrun encode [--coder huffman|deflate|smallest|archive] [--lossy] [--no-fixity] "
                   "[--threads N] [--quiet] IN OUT.avi");
    EncodeJob job;
    job.input = arguments.positional[0];
    job.output = arguments.positional[1];
    job.coder = ParseCoder(arguments);
    job.threads = ThreadCount(arguments);
    job.quiet = arguments.Has("--quiet");
    job.lossy = arguments.Has("--lossy");
    job.fixity = !arguments.Has("--no-fixity");
    JobStats stats = RunEncode(job);
    if (!job.quiet)
        std::fprintf(stderr, "%s: %" PRId64 " frames%s %s, %s (ratio %.3f; HUFY %" PRId64 ", LZYV %" PRId64
                             "), %.1f frames/s\n",
                     job.output.c_str(), stats.frames,
                     stats.holds ? (" and " + std::to_string(stats.holds) + " holds").c_str() : "",
                     SizeText(stats.width, stats.height).c_str(),
                     DescribeBytes(stats.codedBytes).c_str(), stats.Ratio(), stats.huffmanFrames, stats.deflateFrames,
                     stats.FramesPerSecond());
    return 0;
}
