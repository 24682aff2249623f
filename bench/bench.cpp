// kestrun_bench: MB/s of picture data through each stage of the codec and
// through whole frames, on real footage scaled to 1920x1080 (or --size).
//
//   kestrun_bench [CLIP] [--frames N] [--seconds S] [--size WxH]
//   kestrun_bench --levels      the processor levels this machine has, one a line
//
// KESTRUN_CPU narrows the kernels to a lower level; the first line says which ran.
// Figures are medians over repeated runs of one thread; nothing here is a test.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "codec/fast_inflate.h"
#include "codec/median_transform.h"
#include "codec/zlib_stream.h"
#include "colour/colour.h"
#include "huffman/huffman.h"
#include "huffman/huffman_internal.h"
#include "picture/packed.h"
#include "platform/cpu.h"

namespace {
using Bytes = std::vector<uint8_t>;
uint32_t Width = 1920, Height = 1080;

Bytes DecodeClip(const std::string& clip, const std::string& pixelFormat, int frames)
{
    std::string command = "ffmpeg -nostdin -v error -i '" + clip + "' -frames:v " + std::to_string(frames) +
                          " -vf scale=" + std::to_string(Width) + ":" + std::to_string(Height) +
                          (pixelFormat == "bgr24" ? ",vflip" : "") + " -pix_fmt " + pixelFormat + " -f rawvideo -";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    Bytes data;
    uint8_t chunk[1 << 16];
    for (std::size_t got; (got = fread(chunk, 1, sizeof chunk, pipe)) > 0;) data.insert(data.end(), chunk, chunk + got);
    pclose(pipe);
    return data;
}

// Runs `work` over the frames repeatedly for about `seconds` and returns the
// median MB/s of `bytesPerFrame` per call.
double Measure(double seconds, std::size_t frames, std::size_t bytesPerFrame, const std::function<void(std::size_t)>& work)
{
    using Clock = std::chrono::steady_clock;
    std::vector<double> rates;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (std::size_t i = 0; rates.size() < 5 || Clock::now() < end; ++i) {
        const auto start = Clock::now();
        work(i % frames);
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        rates.push_back(double(bytesPerFrame) / elapsed / 1e6);
        if (rates.size() > 10000) break;
    }
    std::nth_element(rates.begin(), rates.begin() + rates.size() / 2, rates.end());
    return rates[rates.size() / 2];
}

// How many times faster `fast` runs than `slow` on the same frames: the two
// take turns frame by frame, each first as often as the other, and the
// median of the per-frame time ratios is returned, so that a machine whose
// speed drifts affects both alike.
double MeasureSpeedup(double seconds, std::size_t frames, const std::function<void(std::size_t)>& slow,
                      const std::function<void(std::size_t)>& fast)
{
    using Clock = std::chrono::steady_clock;
    const auto time = [](const std::function<void(std::size_t)>& work, std::size_t f) {
        const auto start = Clock::now();
        work(f);
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    std::vector<double> ratios;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    for (std::size_t i = 0; ratios.size() < 5 || Clock::now() < end; ++i) {
        const std::size_t f = i % frames;
        double slowTime, fastTime;
        if (i & 1) {
            fastTime = time(fast, f);
            slowTime = time(slow, f);
        } else {
            slowTime = time(slow, f);
            fastTime = time(fast, f);
        }
        ratios.push_back(slowTime / fastTime);
        if (ratios.size() > 10000) break;
    }
    std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
    return ratios[ratios.size() / 2];
}

void Report(const char* stage, double mbps, std::size_t pictureBytes)
{
    std::printf("%-34s %9.1f MB/s %9.1f frames/s\n", stage, mbps, mbps * 1e6 / double(pictureBytes));
}
} // namespace

int main(int argc, char** argv)
{
    std::string clip = std::string(KESTRUN_SOURCE_DIR) + "/samples/city-720x405.mpg";
    int frameCount = 8;
    double seconds = 1.0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--levels")) {
            for (const CpuLevel& level : CpuLevels())
                if ((level.features & ~ProcessorFeatures()) == 0) std::printf("%s\n", level.name);
            return 0;
        }
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc) {
            unsigned w = 0, h = 0;
            if (std::sscanf(argv[++i], "%ux%u", &w, &h) != 2 || w < 2 || w % 2 || h == 0 || w > 16384 || h > 16384) {
                std::fprintf(stderr, "kestrun_bench: --size takes WxH, an even width\n");
                return 2;
            }
            Width = w, Height = h;
        } else if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) frameCount = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
        else clip = argv[i];
    }
    const std::size_t packedBytes = std::size_t(Width) * Height * 2, rgbBytes = std::size_t(Width) * Height * 3;
    Bytes yuy2 = DecodeClip(clip, "yuyv422", frameCount);
    Bytes rgb = DecodeClip(clip, "bgr24", frameCount);
    const std::size_t frames = yuy2.size() / packedBytes;
    if (frames == 0 || rgb.size() / rgbBytes < frames) {
        std::fprintf(stderr, "kestrun_bench: could not decode %s with ffmpeg\n", clip.c_str());
        return 1;
    }
    std::printf("clip %s, %zu frames at %ux%u, one thread; kernels at %s (this processor: %s)\n\n", clip.c_str(),
                frames, Width, Height, CpuLevelName(CpuFeatures()), CpuLevelName(ProcessorFeatures()));

    BuildClampTable();
    BuildConversionTables();
    PlanarPicture picture{};
    ResizePlanarPicture(picture, Width, Height);

    // Residual pictures of every frame, as the coders see them.
    std::vector<Bytes> residuals(frames), restored(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        PackedToPlanar(picture, yuy2.data() + f * packedBytes + packedBytes - 2 * Width, -ptrdiff_t(2 * Width), 0, 1);
        restored[f].assign(picture.buffer, picture.buffer + packedBytes);
        MedianTransformPicture(picture);
        residuals[f].assign(picture.buffer, picture.buffer + packedBytes);
    }

    Report("median transform forward", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
               std::memcpy(picture.buffer, restored[f].data(), packedBytes);
               MedianTransformPicture(picture);
           }), packedBytes);
    Report("median transform inverse", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
               std::memcpy(picture.buffer, residuals[f].data(), packedBytes);
               MedianRestorePicture(picture);
           }), packedBytes);

    std::vector<Bytes> huffman(frames), deflated(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        huffman[f].resize(packedBytes + HuffmanMaxOverhead);
        std::size_t written = 0;
        HuffmanEncode(residuals[f].data(), uint32_t(packedBytes), huffman[f].data(), huffman[f].size(), &written);
        huffman[f].resize(written);
        deflated[f].resize(WorstCaseFrameSize(Width, Height));
        DeflateInto(residuals[f].data(), packedBytes, deflated[f].data(), deflated[f].size(), 5, &written);
        deflated[f].resize(written);
    }
    Bytes scratch(WorstCaseFrameSize(Width, Height));
    Report("HuffmanEncode", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
               std::size_t written;
               HuffmanEncode(residuals[f].data(), uint32_t(packedBytes), scratch.data(), scratch.size(), &written);
           }), packedBytes);
    Report("  of which counting", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
               HuffmanCoder coder;
               CountSymbols(coder, residuals[f].data(), uint32_t(packedBytes));
           }), packedBytes);
    Report("HuffmanDecode", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
               HuffmanDecodeInfo info;
               HuffmanDecode(picture.buffer, packedBytes, huffman[f].data(), huffman[f].size(), &info);
           }), packedBytes);
    Report("deflate (level 5, filtered)", Measure(std::min(seconds, 2.0), frames, packedBytes, [&](std::size_t f) {
               std::size_t written;
               DeflateInto(residuals[f].data(), packedBytes, scratch.data(), scratch.size(), 5, &written);
           }), packedBytes);
    const auto zlibInflateFrame = [&](std::size_t f) {
        std::size_t consumed;
        InflateExactZlib(deflated[f].data(), deflated[f].size(), picture.buffer, packedBytes, &consumed);
    };
    const auto fastInflateFrame = [&](std::size_t f) {
        std::size_t consumed;
        InflateExact(deflated[f].data(), deflated[f].size(), picture.buffer, packedBytes, &consumed);
    };
    const double zlibInflate = Measure(seconds, frames, packedBytes, zlibInflateFrame);
    const double fastInflate = Measure(seconds, frames, packedBytes, fastInflateFrame);
    const double ownInflate = Measure(seconds, frames, packedBytes, [&](std::size_t f) {
        std::size_t consumed;
        FastInflateExact(deflated[f].data(), deflated[f].size(), picture.buffer, packedBytes, &consumed);
    });
    Report("inflate (zlib)", zlibInflate, packedBytes);
    Report("inflate (own; Windows builds)", ownInflate, packedBytes);
    Report("inflate (fastest built in)", fastInflate, packedBytes);
    std::printf("%-34s %9.2fx\n", "  against zlib, frame by frame",
                MeasureSpeedup(seconds, frames, zlibInflateFrame, fastInflateFrame));
    uint64_t zlibBytes = 0, archiveBytes = 0;
    const double archive = Measure(std::min(seconds, 2.0), frames, packedBytes, [&](std::size_t f) {
        std::size_t written;
        DeflateArchiveInto(residuals[f].data(), packedBytes, scratch.data(), scratch.size(), &written);
    });
    for (std::size_t f = 0; f < frames; ++f) {
        std::size_t written = 0;
        DeflateArchiveInto(residuals[f].data(), packedBytes, scratch.data(), scratch.size(), &written);
        archiveBytes += written;
        zlibBytes += deflated[f].size();
    }
    Report("archive deflate", archive, packedBytes);
    std::printf("%-34s %9.3f\n", "  size against level 5", double(archiveBytes) / double(zlibBytes));
    Bytes packedOut(packedBytes);
    Report("YUY2 to planar", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
               PackedToPlanar(picture, yuy2.data() + f * packedBytes, ptrdiff_t(2 * Width), 0, 1);
           }), packedBytes);
    Report("planar to YUY2", Measure(seconds, frames, packedBytes, [&](std::size_t) {
               PlanarToPacked(picture, packedOut.data(), ptrdiff_t(2 * Width), 0, 1);
           }), packedBytes);
    Report("RGB24 to planar", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
               ConvertRgbToPlanar(rgb.data() + f * rgbBytes, picture, 3, ptrdiff_t(3 * Width));
           }), packedBytes);
    Bytes rgbOut(std::size_t(Width) * Height * 4);
    Report("planar to RGB24", Measure(seconds, frames, packedBytes, [&](std::size_t) {
               ConvertPlanarToRgb(picture, rgbOut.data(), 3, ptrdiff_t(3 * Width));
           }), packedBytes);
    Report("planar to RGB32", Measure(seconds, frames, packedBytes, [&](std::size_t) {
               ConvertPlanarToRgb(picture, rgbOut.data(), 4, ptrdiff_t(4 * Width));
           }), packedBytes);
    std::printf("\n");

    // Whole frames through the core, as the driver and the tool run them.
    struct Path {
        const char* name;
        PixelLayout input, output;
        FrameCoder coder;
    } paths[] = {{"YUY2 -> HUFY -> YUY2", PixelLayout::Yuy2, PixelLayout::Yuy2, FrameCoder::Huffman},
                 {"YUY2 -> LZYV -> YUY2", PixelLayout::Yuy2, PixelLayout::Yuy2, FrameCoder::Deflate},
                 {"RGB24 -> HUFY -> RGB24", PixelLayout::Rgb24, PixelLayout::Rgb24, FrameCoder::Huffman},
                 {"HUFY -> RGB32", PixelLayout::Rgb24, PixelLayout::Rgb32, FrameCoder::Huffman}};
    for (const Path& path : paths) {
        const auto formatOf = [](PixelLayout layout) {
            return FrameFormat{Width, Height, layout, IsPacked(layout) ? RowOrder::TopDown : RowOrder::BottomUp};
        };
        const FrameFormat input = formatOf(path.input), output = formatOf(path.output);
        const Bytes& source = IsPacked(path.input) ? yuy2 : rgb;
        const std::size_t sourceBytes = RawPictureBytes(input);
        std::vector<Bytes> coded(frames, Bytes(WorstCaseFrameSize(Width, Height)));
        std::vector<std::size_t> sizes(frames);
        auto compress = [&](std::size_t f) {
            CompressFrame(picture, input, source.data() + f * sourceBytes, sourceBytes, path.coder, coded[f].data(),
                          coded[f].size(), &sizes[f]);
        };
        uint64_t total = 0;
        for (std::size_t f = 0; f < frames; ++f) {
            compress(f);
            total += sizes[f];
        }
        std::printf("%-24s ratio %.3f\n", path.name, double(total) / double(frames * packedBytes));
        if (path.output != PixelLayout::Rgb32)
            Report("  compress", Measure(seconds, frames, packedBytes, compress), packedBytes);
        Report("  decompress", Measure(seconds, frames, packedBytes, [&](std::size_t f) {
                   DecompressFrame(picture, coded[f].data(), sizes[f], output, rgbOut.data(), rgbOut.size());
               }), packedBytes);
    }
    ReleasePlanarPicture(picture);
    return 0;
}
