// info: what a KSHA archive holds: size, frames, rate, coders, ratio, its
// other streams, and with --frames every frame's tag and size.
#include <algorithm>
#include <cinttypes>
#include <filesystem>

#include "archive_reader.h"
#include "command_support.h"
#include "provenance.h"
#include "commands.h"

int InfoCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {}, {"--frames"});
    if (arguments.positional.size() != 1) UsageError("usage: kestrun info [--frames] IN.avi");
    MediaInput input(arguments.positional[0]);
    input.RequireKsha("info");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, &width, &height);
    const AVStream* stream = input.Video();
    const bool frames = arguments.Has("--frames");

    int64_t huffman = 0, deflate = 0, other = 0;
    uint64_t coded = 0;
    uint32_t smallest = UINT32_MAX, largest = 0;
    if (frames) std::printf("frame       tag      bytes\n");
    ArchiveReader reader(input);
    while (reader.Next()) {
        if (frames)
            for (int64_t hold = reader.Holds(); hold > 0; --hold)
                std::printf("%-10" PRId64 "  %-6s %10d\n", reader.Number() - hold,
                            reader.LeadingHolds() ? "empty" : "hold", 0);
        const AVPacket* frame = reader.Frame();
        FrameHeader header{};
        const bool whole = ReadFrameHeader(frame->data, std::size_t(frame->size), &header);
        const uint32_t tag = whole ? header.tag : 0;
        if (tag == FrameTagHuffman)
            ++huffman;
        else if (tag == FrameTagDeflate)
            ++deflate;
        else
            ++other;
        if (frames)
            std::printf("%-10" PRId64 "  %-6s %10d\n", reader.Number(), whole ? TagText(tag).c_str() : "short",
                        frame->size);
        coded += uint64_t(frame->size);
        smallest = std::min(smallest, uint32_t(frame->size));
        largest = std::max(largest, uint32_t(frame->size));
    }
    const int64_t count = reader.Pictures(), holds = reader.Number() + 1 - count;
    std::error_code error;
    const auto fileSize = input.Name() == "standard input" ? 0 : std::filesystem::file_size(input.Name(), error);
    const AVRational rate = input.FrameRate();
    const uint64_t picture = PictureBytes(width, height);
    std::printf("file:        %s, %s\n", input.Name().c_str(), DescribeBytes(fileSize).c_str());
    std::printf("video:       KSHA %ux%u, %" PRId64 " frames at %.3f frames/s (%d/%d), %.2f s\n", width, height,
                count + holds, av_q2d(rate), rate.num, rate.den,
                rate.num > 0 ? double(count + holds) * rate.den / rate.num : 0.0);
    if (holds > 0)
        std::printf("holds:       %" PRId64 " (frames that show the picture before again), %" PRId64 " pictures\n",
                    holds, count);
    if (input.AnnouncedFrames() > count + holds)
        std::printf("truncated:   the header announces %" PRId64 " frames\n", input.AnnouncedFrames());
    std::printf("frames:      HUFY %" PRId64 ", LZYV %" PRId64, huffman, deflate);
    if (other) std::printf(", unknown or short %" PRId64, other);
    std::printf("\n");
    if (count > 0)
        std::printf("compressed:  %s, %s per frame on average (%s to %s)\n", DescribeBytes(coded).c_str(),
                    DescribeBytes(coded / uint64_t(count)).c_str(), DescribeBytes(smallest).c_str(),
                    DescribeBytes(largest).c_str());
    std::printf("ratio:       %.4f of the 4:2:2 pictures (%s)\n",
                count ? double(coded) / (double(picture) * double(count)) : 0.0,
                DescribeBytes(picture * uint64_t(count)).c_str());
    std::printf("aspect:      %d:%d\n", stream->sample_aspect_ratio.num, stream->sample_aspect_ratio.den);
    Provenance provenance;
    if (ReadProvenance(input.Context(), &provenance)) {
        std::printf("source:      %s %ux%u at %d/%d frames/s, %s\n", provenance.pixelFormat.c_str(), provenance.width,
                    provenance.height, provenance.rate.num, provenance.rate.den, provenance.fieldOrder.c_str());
        std::printf("pictures:    %s, %s\n", provenance.exact ? "exact" : ("lossy: " + provenance.loss).c_str(),
                    DescribeMapping(provenance.mapping));
        std::printf("encoder:     %s\n", provenance.encoder.c_str());
    } else {
        std::printf("source:      not recorded (whether the archive is exact is not known)\n");
    }
    for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
        if (int(i) == input.VideoIndex()) continue;
        const AVCodecParameters* p = input.Context()->streams[i]->codecpar;
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(p->codec_id);
        std::printf("stream %u:    %s %s", i, av_get_media_type_string(p->codec_type) ? av_get_media_type_string(p->codec_type) : "data",
                    descriptor ? descriptor->name : "unknown");
        if (p->codec_type == AVMEDIA_TYPE_AUDIO)
            std::printf(", %d Hz, %d channels", p->sample_rate, p->ch_layout.nb_channels);
        std::printf("\n");
    }
    FlushStandardOutput();
    return 0;
}
