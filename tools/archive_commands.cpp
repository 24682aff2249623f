// encode, decode, verify, framemd5, info and demo: KSHA archives in AVI files.
#include <cinttypes>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive.h"
#include "cli.h"
#include "codec/zlib_stream.h"
#include "commands.h"
#include "huffman/huffman.h"
#include "media.h"
#include "pipeline.h"
#include "progress.h"

extern "C" {
#include <libavutil/md5.h>
}

namespace {
// Slots per worker: one being worked on and one waiting keep a worker busy
// while the caller reads and writes.
constexpr std::size_t SlotsPerThread = 3;

std::string SizeText(uint32_t width, uint32_t height) { return std::to_string(width) + "x" + std::to_string(height); }

std::string TagText(uint32_t tag)
{
    if (tag == FrameTagHuffman) return "HUFY";
    if (tag == FrameTagDeflate) return "LZYV";
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, tag);
    return text;
}

// The picture size of a KSHA stream, checked against what the codec takes
// and what `format` can hold.
void ArchiveSize(const MediaInput& input, const RawFormat& format, uint32_t* width, uint32_t* height)
{
    const AVCodecParameters* parameters = input.Video()->codecpar;
    const int64_t w = parameters->width, h = parameters->height < 0 ? -int64_t(parameters->height) : parameters->height;
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    if (w < 2 || h < 1 || w > 0xFFFFFF || h > 0xFFFFFF || !IsCodablePictureSize(uint32_t(w), uint32_t(h)))
        Fail(input.Name() + ": the KSHA stream's picture size " + size + " is not one the codec takes");
    *width = uint32_t(w);
    *height = uint32_t(h);
    std::string why;
    if (!CheckPictureSize(format, *width, *height, &why))
        Fail(input.Name() + ": " + size + ": " + why + "; choose --format rgb24 or rgb32");
}

int64_t PacketTimestamp(const AVPacket* packet, int64_t fallback)
{
    if (packet->pts != AV_NOPTS_VALUE) return packet->pts;
    if (packet->dts != AV_NOPTS_VALUE) return packet->dts;
    return fallback;
}

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

// Which frames there are, and the first damage, for a frame of known size.
// Empty when the frame is intact; otherwise what is wrong with it.
std::string CheckFrameStructure(const uint8_t* frame, std::size_t size, uint32_t width, uint32_t height,
                                std::vector<uint8_t>& scratch, uint32_t* tag)
{
    FrameHeader header{};
    *tag = 0;
    if (size == 0) return "it is empty (a dropped frame: the archive holds no picture for it)";
    if (!ReadFrameHeader(frame, size, &header))
        return "its header is cut short (" + std::to_string(size) + " of 8 bytes)";
    *tag = header.tag;
    if (header.tag != FrameTagHuffman && header.tag != FrameTagDeflate)
        return "it has an unknown tag " + TagText(header.tag) + " (not a HUFY or LZYV frame)";
    const std::size_t available = size - FrameHeaderSize;
    if (header.payloadLength > available)
        return "its payload length " + std::to_string(header.payloadLength) + " runs past the " +
               std::to_string(available) + " bytes the chunk holds (truncated)";
    if (header.payloadLength < available)
        return std::to_string(available - header.payloadLength) + " bytes follow the payload of " +
               std::to_string(header.payloadLength) + " bytes";
    const std::size_t pictureBytes = PictureBytes(width, height);
    scratch.resize(pictureBytes);
    const uint8_t* payload = frame + FrameHeaderSize;
    if (header.tag == FrameTagHuffman) {
        HuffmanDecodeInfo info;
        if (HuffmanDecode(scratch.data(), pictureBytes, payload, header.payloadLength, &info) != HuffmanResult::Ok)
            return "its HUFY stream does not decode";
        if (info.length != pictureBytes)
            return "its HUFY stream holds " + std::to_string(info.length) + " bytes, not the " +
                   std::to_string(pictureBytes) + " of a " + SizeText(width, height) + " picture";
        if (info.bytesRead != header.payloadLength)
            return "its HUFY stream ends at byte " + std::to_string(info.bytesRead) + ", not at the payload length " +
                   std::to_string(header.payloadLength);
        if (!info.paddingIsZero) return "the padding after its last HUFY code is not zero";
    } else {
        std::size_t consumed = 0;
        switch (InflateExact(payload, header.payloadLength, scratch.data(), pictureBytes, &consumed)) {
        case ZlibResult::Ok: break;
        case ZlibResult::NoMemory: return "out of memory while inflating it";
        default:
            return "its LZYV stream does not inflate to exactly a " + SizeText(width, height) +
                   " picture with a good checksum";
        }
        if (consumed != header.payloadLength)
            return "its LZYV stream ends at byte " + std::to_string(consumed) + ", not at the payload length " +
                   std::to_string(header.payloadLength);
    }
    return "";
}

