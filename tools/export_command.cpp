// export: an archive out to a format other programs read, losslessly: FFV1
// version 3 in Matroska in the pixel format of the archive's source (4:2:0,
// 4:1:1 or 4:2:2 as the archive records it), or the stored 4:2:2 as v210 or
// UYVY in MOV for editors. Every picture goes out once at its own time (holds
// become a longer duration, not copies), every audio stream is copied as it
// is, the provenance goes into the container's tags, and the file is read
// back and compared picture by picture with the archive before it is renamed
// into place.
#include <cinttypes>
#include <filesystem>
#include <memory>

#include "archive_reader.h"
#include "command_support.h"
#include "commands.h"
#include "export_output.h"
#include "fixity.h"
#include "pipeline.h"
#include "progress.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace {
struct EncoderFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using EncoderPointer = std::unique_ptr<AVCodecContext, EncoderFree>;

// FFV1 version 3 cuts each picture into slices, each coded (and checked by
// its CRC) on its own, so that a damaged slice spoils no other and threads
// share a picture. The count must be one FFV1 allows; it depends on the
// size alone, so that the export is the same for every thread count.
AVFieldOrder FieldOrderOf(const Provenance* provenance)
{
    if (!provenance) return AV_FIELD_UNKNOWN;
    if (provenance->fieldOrder == "top-first") return AV_FIELD_TT;
    if (provenance->fieldOrder == "bottom-first") return AV_FIELD_BB;
    return AV_FIELD_PROGRESSIVE;
}

int SliceCount(uint32_t width, uint32_t height) { return uint64_t(width) * height > 1024 * 576 ? 16 : 4; }

EncoderPointer OpenEncoder(const ExportTarget& target, const MediaInput& input, const Provenance* provenance,
                           uint32_t width, uint32_t height, unsigned threads, bool globalHeader)
{
    if (target.codec == AV_CODEC_ID_V210) return nullptr; // packed by PackV210
    const AVCodec* codec = avcodec_find_encoder(target.codec);
    if (!codec) Fail(std::string("this FFmpeg has no ") + avcodec_get_name(target.codec) + " encoder");
    EncoderPointer encoder(avcodec_alloc_context3(codec));
    if (!encoder) throw std::bad_alloc();
    AVCodecContext* c = encoder.get();
    c->width = int(width);
    c->height = int(height);
    c->pix_fmt = target.encoded;
    c->time_base = input.Video()->time_base;
    c->framerate = input.FrameRate();
    c->sample_aspect_ratio = input.Video()->sample_aspect_ratio;
    c->color_range = target.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (provenance) c->field_order = FieldOrderOf(provenance);
    c->gop_size = 1; // every frame a key frame, as in the archive
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (target.codec == AV_CODEC_ID_FFV1) {
        c->level = 3;
        c->slices = SliceCount(width, height);
        c->thread_type = FF_THREAD_SLICE;
        c->thread_count = int(threads);
        av_dict_set(&options, "slicecrc", "1", 0);
    }
    const int result = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (result < 0)
        Fail(input.Name() + ": the " + avcodec_get_name(target.codec) + " encoder does not take its " +
             SizeText(width, height) + " pictures: " + DescribeAvError(result));
    return encoder;
}

// What the archive says of its source, and what exported it, as the
// container's global tags.
void WriteTags(AVFormatContext* output, const MediaInput& input, const Provenance* p, const ExportTarget& target)
{
    AVDictionary** tags = &output->metadata;
    av_dict_set(tags, "ARCHIVE", std::filesystem::path(input.Path()).filename().c_str(), 0);
    if (p) {
        av_dict_set(tags, "ARCHIVE_ENCODER", p->encoder.c_str(), 0);
        av_dict_set(tags, "SOURCE_PIXEL_FORMAT", p->pixelFormat.c_str(), 0);
        av_dict_set(tags, "SOURCE_SIZE", SizeText(p->width, p->height).c_str(), 0);
        av_dict_set(tags, "SOURCE_FRAME_RATE", (std::to_string(p->rate.num) + "/" + std::to_string(p->rate.den)).c_str(), 0);
        av_dict_set(tags, "SOURCE_FIELD_ORDER", p->fieldOrder.c_str(), 0);
        av_dict_set(tags, "MAPPING", MappingKey(p->mapping), 0);
        av_dict_set(tags, "EXACT", p->exact ? "yes" : "no", 0);
        if (!p->exact) av_dict_set(tags, "LOSS", p->loss.c_str(), 0);
    } else {
        av_dict_set(tags, "PROVENANCE", "not recorded in the archive", 0);
    }
    av_dict_set(tags, "EXPORTED_BY", (EncoderName() + " export --to " + target.to).c_str(), 0);
}
} // namespace

int ExportCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--to", "--threads"}, {"--quiet", "--force"});
    if (arguments.positional.size() != 2)
        UsageError("usage: kestrun export [--to ffv1|v210|uyvy] [--threads N] [--force] [--quiet] IN.avi OUT   "
                   "(ffv1: FFV1 in Matroska, OUT.mkv; v210, uyvy: 4:2:2 in MOV, OUT.mov)");
    const std::string inputPath = arguments.positional[0], outputPath = arguments.positional[1];
    const std::string to = arguments.Value("--to", "ffv1");
    const unsigned threads = ThreadCount(arguments);
    const bool quiet = arguments.Has("--quiet");
    if (outputPath == "-")
        UsageError("export reads what it wrote back to check it, so OUT must be a file, not standard output");
    if (inputPath == "-")
        UsageError("export reads the archive twice, to write and to check, so IN must be a file, not standard input");
    std::error_code error;
    if (std::filesystem::exists(outputPath, error)) {
        if (!std::filesystem::is_regular_file(outputPath, error))
            Fail(outputPath + ": is not a regular file; export writes a file it can read back and check");
        if (!arguments.Has("--force")) Fail(outputPath + ": exists; kestrun export --force replaces it");
    }

    MediaInput input(inputPath);
    input.RequireKsha("export");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, &width, &height);
    const ExportTarget target = ChooseTarget(to, input, width, !quiet);
    Provenance provenance;
    const bool recorded = ReadProvenance(input.Context(), &provenance);
    // A HUFY frame whose codes were damaged may still decode: the fixity file
    // beside the archive, when there is one, names it before it goes out.
    const std::string fixityPath = FixityPathFor(inputPath);
    const PictureFormat fixityFormat = *FindPictureFormat(FixityPixelFormat(width), true);
    Fixity fixity;
    const bool haveFixity = std::filesystem::exists(fixityPath, error);
    if (haveFixity) {
        std::string problem = ReadFixity(fixityPath, &fixity);
        if (problem.empty()) problem = FixityMismatch(fixity, width, height);
        if (!problem.empty())
            Fail(fixityPath + ": " + problem + "; export checks the archive against it (kestrun verify says more)");
    } else if (!quiet) {
        std::fprintf(stderr, "note: no fixity file %s: damage inside a HUFY frame that still decodes would go out "
                             "unseen\n",
                     fixityPath.c_str());
    }
    const bool digestDirectly = fixityFormat.pixelFormat == target.pictures.pixelFormat;

    ExportFile file(outputPath, target.muxer);
    AVFormatContext* output = file.Context();
    // No random identifiers or dates: the same archive gives the same file.
    output->flags |= AVFMT_FLAG_BITEXACT;
    EncoderPointer encoder = OpenEncoder(target, input, recorded ? &provenance : nullptr, width, height, threads,
                                         output->oformat->flags & AVFMT_GLOBALHEADER);
    AVStream* video = avformat_new_stream(output, nullptr);
    if (!video) throw std::bad_alloc();
    const AVRational timeBase = input.Video()->time_base; // the frames' and packets' times
    if (encoder) {
        if (avcodec_parameters_from_context(video->codecpar, encoder.get()) < 0) throw std::bad_alloc();
    } else {
        AVCodecParameters* v210 = video->codecpar;
        v210->codec_type = AVMEDIA_TYPE_VIDEO;
        v210->codec_id = AV_CODEC_ID_V210;
        v210->format = AV_PIX_FMT_YUV422P10LE;
        v210->bits_per_coded_sample = 20;
        v210->width = int(width);
        v210->height = int(height);
        v210->sample_aspect_ratio = input.Video()->sample_aspect_ratio;
        v210->color_range = target.fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        v210->field_order = FieldOrderOf(recorded ? &provenance : nullptr);
    }
    video->codecpar->codec_tag = 0; // the container's own tag (FFV1, v210, 2vuy)
    video->time_base = timeBase;
    video->avg_frame_rate = input.Video()->avg_frame_rate;
    video->sample_aspect_ratio = input.Video()->sample_aspect_ratio;
    // Audio as it is, in the archive's order; nothing else goes out.
    std::vector<int> streamMap(input.Context()->nb_streams, -1);
    for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
        const AVStream* from = input.Context()->streams[i];
        if (int(i) == input.VideoIndex()) continue;
        if (from->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
            if (!quiet)
                std::fprintf(stderr, "note: %s: stream %u (%s) is not audio and is left out\n", input.Name().c_str(),
                             i, av_get_media_type_string(from->codecpar->codec_type));
            continue;
        }
        AVStream* audio = avformat_new_stream(output, nullptr);
        if (!audio || avcodec_parameters_copy(audio->codecpar, from->codecpar) < 0) throw std::bad_alloc();
        audio->codecpar->codec_tag = 0; // the AVI's tag means nothing here
        audio->time_base = from->time_base;
        audio->disposition = from->disposition;
        av_dict_copy(&audio->metadata, from->metadata, 0);
        streamMap[i] = audio->index;
    }
    WriteTags(output, input, recorded ? &provenance : nullptr, target);
    AVDictionary* muxerOptions = nullptr;
    // The mov muxer keeps tags of its own names only, unless asked.
    if (std::string(target.muxer) == "mov") av_dict_set(&muxerOptions, "movflags", "use_metadata_tags", 0);
    file.Begin(&muxerOptions);
    av_dict_free(&muxerOptions);

    // A packet waits until the next picture's time gives its duration: a
    // picture lasts to the next, holds included.
    PacketPointer packet(av_packet_alloc()), pending(av_packet_alloc());
    FramePointer frame(av_frame_alloc());
    if (!packet || !pending || !frame) throw std::bad_alloc();
    bool havePending = false;
    auto emit = [&](int64_t next) {
        pending->duration = std::max<int64_t>(1, next - pending->pts);
        pending->stream_index = video->index;
        av_packet_rescale_ts(pending.get(), timeBase, video->time_base);
        file.Write(pending.get());
        havePending = false;
    };
    auto take = [&]() {
        if (havePending) emit(packet->pts);
        av_packet_move_ref(pending.get(), packet.get());
        havePending = true;
    };
    auto receive = [&]() {
        for (;;) {
            const int got = avcodec_receive_packet(encoder.get(), packet.get());
            if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
            if (got < 0) Fail(outputPath + ": the encoder failed: " + DescribeAvError(got) + "; nothing was kept");
            take();
        }
    };
    auto send = [&](AVFrame* picture) {
        if (!encoder) return;
        const int sent = avcodec_send_frame(encoder.get(), picture);
        if (sent < 0) Fail(outputPath + ": the encoder failed: " + DescribeAvError(sent) + "; nothing was kept");
        receive();
    };

    struct Slot {
        ArchiveFrame frame;
        std::vector<uint8_t> raw;
        CodecResult screened = CodecResult::Ok; // ScreenFrame's verdict
        CodecResult result = CodecResult::Ok;
        bool repeated = true;
        std::vector<uint8_t> stored; // in the fixity file's format, where that is another
        Digest digest{};
    };
    const std::size_t rawBytes = ArchivePictures(target.pictures, width, height, target.repetition).PictureBytes();
    std::vector<std::unique_ptr<ArchivePictures>> decoders(threads), storedDecoders(threads);
    uint64_t codedBytes = 0;
    Progress progress(quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    OrderedPipeline<Slot> pipeline(
        threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            if (slot.screened != CodecResult::Ok) return;
            if (!MakeOnce(decoders[worker], target.pictures, width, height, target.repetition)) {
                slot.result = CodecResult::OutOfMemory;
                return;
            }
            slot.raw.resize(rawBytes);
            const AVPacket* coded = slot.frame.packet.get();
            slot.result = decoders[worker]->Decode(coded->data, std::size_t(coded->size), slot.raw.data(), nullptr,
                                                   &slot.repeated);
            if (slot.result != CodecResult::Ok || !haveFixity) return;
            if (digestDirectly) {
                slot.digest = Md5Of(slot.raw.data(), rawBytes);
                return;
            }
            slot.result = DigestForFixity(coded->data, std::size_t(coded->size), width, height, storedDecoders[worker],
                                          slot.stored, &slot.digest);
        },
        [&](Slot& slot) {
            const AVPacket* coded = slot.frame.packet.get();
            const std::string which = input.Name() + ": frame " + std::to_string(slot.frame.number);
            if (slot.screened == CodecResult::LongerThanPicture)
                Fail(which + " is damaged: its " + std::to_string(coded->size) + " bytes are more than a " +
                     SizeText(width, height) + " frame can hold; nothing was exported");
            if (IsDamage(slot.result)) Fail(which + " " + DescribeDamage(coded, width, height) + "; nothing was exported");
            if (slot.result != CodecResult::Ok) Fail(which + ": " + DescribeResult(slot.result));
            if (!slot.repeated)
                Fail(which + ": its chroma is not repeated as the archive says (" +
                     DescribeMapping(provenance.mapping) + "), so " + target.pictures.name +
                     " would not hold its picture; nothing was exported");
            if (haveFixity) {
                const std::size_t picture = std::size_t(slot.frame.picture);
                if (picture >= fixity.pictures.size())
                    Fail(fixityPath + ": lists " + std::to_string(fixity.pictures.size()) +
                         " pictures, the archive holds more; nothing was exported");
                if (fixity.pictures[picture].digest != slot.digest)
                    Fail(which + " is damaged: its picture differs from its digest in " + fixityPath +
                         "; nothing was exported");
            }
            if (encoder) {
                PictureToFrame(target, slot.raw.data(), width, height, frame.get());
                frame->pts = slot.frame.timestamp;
                frame->pict_type = AV_PICTURE_TYPE_I;
                send(frame.get());
            } else {
                if (av_new_packet(packet.get(), int(V210Bytes(width, height))) < 0) throw std::bad_alloc();
                PackV210(slot.raw.data(), width, height, packet->data);
                packet->pts = packet->dts = slot.frame.timestamp;
                packet->flags |= AV_PKT_FLAG_KEY;
                take();
            }
            codedBytes += uint64_t(coded->size);
            progress.Update(slot.frame.picture + 1, codedBytes);
        });

    ArchiveReader reader(input);
    PacketPointer copied(av_packet_alloc());
    if (!copied) throw std::bad_alloc();
    auto copyAudio = [&](AVPacket* other) {
        const int index = streamMap[std::size_t(other->stream_index)];
        if (index < 0) return;
        if (av_packet_ref(copied.get(), other) < 0) throw std::bad_alloc();
        av_packet_rescale_ts(copied.get(), input.Context()->streams[other->stream_index]->time_base,
                             output->streams[index]->time_base);
        copied->stream_index = index;
        copied->pos = -1;
        file.Write(copied.get());
    };
    while (reader.Next(copyAudio)) {
        if (reader.LeadingHolds() > 0) Fail(input.Name() + ": frame 0 " + LeadingHoldText + "; nothing was exported");
        Slot& slot = pipeline.Acquire();
        reader.MoveTo(slot.frame);
        slot.screened = slot.result = ScreenFrame(slot.frame.packet.get(), width, height);
        pipeline.Submit();
    }
    pipeline.Drain();
    reader.RequireEveryFrame();
    if (haveFixity && int64_t(fixity.pictures.size()) != reader.Pictures())
        Fail(fixityPath + ": lists " + std::to_string(fixity.pictures.size()) + " pictures, the archive holds " +
             std::to_string(reader.Pictures()) + "; nothing was exported");
    send(nullptr);
    if (havePending) emit(reader.End());
    file.Close();
    progress.Clear();

    const ExportCheckResult check = CheckExport(file.Temporary(), inputPath, target, width, height, threads);
    if (!check.problem.empty())
        Fail(outputPath + ": the export does not give the archive back: " + check.problem + "; nothing was kept");
    if (check.pictures != reader.Pictures())
        Fail(outputPath + ": the export holds " + std::to_string(check.pictures) + " pictures, the archive " +
             std::to_string(reader.Pictures()) + "; nothing was kept");
    const uint64_t exportBytes = std::filesystem::file_size(file.Temporary(), error);
    const uint64_t archiveBytes = std::filesystem::file_size(inputPath, error);
    file.Commit();
    if (!quiet)
        std::fprintf(stderr, "%s: %" PRId64 " pictures %s %s, %s (%.3f of the archive's %s), every picture checked "
                             "against the archive%s; %.1f pictures/s\n",
                     outputPath.c_str(), check.pictures, SizeText(width, height).c_str(),
                     DescribeTarget(target).c_str(), DescribeBytes(exportBytes).c_str(),
                     archiveBytes ? double(exportBytes) / double(archiveBytes) : 0.0,
                     DescribeBytes(archiveBytes).c_str(), haveFixity ? " and its fixity file" : "",
                     progress.FramesPerSecond(check.pictures));
    return 0;
}
