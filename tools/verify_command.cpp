// verify: every frame of a KSHA archive checked, from its header to the end
// of its stream, and compared with the source when one is given; every
// damaged frame is listed and the check goes on.
#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive.h"
#include "archive_reader.h"
#include "audio.h"
#include "command_support.h"
#include "commands.h"
#include "fixity.h"
#include "picture_compare.h"
#include "picture_format.h"
#include "pipeline.h"
#include "progress.h"
#include "report_json.h"

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

} // namespace

namespace {
// What verify compares a source with: the archive's pictures in the source's
// own format when they come back exactly; else what the codec makes of the
// source, and the distance of the archive's pictures from the source's.
struct Comparison {
    bool against = false;
    bool exact = true;
    PictureFormat checkFormat;    // the archive's pictures as verify decodes them
    PictureFormat distanceFormat; // lossy: the source's format, the archive's pictures brought back to it
    const RawFormat* codecLayout = nullptr;
    AVPixelFormat sourceFormat = AV_PIX_FMT_NONE;
};

AVPixelFormat PixelFormatOf(const RawFormat& layout)
{
    return layout.layout == PixelLayout::Yuy2 ? AV_PIX_FMT_YUYV422
           : layout.layout == PixelLayout::Uyvy ? AV_PIX_FMT_UYVY422
                                                : AV_PIX_FMT_BGR24;
}
} // namespace