// Whether a frame is long enough to hold a picture: a HUFY stream of two or
// more used values spends at least a bit on every byte, and deflate gains at
// most 1032:1. A HUFY stream of one used value (a picture whose residuals are
// all equal) has no code bits at all and is plausible at any size. Shorter
// frames are damaged, and nothing is allocated for them, whatever size the
// file's header claims for its pictures.
bool PlausibleFrame(const uint8_t* frame, std::size_t size, uint32_t width, uint32_t height)
{
    FrameHeader header{};
    if (!ReadFrameHeader(frame, size, &header)) return false;
    constexpr std::size_t UsedCountByte = FrameHeaderSize + 4; // used count - 1, after the length and first value
    if (header.tag == FrameTagHuffman && size > UsedCountByte && frame[UsedCountByte] == 0) return true;
    return size - FrameHeaderSize >= PictureBytes(width, height) / 1040;
}

// Makes a worker's coder when it first needs one; false when memory is short.
template <typename Coder, typename... Arguments>
bool MakeOnce(std::unique_ptr<Coder>& coder, Arguments&&... arguments)
{
    if (coder) return true;
    try {
        coder = std::make_unique<Coder>(std::forward<Arguments>(arguments)...);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// What is wrong with a frame that did not decode: cut short, or damaged.
std::string DescribeDamage(const uint8_t* frame, std::size_t size, uint32_t width, uint32_t height)
{
    FrameHeader header{};
    if (size == 0) return "is empty (a dropped frame: the archive holds no picture for it)";
    if (!ReadFrameHeader(frame, size, &header)) return "is truncated: its header is cut short";
    if (header.tag == FrameTagHuffman || header.tag == FrameTagDeflate) {
        if (header.payloadLength > size - FrameHeaderSize)
            return "is truncated: it holds " + std::to_string(size - FrameHeaderSize) + " of its " +
                   std::to_string(header.payloadLength) + " payload bytes";
        return "is damaged: it does not decode to a " + SizeText(width, height) + " picture (kestrun verify tells more)";
    }
    return "is damaged: it has an unknown tag " + TagText(header.tag) + " (not a HUFY or LZYV frame)";
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
    const bool luma = (inRow % 2) == (format.compression == FourccYUY2 ? 0u : 1u);
    const char* sample = luma ? "Y" : ((inRow / 2) % 2 == 0 ? "U" : "V");
    char text[200];
    std::snprintf(text, sizeof text, "differs from the source first at row %zu (from the top), pixel %zu, %s: %u in "
                  "the archive, %u in the source",
                  row, inRow / 2, sample, archive[i], source[i]);
    return text;
}
} // namespace

// ---------------------------------------------------------------------------
// encode

JobStats RunEncode(const EncodeJob& job)
{
    MediaInput input(job.input);
    const bool notes = job.notes && !job.quiet;
    PictureReader pictures(input, !notes);
    const RawFormat& format = pictures.Format();
    const uint32_t width = pictures.Width(), height = pictures.Height();

    AviWriter writer(job.output);
    AVStream* video = writer.AddStream();
    AVCodecParameters* parameters = video->codecpar;
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_NONE;
    parameters->codec_tag = FourccKshaTag;
    parameters->width = int(width);
    parameters->height = int(height);
    parameters->bits_per_coded_sample = 16;
    parameters->sample_aspect_ratio = pictures.SampleAspectRatio();
    video->sample_aspect_ratio = pictures.SampleAspectRatio();
    bool guessed = false;
    const AVRational rate = input.FrameRate(&guessed);
    if (guessed && notes)
        std::fprintf(stderr, "note: %s: the frame rate is not known; the archive says 25 frames/s\n",
                     input.Name().c_str());
    // An AVI source keeps its own time base (its rate and scale); pictures are numbered in it.
    const bool avi = input.IsAvi();
    const AVRational timeBase = avi ? input.Video()->time_base : av_inv_q(rate);
    video->time_base = timeBase;
    video->avg_frame_rate = rate;

    // Other streams of an AVI source go across untouched.
    std::vector<int> streamMap(input.Context()->nb_streams, -1);
    std::vector<std::string> dropped;
    for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
        const AVStream* stream = input.Context()->streams[i];
        if (int(i) == input.VideoIndex()) continue;
        const AVMediaType type = stream->codecpar->codec_type;
        if (avi && (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO))
            streamMap[i] = writer.CopyStream(stream)->index;
        else if (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_SUBTITLE)
            dropped.push_back("stream " + std::to_string(i) + " (" + av_get_media_type_string(type) + ")");
    }
    if (!dropped.empty() && notes) {
        std::string list;
        for (const auto& d : dropped) list += (list.empty() ? "" : ", ") + d;
        std::fprintf(stderr, "note: %s: %s not copied: only the other streams of AVI sources go into the archive\n",
                     input.Name().c_str(), list.c_str());
    }
    writer.Begin();

    std::vector<std::unique_ptr<FrameEncoder>> encoders;
    for (unsigned w = 0; w < job.threads; ++w)
        encoders.push_back(std::make_unique<FrameEncoder>(format, width, height, true));

    // Frames go to the muxer in pooled buffers, which it may hold while it
    // interleaves; the pool reuses them, so nothing is allocated per frame.
    const std::size_t capacity = encoders[0]->FrameCapacity();
    BufferPool pool(capacity + AV_INPUT_BUFFER_PADDING_SIZE);
    // Pictures that lie in the file as the codec takes them are read by the
    // workers, each its own, straight into the slot: the demuxer would copy
    // every picture once more, all on this thread.
    const std::unique_ptr<StoredPictures> stored = StoredPictures::Find(input, pictures);
    struct Slot {
        FramePointer holder{av_frame_alloc()};
        std::vector<uint8_t> converted;
        LargeBuffer read; // a stored picture
        std::string readError;
        const uint8_t* picture = nullptr;
        AVBufferRef* frame = nullptr;
        std::size_t size = 0;
        LRESULT result = ICERR_OK;
        int64_t number = 0;
        ~Slot() { av_buffer_unref(&frame); }
    };
    JobStats stats;
    stats.width = width;
    stats.height = height;
    stats.sourceFormat = pictures.SourceFormat();
    stats.converted = pictures.Converted();
    Progress progress(job.quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    PacketPointer packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();

    OrderedPipeline<Slot> pipeline(
        job.threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            // The pool zeroes a new buffer: here that is not this thread's work.
            if (!slot.frame) slot.frame = pool.Get();
            if (stored) {
                slot.readError = stored->Read(slot.number, slot.read.Data());
                if (!slot.readError.empty()) return;
                slot.picture = slot.read.Data();
            }
            slot.result = encoders[worker]->Encode(slot.picture, job.coder, slot.frame->data, &slot.size);
        },
        [&](Slot& slot) {
            if (!slot.readError.empty())
                Fail(input.Name() + ": picture " + std::to_string(slot.number) + " " + slot.readError);
            if (slot.result != ICERR_OK)
                Fail(input.Name() + ": picture " + std::to_string(slot.number) +
                     " cannot be compressed: " + DescribeResult(slot.result));
            av_frame_unref(slot.holder.get());
            FrameHeader header{};
            ReadFrameHeader(slot.frame->data, slot.size, &header);
            (header.tag == FrameTagHuffman ? stats.huffmanFrames : stats.deflateFrames) += 1;
            av_packet_unref(packet.get());
            packet->buf = slot.frame; // the packet takes the slot's reference
            slot.frame = nullptr;
            packet->data = packet->buf->data;
            packet->size = int(slot.size);
            packet->stream_index = video->index;
            packet->pts = packet->dts = slot.number;
            packet->duration = 1;
            packet->flags = AV_PKT_FLAG_KEY;
            av_packet_rescale_ts(packet.get(), timeBase, video->time_base);
            writer.Write(packet.get());
            stats.codedBytes += slot.size;
            ++stats.frames;
            progress.Update(stats.frames, stats.codedBytes);
        });

    auto copyOther = [&](AVPacket* other) {
        const int target = streamMap[other->stream_index];
        if (target < 0) return;
        av_packet_rescale_ts(other, input.Context()->streams[other->stream_index]->time_base,
                             writer.Context()->streams[target]->time_base);
        other->stream_index = target;
        other->pos = -1;
        writer.Write(other);
    };
    for (int64_t number = 0;; ++number) {
        Slot& slot = pipeline.Acquire();
        if (stored) {
            if (number == stored->Count()) break;
            if (!slot.read.Data()) slot.read = LargeBuffer(pictures.PictureBytes());
        } else {
            if (!slot.holder) throw std::bad_alloc();
            if (!pictures.Next(slot.holder.get(), slot.converted, &slot.picture, copyOther)) break;
        }
        slot.number = number;
        pipeline.Submit();
    }
    pipeline.Drain();
    if (stats.frames == 0) Fail(input.Name() + ": holds no picture");
    writer.Commit();
    progress.Clear();
    stats.pictureBytes = uint64_t(stats.frames) * PictureBytes(width, height);
    stats.seconds = progress.Seconds();
    return stats;
}

int EncodeCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--coder", "--threads"}, {"--quiet"});
    if (arguments.positional.size() != 2)
        UsageError("usage: kestrun encode [--coder huffman|deflate|smallest|archive] [--threads N] [--quiet] IN OUT.avi");
    EncodeJob job;
    job.input = arguments.positional[0];
    job.output = arguments.positional[1];
    job.coder = ParseCoder(arguments);
    job.threads = ThreadCount(arguments);
    job.quiet = arguments.Has("--quiet");
    JobStats stats = RunEncode(job);
    if (!job.quiet)
        std::fprintf(stderr, "%s: %" PRId64 " frames %s, %s (ratio %.3f; HUFY %" PRId64 ", LZYV %" PRId64
                             "), %.1f frames/s\n",
                     job.output.c_str(), stats.frames, SizeText(stats.width, stats.height).c_str(),
                     DescribeBytes(stats.codedBytes).c_str(), stats.Ratio(), stats.huffmanFrames, stats.deflateFrames,
                     stats.FramesPerSecond());
    return 0;
}

// ---------------------------------------------------------------------------
// decode

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
    const std::size_t largestFrame = WorstCaseFrameSize(width, height);
    const AVStream* source = input.Video();

    std::unique_ptr<AviWriter> avi;
    std::unique_ptr<OutputFile> file;
    std::vector<int> streamMap(input.Context()->nb_streams, -1);
    AVStream* video = nullptr;
    if (kind == OutputKind::Avi) {
        avi = std::make_unique<AviWriter>(outputPath);
        video = avi->AddStream();
        AVCodecParameters* parameters = video->codecpar;
        parameters->codec_type = AVMEDIA_TYPE_VIDEO;
        parameters->codec_id = AV_CODEC_ID_RAWVIDEO;
        parameters->codec_tag = format->compression == BI_RGB ? 0 : format->compression;
        parameters->format = format->compression == FourccYUY2   ? AV_PIX_FMT_YUYV422
                             : format->compression == FourccUYVY ? AV_PIX_FMT_UYVY422
                             : format->bitCount == 24            ? AV_PIX_FMT_BGR24
                                                                 : AV_PIX_FMT_BGRA;
        parameters->bits_per_coded_sample = format->bitCount;
        parameters->width = int(width);
        parameters->height = int(height);
        parameters->sample_aspect_ratio = source->sample_aspect_ratio;
        video->sample_aspect_ratio = source->sample_aspect_ratio;
        video->time_base = source->time_base;
        video->avg_frame_rate = source->avg_frame_rate;
        for (unsigned i = 0; i < input.Context()->nb_streams; ++i) {
            const AVMediaType type = input.Context()->streams[i]->codecpar->codec_type;
            if (int(i) != input.VideoIndex() && (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO))
                streamMap[i] = avi->CopyStream(input.Context()->streams[i])->index;
        }
        // RGB goes bottom-up, as Video for Windows hosts expect it.
        avi->Begin(format->compression == BI_RGB);
    } else {
        file = std::make_unique<OutputFile>(outputPath);
        if (kind == OutputKind::Y4m) {
            const AVRational rate = input.FrameRate();
            AVRational aspect = source->sample_aspect_ratio;
            if (aspect.num <= 0 || aspect.den <= 0) aspect = AVRational{0, 0};
            char header[160];
            const int length = std::snprintf(header, sizeof header, "YUV4MPEG2 W%u H%u F%d:%d Ip A%d:%d C422 XYSCSS=422\n",
                                             width, height, rate.num, rate.den, aspect.num, aspect.den);
            file->Write(header, std::size_t(length));
        }
    }

    // Pictures go out in pooled buffers (zeroed once: RGB32 output keeps the
    // fourth byte as it was), which the muxer may hold while it interleaves.
    BufferPool pool(rawBytes + AV_INPUT_BUFFER_PADDING_SIZE);
    struct Slot {
        PacketPointer frame{av_packet_alloc()};
        AVBufferRef* raw = nullptr;
        std::vector<uint8_t> planes;
        LRESULT result = ICERR_OK;
        int64_t number = 0, pts = 0, duration = 1;
        bool oversize = false;
        ~Slot() { av_buffer_unref(&raw); }
    };
    // RGB output: bottom-up for AVI and raw (as raw-decode writes it).
    std::vector<std::unique_ptr<FrameDecoder>> decoders(threads);
    int64_t count = 0;
    uint64_t codedBytes = 0;
    Progress progress(quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    PacketPointer packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();

    OrderedPipeline<Slot> pipeline(
        threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            if (slot.oversize) return;
            if (!slot.raw) { // too short to be a frame
                slot.result = ICERR_ERROR;
                return;
            }
            if (!MakeOnce(decoders[worker], *format, width, int32_t(height))) {
                slot.result = ICERR_MEMORY;
                return;
            }
            slot.result = decoders[worker]->Decode(slot.frame->data, std::size_t(slot.frame->size), slot.raw->data);
            if (slot.result == ICERR_OK && kind == OutputKind::Y4m) {
                slot.planes.resize(PictureBytes(width, height));
                PackedToY4m(slot.raw->data, width, height, slot.planes.data());
            }
        },
        [&](Slot& slot) {
            const std::string which = input.Name() + ": frame " + std::to_string(slot.number);
            if (slot.oversize)
                Fail(which + " is damaged: its " + std::to_string(slot.frame->size) + " bytes are more than a " +
                     SizeText(width, height) + " frame can hold");
            if (slot.result == ICERR_ERROR)
                Fail(which + " " + DescribeDamage(slot.frame->data, std::size_t(slot.frame->size), width, height));
            if (slot.result != ICERR_OK) Fail(which + ": " + DescribeResult(slot.result));
            if (avi) {
                av_packet_unref(packet.get());
                packet->buf = slot.raw; // the packet takes the slot's reference
                slot.raw = nullptr;
                packet->data = packet->buf->data;
                packet->size = int(rawBytes);
                packet->stream_index = video->index;
                packet->pts = packet->dts = slot.pts;
                packet->duration = slot.duration;
                packet->flags = AV_PKT_FLAG_KEY;
                av_packet_rescale_ts(packet.get(), source->time_base, video->time_base);
                avi->Write(packet.get());
            } else if (kind == OutputKind::Y4m) {
                file->Write("FRAME\n", 6);
                file->Write(slot.planes.data(), slot.planes.size());
            } else {
                file->Write(slot.raw->data, rawBytes);
            }
            ++count;
            codedBytes += uint64_t(slot.frame->size);
            progress.Update(count, codedBytes);
        });

    PacketPointer read(av_packet_alloc());
    if (!read) throw std::bad_alloc();
    for (int64_t number = 0; input.ReadPacket(read.get()); av_packet_unref(read.get())) {
        if (read->stream_index != input.VideoIndex()) {
            const int target = streamMap[read->stream_index];
            if (!avi || target < 0) continue;
            av_packet_rescale_ts(read.get(), input.Context()->streams[read->stream_index]->time_base,
                                 avi->Context()->streams[target]->time_base);
            read->stream_index = target;
            read->pos = -1;
            avi->Write(read.get());
            continue;
        }
        Slot& slot = pipeline.Acquire();
        if (!slot.frame) throw std::bad_alloc();
        slot.oversize = std::size_t(read->size) > largestFrame;
        slot.number = number;
        slot.pts = PacketTimestamp(read.get(), number);
        slot.duration = read->duration > 0 ? read->duration : 1;
        const bool plausible = PlausibleFrame(read->data, std::size_t(read->size), width, height);
        av_packet_unref(slot.frame.get());
        av_packet_move_ref(slot.frame.get(), read.get());
        if (!plausible) av_buffer_unref(&slot.raw);
        if (plausible && !slot.oversize && !slot.raw) slot.raw = pool.Get();
        ++number;
        pipeline.Submit();
    }
    pipeline.Drain();
    if (count == 0) Fail(input.Name() + ": holds no frame");
    const int64_t announced = input.AnnouncedFrames();
    if (announced > count)
        Fail(input.Name() + ": is truncated: it holds " + std::to_string(count) + " of the " +
             std::to_string(announced) + " frames its header announces");
    if (avi)
        avi->Commit();
    else
        file->Commit();
    progress.Clear();
    if (!quiet)
        std::fprintf(stderr, "%s: %" PRId64 " frames %s %s, %.1f frames/s\n",
                     kind == OutputKind::Avi || file->IsStandardOutput() ? outputPath.c_str() : outputPath.c_str(),
                     count, SizeText(width, height).c_str(),
                     kind == OutputKind::Y4m ? "Y4M 4:2:2" : format->name.c_str(), progress.FramesPerSecond(count));
    return 0;
}

