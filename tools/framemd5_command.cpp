// framemd5: one MD5 per decoded picture, in the lines of FFmpeg's framemd5
// muxer, in a format FFmpeg names (yuyv422 unless --format says another), so
// that they compare with `ffmpeg -i SOURCE -f framemd5 -pix_fmt FORMAT`.
#include <cinttypes>
#include <memory>

#include "archive_reader.h"
#include "command_support.h"
#include "commands.h"
#include "pipeline.h"

extern "C" {
#include <libavutil/md5.h>
}

namespace {
// The header of FFmpeg's framemd5 muxer for one rawvideo stream.
std::string Md5Header(const AVStream* stream, uint32_t width, uint32_t height)
{
    std::string header = "#format: frame checksums\n#version: 2\n#hash: MD5\n#software: " LIBAVFORMAT_IDENT "\n";
    char line[256];
    std::snprintf(line, sizeof line, "#tb 0: %d/%d\n#media_type 0: video\n#codec_id 0: rawvideo\n#dimensions 0: %ux%u\n"
                                     "#sar 0: %d/%d\n",
                  stream->time_base.num, stream->time_base.den, width, height,
                  stream->sample_aspect_ratio.num > 0 ? stream->sample_aspect_ratio.num : 0,
                  stream->sample_aspect_ratio.num > 0 ? stream->sample_aspect_ratio.den : 1);
    header += line;
    header += "#stream#, dts,        pts, duration,     size, hash\n";
    return header;
}
} // namespace

int FrameMd5Command(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--format", "--threads"}, {"--quiet", "--lossy"});
    if (arguments.positional.empty() || arguments.positional.size() > 2)
        UsageError("usage: kestrun framemd5 [--format FORMAT] [--lossy] [--threads N] IN.avi [OUT]   (OUT: - by "
                   "default; FORMAT as ffmpeg's -pix_fmt names it: " +
                   PictureFormatNames(true) + ")");
    const unsigned threads = ThreadCount(arguments);
    MediaInput input(arguments.positional[0]);
    input.RequireKsha("framemd5");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, &width, &height);
    const ChosenFormat chosen =
        ChooseFormat(input, arguments, width, "yuyv422", "bgr24", true, !arguments.Has("--quiet"));
    OutputFile output(arguments.positional.size() == 2 ? arguments.positional[1] : "-");
    const std::size_t rawBytes =
        ArchivePictures(chosen.format, width, height, chosen.repetition).PictureBytes();
    const std::string header = Md5Header(input.Video(), width, height);
    output.Write(header.data(), header.size());

    struct Slot {
        ArchiveFrame frame;
        std::vector<uint8_t> raw;
        uint8_t digest[16];
        CodecResult screened = CodecResult::Ok; // ScreenFrame's verdict
        CodecResult result = CodecResult::Ok;
        bool repeated = true;
    };
    std::vector<std::unique_ptr<ArchivePictures>> decoders(threads);
    OrderedPipeline<Slot> pipeline(
        threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            if (slot.screened != CodecResult::Ok) return;
            if (!MakeOnce(decoders[worker], chosen.format, width, height, chosen.repetition)) {
                slot.result = CodecResult::OutOfMemory;
                return;
            }
            slot.raw.resize(rawBytes);
            const AVPacket* frame = slot.frame.packet.get();
            slot.result = decoders[worker]->Decode(frame->data, std::size_t(frame->size), slot.raw.data(), nullptr,
                                                   &slot.repeated);
            if (slot.result == CodecResult::Ok) av_md5_sum(slot.digest, slot.raw.data(), rawBytes);
        },
        [&](Slot& slot) {
            if (slot.result != CodecResult::Ok)
                Fail(input.Name() + ": frame " + std::to_string(slot.frame.number) + " " +
                     (slot.screened == CodecResult::LongerThanPicture
                          ? std::string("is damaged: it is larger than a frame can be")
                          : DescribeDamage(slot.frame.packet.get(), width, height)) +
                     "; no checksum for it");
            if (!slot.repeated)
                Fail(input.Name() + ": frame " + std::to_string(slot.frame.number) +
                     ": its chroma is not repeated as the archive says (" + DescribeMapping(chosen.provenance.mapping) +
                     "); no checksum for it");
            char line[256];
            int length = std::snprintf(line, sizeof line, "0, %10" PRId64 ", %10" PRId64 ", %8" PRId64 ", %8zu, ",
                                       slot.frame.timestamp, slot.frame.timestamp, slot.frame.duration, rawBytes);
            for (uint8_t byte : slot.digest) length += std::snprintf(line + length, sizeof line - length, "%02x", byte);
            line[length++] = '\n';
            output.Write(line, std::size_t(length));
        });
    ArchiveReader reader(input);
    while (reader.Next()) {
        if (reader.LeadingHolds() > 0) Fail(input.Name() + ": frame 0 " + LeadingHoldText + "; no checksum for it");
        Slot& slot = pipeline.Acquire();
        reader.MoveTo(slot.frame);
        slot.screened = slot.result = ScreenFrame(slot.frame.packet.get(), width, height);
        pipeline.Submit();
    }
    pipeline.Drain();
    reader.RequireEveryFrame();
    output.Commit();
    return 0;
}
