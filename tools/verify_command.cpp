// verify: every frame of a KSHA archive checked, from its header to the end
// of its stream, and compared with the source when one is given; every
// damaged frame is listed and the check goes on.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "archive.h"
#include "archive_reader.h"
#include "audio.h"
#include "command_support.h"
#include "commands.h"
#include "pipeline.h"
#include "progress.h"

namespace {
// What the strict look at a frame (InspectFrame) found wrong with it.
std::string DescribeInspection(CodecResult result, std::size_t size, const FrameHeader& header, uint32_t width,
                               uint32_t height)
{
    const std::size_t available = size - std::min(size, FrameHeaderSize);
    switch (result) {
    case CodecResult::CutShort:
        if (size < FrameHeaderSize) return "its header is cut short (" + std::to_string(size) + " of 8 bytes)";
        return "its payload length " + std::to_string(header.payloadLength) + " runs past the " +
               std::to_string(available) + " bytes the chunk holds (truncated)";
    case CodecResult::LongerThanPicture:
        return "its " + std::to_string(size) + " bytes are more than a " + SizeText(width, height) + " frame can hold";
    case CodecResult::ShorterThanPicture:
        return "its " + std::to_string(size) + " bytes are too few for a " + SizeText(width, height) + " picture";
    case CodecResult::UnknownTag:
        return "it has an unknown tag " + TagText(header.tag) + " (not a HUFY or LZYV frame)";
    case CodecResult::TrailingBytes:
        return std::to_string(available - header.payloadLength) + " bytes follow the payload of " +
               std::to_string(header.payloadLength) + " bytes";
    default: return "it does not decode: " + DescribeResult(result);
    }
}

// What decoding a frame that passed InspectFrame found wrong with its stream.
std::string DescribeStream(CodecResult result, const FrameReport& report, uint32_t width, uint32_t height)
{
    if (!IsDamage(result) && result != CodecResult::OutOfMemory) return "it does not decode: " + DescribeResult(result);
    const std::string streamEnd = std::to_string(report.streamEnd) + ", not at the payload length " +
                                  std::to_string(report.payloadLength);
    if (report.tag == FrameTagHuffman) {
        switch (result) {
        case CodecResult::ShorterThanPicture:
            return "its HUFY stream holds " + std::to_string(report.streamLength) + " bytes, not the " +
                   std::to_string(PictureBytes(width, height)) + " of a " + SizeText(width, height) + " picture";
        case CodecResult::TrailingBytes: return "its HUFY stream ends at byte " + streamEnd;
        case CodecResult::NonZeroPadding: return "the padding after its last HUFY code is not zero";
        default: return "its HUFY stream does not decode";
        }
    }
    switch (result) {
    case CodecResult::OutOfMemory: return "out of memory while inflating it";
    case CodecResult::TrailingBytes: return "its LZYV stream ends at byte " + streamEnd;
    default:
        return "its LZYV stream does not inflate to exactly a " + SizeText(width, height) +
               " picture with a good checksum";
    }
}

// Where two packed 4:2:2 pictures first differ, or "" when they are the same.
std::string FirstDifference(const uint8_t* archive, const uint8_t* source, uint32_t width, uint32_t height,
                            const RawFormat& format)
{
    const std::size_t bytes = std::size_t(width) * height * 2;
    if (std::memcmp(archive, source, bytes) == 0) return "";
    std::size_t i = 0;
    while (archive[i] == source[i]) ++i;
    const std::size_t row = i / (2 * std::size_t(width)), inRow = i % (2 * std::size_t(width));
    const bool luma = (inRow % 2) == (format.layout == PixelLayout::Yuy2 ? 0u : 1u);
    const char* sample = luma ? "Y" : ((inRow / 2) % 2 == 0 ? "U" : "V");
    char text[200];
    std::snprintf(text, sizeof text, "differs from the source first at row %zu (from the top), pixel %zu, %s: %u in "
                  "the archive, %u in the source",
                  row, inRow / 2, sample, archive[i], source[i]);
    return text;
}
} // namespace