// ---------------------------------------------------------------------------
// verify

JobStats RunVerify(const VerifyJob& job)
{
    MediaInput input(job.input);
    input.RequireKsha("verify");
    uint32_t width = 0, height = 0;
    const RawFormat& yuy2 = *FindRawFormat("yuy2");
    // Verification decodes to YUY2 (or the source's packed layout), so it needs an even width.
    ArchiveSize(input, *FindRawFormat("rgb24"), &width, &height);
    if (width % 2 != 0) Fail(input.Name() + ": " + SizeText(width, height) + ": verify needs an even width");
    const std::size_t largestFrame = WorstCaseFrameSize(width, height);

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
        sourceIsRgb = source->Format().compression == BI_RGB;
        if (!sourceIsRgb) compareFormat = &source->Format();
    }

    struct Slot {
        PacketPointer frame{av_packet_alloc()};
        std::vector<uint8_t> picture, reference, recoded, referencePicture, scratch;
        std::string problem;
        uint32_t tag = 0;
        int64_t number = 0;
        bool oversize = false, haveReference = false;
    };
    struct Worker {
        std::unique_ptr<FrameDecoder> decoder, referenceDecoder;
        std::unique_ptr<FrameEncoder> referenceEncoder;
    };
    std::vector<Worker> workers(job.threads);

    JobStats stats;
    stats.width = width;
    stats.height = height;
    stats.compared = source != nullptr;
    Progress progress(job.quiet, input.AnnouncedFrames(), PictureBytes(width, height));
    const std::size_t packedBytes = std::size_t(width) * height * 2;

    OrderedPipeline<Slot> pipeline(
        job.threads, SlotsPerThread,
        [&](unsigned w, Slot& slot) {
            Worker& worker = workers[w];
            slot.problem.clear();
            if (slot.oversize) {
                slot.problem = "its " + std::to_string(slot.frame->size) + " bytes are more than a " +
                               SizeText(width, height) + " frame can hold";
                return;
            }
            const uint8_t* frame = slot.frame->data;
            const std::size_t size = std::size_t(slot.frame->size);
            if (size >= FrameHeaderSize && !PlausibleFrame(frame, size, width, height)) {
                FrameHeader header{};
                ReadFrameHeader(frame, size, &header);
                slot.tag = header.tag;
                slot.problem = "its " + std::to_string(size) + " bytes are too few for a " + SizeText(width, height) +
                               " picture";
                return;
            }
            slot.problem = CheckFrameStructure(frame, size, width, height, slot.scratch, &slot.tag);
            if (!slot.problem.empty()) return;
            // An RGB source is compared with what the codec makes of it.
            if (!MakeOnce(worker.decoder, *compareFormat, width, int32_t(height)) ||
                (sourceIsRgb && (!MakeOnce(worker.referenceEncoder, source->Format(), width, height, true) ||
                                 !MakeOnce(worker.referenceDecoder, yuy2, width, int32_t(height))))) {
                slot.problem = "out of memory for decoding it";
                return;
            }
            slot.picture.resize(packedBytes);
            LRESULT result = worker.decoder->Decode(frame, size, slot.picture.data());
            if (result != ICERR_OK) {
                slot.problem = "it does not decode: " + DescribeResult(result);
                return;
            }
            if (!source) return;
            if (!slot.haveReference) {
                slot.problem = "the source has no picture for it";
                return;
            }
            const uint8_t* expected = slot.reference.data();
            if (sourceIsRgb) {
                slot.recoded.resize(worker.referenceEncoder->FrameCapacity());
                std::size_t size = 0;
                result = worker.referenceEncoder->Encode(slot.reference.data(), 0, slot.recoded.data(), &size);
                slot.referencePicture.resize(packedBytes);
                if (result == ICERR_OK)
                    result = worker.referenceDecoder->Decode(slot.recoded.data(), size, slot.referencePicture.data());
                if (result != ICERR_OK) {
                    slot.problem = "the source picture cannot be coded for comparison: " + DescribeResult(result);
                    return;
                }
                expected = slot.referencePicture.data();
            }
            slot.problem = FirstDifference(slot.picture.data(), expected, width, height, *compareFormat);
        },
        [&](Slot& slot) {
            ++stats.frames;
            stats.codedBytes += uint64_t(slot.frame->size);
            if (slot.tag == FrameTagHuffman) ++stats.huffmanFrames;
            if (slot.tag == FrameTagDeflate) ++stats.deflateFrames;
            if (!slot.problem.empty()) {
                stats.damaged.push_back(slot.number);
                progress.Clear();
                std::printf("%s: frame %" PRId64 " is damaged: %s\n", input.Name().c_str(), slot.number,
                            slot.problem.c_str());
                std::fflush(stdout);
            }
            progress.Update(stats.frames, stats.codedBytes);
        });

    PacketPointer read(av_packet_alloc());
    if (!read) throw std::bad_alloc();
    bool sourceEnded = false;
    for (int64_t number = 0; input.ReadPacket(read.get()); av_packet_unref(read.get())) {
        if (read->stream_index != input.VideoIndex()) continue;
        Slot& slot = pipeline.Acquire();
        if (!slot.frame) throw std::bad_alloc();
        slot.oversize = std::size_t(read->size) > largestFrame;
        av_packet_unref(slot.frame.get());
        av_packet_move_ref(slot.frame.get(), read.get());
        slot.number = number++;
        slot.haveReference = false;
        if (source && !sourceEnded) {
            slot.reference.resize(source->PictureBytes());
            slot.haveReference = source->Next(slot.reference.data());
            sourceEnded = !slot.haveReference;
        }
        pipeline.Submit();
    }
    pipeline.Drain();
    progress.Clear();
    const int64_t announced = input.AnnouncedFrames();
    if (stats.frames == 0)
        stats.problem = "holds no frame";
    else if (announced > stats.frames)
        stats.problem = "is truncated: it holds " + std::to_string(stats.frames) + " of the " +
                        std::to_string(announced) + " frames its header announces";
    if (source && !sourceEnded && stats.problem.empty()) {
        std::vector<uint8_t> extra(source->PictureBytes());
        int64_t more = 0;
        while (source->Next(extra.data())) ++more;
        if (more > 0)
            stats.problem = "holds " + std::to_string(stats.frames) + " frames, the source " +
                            std::to_string(stats.frames + more);
    }
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
    if (std::fflush(stdout) != 0) Fail("standard output: write failed: " + std::string(std::strerror(errno)));
    return stats.damaged.empty() && stats.problem.empty() ? 0 : 1;
}

