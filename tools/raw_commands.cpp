// raw-encode and raw-decode: elementary streams of raw pictures and of
// compressed frames laid back to back.
#include <cinttypes>
#include <memory>

#include "cli.h"
#include "commands.h"
#include "frame_codec.h"
#include "parallel.h"

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
    const uint32_t quality = ParseUnsigned("-q", arguments.Value("-q"));

    InputFile input(arguments.positional[0]);
    OutputFile output(arguments.positional[1]);
    const std::size_t frameBytes = std::size_t(job.width) * job.height * job.format->bytesPerPixel;
    const std::size_t batch = std::size_t(job.threads) * 2;
    std::vector<std::unique_ptr<FrameEncoder>> encoders;
    for (unsigned w = 0; w < job.threads; ++w)
        encoders.push_back(std::make_unique<FrameEncoder>(*job.format, job.width, job.height));
    std::vector<std::vector<uint8_t>> raws(batch, std::vector<uint8_t>(frameBytes)), frames(batch);
    std::vector<LRESULT> results(batch);

    uint64_t count = 0, codedBytes = 0;
    for (bool more = true; more;) {
        std::size_t n = 0;
        for (; n < batch; ++n) {
            std::size_t got = input.Read(raws[n].data(), frameBytes);
            if (got == 0) break;
            if (got < frameBytes)
                Fail(input.Name() + ": frame " + std::to_string(count + n) + " is truncated: " + std::to_string(got) +
                     " of " + std::to_string(frameBytes) + " bytes");
        }
        more = n == batch;
        ParallelFor(job.threads, n, [&](unsigned worker, std::size_t i) {
            results[i] = encoders[worker]->Encode(raws[i].data(), quality, frames[i]);
        });
        for (std::size_t i = 0; i < n; ++i, ++count) {
            if (results[i] != ICERR_OK)
                Fail(input.Name() + ": frame " + std::to_string(count) + ": " + DescribeResult(results[i]));
            output.Write(frames[i].data(), frames[i].size());
            codedBytes += frames[i].size();
        }
    }
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
    const bool topDown = arguments.Has("--top-down") && job.format->compression == BI_RGB;
    const int32_t height = topDown ? -int32_t(job.height) : int32_t(job.height);

    InputFile input(arguments.positional[0]);
    OutputFile output(arguments.positional[1]);
    const std::size_t rawBytes = std::size_t(job.width) * job.height * job.format->bytesPerPixel;
    const std::size_t largestFrame = WorstCaseFrameSize(job.width, job.height);
    const std::size_t batch = std::size_t(job.threads) * 2;
    std::vector<std::unique_ptr<FrameDecoder>> decoders;
    for (unsigned w = 0; w < job.threads; ++w)
        decoders.push_back(std::make_unique<FrameDecoder>(*job.format, job.width, height));
    // Zeroed once: RGB32 output never writes the fourth byte of a pixel.
    std::vector<std::vector<uint8_t>> raws(batch, std::vector<uint8_t>(rawBytes)), frames(batch);
    std::vector<LRESULT> results(batch);

    uint64_t count = 0, codedBytes = 0;
    for (bool more = true; more;) {
        std::size_t n = 0;
        for (; n < batch; ++n) {
            const std::string which = input.Name() + ": frame " + std::to_string(count + n);
            uint8_t head[FrameHeaderSize];
            std::size_t got = input.Read(head, sizeof head);
            if (got == 0) break;
            FrameHeader header{};
            if (!ReadFrameHeader(head, got, &header)) Fail(which + " is truncated: its header is cut short");
            if (header.tag != FrameTagHuffman && header.tag != FrameTagDeflate) {
                char tag[16];
                std::snprintf(tag, sizeof tag, "0x%08" PRIX32, header.tag);
                Fail(which + " has an unknown tag " + tag + " (not a HUFY or LZYV frame)");
            }
            if (header.payloadLength > largestFrame - FrameHeaderSize)
                Fail(which + " is damaged: its payload length " + std::to_string(header.payloadLength) +
                     " is more than a " + std::to_string(job.width) + "x" + std::to_string(job.height) +
                     " frame can hold");
            frames[n].resize(FrameHeaderSize + header.payloadLength);
            std::copy(head, head + FrameHeaderSize, frames[n].begin());
            got = input.Read(frames[n].data() + FrameHeaderSize, header.payloadLength);
            if (got < header.payloadLength)
                Fail(which + " is truncated: " + std::to_string(got) + " of " +
                     std::to_string(header.payloadLength) + " payload bytes");
        }
        more = n == batch;
        ParallelFor(job.threads, n, [&](unsigned worker, std::size_t i) {
            results[i] = decoders[worker]->Decode(frames[i].data(), frames[i].size(), raws[i].data());
        });
        for (std::size_t i = 0; i < n; ++i, ++count) {
            if (results[i] != ICERR_OK)
                Fail(input.Name() + ": frame " + std::to_string(count) + " is " +
                     (results[i] == ICERR_ERROR ? std::string("damaged: its payload does not decode to a ") +
                                                      std::to_string(job.width) + "x" + std::to_string(job.height) +
                                                      " picture"
                                                : DescribeResult(results[i])));
            output.Write(raws[i].data(), rawBytes);
            codedBytes += frames[i].size();
        }
    }
    if (count == 0) Fail(input.Name() + ": holds no frame");
    output.Commit();
    ReportTotals(job, count, count * rawBytes, codedBytes);
    return 0;
}
