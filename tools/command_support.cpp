#include "command_support.h"

#include <cerrno>
#include <cstring>

std::string SizeText(uint32_t width, uint32_t height) { return std::to_string(width) + "x" + std::to_string(height); }

std::string CoderName(FrameCoder coder)
{
    switch (coder) {
    case FrameCoder::Huffman: return "huffman";
    case FrameCoder::Deflate: return "deflate";
    case FrameCoder::Archive: return "archive";
    default: return "smallest";
    }
}

FrameCoder ParseCoder(const Arguments& arguments)
{
    const std::string name = arguments.Value("--coder", "huffman");
    for (FrameCoder coder : {FrameCoder::Huffman, FrameCoder::Deflate, FrameCoder::Smallest, FrameCoder::Archive})
        if (name == CoderName(coder)) return coder;
    UsageError("--coder takes huffman, deflate, smallest or archive, not \"" + name + "\"");
}

void ArchiveSize(const MediaInput& input, uint32_t* width, uint32_t* height)
{
    const AVCodecParameters* parameters = input.Video()->codecpar;
    const int64_t w = parameters->width, h = parameters->height < 0 ? -int64_t(parameters->height) : parameters->height;
    if (w < 2 || h < 1 || w > 0xFFFFFF || h > 0xFFFFFF || !IsCodablePictureSize(uint32_t(w), uint32_t(h)))
        Fail(input.Name() + ": the KSHA stream's picture size " + std::to_string(w) + "x" + std::to_string(h) +
             " is not one the codec takes");
    *width = uint32_t(w);
    *height = uint32_t(h);
}

void ArchiveSize(const MediaInput& input, const RawFormat& layout, uint32_t* width, uint32_t* height)
{
    ArchiveSize(input, width, height);
    std::string why;
    if (!CheckPictureSize(layout, *width, *height, &why))
        Fail(input.Name() + ": " + SizeText(*width, *height) + ": " + why + "; choose --format rgb24 or rgb32");
}

ChosenFormat ChooseFormat(const MediaInput& input, const Arguments& arguments, uint32_t width,
                          const std::string& fallback, const std::string& oddFallback, bool ffmpegNames, bool notes)
{
    ChosenFormat chosen;
    chosen.recorded = ReadProvenance(input.Context(), &chosen.provenance);
    if (chosen.recorded) chosen.repetition = RepetitionOf(chosen.provenance.mapping);
    const bool asked = arguments.Has("--format");
    const std::string name = asked ? arguments.Value("--format") : width % 2 != 0 ? oddFallback : fallback;
    const PictureFormat* format = FindPictureFormat(name, ffmpegNames);
    if (!format) UsageError("--format takes " + PictureFormatNames(ffmpegNames) + ", not \"" + name + "\"");
    if (!asked && width % 2 != 0 && notes)
        std::fprintf(stderr, "note: %s: its pictures are %u pixels wide, a width packed 4:2:2 cannot hold; they come "
                             "out as %s\n",
                     input.Name().c_str(), width, name.c_str());
    const Exactness exactness = CheckExactness(*format, chosen.recorded ? &chosen.provenance : nullptr, width);
    chosen.format = *format;
    if (exactness.problem.empty()) return chosen;
    if (!exactness.lossyPossible) Fail(input.Name() + ": --format " + name + ": " + exactness.problem);
    if (!arguments.Has("--lossy"))
        Fail(input.Name() + ": --format " + name + ": the pictures would not come back exactly: " + exactness.problem +
             "; --lossy gives them all the same");
    chosen.format = ConvertedFormat(format->pixelFormat);
    if (notes)
        std::fprintf(stderr, "note: %s: %s is made by libswscale from the archive's 4:2:2, as --lossy asks\n",
                     input.Name().c_str(), name.c_str());
    return chosen;
}

CodecResult ScreenFrame(const AVPacket* frame, uint32_t width, uint32_t height)
{
    const std::size_t size = std::size_t(frame->size);
    FrameHeader header{};
    const CodecResult result = InspectFrame(frame->data, size, width, height, &header);
    const bool refused = result == CodecResult::LongerThanPicture || result == CodecResult::ShorterThanPicture ||
                         (result == CodecResult::CutShort && size < FrameHeaderSize);
    return refused ? result : CodecResult::Ok;
}

std::string DescribeDamage(const AVPacket* frame, uint32_t width, uint32_t height)
{
    const std::size_t size = std::size_t(frame->size);
    FrameHeader header{};
    if (!ReadFrameHeader(frame->data, size, &header)) return "is truncated: its header is cut short";
    if (header.tag == FrameTagHuffman || header.tag == FrameTagDeflate) {
        if (header.payloadLength > size - FrameHeaderSize)
            return "is truncated: it holds " + std::to_string(size - FrameHeaderSize) + " of its " +
                   std::to_string(header.payloadLength) + " payload bytes";
        return "is damaged: it does not decode to a " + SizeText(width, height) + " picture (kestrun verify tells more)";
    }
    return "is damaged: it has an unknown tag " + TagText(header.tag) + " (not a HUFY or LZYV frame)";
}

void CopyPacket(const MediaInput& input, AviWriter& writer, const std::vector<int>& streamMap, AVPacket* packet)
{
    const int target = streamMap[packet->stream_index];
    if (target < 0) return;
    av_packet_rescale_ts(packet, input.Context()->streams[packet->stream_index]->time_base,
                         writer.Context()->streams[target]->time_base);
    packet->stream_index = target;
    packet->pos = -1;
    writer.Write(packet);
}

void WriteKeyFrame(AviWriter& writer, AVStream* stream, AVPacket* packet, AVBufferRef** buffer, std::size_t size,
                   int64_t pts, int64_t duration, AVRational timeBase)
{
    av_packet_unref(packet);
    packet->buf = *buffer;
    *buffer = nullptr;
    packet->data = packet->buf->data;
    packet->size = int(size);
    packet->stream_index = stream->index;
    packet->pts = packet->dts = pts;
    packet->duration = duration;
    packet->flags = AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet, timeBase, stream->time_base);
    writer.Write(packet);
}

void FlushStandardOutput()
{
    if (std::fflush(stdout) != 0) Fail("standard output: write failed: " + std::string(std::strerror(errno)));
}