// ---------------------------------------------------------------------------
// framemd5

int FrameMd5Command(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--threads"}, {"--quiet"});
    if (arguments.positional.empty() || arguments.positional.size() > 2)
        UsageError("usage: kestrun framemd5 [--threads N] IN.avi [OUT]   (OUT: - by default)");
    const unsigned threads = ThreadCount(arguments);
    MediaInput input(arguments.positional[0]);
    input.RequireKsha("framemd5");
    const RawFormat& yuy2 = *FindRawFormat("yuy2");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, yuy2, &width, &height);
    OutputFile output(arguments.positional.size() == 2 ? arguments.positional[1] : "-");
    const AVStream* stream = input.Video();
    const std::size_t rawBytes = std::size_t(width) * height * 2;
    const std::size_t largestFrame = WorstCaseFrameSize(width, height);

    // The header and lines of FFmpeg's framemd5 muxer for one rawvideo yuyv422 stream.
    std::string header = "#format: frame checksums\n#version: 2\n#hash: MD5\n#software: " LIBAVFORMAT_IDENT "\n";
    char line[256];
    std::snprintf(line, sizeof line, "#tb 0: %d/%d\n#media_type 0: video\n#codec_id 0: rawvideo\n#dimensions 0: %ux%u\n"
                                     "#sar 0: %d/%d\n",
                  stream->time_base.num, stream->time_base.den, width, height,
                  stream->sample_aspect_ratio.num > 0 ? stream->sample_aspect_ratio.num : 0,
                  stream->sample_aspect_ratio.num > 0 ? stream->sample_aspect_ratio.den : 1);
    header += line;
    header += "#stream#, dts,        pts, duration,     size, hash\n";
    output.Write(header.data(), header.size());

    struct Slot {
        PacketPointer frame{av_packet_alloc()};
        std::vector<uint8_t> raw;
        uint8_t digest[16];
        LRESULT result = ICERR_OK;
        int64_t number = 0, pts = 0, duration = 1;
        bool oversize = false;
    };
    std::vector<std::unique_ptr<FrameDecoder>> decoders(threads);
    int64_t count = 0;
    OrderedPipeline<Slot> pipeline(
        threads, SlotsPerThread,
        [&](unsigned worker, Slot& slot) {
            if (slot.oversize) return;
            if (!PlausibleFrame(slot.frame->data, std::size_t(slot.frame->size), width, height)) {
                slot.result = ICERR_ERROR;
                return;
            }
            if (!MakeOnce(decoders[worker], yuy2, width, int32_t(height))) {
                slot.result = ICERR_MEMORY;
                return;
            }
            slot.raw.resize(rawBytes);
            slot.result = decoders[worker]->Decode(slot.frame->data, std::size_t(slot.frame->size), slot.raw.data());
            if (slot.result == ICERR_OK) av_md5_sum(slot.digest, slot.raw.data(), rawBytes);
        },
        [&](Slot& slot) {
            if (slot.oversize || slot.result != ICERR_OK)
                Fail(input.Name() + ": frame " + std::to_string(slot.number) + " " +
                     (slot.oversize ? std::string("is damaged: it is larger than a frame can be")
                                    : DescribeDamage(slot.frame->data, std::size_t(slot.frame->size), width, height)) +
                     "; no checksum for it");
            int length = std::snprintf(line, sizeof line, "0, %10" PRId64 ", %10" PRId64 ", %8" PRId64 ", %8zu, ",
                                       slot.pts, slot.pts, slot.duration, rawBytes);
            for (uint8_t byte : slot.digest) length += std::snprintf(line + length, sizeof line - length, "%02x", byte);
            line[length++] = '\n';
            output.Write(line, std::size_t(length));
            ++count;
        });
    PacketPointer read(av_packet_alloc());
    if (!read) throw std::bad_alloc();
    for (int64_t number = 0; input.ReadPacket(read.get()); av_packet_unref(read.get())) {
        if (read->stream_index != input.VideoIndex()) continue;
        Slot& slot = pipeline.Acquire();
        if (!slot.frame) throw std::bad_alloc();
        slot.oversize = std::size_t(read->size) > largestFrame;
        slot.number = number;
        slot.pts = PacketTimestamp(read.get(), number);
        slot.duration = read->duration > 0 ? read->duration : 1;
        av_packet_unref(slot.frame.get());
        av_packet_move_ref(slot.frame.get(), read.get());
        ++number;
        pipeline.Submit();
    }
    pipeline.Drain();
    if (count == 0) Fail(input.Name() + ": holds no frame");
    const int64_t announced = input.AnnouncedFrames();
    if (announced > count)
        Fail(input.Name() + ": is truncated: it holds " + std::to_string(count) + " of the " +
             std::to_string(announced) + " frames its header announces");
    output.Commit();
    return 0;
}