JobStats RunVerify(const VerifyJob& job)
{
    MediaInput input(job.input);
    input.RequireKsha("verify");
    uint32_t width = 0, height = 0;
    const RawFormat& yuy2 = *FindRawFormat("yuy2");
    ArchiveSize(input, &width, &height);
    // Verification decodes to YUY2 (or the source's packed layout), so it needs an even width.
    if (width % 2 != 0) Fail(input.Name() + ": " + SizeText(width, height) + ": verify needs an even width");

    std::unique_ptr<MediaInput> sourceInput;
    std::unique_ptr<PictureReader> source;
    const RawFormat* compareFormat = &yuy2;
    bool sourceIsRgb = false;
    if (!job.against.empty()) {
        sourceInput = std::make_unique<MediaInput>(job.against);
        // Converting the source is how it was encoded; no need to say so again.
        source = std::make_unique<PictureReader>(*sourceInput, true);
        if (source->Width() != width || source->Height() != height)
            Fail(job.against + ": its pictures are " + SizeText(source->Width(), source->Height()) + ", the archive's " +
                 SizeText(width, height));
        sourceIsRgb = source->Format().IsRgb();
        if (!sourceIsRgb) compareFormat = &source->Format();
    }

    struct Slot {
        ArchiveFrame frame;
        std::vector<uint8_t> picture, reference, recoded, referencePicture;
        std::string problem;
        uint32_t tag = 0;
        bool haveReference = false;
    };
    // An RGB source is compared with what the codec makes of it: coded, and
    // decoded to YUY2 by the same decoder as the archive's frames.
    struct Worker {
        std::unique_ptr<FrameDecoder> decoder;
        std::unique_ptr<FrameEncoder> referenceEncoder;
    };
    std::vector<Worker> workers(job.threads);

    JobStats stats;
    stats.width = width;
    stats.height = height;
    stats.compared = source != nullptr;
    Progress progress(job.quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    const std::size_t packedBytes = std::size_t(width) * height * 2;

    // The problem with one frame, "" when there is none.
    auto check = [&](Worker& worker, Slot& slot) -> std::string {
        const uint8_t* frame = slot.frame.packet->data;
        const std::size_t size = std::size_t(slot.frame.packet->size);
        FrameHeader header{};
        const CodecResult inspected = InspectFrame(frame, size, width, height, &header);
        slot.tag = header.tag;
        if (inspected != CodecResult::Ok) return DescribeInspection(inspected, size, header, width, height);
        if (!MakeOnce(worker.decoder, *compareFormat, width, height) ||
            (sourceIsRgb && !MakeOnce(worker.referenceEncoder, source->Format(), width, height, RowOrder::TopDown)))
            return "out of memory for decoding it";
        slot.picture.resize(packedBytes);
        FrameReport report{};
        const CodecResult decoded = worker.decoder->Decode(frame, size, slot.picture.data(), &report);
        if (decoded != CodecResult::Ok) return DescribeStream(decoded, report, width, height);
        if (!source) return "";
        if (!slot.haveReference) return "the source has no picture for it";
        const uint8_t* expected = slot.reference.data();
        if (sourceIsRgb) {
            slot.recoded.resize(worker.referenceEncoder->FrameCapacity());
            std::size_t recodedSize = 0;
            CodecResult result = worker.referenceEncoder->Encode(slot.reference.data(), FrameCoder::Huffman,
                                                                 slot.recoded.data(), &recodedSize);
            slot.referencePicture.resize(packedBytes);
            if (result == CodecResult::Ok)
                result = worker.decoder->Decode(slot.recoded.data(), recodedSize, slot.referencePicture.data());
            if (result != CodecResult::Ok)
                return "the source picture cannot be coded for comparison: " + DescribeResult(result);
            expected = slot.referencePicture.data();
        }
        return FirstDifference(slot.picture.data(), expected, width, height, *compareFormat);
    };
    OrderedPipeline<Slot> pipeline(
        job.threads, SlotsPerThread, [&](unsigned w, Slot& slot) { slot.problem = check(workers[w], slot); },
        [&](Slot& slot) {
            ++stats.frames;
            stats.codedBytes += uint64_t(slot.frame.packet->size);
            if (slot.tag == FrameTagHuffman) ++stats.huffmanFrames;
            if (slot.tag == FrameTagDeflate) ++stats.deflateFrames;
            if (!slot.problem.empty()) {
                stats.damaged.push_back(slot.frame.number);
                progress.Clear();
                std::printf("%s: frame %" PRId64 " is damaged: %s\n", input.Name().c_str(), slot.frame.number,
                            slot.problem.c_str());
                std::fflush(stdout);
            }
            progress.Update(stats.frames, stats.codedBytes);
        });

    ArchiveReader reader(input);
    // The audio of both, decoded as the pictures go by.
    std::unique_ptr<AudioCheck> audio;
    if (source) audio = std::make_unique<AudioCheck>(input, *sourceInput, source->FirstTimestamp());
    auto archiveAudio = [&](AVPacket* packet) {
        if (audio) audio->TakeArchive(packet);
    };
    auto sourceAudio = [&](AVPacket* packet) { audio->TakeSource(packet); };
    bool sourceEnded = false;
    while (reader.Next(archiveAudio)) {
        for (int64_t hold = 0; hold < reader.LeadingHolds(); ++hold) {
            stats.damaged.push_back(hold);
            progress.Clear();
            std::printf("%s: frame %" PRId64 " is damaged: it %s\n", input.Name().c_str(), hold, LeadingHoldText);
        }
        Slot& slot = pipeline.Acquire();
        reader.MoveTo(slot.frame);
        slot.haveReference = false;
        if (source && !sourceEnded) {
            slot.reference.resize(source->PictureBytes());
            slot.haveReference = source->Next(slot.reference.data(), sourceAudio);
            sourceEnded = !slot.haveReference;
        }
        pipeline.Submit();
        if (audio) audio->Release(reader.End(), input.Video()->time_base);
    }
    pipeline.Drain();
    progress.Clear();
    stats.problem = reader.EndProblem();
    if (source && !sourceEnded) {
        std::vector<uint8_t> extra(source->PictureBytes());
        int64_t more = 0;
        while (source->Next(extra.data(), sourceAudio)) ++more;
        if (more > 0 && stats.problem.empty())
            stats.problem = "holds " + std::to_string(stats.frames) + " frames, the source " +
                            std::to_string(stats.frames + more);
    }
    if (audio) stats.audio = audio->Finish(reader.End(), input.Video()->time_base, &stats.audioIdentical);
    stats.pictureBytes = uint64_t(stats.frames) * PictureBytes(width, height);
    stats.seconds = progress.Seconds();
    return stats;
}

int VerifyCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--against", "--threads"}, {"--quiet"});
    if (arguments.positional.size() != 1)
        UsageError("usage: kestrun verify [--against SOURCE] [--threads N] [--quiet] IN.avi");
    VerifyJob job;
    job.input = arguments.positional[0];
    job.against = arguments.Value("--against");
    job.threads = ThreadCount(arguments);
    job.quiet = arguments.Has("--quiet");
    JobStats stats = RunVerify(job);
    const std::string name = job.input == "-" ? "standard input" : job.input;
    if (!stats.problem.empty()) std::printf("%s: %s\n", name.c_str(), stats.problem.c_str());
    if (stats.damaged.empty() && !stats.problem.empty()) {
        std::printf("%s: the %" PRId64 " frames there are intact\n", name.c_str(), stats.frames);
    } else if (stats.damaged.empty()) {
        std::printf("%s: %" PRId64 " frames intact (HUFY %" PRId64 ", LZYV %" PRId64 ")%s\n", name.c_str(),
                    stats.frames, stats.huffmanFrames, stats.deflateFrames,
                    stats.compared ? ", identical to the source" : "");
    } else {
        std::string list;
        for (int64_t n : stats.damaged) list += (list.empty() ? "" : ", ") + std::to_string(n);
        std::printf("%s: %zu of %" PRId64 " frames damaged: %s\n", name.c_str(), stats.damaged.size(), stats.frames,
                    list.c_str());
    }
    for (const std::string& line : stats.audio) std::printf("%s: %s\n", name.c_str(), line.c_str());
    FlushStandardOutput();
    return stats.damaged.empty() && stats.problem.empty() && stats.audioIdentical ? 0 : 1;
}
