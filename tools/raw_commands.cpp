// raw-encode and raw-decode: elementary streams of raw pictures and of
// compressed frames laid back to back.
#include <cinttypes>
#include <memory>

#include "cli.h"
#include "commands.h"
#include "frame_codec.h"
#include "large_buffer.h"
#include "pipeline.h"

namespace {
struct RawJob {
    const RawFormat* format = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    unsigned threads = 1;
    bool quiet = false;
};

RawJob ReadRawJob(const Arguments& arguments, bool decoding)
{
    RawJob job;
    if (!arguments.Has("-s")) UsageError("-s WIDTHxHEIGHT is required");
    ParseSize(arguments.Value("-s"), &job.width, &job.height);
    const std::string name = arguments.Value("-f", "");
    if (name.empty()) UsageError("-f FORMAT is required");
    job.format = FindRawFormat(name);
    if (!job.format || (!decoding && name == "rgb32"))
        UsageError("-f takes " + std::string(decoding ? "yuy2, uyvy, rgb24 or rgb32" : "yuy2, uyvy or rgb24") +
                   ", not \"" + name + "\"");
    std::string why;
    if (!CheckPictureSize(*job.format, job.width, job.height, &why))
        Fail(std::to_string(job.width) + "x" + std::to_string(job.height) + " " + name + ": " + why);
    job.threads = ThreadCount(arguments);
    job.quiet = arguments.Has("--quiet");
    return job;
}

[[noreturn]] void FailTruncated(const InputFile& input, uint64_t number, std::size_t got, std::size_t frameBytes)
{
    Fail(input.Name() + ": frame " + std::to_string(number) + " is truncated: " + std::to_string(got) + " of " +
         std::to_string(frameBytes) + " bytes");
}

void ReportTotals(const RawJob& job, uint64_t frames, uint64_t rawBytes, uint64_t codedBytes)
{
    if (job.quiet) return;
    std::fprintf(stderr, "%" PRIu64 " frames, %s raw, %s compressed (ratio %.3f)\n", frames,
                 DescribeBytes(rawBytes).c_str(), DescribeBytes(codedBytes).c_str(),
                 rawBytes ? double(codedBytes) / double(rawBytes) : 0.0);
}
} // namespace

int RawEncodeCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"-s", "-f", "-q", "--threads"}, {"--quiet"});
    if (arguments.positional.size() != 2) UsageError("usage: kestrun raw-encode -s WxH -f yuy2|uyvy|rgb24 -q QUALITY IN OUT");
    RawJob job = ReadRawJob(arguments, false);
    if (!arguments.Has("-q")) UsageError("-q QUALITY is required (below 6000: Huffman, from 6000: deflate)");
    const FrameCoder coder = CoderForQuality(ParseUnsigned("-q", arguments.Value("-q")));

    InputFile input(arguments.positional[0]);
    OutputFile output(arguments.positional[1]);
    const std::size_t frameBytes = std::size_t(job.width) * job.height * job.format->bytesPerPixel;
    std::vector<std::unique_ptr<FrameEncoder>> encoders;
    for (unsigned w = 0; w < job.threads; ++w)
        encoders.push_back(std::make_unique<FrameEncoder>(*job.format, job.width, job.height));
    const std::size_t capacity = encoders[0]->FrameCapacity();

    // Every byte of a buffer is read or written before use.
    struct Slot {
        LargeBuffer raw;
        LargeBuffer frame;
        std::size_t size = 0;
        std::size_t got = 0; // bytes of the picture read by the worker
        CodecResult result = CodecResult::Ok;
        uint64_t number = 0;
    };
    // A regular file is read by the workers themselves, each its own
    // frames, so that reading is not left to one thread; its size says how
    // many frames there are. A pipe is read here, in order.
    const bool workersRead = input.IsRegularFile() && job.threads > 1;
    const uint64_t wholeFrames = workersRead ? input.Size() / frameBytes : 0;
    uint64_t count = 0, codedBytes = 0;
    OrderedPipeline<Slot> pipeline(
        job.threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            if (workersRead) {
                slot.got = input.ReadAt(slot.raw.Data(), frameBytes, slot.number * frameBytes);
                if (slot.got < frameBytes) return; // the file shrank while it was read
            }
            slot.result = encoders[worker]->Encode(slot.raw.Data(), coder, slot.frame.Data(), &slot.size);
        },
        [&](Slot& slot) {
            if (workersRead && slot.got < frameBytes) FailTruncated(input, slot.number, slot.got, frameBytes);
            if (slot.result != CodecResult::Ok)
                Fail(input.Name() + ": frame " + std::to_string(slot.number) + ": " + DescribeResult(slot.result));
            output.Write(slot.frame.Data(), slot.size);
            codedBytes += slot.size;
            ++count;
        });
    for (uint64_t number = 0;; ++number) {
        Slot& slot = pipeline.Acquire();
        if (!slot.frame.Data()) {
            slot.frame = LargeBuffer(capacity);
            slot.raw = LargeBuffer(frameBytes);
        }
        slot.number = number;
        // What the frame holds: read here, or told by the size of the file
        // whose frames the workers read.
        const std::size_t got = !workersRead            ? input.Read(slot.raw.Data(), frameBytes)
                                : number < wholeFrames ? frameBytes
                                                       : std::size_t(input.Size() - wholeFrames * frameBytes);
        if (got == 0) break;
        if (got < frameBytes) {
            pipeline.Drain(); // an earlier damaged frame is told first
            FailTruncated(input, number, got, frameBytes);
        }
        pipeline.Submit();
    }
    pipeline.Drain();
    if (count == 0) Fail(input.Name() + ": holds no frame");
    output.Commit();
    ReportTotals(job, count, count * frameBytes, codedBytes);
    return 0;
}

int RawDecodeCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"-s", "-f", "--threads"}, {"--top-down", "--quiet"});
    if (arguments.positional.size() != 2)
        UsageError("usage: kestrun raw-decode -s WxH -f yuy2|uyvy|rgb24|rgb32 [--top-down] IN OUT");
    RawJob job = ReadRawJob(arguments, true);
    const RowOrder rowOrder = arguments.Has("--top-down") ? RowOrder::TopDown : RowOrder::BottomUp;

    InputFile input(arguments.positional[0]);
    OutputFile output(arguments.positional[1]);
    const std::size_t rawBytes = std::size_t(job.width) * job.height * job.format->bytesPerPixel;
    // Any frame the format allows, not only what this encoder writes.
    const std::size_t largestFrame = std::size_t(LargestFrameSize(job.width, job.height));
    std::vector<std::unique_ptr<FrameDecoder>> decoders;
    for (unsigned w = 0; w < job.threads; ++w)
        decoders.push_back(std::make_unique<FrameDecoder>(*job.format, job.width, job.height, rowOrder));

    struct Slot {
        LargeBuffer frame;
        LargeBuffer raw;
        std::size_t size = 0;
        CodecResult result = CodecResult::Ok;
        uint64_t number = 0;
    };
    uint64_t count = 0, codedBytes = 0;
    OrderedPipeline<Slot> pipeline(
        job.threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            slot.result = decoders[worker]->Decode(slot.frame.Data(), slot.size, slot.raw.Data());
        },
        [&](Slot& slot) {
            if (slot.result != CodecResult::Ok)
                Fail(input.Name() + ": frame " + std::to_string(slot.number) + " is " +
                     (IsDamage(slot.result) ? std::string("damaged: its payload does not decode to a ") +
                                                       std::to_string(job.width) + "x" + std::to_string(job.height) +
                                                       " picture"
                                                 : DescribeResult(slot.result)));
            output.Write(slot.raw.Data(), rawBytes);
            codedBytes += slot.size;
            ++count;
        });
    for (uint64_t number = 0;; ++number) {
        Slot& slot = pipeline.Acquire();
        if (!slot.frame.Data()) {
            slot.frame = LargeBuffer(largestFrame);
            // RGB32 output never sets the fourth byte of a pixel, which keeps
            // the new buffer's zero; every other format writes every byte.
            slot.raw = LargeBuffer(rawBytes);
        }
        const std::string which = input.Name() + ": frame " + std::to_string(number);
        std::size_t got = input.Read(slot.frame.Data(), FrameHeaderSize);
        if (got == 0) break;
        FrameHeader header{};
        // Errors found while reading come after those of the frames before.
        auto fail = [&](const std::string& message) {
            pipeline.Drain();
            Fail(message);
        };
        if (!ReadFrameHeader(slot.frame.Data(), got, &header)) fail(which + " is truncated: its header is cut short");
        if (header.tag != FrameTagHuffman && header.tag != FrameTagDeflate)
            fail(which + " has an unknown tag " + TagText(header.tag) + " (not a HUFY or LZYV frame)");
        if (header.payloadLength > largestFrame - FrameHeaderSize)
            fail(which + " is damaged: its payload length " + std::to_string(header.payloadLength) +
                 " is more than a " + std::to_string(job.width) + "x" + std::to_string(job.height) +
                 " frame can hold");
        got = input.Read(slot.frame.Data() + FrameHeaderSize, header.payloadLength);
        if (got < header.payloadLength)
            fail(which + " is truncated: " + std::to_string(got) + " of " + std::to_string(header.payloadLength) +
                 " payload bytes");
        slot.size = FrameHeaderSize + header.payloadLength;
        slot.number = number;
        pipeline.Submit();
    }
    pipeline.Drain();
    if (count == 0) Fail(input.Name() + ": holds no frame");
    output.Commit();
    ReportTotals(job, count, count * rawBytes, codedBytes);
    return 0;
}