JobStats RunVerify(const VerifyJob& job)
{
    MediaInput input(job.input);
    input.RequireKsha("verify");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, &width, &height);
    Provenance provenance;
    const bool recorded = ReadProvenance(input.Context(), &provenance);
    ChromaRepetition repetition = recorded ? RepetitionOf(provenance.mapping) : ChromaRepetition::None;

    // Without a source the frames are decoded as the source's format where
    // the archive keeps it exactly, which also proves the chroma repeated.
    Comparison compare;
    const PictureFormat* recordedFormat =
        recorded && provenance.exact ? FindPictureFormat(provenance.pixelFormat, true) : nullptr;
    compare.checkFormat = recordedFormat ? *recordedFormat : *FindPictureFormat(width % 2 ? "rgb24" : "yuy2", false);
    std::unique_ptr<MediaInput> sourceInput;
    std::unique_ptr<PictureReader> source;
    if (!job.against.empty()) {
        sourceInput = std::make_unique<MediaInput>(job.against);
        source = std::make_unique<PictureReader>(*sourceInput);
        if (source->Width() != width || source->Height() != height)
            Fail(job.against + ": its pictures are " + SizeText(source->Width(), source->Height()) + ", the archive's " +
                 SizeText(width, height));
        const SourcePlan& plan = source->Plan();
        compare.against = true;
        compare.exact = plan.exact;
        compare.sourceFormat = AVPixelFormat(source->SourcePixelFormat());
        if (plan.exact) {
            compare.checkFormat = *FindPictureFormat(source->SourceFormat(), true);
            if (!recorded) repetition = RepetitionOf(plan.mapping);
        } else {
            compare.codecLayout = plan.layout;
            compare.checkFormat = *FindPictureFormat(plan.layout->name, false);
            compare.distanceFormat =
                plan.mapping == Mapping::Bt601
                    ? *FindPictureFormat(compare.sourceFormat == AV_PIX_FMT_RGB24 ? "rgb24" : "bgr24", true)
                    : ConvertedFormat(compare.sourceFormat);
        }
    }

    // The fixity file: --fixity, else the one beside the archive if there is one.
    Fixity fixity;
    const std::string fixityPath = !job.fixity.empty() ? job.fixity : job.input == "-" ? "" : FixityPathFor(job.input);
    std::error_code missing;
    const bool haveFixity = !job.fixity.empty() || (!fixityPath.empty() && std::filesystem::exists(fixityPath, missing));
    const PictureFormat fixityFormat = *FindPictureFormat(FixityPixelFormat(width), true);
    const std::size_t fixityBytes = FixityPictureBytes(width, height);
    std::string fixityProblem;
    if (haveFixity) {
        fixityProblem = ReadFixity(fixityPath, &fixity);
        if (!job.fixity.empty() && fixityProblem == "cannot be read") Fail(fixityPath + ": cannot be read");
        if (fixityProblem.empty()) fixityProblem = FixityMismatch(fixity, width, height);
    }
    const bool checkFixity = haveFixity && fixityProblem.empty();
    int64_t fixityMatches = 0;

    struct Slot {
        ArchiveFrame frame;
        std::vector<uint8_t> picture, reference, native, recoded, recodedPicture, back, stored;
        bool fixityMatch = false;
        std::string problem;
        Difference difference;
        uint32_t tag = 0;
        bool haveReference = false;
    };
    struct Worker {
        std::unique_ptr<ArchivePictures> pictures, distance, stored;
        std::unique_ptr<FrameEncoder> encoder;
        std::unique_ptr<FrameDecoder> decoder;
    };
    std::vector<Worker> workers(job.threads);

    JobStats stats;
    stats.width = width;
    stats.height = height;
    stats.compared = source != nullptr;
    stats.exact = source ? compare.exact : !recorded || provenance.exact;
    stats.loss = source ? source->Plan().loss : recorded ? provenance.loss : "";
    stats.sourceFormat = source ? source->SourceFormat() : recorded ? provenance.pixelFormat : "";
    Progress progress(job.quiet, input.AnnouncedFrames(), PictureBytes(width, height));

    // A decoded picture against its digest in the fixity file.
    auto checkDigest = [&](Worker& worker, Slot& slot) -> std::string {
        Digest digest{};
        if (compare.checkFormat.pixelFormat == fixityFormat.pixelFormat) {
            digest = Md5Of(slot.picture.data(), fixityBytes);
        } else {
            const CodecResult result = DigestForFixity(slot.frame.packet->data, std::size_t(slot.frame.packet->size),
                                                       width, height, worker.stored, slot.stored, &digest);
            if (result == CodecResult::OutOfMemory) return "out of memory for decoding it";
            if (result != CodecResult::Ok) return "it does not decode";
        }
        const int64_t picture = slot.frame.picture;
        if (picture >= int64_t(fixity.pictures.size())) return "the fixity file has no digest for its picture";
        const FixityRecord& record = fixity.pictures[std::size_t(picture)];
        if (digest != record.digest)
            return "its picture differs from its digest in the fixity file";
        if (record.pts != slot.frame.timestamp)
            return "its picture is at time " + std::to_string(slot.frame.timestamp) + ", the fixity file's at " +
                   std::to_string(record.pts);
        slot.fixityMatch = true;
        return "";
    };
    // The problem with one frame, "" when there is none.
    auto check = [&](Worker& worker, Slot& slot) -> std::string {
        const uint8_t* frame = slot.frame.packet->data;
        const std::size_t size = std::size_t(slot.frame.packet->size);
        FrameHeader header{};
        const CodecResult inspected = InspectFrame(frame, size, width, height, &header);
        slot.tag = header.tag;
        if (inspected != CodecResult::Ok) return DescribeInspection(inspected, size, header, width, height);
        if (!MakeOnce(worker.pictures, compare.checkFormat, width, height, repetition) ||
            (compare.codecLayout &&
             (!MakeOnce(worker.encoder, *compare.codecLayout, width, height, RowOrder::TopDown) ||
              !MakeOnce(worker.decoder, *compare.codecLayout, width, height, RowOrder::TopDown) ||
              !MakeOnce(worker.distance, compare.distanceFormat, width, height, ChromaRepetition::None))))
            return "out of memory for decoding it";
        slot.picture.resize(worker.pictures->PictureBytes());
        FrameReport report{};
        bool repeated = true;
        const CodecResult decoded = worker.pictures->Decode(frame, size, slot.picture.data(), &report, &repeated);
        if (decoded != CodecResult::Ok) return DescribeStream(decoded, report, width, height);
        if (!repeated)
            return std::string("its chroma is not repeated as the archive says (") +
                   DescribeMapping(recorded ? provenance.mapping : source->Plan().mapping) + ")";
        if (checkFixity) {
            const std::string differs = checkDigest(worker, slot);
            if (!differs.empty()) return differs;
        }
        if (!source) return "";
        if (!slot.haveReference) return "the source has no picture for it";
        if (compare.exact)
            return FirstDifference(compare.checkFormat.pixelFormat, width, height, slot.picture.data(),
                                   slot.native.data());
        // What the codec makes of the source, decoded the same way.
        slot.recoded.resize(worker.encoder->FrameCapacity());
        std::size_t recodedSize = 0;
        CodecResult result =
            worker.encoder->Encode(slot.reference.data(), FrameCoder::Huffman, slot.recoded.data(), &recodedSize);
        slot.recodedPicture.resize(worker.decoder->PictureBytes());
        if (result == CodecResult::Ok)
            result = worker.decoder->Decode(slot.recoded.data(), recodedSize, slot.recodedPicture.data());
        if (result != CodecResult::Ok)
            return "the source picture cannot be coded for comparison: " + DescribeResult(result);
        const std::string differs = FirstDifference(PixelFormatOf(*compare.codecLayout), width, height,
                                                    slot.picture.data(), slot.recodedPicture.data(),
                                                    "what the codec makes of the source");
        if (!differs.empty()) return differs;
        slot.back.resize(worker.distance->PictureBytes());
        if (worker.distance->Decode(frame, size, slot.back.data()) != CodecResult::Ok) return "it does not decode";
        slot.difference = ComparePictures(compare.sourceFormat, width, height, slot.back.data(), slot.native.data());
        return "";
    };
    OrderedPipeline<Slot> pipeline(
        job.threads, SlotsPerThread, [&](unsigned w, Slot& slot) { slot.problem = check(workers[w], slot); },
        [&](Slot& slot) {
            ++stats.frames;
            stats.codedBytes += uint64_t(slot.frame.packet->size);
            if (slot.tag == FrameTagHuffman) ++stats.huffmanFrames;
            if (slot.tag == FrameTagDeflate) ++stats.deflateFrames;
            stats.difference.Add(slot.difference);
            slot.difference = Difference{};
            fixityMatches += slot.fixityMatch;
            slot.fixityMatch = false;
            if (!slot.problem.empty()) {
                stats.damaged.push_back({slot.frame.number, slot.problem});
                if (!job.report) return;
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
            stats.damaged.push_back({hold, std::string("it ") + LeadingHoldText});
            if (!job.report) continue;
            progress.Clear();
            std::printf("%s: frame %" PRId64 " is damaged: it %s\n", input.Name().c_str(), hold, LeadingHoldText);
        }
        Slot& slot = pipeline.Acquire();
        reader.MoveTo(slot.frame);
        slot.haveReference = false;
        if (source && !sourceEnded) {
            slot.native.resize(source->SourcePictureBytes());
            if (!compare.exact) slot.reference.resize(source->PictureBytes());
            slot.haveReference =
                source->Next(compare.exact ? nullptr : slot.reference.data(), slot.native.data(), sourceAudio);
            sourceEnded = !slot.haveReference;
        }
        pipeline.Submit();
        if (audio) audio->Release(reader.End(), input.Video()->time_base);
    }
    pipeline.Drain();
    progress.Clear();
    stats.problem = reader.EndProblem();
    if (source && !sourceEnded) {
        int64_t more = 0;
        while (source->Next(nullptr, nullptr, sourceAudio)) ++more;
        if (more > 0 && stats.problem.empty())
            stats.problem = "holds " + std::to_string(stats.frames) + " frames, the source " +
                            std::to_string(stats.frames + more);
    }
    if (audio) stats.audio = audio->Finish(reader.End(), input.Video()->time_base, &stats.audioIdentical);
    if (haveFixity) {
        stats.fixityPath = fixityPath;
        if (fixityProblem.empty() && int64_t(fixity.pictures.size()) != reader.Pictures())
            fixityProblem = "lists " + std::to_string(fixity.pictures.size()) + " pictures, the archive holds " +
                            std::to_string(reader.Pictures());
        stats.fixityProblem = fixityProblem;
        stats.fixityState = fixityProblem.empty() && fixityMatches == reader.Pictures() ? "match" : "mismatch";
    }
    stats.holds = reader.Count() - reader.Pictures();
    stats.recorded = recorded;
    stats.provenance = provenance;
    stats.rate = input.FrameRate();
    stats.pictureBytes = uint64_t(stats.frames) * PictureBytes(width, height);
    stats.seconds = progress.Seconds();
    return stats;
}

