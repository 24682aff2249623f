// framemd5: one MD5 per decoded picture, in the lines of FFmpeg's framemd5
// muxer, in a format FFmpeg names (yuyv422 unless --format says another), so
// that they compare with `ffmpeg -i SOURCE -f framemd5 -pix_fmt FORMAT`.
// fixity: the same lines in the stored layout, into the file verify reads.
#include <cinttypes>
#include <filesystem>
#include <memory>

#include "archive_reader.h"
#include "command_support.h"
#include "commands.h"
#include "fixity.h"
#include "pipeline.h"

namespace {
// The framemd5 lines of every picture of `input` in `chosen`'s format; the
// number of pictures. A frame that does not decode ends it with its number.
int64_t WriteFramemd5(MediaInput& input, const ChosenFormat& chosen, uint32_t width, uint32_t height,
                      unsigned threads, OutputFile& output)
{
    const std::size_t rawBytes =
        ArchivePictures(chosen.format, width, height, chosen.repetition).PictureBytes();
    const std::string header =
        Framemd5Header(input.Video()->time_base, width, height, input.Video()->sample_aspect_ratio);
    output.Write(header.data(), header.size());

    struct Slot {
        ArchiveFrame frame;
        std::vector<uint8_t> raw;
        Digest digest{};
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
            if (slot.result == CodecResult::Ok) slot.digest = Md5Of(slot.raw.data(), rawBytes);
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
            const std::string line = Framemd5Line(slot.frame.timestamp, slot.frame.duration, rawBytes, slot.digest);
            output.Write(line.data(), line.size());
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
    return reader.Pictures();
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
        ChooseFormat(input, arguments, width, FixityPixelFormat(0), FixityPixelFormat(1), true, !arguments.Has("--quiet"));
    OutputFile output(arguments.positional.size() == 2 ? arguments.positional[1] : "-");
    WriteFramemd5(input, chosen, width, height, threads, output);
    output.Commit();
    return 0;
}

int FixityCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--threads"}, {"--quiet", "--force"});
    if (arguments.positional.empty() || arguments.positional.size() > 2 || arguments.positional[0] == "-")
        UsageError("usage: kestrun fixity [--force] [--threads N] [--quiet] IN.avi [OUT]   (OUT: IN.avi.framemd5 by "
                   "default, where verify looks for it)");
    const std::string& archive = arguments.positional[0];
    const std::string path = arguments.positional.size() == 2 ? arguments.positional[1] : FixityPathFor(archive);
    std::error_code error;
    if (std::filesystem::exists(path, error) && !arguments.Has("--force"))
        Fail(path + ": exists: verify checks the archive against it; kestrun fixity --force writes a new one from the "
                    "pictures as they decode now");
    MediaInput input(archive);
    input.RequireKsha("fixity");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, &width, &height);
    const ChosenFormat chosen =
        ChooseFormat(input, Arguments{}, width, FixityPixelFormat(0), FixityPixelFormat(1), true, false);
    OutputFile output(path);
    const int64_t pictures = WriteFramemd5(input, chosen, width, height, ThreadCount(arguments), output);
    output.Commit();
    if (!arguments.Has("--quiet"))
        std::fprintf(stderr, "%s: the digests of %" PRId64 " pictures as they decode now: if the archive was damaged "
                             "before, verify will not see it\n",
                     path.c_str(), pictures);
    return 0;
}
