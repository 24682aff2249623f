// encode: any video FFmpeg reads (AVI, Y4M, a pipe) to a KSHA archive, the
// other streams of an AVI source copied untouched.
#include <cinttypes>
#include <memory>

#include "archive.h"
#include "command_support.h"
#include "commands.h"
#include "picture_compare.h"
#include "picture_format.h"
#include "pipeline.h"
#include "progress.h"

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

// Other streams of an AVI source go across untouched; the map gives each
// input stream's copy, -1 for none. What is left out gets a note.
std::vector<int> CopyOtherStreams(const MediaInput& input, AviWriter& writer, bool notes)
{
    const bool avi = input.IsAvi();
    std::vector<int> streamMap(input.Context()->nb_streams, -1);
    std::vector<std::string> dropped;
    for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
        const AVStream* stream = input.Context()->streams[i];
        if (int(i) == input.VideoIndex()) continue;
        const AVMediaType type = stream->codecpar->codec_type;
        if (avi && (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO))
            streamMap[i] = writer.CopyStream(stream)->index;
        else if (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_SUBTITLE)
            dropped.push_back("stream " + std::to_string(i) + " (" + av_get_media_type_string(type) + ")");
    }
    if (!dropped.empty() && notes) {
        std::string list;
        for (const auto& d : dropped) list += (list.empty() ? "" : ", ") + d;
        std::fprintf(stderr, "note: %s: %s not copied: only the other streams of AVI sources go into the archive\n",
                     input.Name().c_str(), list.c_str());
    }
    return streamMap;
}
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
    const AVRational rate = input.FrameRate(&guessed);
    if (guessed && notes)
        std::fprintf(stderr, "note: %s: the frame rate is not known; the archive says 25 frames/s\n",
                     input.Name().c_str());
    // An AVI source keeps its own time base (its rate and scale); pictures are numbered in it.
    const AVRational timeBase = input.IsAvi() ? input.Video()->time_base : av_inv_q(rate);
    video->time_base = timeBase;
    video->avg_frame_rate = rate;
    const std::vector<int> streamMap = CopyOtherStreams(input, writer, notes);
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
        AVBufferRef* frame = nullptr;
        std::size_t size = 0;
        CodecResult result = CodecResult::Ok;
        int64_t number = 0;
        ~Slot() { av_buffer_unref(&frame); }
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
            if (!slot.frame) slot.frame = pool.Get();
            if (stored) {
                slot.readError = stored->Read(slot.number, slot.read.Data());
                if (!slot.readError.empty()) return;
                slot.picture = slot.read.Data();
            }
            slot.result = encoders[worker]->Encode(slot.picture, job.coder, slot.frame->data, &slot.size);
        },
        [&](Slot& slot) {
            if (!slot.readError.empty())
                Fail(input.Name() + ": picture " + std::to_string(slot.number) + " " + slot.readError);
            if (slot.result != CodecResult::Ok)
                Fail(input.Name() + ": picture " + std::to_string(slot.number) +
                     " cannot be compressed: " + DescribeResult(slot.result));
            av_frame_unref(slot.holder.get());
            FrameHeader header{};
            ReadFrameHeader(slot.frame->data, slot.size, &header);
            (header.tag == FrameTagHuffman ? stats.huffmanFrames : stats.deflateFrames) += 1;
            WriteKeyFrame(writer, video, packet.get(), &slot.frame, slot.size, slot.number, 1, timeBase);
            stats.codedBytes += slot.size;
            ++stats.frames;
            progress.Update(stats.frames, stats.codedBytes);
        });

    auto copyOther = [&](AVPacket* other) { CopyPacket(input, writer, streamMap, other); };
    for (int64_t number = 0;; ++number) {
        Slot& slot = pipeline.Acquire();
        if (stored) {
            if (number == stored->Count()) break;
            if (!slot.read.Data()) slot.read = LargeBuffer(pictures.PictureBytes());
        } else {
            if (!slot.holder) throw std::bad_alloc();
            if (!pictures.Next(slot.holder.get(), slot.converted, &slot.picture, copyOther)) break;
        }
        slot.number = number;
        pipeline.Submit();
    }
    pipeline.Drain();
    if (stats.frames == 0) Fail(input.Name() + ": holds no picture");
    writer.Commit();
    progress.Clear();
    stats.pictureBytes = uint64_t(stats.frames) * PictureBytes(width, height);
    stats.seconds = progress.Seconds();
    return stats;
}

int EncodeCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--coder", "--threads"}, {"--quiet", "--lossy"});
    if (arguments.positional.size() != 2)
        UsageError("usage: kestrun encode [--coder huffman|deflate|smallest|archive] [--lossy] [--threads N] [--quiet] "
                   "IN OUT.avi");
    EncodeJob job;
    job.input = arguments.positional[0];
    job.output = arguments.positional[1];
    job.coder = ParseCoder(arguments);
    job.threads = ThreadCount(arguments);
    job.quiet = arguments.Has("--quiet");
    job.lossy = arguments.Has("--lossy");
    JobStats stats = RunEncode(job);
    if (!job.quiet)
        std::fprintf(stderr, "%s: %" PRId64 " frames %s, %s (ratio %.3f; HUFY %" PRId64 ", LZYV %" PRId64
                             "), %.1f frames/s\n",
                     job.output.c_str(), stats.frames, SizeText(stats.width, stats.height).c_str(),
                     DescribeBytes(stats.codedBytes).c_str(), stats.Ratio(), stats.huffmanFrames, stats.deflateFrames,
                     stats.FramesPerSecond());
    return 0;
}
