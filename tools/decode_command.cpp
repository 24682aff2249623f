// decode: a KSHA archive back to pictures: an uncompressed AVI (its other
// streams copied), Y4M 4:2:2 (a file or standard output), or raw pictures.
#include <cinttypes>
#include <filesystem>
#include <memory>

#include "archive_reader.h"
#include "command_support.h"
#include "commands.h"
#include "pipeline.h"
#include "progress.h"

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

// Packed YUY2 rows to the three planes of a Y4M frame.
void PackedToY4m(const uint8_t* packed, uint32_t width, uint32_t height, uint8_t* out)
{
    uint8_t* y = out;
    uint8_t* u = y + std::size_t(width) * height;
    uint8_t* v = u + std::size_t(width / 2) * height;
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t* p = packed + std::size_t(row) * width * 2;
        for (uint32_t x = 0; x < width / 2; ++x, p += 4) {
            *y++ = p[0];
            *u++ = p[1];
            *y++ = p[2];
            *v++ = p[3];
        }
    }
}

// The AVI of uncompressed pictures in `format` with the archive's other
// audio and video streams; `streamMap` gets each input stream's copy.
AVStream* BeginAvi(AviWriter& avi, const MediaInput& input, const RawFormat& format, uint32_t width, uint32_t height,
                   std::vector<int>& streamMap)
{
    const AVStream* source = input.Video();
    AVStream* video = avi.AddStream();
    AVCodecParameters* parameters = video->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_RAWVIDEO;
    const PixelLayout layout = format.layout;
    parameters->codec_tag = layout == PixelLayout::Yuy2 ? FourccYUY2 : layout == PixelLayout::Uyvy ? FourccUYVY : 0;
    parameters->format = layout == PixelLayout::Yuy2    ? AV_PIX_FMT_YUYV422
                         : layout == PixelLayout::Uyvy  ? AV_PIX_FMT_UYVY422
                         : layout == PixelLayout::Rgb24 ? AV_PIX_FMT_BGR24
                                                        : AV_PIX_FMT_BGRA;
    parameters->bits_per_coded_sample = int(8 * format.bytesPerPixel);
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
    // RGB goes bottom-up, as Video for Windows hosts expect it.
    avi.Begin(format.IsRgb());
    return video;
}

void WriteY4mHeader(OutputFile& file, const MediaInput& input, uint32_t width, uint32_t height)
{
    const AVRational rate = input.FrameRate();
    AVRational aspect = input.Video()->sample_aspect_ratio;
    if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{0, 0};
    char header[160];
    const int length = std::snprintf(header, sizeof header, "YUV4MPEG2 W%u H%u F%d:%d Ip A%d:%d C422 XYSCSS=422\n",
                                     width, height, rate.num, rate.den, aspect.num, aspect.den);
    file.Write(header, std::size_t(length));
}
} // namespace

int DecodeCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--format", "--threads"}, {"--quiet"});
    if (arguments.positional.size() != 2)
        UsageError("usage: kestrun decode [--format yuy2|uyvy|rgb24|rgb32] [--threads N] [--quiet] IN.avi OUT "
                   "(OUT.avi, OUT.y4m, - for Y4M on standard output, anything else raw)");
    const std::string inputPath = arguments.positional[0], outputPath = arguments.positional[1];
    const OutputKind kind = KindOf(outputPath);
    if (kind == OutputKind::Y4m && arguments.Has("--format"))
        UsageError("Y4M output is always 4:2:2; --format applies to AVI and raw output");
    const std::string formatName = arguments.Value("--format", "yuy2");
    const RawFormat* format = FindRawFormat(formatName);
    if (!format) UsageError("--format takes yuy2, uyvy, rgb24 or rgb32, not \"" + formatName + "\"");
    const unsigned threads = ThreadCount(arguments);
    const bool quiet = arguments.Has("--quiet");

    MediaInput input(inputPath);
    input.RequireKsha("decode");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, *format, &width, &height);
    const std::size_t rawBytes = std::size_t(width) * height * format->bytesPerPixel;
    const AVStream* source = input.Video();

    std::unique_ptr<AviWriter> avi;
    std::unique_ptr<OutputFile> file;
    std::vector<int> streamMap(input.Context()->nb_streams, -1);
    AVStream* video = nullptr;
    if (kind == OutputKind::Avi) {
        avi = std::make_unique<AviWriter>(outputPath);
        video = BeginAvi(*avi, input, *format, width, height, streamMap);
    } else {
        file = std::make_unique<OutputFile>(outputPath);
        if (kind == OutputKind::Y4m) WriteY4mHeader(*file, input, width, height);
    }

    // Pictures go out in pooled buffers (zeroed once: RGB32 output keeps the
    // fourth byte as it was), which the muxer may hold while it interleaves.
    BufferPool pool(rawBytes + AV_INPUT_BUFFER_PADDING_SIZE);
    struct Slot {
        ArchiveFrame frame;
        AVBufferRef* raw = nullptr;
        std::vector<uint8_t> planes;
        CodecResult screened = CodecResult::Ok; // ScreenFrame's verdict
        CodecResult result = CodecResult::Ok;
        ~Slot() { av_buffer_unref(&raw); }
    };
    // RGB output: bottom-up for AVI and raw (as raw-decode writes it).
    std::vector<std::unique_ptr<FrameDecoder>> decoders(threads);
    int64_t count = 0;
    uint64_t codedBytes = 0;
    Progress progress(quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    PacketPointer packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();

    // The picture written last, for the holds after it.
    AVBufferRef* last = nullptr;
    std::vector<uint8_t> lastPlanes;
    struct LastFree {
        AVBufferRef** buffer;
        ~LastFree() { av_buffer_unref(buffer); }
    } lastFree{&last};
    auto WritePicture = [&](const uint8_t* raw, const std::vector<uint8_t>& planes) {
        if (kind == OutputKind::Y4m) {
            file->Write("FRAME\n", 6);
            file->Write(planes.data(), planes.size());
        } else {
            file->Write(raw, rawBytes);
        }
    };
    OrderedPipeline<Slot> pipeline(
        threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            if (slot.screened != CodecResult::Ok) return;
            if (!MakeOnce(decoders[worker], *format, width, height)) {
                slot.result = CodecResult::OutOfMemory;
                return;
            }
            const AVPacket* frame = slot.frame.packet.get();
            slot.result = decoders[worker]->Decode(frame->data, std::size_t(frame->size), slot.raw->data);
            if (slot.result == CodecResult::Ok && kind == OutputKind::Y4m) {
                slot.planes.resize(PictureBytes(width, height));
                PackedToY4m(slot.raw->data, width, height, slot.planes.data());
            }
        },
        [&](Slot& slot) {
            const AVPacket* frame = slot.frame.packet.get();
            const std::string which = input.Name() + ": frame " + std::to_string(slot.frame.number);
            if (slot.screened == CodecResult::LongerThanPicture)
                Fail(which + " is damaged: its " + std::to_string(frame->size) + " bytes are more than a " +
                     SizeText(width, height) + " frame can hold");
            if (IsDamage(slot.result)) Fail(which + " " + DescribeDamage(frame, width, height));
            if (slot.result != CodecResult::Ok) Fail(which + ": " + DescribeResult(slot.result));
            // Holds repeat the picture before: one picture a frame.
            for (int64_t hold = slot.frame.holds; hold > 0; --hold) {
                if (avi) {
                    AVBufferRef* again = av_buffer_ref(last);
                    if (!again) throw std::bad_alloc();
                    WriteKeyFrame(*avi, video, packet.get(), &again, rawBytes,
                                  slot.frame.timestamp - hold * slot.frame.duration, slot.frame.duration,
                                  source->time_base);
                } else {
                    WritePicture(last->data, lastPlanes);
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
                WritePicture(slot.raw->data, slot.planes);
            std::swap(lastPlanes, slot.planes);
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
                     SizeText(width, height).c_str(), kind == OutputKind::Y4m ? "Y4M 4:2:2" : format->name.c_str(),
                     progress.FramesPerSecond(count));
    return 0;
}
