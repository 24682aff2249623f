// info: what a KSHA archive holds: size, frames, rate, coders, ratio, its
// other streams, and with --frames every frame's tag and size.
#include <algorithm>
#include <cinttypes>
#include <filesystem>

#include "archive_reader.h"
#include "command_support.h"
#include "commands.h"
#include "fixity.h"
#include "provenance.h"
#include "report_json.h"

namespace {
// What info reads of an archive, for either report.
struct ArchiveFacts {
    std::string name;
    uint32_t width = 0, height = 0;
    int64_t huffman = 0, deflate = 0, other = 0;
    int64_t pictures = 0, holds = 0, announced = 0;
    uint64_t fileBytes = 0, coded = 0;
    uint32_t smallest = UINT32_MAX, largest = 0;
    AVRational rate{0, 1}, aspect{0, 1};
    bool recorded = false;
    Provenance provenance;
    std::string fixityPath; // "" when there is none beside the archive
    struct Frame {
        int64_t number;
        std::string tag; // HUFY, LZYV, hold, empty (a hold before the first picture), short, or the tag as read
        int size;
    };
    std::vector<Frame> frames; // with --frames
    struct Stream {
        unsigned index;
        std::string type, codec;
        int sampleRate = 0, channels = 0;
    };
    std::vector<Stream> streams; // the others

    uint64_t PictureBytes() const { return ::PictureBytes(width, height); }
    double Ratio() const { return pictures ? double(coded) / (double(PictureBytes()) * double(pictures)) : 0.0; }
    double Seconds() const { return rate.num > 0 ? double(pictures + holds) * rate.den / rate.num : 0.0; }
};

ArchiveFacts ReadFacts(MediaInput& input, bool listFrames)
{
    ArchiveFacts facts;
    facts.name = input.Name();
    ArchiveSize(input, &facts.width, &facts.height);
    ArchiveReader reader(input);
    while (reader.Next()) {
        if (listFrames)
            for (int64_t hold = reader.Holds(); hold > 0; --hold)
                facts.frames.push_back({reader.Number() - hold, reader.LeadingHolds() ? "empty" : "hold", 0});
        const AVPacket* frame = reader.Frame();
        FrameHeader header{};
        const bool whole = ReadFrameHeader(frame->data, std::size_t(frame->size), &header);
        const uint32_t tag = whole ? header.tag : 0;
        (tag == FrameTagHuffman ? facts.huffman : tag == FrameTagDeflate ? facts.deflate : facts.other) += 1;
        if (listFrames) facts.frames.push_back({reader.Number(), whole ? TagText(tag) : "short", frame->size});
        facts.coded += uint64_t(frame->size);
        facts.smallest = std::min(facts.smallest, uint32_t(frame->size));
        facts.largest = std::max(facts.largest, uint32_t(frame->size));
    }
    facts.pictures = reader.Pictures();
    facts.holds = reader.Number() + 1 - facts.pictures;
    facts.announced = input.AnnouncedFrames();
    std::error_code error;
    if (input.Name() != "standard input") {
        facts.fileBytes = std::filesystem::file_size(input.Name(), error);
        if (std::filesystem::exists(FixityPathFor(input.Name()), error)) facts.fixityPath = FixityPathFor(input.Name());
    }
    facts.rate = input.FrameRate();
    facts.aspect = input.Video()->sample_aspect_ratio;
    facts.recorded = ReadProvenance(input.Context(), &facts.provenance);
    for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
        if (int(i) == input.VideoIndex()) continue;
        const AVCodecParameters* p = input.Context()->streams[i]->codecpar;
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(p->codec_id);
        const char* type = av_get_media_type_string(p->codec_type);
        ArchiveFacts::Stream stream{i, type ? type : "data", descriptor ? descriptor->name : "unknown"};
        if (p->codec_type == AVMEDIA_TYPE_AUDIO) {
            stream.sampleRate = p->sample_rate;
            stream.channels = p->ch_layout.nb_channels;
        }
        facts.streams.push_back(stream);
    }
    return facts;
}