// ---------------------------------------------------------------------------
// info

int InfoCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {}, {"--frames"});
    if (arguments.positional.size() != 1) UsageError("usage: kestrun info [--frames] IN.avi");
    MediaInput input(arguments.positional[0]);
    input.RequireKsha("info");
    uint32_t width = 0, height = 0;
    ArchiveSize(input, *FindRawFormat("rgb24"), &width, &height);
    const AVStream* stream = input.Video();
    const bool frames = arguments.Has("--frames");

    std::vector<std::pair<uint32_t, int>> sizes; // tag, size: only with --frames
    int64_t count = 0, huffman = 0, deflate = 0, other = 0;
    uint64_t coded = 0;
    uint32_t smallest = UINT32_MAX, largest = 0;
    PacketPointer read(av_packet_alloc());
    if (!read) throw std::bad_alloc();
    if (frames) std::printf("frame       tag      bytes\n");
    while (input.ReadPacket(read.get())) {
        if (read->stream_index == input.VideoIndex()) {
            FrameHeader header{};
            const bool whole = ReadFrameHeader(read->data, std::size_t(read->size), &header);
            const uint32_t tag = whole ? header.tag : 0;
            if (tag == FrameTagHuffman)
                ++huffman;
            else if (tag == FrameTagDeflate)
                ++deflate;
            else
                ++other;
            if (frames)
                std::printf("%-10" PRId64 "  %-6s %10d\n", count, whole ? TagText(tag).c_str() : "short", read->size);
            coded += uint64_t(read->size);
            smallest = std::min(smallest, uint32_t(read->size));
            largest = std::max(largest, uint32_t(read->size));
            ++count;
        }
        av_packet_unref(read.get());
    }
    std::error_code error;
    const auto fileSize = input.Name() == "standard input" ? 0 : std::filesystem::file_size(input.Name(), error);
    const AVRational rate = input.FrameRate();
    const uint64_t picture = PictureBytes(width, height);
    std::printf("file:        %s, %s\n", input.Name().c_str(), DescribeBytes(fileSize).c_str());
    std::printf("video:       KSHA %ux%u, %" PRId64 " frames at %.3f frames/s (%d/%d), %.2f s\n", width, height, count,
                av_q2d(rate), rate.num, rate.den, rate.num > 0 ? double(count) * rate.den / rate.num : 0.0);
    if (input.AnnouncedFrames() > count)
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
    if (std::fflush(stdout) != 0) Fail("standard output: write failed: " + std::string(std::strerror(errno)));
    return 0;
}

