// Writes the seed corpora of the fuzz targets into DIRECTORY/<target>/:
// small valid inputs of every kind and damaged variants of them. The files
// are committed in fuzz/corpus; run this again when an input layout changes.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "fuzz_driver.h"
#include "huffman/huffman.h"

namespace {
using Bytes = std::vector<uint8_t>;
std::filesystem::path root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes)
{
    std::filesystem::create_directories(root / target);
    std::ofstream(root / target / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                                std::streamsize(bytes.size()));
}

Bytes Picture(std::size_t size, int kind, uint32_t seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        switch (kind) {
        case 0: bytes[i] = uint8_t(random()); break;               // incompressible
        case 1: bytes[i] = uint8_t(i * 7 / 5 + (random() & 3)); break; // gradient with noise
        default: bytes[i] = 0x80; break;                           // flat
        }
    }
    return bytes;
}

// One frame of `picture` (packed YUY2) through DriverProc.
Bytes CompressYuy2(const Bytes& picture, uint32_t width, uint32_t height, DWORD quality)
{
    const DWORD_PTR driver = OpenDriver();
    BITMAPINFOHEADER raw = MakeHeader(width, height, {FourccYUY2, 16, false});
    BITMAPINFOHEADER compressed = MakeCompressedHeader(width, LONG(height), 0);
    Bytes frame(std::size_t(Send(driver, ICM_COMPRESS_GET_SIZE, &raw, &compressed)));
    Send(driver, ICM_COMPRESS_BEGIN, &raw, &compressed);
    ICCOMPRESS record{};
    record.lpbiInput = &raw;
    record.lpInput = const_cast<uint8_t*>(picture.data());
    record.lpbiOutput = &compressed;
    record.lpOutput = frame.data();
    record.dwQuality = quality;
    if (Send(driver, ICM_COMPRESS, &record) != ICERR_OK) std::abort();
    CloseDriver(driver);
    frame.resize(compressed.biSizeImage);
    return frame;
}

Bytes Concatenate(Bytes front, const Bytes& back)
{
    front.insert(front.end(), back.begin(), back.end());
    return front;
}

void HuffmanSeeds()
{
    const std::size_t lengths[] = {0, 1, 6, 64, 700};
    int n = 0;
    for (std::size_t length : lengths) {
        for (int kind = 0; kind < 3; ++kind) {
            if (length == 0 && kind > 0) continue;
            Bytes source = Picture(length, kind, uint32_t(length * 3 + kind));
            Bytes stream(length + HuffmanMaxOverhead);
            std::size_t written = 0;
            HuffmanEncode(source.data(), uint32_t(length), stream.data(), stream.size(), &written);
            stream.resize(written);
            const uint16_t room = uint16_t(length + (kind == 1 ? 9 : 0));
            Write("huffman_decode", "valid-" + std::to_string(n++), Concatenate({uint8_t(room), uint8_t(room >> 8)}, stream));
            if (length == 64 && kind == 1) {
                Bytes cut(stream.begin(), stream.end() - 3);
                Write("huffman_decode", "truncated", Concatenate({uint8_t(room), 0}, cut));
                Bytes flipped = stream;
                flipped[7] ^= 0x10;
                Write("huffman_decode", "flipped-weight", Concatenate({uint8_t(room), 0}, flipped));
                flipped = stream;
                flipped[stream.size() / 2] ^= 0x01;
                Write("huffman_decode", "flipped-code", Concatenate({uint8_t(room), 0}, flipped));
                Write("huffman_decode", "small-destination", Concatenate({uint8_t(length - 1), 0}, stream));
            }
        }
    }
}

void DecompressSeeds()
{
    struct Case {
        uint32_t width, height;
        int kind;
        DWORD quality;
        uint8_t mode;
    };
    const Case cases[] = {
        {2, 1, 0, 0, 0},      {4, 3, 1, 0, 1},       {8, 8, 0, 0, 2},      {16, 4, 1, 10000, 3},
        {6, 5, 2, 0, 4 | 8},  {10, 6, 1, 10000, 5}, {12, 12, 0, 10000, 8}, {20, 9, 1, 0, 2 | 16},
    };
    int n = 0;
    for (const Case& c : cases) {
        Bytes picture = Picture(std::size_t(c.width) * c.height * 2, c.kind, n + 1);
        Bytes frame = CompressYuy2(picture, c.width, c.height, c.quality);
        const Bytes prefix = {c.mode, uint8_t(c.width - 2), uint8_t(c.height - 1)};
        Write("driver_decompress", "valid-" + std::to_string(n), Concatenate(prefix, frame));
        if (n % 2 == 0) {
            Bytes cut(frame.begin(), frame.end() - 1 - frame.size() / 3);
            Write("driver_decompress", "truncated-" + std::to_string(n), Concatenate(prefix, cut));
        } else {
            Bytes flipped = frame;
            flipped[FrameHeaderSize + (flipped.size() - FrameHeaderSize) / 2] ^= 0x40;
            Write("driver_decompress", "flipped-" + std::to_string(n), Concatenate(prefix, flipped));
        }
        ++n;
    }
    Bytes picture = Picture(8 * 4 * 2, 1, 99);
    Bytes frame = CompressYuy2(picture, 8, 4, 0);
    frame[0] ^= 1;
    Write("driver_decompress", "unknown-tag", Concatenate({0, 6, 3}, frame));
    frame = CompressYuy2(picture, 8, 4, 0);
    frame[4] = 0xFF;
    frame[5] = 0xFF;
    Write("driver_decompress", "long-payload", Concatenate({0, 6, 3}, frame));
    Write("driver_decompress", "header-only", {0, 6, 3, 'Y', 'F', 'U', 'H', 0, 0, 0, 0});
}

void RoundTripSeeds()
{
    // format, quality selector, width - 2, height - 1, content
    const Bytes cases[] = {
        {0, 0, 0, 0, 1, 2, 3, 4},
        {1, 1, 6, 3, 9, 200, 31, 7, 0, 0, 0, 255},
        {2, 2, 3, 2, 10, 20, 30, 40, 50},
        {3, 3, 9, 7, 255, 0},
        {0, 4, 14, 5},
        {2, 250, 1, 1, 0x10, 0x27, 0, 0, 255, 1, 2},
    };
    int n = 0;
    for (const Bytes& c : cases) Write("round_trip", "case-" + std::to_string(n++), c);
    Bytes noisy = {1, 0, 30, 20};
    Bytes content = Picture(600, 0, 5);
    Write("round_trip", "noise", Concatenate(noisy, content));
    Bytes rgb = {3, 3, 15, 11};
    Write("round_trip", "rgb-gradient", Concatenate(rgb, Picture(300, 1, 6)));
}

void MessageSeeds()
{
    for (int n = 0; n < 6; ++n) Write("messages", "random-" + std::to_string(n), Picture(64 << n, 0, 100 + n));
    Write("messages", "zeros", Bytes(512, 0));
}
} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIRECTORY\n");
        return 2;
    }
    root = argv[1];
    HuffmanSeeds();
    DecompressSeeds();
    RoundTripSeeds();
    MessageSeeds();
    return 0;
}