void PrintText(const ArchiveFacts& facts, bool listFrames)
{
    if (listFrames) {
        std::printf("frame       tag      bytes\n");
        for (const auto& frame : facts.frames)
            std::printf("%-10" PRId64 "  %-6s %10d\n", frame.number, frame.tag.c_str(), frame.size);
    }
    const int64_t count = facts.pictures, holds = facts.holds;
    const AVRational rate = facts.rate;
    std::printf("file:        %s, %s\n", facts.name.c_str(), DescribeBytes(facts.fileBytes).c_str());
    std::printf("video:       KSHA %ux%u, %" PRId64 " frames at %.3f frames/s (%d/%d), %.2f s\n", facts.width,
                facts.height, count + holds, av_q2d(rate), rate.num, rate.den, facts.Seconds());
    if (holds > 0)
        std::printf("holds:       %" PRId64 " (frames that show the picture before again), %" PRId64 " pictures\n",
                    holds, count);
    if (facts.announced > count + holds)
        std::printf("truncated:   the header announces %" PRId64 " frames\n", facts.announced);
    std::printf("frames:      HUFY %" PRId64 ", LZYV %" PRId64, facts.huffman, facts.deflate);
    if (facts.other) std::printf(", unknown or short %" PRId64, facts.other);
    std::printf("\n");
    if (count > 0)
        std::printf("compressed:  %s, %s per frame on average (%s to %s)\n", DescribeBytes(facts.coded).c_str(),
                    DescribeBytes(facts.coded / uint64_t(count)).c_str(), DescribeBytes(facts.smallest).c_str(),
                    DescribeBytes(facts.largest).c_str());
    std::printf("ratio:       %.4f of the 4:2:2 pictures (%s)\n", facts.Ratio(),
                DescribeBytes(facts.PictureBytes() * uint64_t(count)).c_str());
    std::printf("aspect:      %d:%d\n", facts.aspect.num, facts.aspect.den);
    if (facts.recorded) {
        const Provenance& provenance = facts.provenance;
        std::printf("source:      %s %ux%u at %d/%d frames/s, %s\n", provenance.pixelFormat.c_str(), provenance.width,
                    provenance.height, provenance.rate.num, provenance.rate.den, provenance.fieldOrder.c_str());
        std::printf("pictures:    %s, %s\n", provenance.exact ? "exact" : ("lossy: " + provenance.loss).c_str(),
                    DescribeMapping(provenance.mapping));
        std::printf("encoder:     %s\n", provenance.encoder.c_str());
    } else {
        std::printf("source:      not recorded (whether the archive is exact is not known)\n");
    }
    std::printf("fixity:      %s\n", facts.fixityPath.empty() ? "none beside it (kestrun fixity writes one)"
                                                              : facts.fixityPath.c_str());
    for (const auto& stream : facts.streams) {
        std::printf("stream %u:    %s %s", stream.index, stream.type.c_str(), stream.codec.c_str());
        if (stream.type == "audio")
            std::printf(", %d Hz, %d channel%s", stream.sampleRate, stream.channels, stream.channels == 1 ? "" : "s");
        std::printf("\n");
    }
    FlushStandardOutput();
}

void PrintJsonReport(const ArchiveFacts& facts, bool listFrames)
{
    Json streams = Json::array();
    for (const auto& stream : facts.streams) {
        Json entry{{"index", stream.index}, {"type", stream.type}, {"codec", stream.codec}};
        if (stream.type == "audio") {
            entry["sample_rate"] = stream.sampleRate;
            entry["channels"] = stream.channels;
        }
        streams.push_back(entry);
    }
    Json report{{"file", facts.name},
                {"file_bytes", facts.fileBytes},
                {"width", facts.width},
                {"height", facts.height},
                {"frames", facts.pictures + facts.holds},
                {"pictures", facts.pictures},
                {"holds", facts.holds},
                {"announced_frames", facts.announced},
                {"frame_rate", RateText(facts.rate)},
                {"duration_seconds", facts.Seconds()},
                {"sample_aspect_ratio", RateText(facts.aspect)},
                {"coders", CodersJson(facts.huffman, facts.deflate)},
                {"other_frames", facts.other},
                {"coded_bytes", facts.coded},
                {"smallest_frame_bytes", facts.pictures ? Json(facts.smallest) : Json(nullptr)},
                {"largest_frame_bytes", facts.pictures ? Json(facts.largest) : Json(nullptr)},
                {"picture_bytes", facts.PictureBytes() * uint64_t(facts.pictures)},
                {"ratio", facts.Ratio()},
                {"provenance", ProvenanceJson(facts.recorded ? &facts.provenance : nullptr)},
                {"exact", facts.recorded ? Json(facts.provenance.exact) : Json(nullptr)},
                {"fixity", facts.fixityPath.empty() ? Json(nullptr) : Json(facts.fixityPath)},
                {"streams", streams}};
    if (listFrames) {
        Json frames = Json::array();
        for (const auto& frame : facts.frames)
            frames.push_back({{"frame", frame.number}, {"tag", frame.tag}, {"bytes", frame.size}});
        report["frame_list"] = frames;
    }
    PrintJson(report);
}
} // namespace

int InfoCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {}, {"--frames", "--json"});
    if (arguments.positional.size() != 1) UsageError("usage: kestrun info [--frames] [--json] IN.avi");
    const bool json = arguments.Has("--json"), listFrames = arguments.Has("--frames");
    const std::string& path = arguments.positional[0];
    return ReportingFailures(path == "-" ? "standard input" : path, json, [&] {
        MediaInput input(path);
        input.RequireKsha("info");
        const ArchiveFacts facts = ReadFacts(input, listFrames);
        if (json)
            PrintJsonReport(facts, listFrames);
        else
            PrintText(facts, listFrames);
        return 0;
    });
}