// ---------------------------------------------------------------------------
// demo

#ifndef KESTRUN_SAMPLE_CLIP
#define KESTRUN_SAMPLE_CLIP "samples/city-720x405.mpg"
#endif

int DemoCommand(int argc, char** argv)
{
    Arguments arguments = ParseArguments(argc, argv, 2, {"--coder", "--threads"}, {"--quiet"});
    if (arguments.positional.size() > 1)
        UsageError("usage: kestrun demo [--coder huffman|deflate|smallest|archive] [--threads N] [CLIP]");
    const std::string clip = arguments.positional.empty() ? KESTRUN_SAMPLE_CLIP : arguments.positional[0];
    if (!std::filesystem::exists(clip))
        Fail(clip + ": the sample clip is not there; give a clip: kestrun demo CLIP");
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrun-demo-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) Fail(pattern + ": cannot make a temporary folder: " + std::strerror(errno));
    struct RemoveFolder {
        std::string path;
        ~RemoveFolder()
        {
            std::error_code error;
            std::filesystem::remove_all(path, error);
        }
    } folder{pattern};

    EncodeJob encode;
    encode.input = clip;
    encode.output = pattern + "/demo.avi";
    encode.coder = ParseCoder(arguments);
    encode.threads = ThreadCount(arguments);
    encode.quiet = true;
    const bool showProgress = !arguments.Has("--quiet");
    std::printf("encoding %s with --coder %s on %u thread%s\n", clip.c_str(), CoderName(encode.coder).c_str(),
                encode.threads, encode.threads == 1 ? "" : "s");
    std::fflush(stdout);
    encode.quiet = !showProgress;
    encode.notes = false; // the summary says whether the source was converted
    JobStats encoded = RunEncode(encode);
    std::printf("source:   %ux%u %s, %" PRId64 " pictures%s\n", encoded.width, encoded.height,
                encoded.sourceFormat.c_str(), encoded.frames, encoded.converted ? ", converted to YUY2" : "");
    std::printf("archive:  %s, %s for %s of 4:2:2 pictures: ratio %.3f (HUFY %" PRId64 ", LZYV %" PRId64 ")\n",
                encode.output.c_str(), DescribeBytes(encoded.codedBytes).c_str(),
                DescribeBytes(encoded.pictureBytes).c_str(), encoded.Ratio(), encoded.huffmanFrames,
                encoded.deflateFrames);
    std::printf("encode:   %.1f frames/s, %.1f MB/s of pictures (reading and converting the source included)\n",
                encoded.FramesPerSecond(), double(encoded.pictureBytes) / 1e6 / std::max(encoded.seconds, 1e-9));
    std::fflush(stdout);

    VerifyJob verify;
    verify.input = encode.output;
    verify.against = clip;
    verify.threads = encode.threads;
    verify.quiet = !showProgress;
    JobStats verified = RunVerify(verify);
    const bool good = verified.damaged.empty() && verified.problem.empty();
    std::printf("verify:   %s, %.1f frames/s (decoding, checking and comparing with the source)\n",
                good ? ("all " + std::to_string(verified.frames) + " frames decode to exactly the source's pictures")
                           .c_str()
                     : ("FAILED: " + std::to_string(verified.damaged.size()) + " damaged frames " + verified.problem).c_str(),
                verified.FramesPerSecond());
    if (std::fflush(stdout) != 0) Fail("standard output: write failed: " + std::string(std::strerror(errno)));
    return good ? 0 : 1;
}