// What verify says of the pictures when every frame is intact.
std::string DescribeIntact(const JobStats& stats)
{
    if (stats.compared && stats.exact) return ", identical to the source";
    if (stats.compared)
        return ", exactly what the codec makes of the source; against the source's " + stats.sourceFormat +
               " pictures, largest difference " + stats.difference.Describe() + " (a lossy archive: " + stats.loss +
               ")";
    if (!stats.sourceFormat.empty() && stats.exact) return "; an exact archive of a " + stats.sourceFormat + " source";
    if (!stats.sourceFormat.empty()) return "; a lossy archive of a " + stats.sourceFormat + " source (" + stats.loss + ")";
    return "";
}

namespace {
bool Intact(const JobStats& stats)
{
    return stats.damaged.empty() && stats.problem.empty() && stats.audioIdentical && stats.fixityState != "mismatch";
}

void PrintText(const std::string& name, const VerifyJob& job, const JobStats& stats)
{
    if (!stats.problem.empty()) std::printf("%s: %s\n", name.c_str(), stats.problem.c_str());
    if (stats.damaged.empty() && !stats.problem.empty()) {
        std::printf("%s: the %" PRId64 " frames there are intact\n", name.c_str(), stats.frames);
    } else if (stats.damaged.empty()) {
        std::printf("%s: %" PRId64 " frames intact (HUFY %" PRId64 ", LZYV %" PRId64 ")%s\n", name.c_str(),
                    stats.frames, stats.huffmanFrames, stats.deflateFrames, DescribeIntact(stats).c_str());
    } else {
        std::string list;
        for (const auto& damage : stats.damaged) list += (list.empty() ? "" : ", ") + std::to_string(damage.frame);
        std::printf("%s: %zu of %" PRId64 " frames damaged: %s\n", name.c_str(), stats.damaged.size(),
                    stats.frames + stats.holds, list.c_str());
    }
    if (stats.fixityState == "match")
        std::printf("%s: every picture matches its digest in %s\n", name.c_str(), stats.fixityPath.c_str());
    else if (!stats.fixityProblem.empty())
        std::printf("%s: the fixity file %s %s\n", name.c_str(), stats.fixityPath.c_str(), stats.fixityProblem.c_str());
    else if (stats.fixityState == "absent" && stats.huffmanFrames > 0 && !(stats.compared && stats.exact))
        std::printf("%s: no fixity file%s: damage inside a HUFY frame that still decodes may go unseen (LZYV frames "
                    "carry a checksum); kestrun fixity writes one from the pictures as they decode now\n",
                    name.c_str(), job.input == "-" ? " (--fixity FILE)" : (" " + FixityPathFor(job.input)).c_str());
    for (const std::string& line : stats.audio) std::printf("%s: %s\n", name.c_str(), line.c_str());
    FlushStandardOutput();
}

void PrintJsonReport(const std::string& name, const VerifyJob& job, const JobStats& stats)
{
    Json damaged = Json::array();
    for (const auto& damage : stats.damaged) damaged.push_back({{"frame", damage.frame}, {"problem", damage.problem}});
    Json against = nullptr;
    if (stats.compared) {
        against = {{"file", job.against},
                   {"identical", stats.exact && stats.damaged.empty() && stats.problem.empty()},
                   {"difference", stats.exact ? Json(nullptr) : DifferenceJson(stats.difference)},
                   {"audio_identical", stats.audioIdentical},
                   {"audio", stats.audio}};
    }
    const bool exactKnown = stats.compared || stats.recorded;
    PrintJson(Json{{"file", name},
                   {"width", stats.width},
                   {"height", stats.height},
                   {"frames", stats.frames + stats.holds},
                   {"pictures", stats.frames},
                   {"holds", stats.holds},
                   {"frame_rate", RateText(stats.rate)},
                   {"coders", CodersJson(stats.huffmanFrames, stats.deflateFrames)},
                   {"coded_bytes", stats.codedBytes},
                   {"picture_bytes", stats.pictureBytes},
                   {"ratio", stats.Ratio()},
                   {"provenance", ProvenanceJson(stats.recorded ? &stats.provenance : nullptr)},
                   {"exact", exactKnown ? Json(stats.exact) : Json(nullptr)},
                   {"intact", Intact(stats)},
                   {"problem", stats.problem.empty() ? Json(nullptr) : Json(stats.problem)},
                   {"damaged", damaged},
                   {"fixity",
                    {{"state", stats.fixityState},
                     {"file", stats.fixityPath.empty() ? Json(nullptr) : Json(stats.fixityPath)},
                     {"problem", stats.fixityProblem.empty() ? Json(nullptr) : Json(stats.fixityProblem)}}},
                   {"against", against}});
}
} // namespace

int VerifyCommand(int argc, char** argv)
{
    Arguments arguments =
        ParseArguments(argc, argv, 2, {"--against", "--fixity", "--threads"}, {"--quiet", "--json"});
    if (arguments.positional.size() != 1)
        UsageError("usage: kestrun verify [--against SOURCE] [--fixity FILE] [--json] [--threads N] [--quiet] IN.avi");
    VerifyJob job;
    job.input = arguments.positional[0];
    job.against = arguments.Value("--against");
    job.fixity = arguments.Value("--fixity");
    job.threads = ThreadCount(arguments);
    job.quiet = arguments.Has("--quiet");
    const bool json = arguments.Has("--json");
    job.report = !json;
    const std::string name = job.input == "-" ? "standard input" : job.input;
    return ReportingFailures(name, json, [&] {
        const JobStats stats = RunVerify(job);
        if (json)
            PrintJsonReport(name, job, stats);
        else
            PrintText(name, job, stats);
        return Intact(stats) ? 0 : 1;
    });
}
