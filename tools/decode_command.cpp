// decode: a KSHA archive back to pictures: an uncompressed AVI (its other
// streams copied), Y4M (a file or standard output), or raw pictures, in the
// codec's formats or, taken back exactly, the source's planar one.
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive_reader.h"
#include "command_support.h"
#include "commands.h"
#include "pipeline.h"
#include "progress.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {
enum class OutputKind { Avi, Y4m, Raw };

OutputKind KindOf(const std::string& path)
{
    if (path == "-") return OutputKind::Y4m;
    const std::string extension = std::filesystem::path(path).extension().string();
    std::string lower;
    for (char c : extension) lower += char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == ".avi") return OutputKind::Avi;
    if (lower == ".y4m") return OutputKind::Y4m;
    return OutputKind::Raw;
}

// The AVI of uncompressed pictures in `format` with the archive's other
// audio and video streams; `streamMap` gets each input stream's copy.
AVStream* BeginAvi(AviWriter& avi, const MediaInput& input, const PictureFormat& format, uint32_t width,
                   uint32_t height, std::vector<int>& streamMap)
{
    const AVStream* source = input.Video();
    AVStream* video = avi.AddStream();
    AVCodecParameters* parameters = video->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_RAWVIDEO;
    parameters->format = format.pixelFormat;
    // RGB as Windows keeps it in an AVI: B, G, R, no tag, bottom-up.
    const bool rgb = format.pixelFormat == AV_PIX_FMT_BGR24 || format.pixelFormat == AV_PIX_FMT_BGRA;
    parameters->codec_tag = rgb ? 0 : avcodec_pix_fmt_to_codec_tag(format.pixelFormat);
    parameters->bits_per_coded_sample = av_get_bits_per_pixel(av_pix_fmt_desc_get(format.pixelFormat));
    parameters->width = int(width);
    parameters->height = int(height);
    parameters->sample_aspect_ratio = source->sample_aspect_ratio;
    video->sample_aspect_ratio = source->sample_aspect_ratio;
    video->time_base = source->time_base;
    video->avg_frame_rate = source->avg_frame_rate;
    for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
        const AVMediaType type = input.Context()->streams[i]->codecpar->codec_type;
        if (int(i) != input.VideoIndex() && (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO))
            streamMap[i] = avi.CopyStream(input.Context()->streams[i])->index;
    }
    avi.Begin(rgb);
    return video;
}

// Y4M's names for the planar formats it holds.
std::string Y4mColourSpace(const PictureFormat& format, ChromaRepetition repetition)
{
    std::string space;
    switch (format.pixelFormat) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        space = repetition == ChromaRepetition::FieldRows ? "C420paldv XYSCSS=420PALDV" : "C420jpeg XYSCSS=420JPEG";
        break;
    case AV_PIX_FMT_YUV411P:
    case AV_PIX_FMT_YUVJ411P: space = "C411 XYSCSS=411"; break;
    default: space = "C422 XYSCSS=422"; break;
    }
    return IsFullRange(format.pixelFormat) ? space + " XCOLORRANGE=FULL" : space;
}

void WriteY4mHeader(OutputFile& file, const MediaInput& input, const ChosenFormat& chosen, uint32_t width,
                    uint32_t height)
{
    const AVRational rate = input.FrameRate();
    AVRational aspect = input.Video()->sample_aspect_ratio;
    if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{0, 0};
    const std::string& order = chosen.provenance.fieldOrder;
    const char interlace = order == "top-first" ? 't' : order == "bottom-first" ? 'b' : 'p';
    char header[200];
    const int length = std::snprintf(header, sizeof header, "YUV4MPEG2 W%u H%u F%d:%d I%c A%d:%d %s\n", width, height,
                                     rate.num, rate.den, interlace, aspect.num, aspect.den,
                                     Y4mColourSpace(chosen.format, chosen.repetition).c_str());
    file.Write(header, std::size_t(length));
}
} // namespace

int DecodeCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--format", "--threads"}, {"--quiet", "--lossy"});
    if (arguments.positional.size() != 2)
        UsageError("usage: kestrun decode [--format FORMAT] [--lossy] [--threads N] [--quiet] IN.avi OUT "
                   "(OUT.avi, OUT.y4m, - for Y4M on standard output, anything else raw; FORMAT: " +
                   PictureFormatNames(false) + ")");
    const std::string inputPath = arguments.positional[0], outputPath = arguments.positional[1];
    const OutputKind kind = KindOf(outputPath);
    const unsigned threads = ThreadCount(arguments);
    const bool quiet = arguments.Has("--quiet");

    MediaInput input(inputPath);
    input.RequireKsha("decode");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, &width, &height);
    if (kind == OutputKind::Y4m && width % 2 != 0)
        Fail(input.Name() + ": Y4M holds YUV pictures of even width, and the archive's are " + std::to_string(width) +
             " pixels wide; write AVI or raw output (rgb24, rgb32)");
    // Y4M holds planar YUV: packed 4:2:2 goes out as its planes.
    ChosenFormat chosen =
        ChooseFormat(input, arguments, width, kind == OutputKind::Y4m ? "yuv422p" : "yuy2", "rgb24", false, !quiet);
    if (kind == OutputKind::Y4m && !chosen.format.planar && !chosen.format.convert) {
        if (std::strcmp(chosen.format.codecLayout, "yuy2") != 0 && std::strcmp(chosen.format.codecLayout, "uyvy") != 0)
            UsageError("Y4M holds YUV pictures, not " + chosen.format.name + "; write AVI or raw output for RGB");
        chosen.format = *FindPictureFormat("yuv422p", false);
    }
    const PictureFormat& format = chosen.format;
    const AVStream* source = input.Video();
    std::unique_ptr<AviWriter> avi;
    std::unique_ptr<OutputFile> file;
    std::vector<int> streamMap(input.Context()->nb_streams, -1);
    AVStream* video = nullptr;
    if (kind == OutputKind::Avi) {
        avi = std::make_unique<AviWriter>(outputPath);
        video = BeginAvi(*avi, input, format, width, height, streamMap);
    } else {
        file = std::make_unique<OutputFile>(outputPath);
        if (kind == OutputKind::Y4m) WriteY4mHeader(*file, input, chosen, width, height);
    }
    // RGB goes bottom-up into AVI and raw files, as Windows keeps it.
    const RowOrder rgbRows = kind == OutputKind::Y4m ? RowOrder::TopDown : RowOrder::BottomUp;
    const std::size_t rawBytes = ArchivePictures(format, width, height, chosen.repetition, rgbRows).PictureBytes();

    // Pictures go out in pooled buffers (zeroed once: RGB32 output keeps the
    // fourth byte as it was), which the muxer may hold while it interleaves.
    BufferPool pool(rawBytes + AV_INPUT_BUFFER_PADDING_SIZE);
    struct Slot {
        ArchiveFrame frame;
        AVBufferRef* raw = nullptr;
        bool repeated = true;
        CodecResult screened = CodecResult::Ok; // ScreenFrame's verdict
        CodecResult result = CodecResult::Ok;
        ~Slot() { av_buffer_unref(&raw); }
    };
    std::vector<std::unique_ptr<ArchivePictures>> decoders(threads);
    int64_t count = 0;
    uint64_t codedBytes = 0;
    Progress progress(quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    PacketPointer packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();

    // The picture written last, for the holds after it.
    AVBufferRef* last = nullptr;
    struct LastFree {
        AVBufferRef** buffer;
        ~LastFree() { av_buffer_unref(buffer); }
    } lastFree{&last};
    auto WritePicture = [&](const uint8_t* raw) {
        if (kind == OutputKind::Y4m) file->Write("FRAME\n", 6);
        file->Write(raw, rawBytes);
    };
    OrderedPipeline<Slot> pipeline(
        threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            if (slot.screened != CodecResult::Ok) return;
            if (!MakeOnce(decoders[worker], format, width, height, chosen.repetition, rgbRows)) {
                slot.result = CodecResult::OutOfMemory;
                return;
            }
            const AVPacket* frame = slot.frame.packet.get();
            slot.result =
                decoders[worker]->Decode(frame->data, std::size_t(frame->size), slot.raw->data, nullptr, &slot.repeated);
        },
        [&](Slot& slot) {
            const AVPacket* frame = slot.frame.packet.get();
            const std::string which = input.Name() + ": frame " + std::to_string(slot.frame.number);
            if (slot.screened == CodecResult::LongerThanPicture)
                Fail(which + " is damaged: its " + std::to_string(frame->size) + " bytes are more than a " +
                     SizeText(width, height) + " frame can hold");
            if (IsDamage(slot.result)) Fail(which + " " + DescribeDamage(frame, width, height));
            if (slot.result != CodecResult::Ok) Fail(which + ": " + DescribeResult(slot.result));
            if (!slot.repeated)
                Fail(which + ": its chroma is not repeated as the archive says (" +
                     DescribeMapping(chosen.provenance.mapping) + "), so " + format.name +
                     " would not be its source's picture");
            // Holds repeat the picture before: one picture a frame.
            for (int64_t hold = slot.frame.holds; hold > 0; --hold) {
                if (avi) {
                    AVBufferRef* again = av_buffer_ref(last);
                    if (!again) throw std::bad_alloc();
                    WriteKeyFrame(*avi, video, packet.get(), &again, rawBytes,
                                  slot.frame.timestamp - hold * slot.frame.duration, slot.frame.duration,
                                  source->time_base);
                } else {
                    WritePicture(last->data);
                }
                ++count;
            }
            av_buffer_unref(&last);
            last = av_buffer_ref(slot.raw);
            if (!last) throw std::bad_alloc();
            if (avi)
                WriteKeyFrame(*avi, video, packet.get(), &slot.raw, rawBytes, slot.frame.timestamp,
                              slot.frame.duration, source->time_base);
            else
                WritePicture(slot.raw->data);
            // `last` must stay this picture until the next one is written: a
            // buffer the slot still holds would be decoded into again by a
            // worker, so the slot gets another from the pool.
            av_buffer_unref(&slot.raw);
            ++count;
            codedBytes += uint64_t(frame->size);
            progress.Update(count, codedBytes);
        });

    ArchiveReader reader(input);
    auto copyOther = [&](AVPacket* other) {
        if (avi) CopyPacket(input, *avi, streamMap, other);
    };
    while (reader.Next(copyOther)) {
        if (reader.LeadingHolds() > 0) Fail(input.Name() + ": frame 0 " + LeadingHoldText);
        Slot& slot = pipeline.Acquire();
        reader.MoveTo(slot.frame);
        slot.screened = slot.result = ScreenFrame(slot.frame.packet.get(), width, height);
        if (slot.screened == CodecResult::Ok && !slot.raw) slot.raw = pool.Get();
        pipeline.Submit();
    }
    pipeline.Drain();
    reader.RequireEveryFrame();
    if (avi)
        avi->Commit();
    else
        file->Commit();
    progress.Clear();
    if (!quiet)
        std::fprintf(stderr, "%s: %" PRId64 " frames %s %s, %.1f frames/s\n", outputPath.c_str(), count,
                     SizeText(width, height).c_str(), (kind != OutputKind::Y4m ? format.name : format.name == "yuv422p" ? std::string("Y4M 4:2:2")
                                                                                     : "Y4M " + format.name).c_str(),
                     progress.FramesPerSecond(count));
    return 0;
}
