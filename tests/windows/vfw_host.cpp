// A Video for Windows application that proves kestrun.dll through the
// platform's own codec manager and AVI file services: installs the codec,
// negotiates formats, compresses and decompresses real frames, writes an AVI
// through a KSHA-compressed stream and reads it back through the decoder, and
// drives the About box through the real dialog manager.
//
//   vfw_host --dll PATH --dir DIR --size WxH --frames N [--registry]
//
// DIR holds yuy2.raw, uyvy.raw and rgb24.raw (N frames each, as DIBs). The
// host writes there what the test script compares with the Linux build:
//   <fmt>-q<quality>.frames   compressed frames back to back
//   rgb24-q<quality>.decoded  those frames decoded to RGB24 by the DLL
//   kestrun-rgb24.avi         RGB24 compressed by a KSHA AVI stream
//   kestrun-rgb24.avi.frames  its chunks as read back
//   kestrun-yuy2.avi          the YUY2 frames above, stored as they are
// --registry: the codec is found through its Drivers32 value, which the
// caller set; the open, the information block and one frame are checked,
// then the paths hosts take: ICInfo's enumeration, ICLocate and
// ICGetDisplayFormat, and sequence compression (ICSeqCompressFrame*) of
// yuy2 and rgb24 at qualities 5000 and 7000, written as
//   <fmt>-seq-q<quality>.frames
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <mmsystem.h>
#include <vfw.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const DWORD FourccKSHA = mmioFOURCC('K', 'S', 'H', 'A');
const DWORD FourccYUY2 = mmioFOURCC('Y', 'U', 'Y', '2');
const DWORD FourccUYVY = mmioFOURCC('U', 'Y', 'V', 'Y');

// Qualities either side of the coder switch at 6000.
const DWORD HuffmanQuality = 5500;
const DWORD DeflateQuality = 9000;

const char AboutCaption[] = "About KHACodec";
const char AboutDetails[] =
    "How it works:\n\n"
    "This codec first converts video to UYVY format, which is slightly lossy.  "
    "This format is the most common \"raw\" storage format for digital video and capture cards, however, "
    "and maintains more precision than most lossy codecs.  "
    "After conversion to UYVY, the image is passed through a lossless 2D transform, "
    "followed by a custom huffman encoder.";
static_assert(sizeof(AboutDetails) - 1 == 357, "the About details text is 357 characters");

int passed = 0;
int failed = 0;

void Check(bool ok, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", text);
        std::fflush(stdout);
    }
}

struct Options {
    std::string dll;
    std::string dir;
    LONG width = 0;
    LONG height = 0;
    int frames = 0;
    bool registry = false;
};

struct Format {
    const char* name;
    DWORD compression;
    WORD bitCount;
};

const Format Formats[] = {{"yuy2", mmioFOURCC('Y', 'U', 'Y', '2'), 16},
                          {"uyvy", mmioFOURCC('U', 'Y', 'V', 'Y'), 16},
                          {"rgb24", BI_RGB, 24}};

BITMAPINFOHEADER Header(LONG width, LONG height, WORD bitCount, DWORD compression)
{
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = bitCount;
    h.biCompression = compression;
    h.biSizeImage = DWORD(width * (height < 0 ? -height : height) * (bitCount / 8));
    return h;
}

std::string Path(const Options& o, const std::string& name) { return o.dir + "\\" + name; }

bool ReadFile(const std::string& path, Bytes& bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::fseek(f, 0, SEEK_END);
    long size = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    bytes.resize(size_t(size));
    bool ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    std::fclose(f);
    return ok;
}

bool WriteFile(const std::string& path, const Bytes& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string Narrow(const WCHAR* text)
{
    std::string s;
    for (; *text; ++text) s += *text < 128 ? char(*text) : '?';
    return s;
}

// Index of the first differing byte, or -1.
long long FirstDifference(const uint8_t* a, const uint8_t* b, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return (long long)i;
    return -1;
}

// The codec answers directly through its export as well, so what the codec
// manager passes on can be told apart from what it adds.
void CheckModule(const Options& o)
{
    HMODULE module = LoadLibraryA(o.dll.c_str());
    Check(module != nullptr, "LoadLibrary(%s) failed: %lu", o.dll.c_str(), GetLastError());
    if (!module) return;
    FARPROC byName = GetProcAddress(module, "DriverProc");
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(1));
    Check(byName != nullptr, "DriverProc is exported by name");
    Check(byName == byOrdinal, "ordinal 1 is DriverProc");

    HRSRC resource = FindResourceExA(module, MAKEINTRESOURCEA(5), MAKEINTRESOURCEA(102),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    Check(resource != nullptr, "dialog resource 102, language 1033, is in the module");
    if (resource) {
        const WORD* words = static_cast<const WORD*>(LockResource(LoadResource(module, resource)));
        // An extended template starts with version 1 and signature 0xFFFF.
        Check(words && words[0] == 1 && words[1] == 0xFFFF, "resource 102 is an extended dialog template");
    }

    typedef LRESULT(WINAPI * DriverProcType)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
    DriverProcType proc = reinterpret_cast<DriverProcType>(reinterpret_cast<void*>(byName));
    if (proc) {
        // Answers the manager hides or never asks for.
        Check(proc(0, nullptr, DRV_QUERYCONFIGURE, 0, 0) == 0, "DRV_QUERYCONFIGURE answers 0");
        Check(proc(0, nullptr, DRV_CONFIGURE, 0, 0) == -1, "DRV_CONFIGURE answers -1");
        Check(proc(0, nullptr, ICM_USER, 0, 0) == ICERR_UNSUPPORTED, "message 0x4000 is unsupported");
        ICOPEN open{};
        open.dwSize = sizeof open;
        open.fccType = mmioFOURCC('a', 'u', 'd', 'c');
        open.dwError = 12345;
        Check(proc(0, nullptr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open)) == 0 && open.dwError == 12345,
              "an open for another driver type is refused and dwError left alone");
        LRESULT id = proc(0, nullptr, DRV_OPEN, 0, 0);
        Check(id != 0, "DRV_OPEN without ICOPEN makes an instance");
        if (id) {
            ICINFO info{};
            info.dwSize = 77;
            LRESULT result = proc(DWORD_PTR(id), nullptr, ICM_GETINFO, reinterpret_cast<LPARAM>(&info), sizeof info + 3);
            Check(result == LRESULT(sizeof info + 3) && info.dwSize == 77,
                  "ICM_GETINFO answers the size given (%lld) and leaves dwSize", (long long)result);
            Check(proc(DWORD_PTR(id), nullptr, DRV_CLOSE, 0, 0) == 1, "DRV_CLOSE answers 1");
        }
    }
    FreeLibrary(module);
}

void CheckInformation(HIC hic)
{
    ICINFO info{};
    info.dwSize = sizeof info;
    LRESULT size = ICGetInfo(hic, &info, sizeof info);
    Check(size == LRESULT(sizeof info), "ICGetInfo answers %lld", (long long)size);
    Check(info.fccType == ICTYPE_VIDEO, "fccType is vidc");
    Check(info.fccHandler == FourccKSHA, "fccHandler is KSHA (0x%08lx)", (unsigned long)info.fccHandler);
    Check(info.dwFlags == (VIDCF_QUALITY | VIDCF_COMPRESSFRAMES), "flags are 9, not %lu", (unsigned long)info.dwFlags);
    Check(info.dwVersion == 0x10000, "version 0x10000");
    Check(info.dwVersionICM == ICVERSION, "ICM version 0x104");
    Check(Narrow(info.szName) == "Kestrun Arc", "name is \"%s\"", Narrow(info.szName).c_str());
    Check(Narrow(info.szDescription) == "Kestrun Archive Codec", "description is \"%s\"",
          Narrow(info.szDescription).c_str());
}

void CheckQualities(HIC hic)
{
    DWORD value = 0;
    Check(ICSendMessage(hic, ICM_GETDEFAULTQUALITY, DWORD_PTR(&value), 0) == ICERR_OK && value == 5500,
          "default quality 5500, got %lu", (unsigned long)value);
    value = 0;
    Check(ICSendMessage(hic, ICM_GETQUALITY, DWORD_PTR(&value), 0) == ICERR_OK && value == 9000,
          "quality after open 9000, got %lu", (unsigned long)value);
    DWORD high = 12345;
    Check(ICSendMessage(hic, ICM_SETQUALITY, DWORD_PTR(&high), 0) == ICERR_OK, "ICM_SETQUALITY");
    value = 0;
    ICSendMessage(hic, ICM_GETQUALITY, DWORD_PTR(&value), 0);
    Check(value == 12345, "quality above 10000 is kept, got %lu", (unsigned long)value);
    DWORD rate = 0;
    Check(ICSendMessage(hic, ICM_GETDEFAULTKEYFRAMERATE, DWORD_PTR(&rate), 0) == ICERR_OK && rate == 1,
          "every frame is a key frame");
    Check(ICQueryAbout(hic), "ICQueryAbout: there is an About box");
    Check(!ICQueryConfigure(hic), "ICQueryConfigure: there is no configuration dialog");
}

// Compresses every frame of one input through ICCompress. Returns the
// frames back to back, as the Linux tool writes them.
bool CompressAll(HIC hic, const Options& o, const Format& format, const Bytes& raw, DWORD quality, Bytes& stream,
                 std::vector<Bytes>& frames)
{
    BITMAPINFOHEADER input = Header(o.width, o.height, format.bitCount, format.compression);
    const size_t frameBytes = input.biSizeImage;

    Check(ICCompressQuery(hic, &input, nullptr) == ICERR_OK, "%s: ICCompressQuery(input)", format.name);
    LRESULT formatSize = ICCompressGetFormatSize(hic, &input);
    Check(formatSize >= LRESULT(sizeof(BITMAPINFOHEADER)), "%s: ICCompressGetFormatSize answers %lld", format.name,
          (long long)formatSize);
    if (formatSize < LRESULT(sizeof(BITMAPINFOHEADER))) return false;
    std::vector<uint8_t> outputBlock(size_t(formatSize) + 16);
    BITMAPINFOHEADER* output = reinterpret_cast<BITMAPINFOHEADER*>(outputBlock.data());
    Check(ICCompressGetFormat(hic, &input, output) == ICERR_OK, "%s: ICCompressGetFormat", format.name);
    Check(output->biCompression == FourccKSHA && output->biWidth == o.width && output->biHeight == o.height,
          "%s: proposed output is KSHA %ldx%ld, got 0x%08lx %ldx%ld", format.name, (long)o.width, (long)o.height,
          (unsigned long)output->biCompression, (long)output->biWidth, (long)output->biHeight);
    Check(ICCompressQuery(hic, &input, output) == ICERR_OK, "%s: ICCompressQuery(input, output)", format.name);
    LRESULT worst = ICCompressGetSize(hic, &input, output);
    Check(worst > LRESULT(8), "%s: ICCompressGetSize answers %lld", format.name, (long long)worst);
    if (worst <= 8) return false;

    // A refusal: 8-bit input is not compressible.
    BITMAPINFOHEADER eight = Header(o.width, o.height, 8, BI_RGB);
    Check(ICCompressQuery(hic, &eight, nullptr) == ICERR_BADFORMAT, "8-bit RGB is refused");

    Check(ICCompressBegin(hic, &input, output) == ICERR_OK, "%s: ICCompressBegin", format.name);
    Bytes buffer(static_cast<size_t>(worst));
    for (int f = 0; f < o.frames; ++f) {
        DWORD ckid = 0, flags = 0;
        output->biSizeImage = DWORD(worst);
        DWORD result = ICCompress(hic, ICCOMPRESS_KEYFRAME, output, buffer.data(), &input,
                                  const_cast<uint8_t*>(raw.data() + f * frameBytes), &ckid, &flags, f, 0, quality,
                                  nullptr, nullptr);
        Check(result == ICERR_OK, "%s q%lu frame %d: ICCompress answers %ld", format.name, (unsigned long)quality, f,
              (long)result);
        Check((flags & AVIIF_KEYFRAME) != 0, "%s frame %d is a key frame", format.name, f);
        Check(output->biSizeImage > 8 && LRESULT(output->biSizeImage) <= worst, "%s frame %d: size %lu within %lld",
              format.name, f, (unsigned long)output->biSizeImage, (long long)worst);
        if (result != ICERR_OK || output->biSizeImage > buffer.size()) return false;
        // The tag chosen by quality: HUFY below 6000, LZYV from there.
        const char* tag = quality < 6000 ? "YFUH" : "VYZL";
        Check(std::memcmp(buffer.data(), tag, 4) == 0, "%s frame %d: tag for quality %lu", format.name, f,
              (unsigned long)quality);
        frames.emplace_back(buffer.begin(), buffer.begin() + output->biSizeImage);
        stream.insert(stream.end(), frames.back().begin(), frames.back().end());
    }
    Check(ICCompressEnd(hic) == ICERR_OK, "%s: ICCompressEnd", format.name);
    Check(ICCompressEnd(hic) == ICERR_OK, "%s: a second ICCompressEnd", format.name);
    return true;
}

struct RoundTrip {
    Bytes decoded;       // through ICDecompress, in the input's format
    Bytes decodedEx;     // through ICDecompressEx, same format
    Bytes topDownEx;     // RGB only: ICDecompressEx into a top-down RGB24 DIB
};

void DecompressAll(HIC hic, const Options& o, const Format& format, const std::vector<Bytes>& frames, RoundTrip& trip)
{
    BITMAPINFOHEADER compressed = Header(o.width, o.height, 16, FourccKSHA);
    BITMAPINFOHEADER output = Header(o.width, o.height, format.bitCount, format.compression);
    const size_t frameBytes = output.biSizeImage;

    Check(ICDecompressQuery(hic, &compressed, nullptr) == ICERR_OK, "%s: ICDecompressQuery(KSHA)", format.name);
    Check(ICDecompressQuery(hic, &compressed, &output) == ICERR_OK, "%s: ICDecompressQuery(KSHA, %s)", format.name,
          format.name);
    LRESULT proposalSize = ICDecompressGetFormatSize(hic, &compressed);
    Check(proposalSize >= LRESULT(sizeof(BITMAPINFOHEADER)), "%s: ICDecompressGetFormatSize %lld", format.name,
          (long long)proposalSize);
    std::vector<uint8_t> proposalBlock(size_t(proposalSize > 0 ? proposalSize : 0) + 64);
    BITMAPINFOHEADER* proposal = reinterpret_cast<BITMAPINFOHEADER*>(proposalBlock.data());
    Check(ICDecompressGetFormat(hic, &compressed, proposal) == ICERR_OK && proposal->biWidth == o.width &&
              (proposal->biHeight == o.height || proposal->biHeight == -o.height),
          "%s: ICDecompressGetFormat proposes the picture size", format.name);
    Check(ICDecompressQuery(hic, &compressed, proposal) == ICERR_OK, "%s: the proposal is accepted", format.name);

    Check(ICDecompressBegin(hic, &compressed, &output) == ICERR_OK, "%s: ICDecompressBegin", format.name);
    trip.decoded.assign(frames.size() * frameBytes, 0);
    for (size_t f = 0; f < frames.size(); ++f) {
        compressed.biSizeImage = DWORD(frames[f].size());
        DWORD result = ICDecompress(hic, 0, &compressed, const_cast<uint8_t*>(frames[f].data()), &output,
                                    trip.decoded.data() + f * frameBytes);
        Check(result == ICERR_OK, "%s frame %zu: ICDecompress answers %ld", format.name, f, (long)result);
    }
    Check(ICDecompressEnd(hic) == ICERR_OK, "%s: ICDecompressEnd", format.name);

    const LONG w = o.width, h = o.height;
    Check(ICDecompressExQuery(hic, 0, &compressed, nullptr, 0, 0, w, h, &output, nullptr, 0, 0, w, h) == ICERR_OK,
          "%s: ICDecompressExQuery", format.name);
    Check(ICDecompressExBegin(hic, 0, &compressed, nullptr, 0, 0, w, h, &output, nullptr, 0, 0, w, h) == ICERR_OK,
          "%s: ICDecompressExBegin", format.name);
    trip.decodedEx.assign(frames.size() * frameBytes, 0);
    for (size_t f = 0; f < frames.size(); ++f) {
        compressed.biSizeImage = DWORD(frames[f].size());
        LRESULT result = ICDecompressEx(hic, 0, &compressed, const_cast<uint8_t*>(frames[f].data()), 0, 0, w, h,
                                        &output, trip.decodedEx.data() + f * frameBytes, 0, 0, w, h);
        Check(result == ICERR_OK, "%s frame %zu: ICDecompressEx answers %lld", format.name, f, (long long)result);
    }
    Check(ICDecompressExEnd(hic) == ICERR_OK, "%s: ICDecompressExEnd", format.name);

    if (format.compression == BI_RGB) {
        BITMAPINFOHEADER topDown = Header(w, -h, 24, BI_RGB);
        Check(ICDecompressExBegin(hic, 0, &compressed, nullptr, 0, 0, w, h, &topDown, nullptr, 0, 0, w, h) ==
                  ICERR_OK,
              "ICDecompressExBegin into top-down RGB24");
        trip.topDownEx.assign(frameBytes, 0);
        compressed.biSizeImage = DWORD(frames[0].size());
        Check(ICDecompressEx(hic, 0, &compressed, const_cast<uint8_t*>(frames[0].data()), 0, 0, w, h, &topDown,
                             trip.topDownEx.data(), 0, 0, w, h) == ICERR_OK,
              "ICDecompressEx into top-down RGB24");
        ICDecompressExEnd(hic);
    }
}

// Largest and mean absolute difference between two pictures.
void Differences(const Bytes& a, const Bytes& b, int& largest, double& mean)
{
    largest = 0;
    long long total = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        int d = std::abs(int(a[i]) - int(b[i]));
        total += d;
        if (d > largest) largest = d;
    }
    mean = a.empty() ? 0 : double(total) / double(a.size());
}

// What the codec-manager run produced, for the AVI checks to compare with.
struct Results {
    std::vector<Bytes> yuy2Huffman;  // YUY2 frames compressed at HuffmanQuality
    Bytes rgb24HuffmanDecoded;       // RGB24 frames at HuffmanQuality, decoded
};

void CheckCodecManager(const Options& o, Results& results, int& framesCompared)
{
    HIC compressor = ICOpen(ICTYPE_VIDEO, FourccKSHA, ICMODE_COMPRESS);
    Check(compressor != nullptr, "ICOpen(vidc, KSHA, compress)");
    HIC decompressor = ICOpen(ICTYPE_VIDEO, FourccKSHA, ICMODE_DECOMPRESS);
    Check(decompressor != nullptr, "ICOpen(vidc, KSHA, decompress)");
    if (!compressor || !decompressor) return;
    CheckInformation(compressor);
    CheckQualities(compressor);

    for (const Format& format : Formats) {
        Bytes raw;
        Check(ReadFile(Path(o, std::string(format.name) + ".raw"), raw), "read %s.raw", format.name);
        const size_t frameBytes = size_t(o.width) * size_t(o.height) * (format.bitCount / 8);
        Check(raw.size() == frameBytes * size_t(o.frames), "%s.raw holds %d frames", format.name, o.frames);
        if (raw.size() != frameBytes * size_t(o.frames)) continue;

        for (DWORD quality : {HuffmanQuality, DeflateQuality}) {
            Bytes stream;
            std::vector<Bytes> frames;
            if (!CompressAll(compressor, o, format, raw, quality, stream, frames)) continue;
            std::string stem = std::string(format.name) + "-q" + std::to_string(quality);
            Check(WriteFile(Path(o, stem + ".frames"), stream), "write %s.frames", stem.c_str());

            RoundTrip trip;
            DecompressAll(decompressor, o, format, frames, trip);
            if (quality == HuffmanQuality && format.compression == FourccYUY2) results.yuy2Huffman = frames;
            if (quality == HuffmanQuality && format.compression == BI_RGB) results.rgb24HuffmanDecoded = trip.decoded;
            Check(trip.decoded == trip.decodedEx, "%s: ICDecompress and ICDecompressEx agree", stem.c_str());
            if (format.compression != BI_RGB) {
                long long at = FirstDifference(trip.decoded.data(), raw.data(), raw.size());
                Check(trip.decoded.size() == raw.size() && at < 0, "%s: lossless round trip (first difference at %lld)",
                      stem.c_str(), at);
                framesCompared += o.frames;
            } else {
                // RGB goes through 4:2:2 and back: close, not equal. The exact
                // bytes are compared with the Linux build's by the script.
                int largest = 0;
                double mean = 0;
                Differences(trip.decoded, raw, largest, mean);
                std::printf("%s: RGB round trip largest difference %d, mean %.3f\n", stem.c_str(), largest, mean);
                Check(mean < 2.0, "%s: RGB round trip mean difference %.3f", stem.c_str(), mean);
                Check(WriteFile(Path(o, stem + ".decoded"), trip.decoded), "write %s.decoded", stem.c_str());
                // Row r of the top-down picture is row height-1-r of the bottom-up one.
                const size_t row = size_t(o.width) * 3;
                bool flipped = trip.topDownEx.size() == row * size_t(o.height);
                for (LONG r = 0; flipped && r < o.height; ++r)
                    flipped = std::memcmp(trip.topDownEx.data() + r * row,
                                          trip.decoded.data() + (o.height - 1 - r) * row, row) == 0;
                Check(flipped, "top-down RGB24 output is the bottom-up output upside down");
                framesCompared += o.frames;
            }
        }
    }
    Check(ICClose(compressor) == ICERR_OK, "ICClose(compressor)");
    Check(ICClose(decompressor) == ICERR_OK, "ICClose(decompressor)");
}

// One AVI through the AVIFile interface. With `source` the frames are
// compressed on the way in by a KSHA stream from AVIMakeCompressedStream;
// otherwise `chunks` are stored as they are, the way a program that compresses
// by itself writes them.
void WriteAvi(const Options& o, const std::string& file, const BITMAPINFOHEADER* source, const Bytes& raw,
              const std::vector<Bytes>& chunks)
{
    DeleteFileA(file.c_str());
    PAVIFILE avi = nullptr;
    HRESULT hr = AVIFileOpenA(&avi, file.c_str(), OF_WRITE | OF_CREATE, nullptr);
    Check(hr == AVIERR_OK, "AVIFileOpen(%s) for writing: 0x%08lx", file.c_str(), (unsigned long)hr);
    if (hr != AVIERR_OK) return;
    AVISTREAMINFOA info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = FourccKSHA;
    info.dwScale = 1;
    info.dwRate = 25;
    SetRect(&info.rcFrame, 0, 0, o.width, o.height);
    PAVISTREAM stream = nullptr;
    hr = AVIFileCreateStreamA(avi, &stream, &info);
    Check(hr == AVIERR_OK && stream, "AVIFileCreateStream: 0x%08lx", (unsigned long)hr);
    if (stream && source) {
        AVICOMPRESSOPTIONS options{};
        options.fccType = streamtypeVIDEO;
        options.fccHandler = FourccKSHA;
        options.dwKeyFrameEvery = 1;
        options.dwQuality = HuffmanQuality;
        options.dwFlags = AVICOMPRESSF_VALID | AVICOMPRESSF_KEYFRAMES;
        PAVISTREAM compressed = nullptr;
        hr = AVIMakeCompressedStream(&compressed, stream, &options, nullptr);
        Check(hr == AVIERR_OK && compressed, "AVIMakeCompressedStream(KSHA): 0x%08lx", (unsigned long)hr);
        if (compressed) {
            hr = AVIStreamSetFormat(compressed, 0, const_cast<BITMAPINFOHEADER*>(source), sizeof *source);
            Check(hr == AVIERR_OK, "AVIStreamSetFormat on the KSHA stream: 0x%08lx", (unsigned long)hr);
            const size_t frameBytes = source->biSizeImage;
            for (int f = 0; f < o.frames && hr == AVIERR_OK; ++f) {
                LONG samples = 0, bytes = 0;
                // Wine's compressing stream swaps the two counts it reports
                // (bytes = 1, samples = the byte count): neither is checked.
                hr = AVIStreamWrite(compressed, f, 1, const_cast<uint8_t*>(raw.data() + f * frameBytes),
                                    LONG(frameBytes), AVIIF_KEYFRAME, &samples, &bytes);
                Check(hr == AVIERR_OK, "AVIStreamWrite frame %d: 0x%08lx", f, (unsigned long)hr);
            }
            AVIStreamRelease(compressed);
        }
    } else if (stream) {
        BITMAPINFOHEADER format = Header(o.width, o.height, 16, FourccKSHA);
        hr = AVIStreamSetFormat(stream, 0, &format, sizeof format);
        Check(hr == AVIERR_OK, "AVIStreamSetFormat(KSHA): 0x%08lx", (unsigned long)hr);
        for (size_t f = 0; f < chunks.size() && hr == AVIERR_OK; ++f) {
            hr = AVIStreamWrite(stream, LONG(f), 1, const_cast<uint8_t*>(chunks[f].data()), LONG(chunks[f].size()),
                                AVIIF_KEYFRAME, nullptr, nullptr);
            Check(hr == AVIERR_OK, "AVIStreamWrite chunk %zu: 0x%08lx", f, (unsigned long)hr);
        }
    }
    if (stream) AVIStreamRelease(stream);
    AVIFileRelease(avi);
}

// Reads an AVI back: its stored chunks (returned) and its frames decoded by
// the codec into `wanted`, which must equal `expected` frame by frame.
void ReadAvi(const Options& o, const std::string& file, const BITMAPINFOHEADER& wanted, const Bytes& expected,
             Bytes& chunks, int& framesCompared)
{
    PAVIFILE avi = nullptr;
    HRESULT hr = AVIFileOpenA(&avi, file.c_str(), OF_READ, nullptr);
    Check(hr == AVIERR_OK, "AVIFileOpen(%s) for reading: 0x%08lx", file.c_str(), (unsigned long)hr);
    if (hr != AVIERR_OK) return;
    PAVISTREAM stream = nullptr;
    hr = AVIFileGetStream(avi, &stream, streamtypeVIDEO, 0);
    Check(hr == AVIERR_OK && stream, "AVIFileGetStream(video): 0x%08lx", (unsigned long)hr);
    if (stream) {
        AVISTREAMINFOA read{};
        AVIStreamInfoA(stream, &read, sizeof read);
        Check(read.fccHandler == FourccKSHA, "stream handler is KSHA (0x%08lx)", (unsigned long)read.fccHandler);
        LONG length = AVIStreamLength(stream);
        Check(length == o.frames, "stream length %ld", (long)length);

        BITMAPINFOHEADER format{};
        LONG formatSize = sizeof format;
        AVIStreamReadFormat(stream, 0, &format, &formatSize);
        Check(format.biCompression == FourccKSHA && format.biWidth == o.width && format.biHeight == o.height,
              "stream format is KSHA %ldx%ld", (long)format.biWidth, (long)format.biHeight);

        for (LONG f = 0; f < length; ++f) {
            LONG bytes = 0, samples = 0;
            AVIStreamRead(stream, f, 1, nullptr, 0, &bytes, &samples);
            Bytes chunk(static_cast<size_t>(bytes > 0 ? bytes : 0));
            hr = AVIStreamRead(stream, f, 1, chunk.data(), bytes, &bytes, &samples);
            Check(hr == AVIERR_OK && bytes > 8, "AVIStreamRead frame %ld: %ld bytes", (long)f, (long)bytes);
            Check(AVIStreamIsKeyFrame(stream, f), "frame %ld is a key frame in the index", (long)f);
            chunks.insert(chunks.end(), chunk.begin(), chunk.end());
        }

        // The codec manager finds KSHA for the stream and decodes through it.
        PGETFRAME getFrame = AVIStreamGetFrameOpen(stream, const_cast<BITMAPINFOHEADER*>(&wanted));
        Check(getFrame != nullptr, "AVIStreamGetFrameOpen(%s)", file.c_str());
        const size_t frameBytes = wanted.biSizeImage;
        if (getFrame) {
            for (LONG f = 0; f < length; ++f) {
                const BITMAPINFOHEADER* dib = static_cast<const BITMAPINFOHEADER*>(AVIStreamGetFrame(getFrame, f));
                Check(dib != nullptr, "AVIStreamGetFrame %ld", (long)f);
                if (!dib) continue;
                Check(dib->biCompression == wanted.biCompression && dib->biBitCount == wanted.biBitCount &&
                          dib->biWidth == o.width && dib->biHeight == wanted.biHeight,
                      "frame %ld comes back in the wanted format", (long)f);
                const uint8_t* bits = reinterpret_cast<const uint8_t*>(dib) + dib->biSize + dib->biClrUsed * 4;
                long long at = expected.size() >= (size_t(f) + 1) * frameBytes
                                   ? FirstDifference(bits, expected.data() + f * frameBytes, frameBytes)
                                   : 0;
                Check(at < 0, "%s frame %ld decodes as expected (first difference at %lld)", file.c_str(), (long)f, at);
                ++framesCompared;
            }
            AVIStreamGetFrameClose(getFrame);
        }
        AVIStreamRelease(stream);
    }
    AVIFileRelease(avi);
}

void CheckAviFiles(const Options& o, const Results& results, int& framesCompared)
{
    AVIFileInit();
    // RGB24 through a KSHA-compressed stream (Wine's compressing stream takes
    // RGB input only); read back, the frames are the codec's own RGB decode.
    Bytes rgb;
    if (ReadFile(Path(o, "rgb24.raw"), rgb)) {
        const std::string file = Path(o, "kestrun-rgb24.avi");
        BITMAPINFOHEADER source = Header(o.width, o.height, 24, BI_RGB);
        WriteAvi(o, file, &source, rgb, {});
        Bytes chunks;
        ReadAvi(o, file, source, results.rgb24HuffmanDecoded, chunks, framesCompared);
        Check(WriteFile(Path(o, "kestrun-rgb24.avi.frames"), chunks), "write kestrun-rgb24.avi.frames");
    }
    // YUY2 frames compressed by ICCompress, stored and decoded back to YUY2:
    // equal to the input, byte for byte.
    Bytes yuy2;
    if (ReadFile(Path(o, "yuy2.raw"), yuy2) && !results.yuy2Huffman.empty()) {
        const std::string file = Path(o, "kestrun-yuy2.avi");
        WriteAvi(o, file, nullptr, {}, results.yuy2Huffman);
        Bytes chunks, expected;
        for (const Bytes& frame : results.yuy2Huffman) expected.insert(expected.end(), frame.begin(), frame.end());
        ReadAvi(o, file, Header(o.width, o.height, 16, FourccYUY2), yuy2, chunks, framesCompared);
        Check(chunks == expected, "the YUY2 AVI stores the compressed frames unchanged");
    }
    AVIFileExit();
}

struct AboutRun {
    HIC hic;
    LRESULT result;
};

DWORD WINAPI RunAbout(LPVOID parameter)
{
    AboutRun* run = static_cast<AboutRun*>(parameter);
    run->result = ICAbout(run->hic, nullptr);
    return 0;
}

// The box is modal on its own thread; this thread plays the user.
void CheckAboutBox()
{
    HIC hic = ICOpen(ICTYPE_VIDEO, FourccKSHA, ICMODE_QUERY);
    Check(hic != nullptr, "ICOpen for the About box");
    if (!hic) return;
    AboutRun run{hic, 12345};
    HANDLE thread = CreateThread(nullptr, 0, RunAbout, &run, 0, nullptr);
    HWND dialog = nullptr;
    for (int i = 0; i < 400 && !dialog; ++i) {
        dialog = FindWindowA(nullptr, AboutCaption);
        if (!dialog) Sleep(50);
    }
    Check(dialog != nullptr, "a window captioned \"%s\" appears", AboutCaption);
    if (dialog) {
        char text[2048] = {};
        UINT length = GetDlgItemTextA(dialog, 1000, text, sizeof text);
        Check(length == 357 && std::strcmp(text, AboutDetails) == 0,
              "details control holds the 357-character text (got %u characters: \"%.60s...\")", length, text);
        char ok[16] = {};
        GetDlgItemTextA(dialog, IDOK, ok, sizeof ok);
        Check(std::strcmp(ok, "OK") == 0, "the OK button is there");

        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        SendMessageA(dialog, WM_CLOSE, 0, 0);
        Check(IsWindow(dialog) && WaitForSingleObject(thread, 200) == WAIT_TIMEOUT,
              "IDCANCEL and the close box leave the box open");

        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        Check(WaitForSingleObject(thread, 20000) == WAIT_OBJECT_0, "IDOK closes the box and ICAbout returns");
        Check(!IsWindow(dialog), "the box is gone");
        Check(run.result == ICERR_OK, "ICAbout answers ICERR_OK, got %lld", (long long)run.result);
    } else {
        // Leave no modal loop behind.
        TerminateThread(thread, 1);
    }
    CloseHandle(thread);
    ICClose(hic);
}

// --- The paths hosts take to an installed codec -------------------------------

// Capture programs list the codecs with ICInfo and show ICGetInfo's names.
void CheckEnumeration()
{
    bool listed = false;
    ICINFO info{};
    for (DWORD i = 0; ICInfo(ICTYPE_VIDEO, i, &info); ++i) {
        // The manager gives the handler as the registry value spells it.
        if (info.fccHandler != FourccKSHA && info.fccHandler != mmioFOURCC('k', 's', 'h', 'a')) continue;
        listed = true;
        HIC hic = ICOpen(ICTYPE_VIDEO, info.fccHandler, ICMODE_QUERY);
        Check(hic != nullptr, "the listed KSHA opens");
        if (hic) {
            CheckInformation(hic);
            ICClose(hic);
        }
    }
    Check(listed, "ICInfo's enumeration of vidc codecs lists KSHA");
}

std::string HandlerOf(HIC hic)
{
    ICINFO info{};
    info.dwSize = sizeof info;
    if (!hic || !ICGetInfo(hic, &info, sizeof info)) return "none";
    return Narrow(info.szName);
}

// Decodes one frame through `hic` into `format`; empty on failure.
Bytes DecodeOne(HIC hic, const BITMAPINFOHEADER& compressed, const Bytes& frame, const BITMAPINFOHEADER& format)
{
    BITMAPINFOHEADER in = compressed;
    BITMAPINFOHEADER out = format;
    in.biSizeImage = DWORD(frame.size());
    LONG rows = out.biHeight < 0 ? -out.biHeight : out.biHeight;
    Bytes picture(size_t(((out.biWidth * out.biBitCount / 8) + 3) & ~3) * size_t(rows));
    if (ICDecompressBegin(hic, &in, &out) != ICERR_OK) return {};
    DWORD result = ICDecompress(hic, 0, &in, const_cast<uint8_t*>(frame.data()), &out, picture.data());
    ICDecompressEnd(hic);
    return result == ICERR_OK ? picture : Bytes();
}

// Players find a decompressor with ICLocate and ask ICGetDisplayFormat for
// what to show; both must lead to KSHA and to pictures that decode.
void CheckLocate(const Options& o, const std::vector<Bytes>& frames, const Bytes& yuy2)
{
    if (frames.empty()) return;
    const BITMAPINFOHEADER compressed = Header(o.width, o.height, 16, FourccKSHA);
    const size_t frameBytes = size_t(o.width) * size_t(o.height) * 2;
    for (const Format& format : {Formats[0], Formats[2]}) {
        BITMAPINFOHEADER in = compressed;
        BITMAPINFOHEADER out = Header(o.width, o.height, format.bitCount, format.compression);
        HIC hic = ICLocate(ICTYPE_VIDEO, 0, &in, &out, ICMODE_DECOMPRESS);
        Check(HandlerOf(hic) == "Kestrun Arc", "ICLocate for KSHA to %s finds %s", format.name, HandlerOf(hic).c_str());
        if (!hic) continue;
        const Bytes picture = DecodeOne(hic, compressed, frames[0], out);
        Check(!picture.empty(), "the located codec decodes to %s", format.name);
        if (format.compression == FourccYUY2)
            Check(picture.size() == frameBytes && std::memcmp(picture.data(), yuy2.data(), frameBytes) == 0,
                  "the located codec gives the source's YUY2 picture");
        ICClose(hic);
    }

    BITMAPINFOHEADER in = compressed;
    std::vector<uint8_t> block(sizeof(BITMAPINFOHEADER) + 256 * sizeof(RGBQUAD));
    BITMAPINFOHEADER* shown = reinterpret_cast<BITMAPINFOHEADER*>(block.data());
    HIC hic = ICGetDisplayFormat(nullptr, &in, shown, 0, 0, 0);
    Check(HandlerOf(hic) == "Kestrun Arc", "ICGetDisplayFormat finds %s", HandlerOf(hic).c_str());
    if (!hic) return;
    std::printf("ICGetDisplayFormat proposes 0x%08lx, %u bits, %ldx%ld\n", (unsigned long)shown->biCompression,
                unsigned(shown->biBitCount), (long)shown->biWidth, (long)shown->biHeight);
    Check(shown->biWidth == o.width && (shown->biHeight == o.height || shown->biHeight == -o.height),
          "the display format has the picture's size");
    Check(ICDecompressQuery(hic, &in, shown) == ICERR_OK, "the display format is one the codec takes");
    Check(!DecodeOne(hic, compressed, frames[0], *shown).empty(), "a frame decodes into the display format");
    ICClose(hic);
}

// Capture programs compress through the sequence calls, which send the
// frames-info and quality messages before the frames. The frames are written
// as <fmt>-seq-q<quality>.frames for the script to compare with the tool's.
void CheckSequence(const Options& o)
{
    for (const Format& format : {Formats[0], Formats[2]}) {
        Bytes raw;
        if (!ReadFile(Path(o, std::string(format.name) + ".raw"), raw)) continue;
        BITMAPINFO input{};
        input.bmiHeader = Header(o.width, o.height, format.bitCount, format.compression);
        const size_t frameBytes = input.bmiHeader.biSizeImage;
        for (LONG quality : {5000L, 7000L}) {
            COMPVARS vars{};
            vars.cbSize = sizeof vars;
            vars.dwFlags = ICMF_COMPVARS_VALID;
            vars.fccType = ICTYPE_VIDEO;
            vars.fccHandler = FourccKSHA;
            vars.hic = ICOpen(ICTYPE_VIDEO, FourccKSHA, ICMODE_COMPRESS);
            vars.lQ = quality;
            vars.lKey = 1;
            const std::string stem = std::string(format.name) + "-seq-q" + std::to_string(quality);
            Check(vars.hic != nullptr, "%s: ICOpen for compression", stem.c_str());
            if (!vars.hic) continue;
            Bytes stream;
            const bool started = ICSeqCompressFrameStart(&vars, &input);
            Check(started, "%s: ICSeqCompressFrameStart", stem.c_str());
            for (int f = 0; started && f < o.frames; ++f) {
                BOOL key = FALSE;
                LONG size = LONG(frameBytes);
                const uint8_t* bits = static_cast<const uint8_t*>(
                    ICSeqCompressFrame(&vars, 0, const_cast<uint8_t*>(raw.data() + f * frameBytes), &key, &size));
                // Every frame is a key frame (ICCompress's flags say so, checked
                // above); what the sequence calls make of it is the manager's.
                Check(bits != nullptr && size > 8, "%s frame %d: %ld bytes", stem.c_str(), f, (long)size);
                if (f == 0) std::printf("%s: ICSeqCompressFrame reports key frame %d\n", stem.c_str(), int(key));
                if (bits && size > 0) stream.insert(stream.end(), bits, bits + size);
            }
            if (started) ICSeqCompressFrameEnd(&vars);
            ICCompressorFree(&vars);
            Check(WriteFile(Path(o, stem + ".frames"), stream), "write %s.frames", stem.c_str());
        }
    }
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--dll") o.dll = next();
        else if (a == "--dir") o.dir = next();
        else if (a == "--size") {
            std::string s = next();
            std::sscanf(s.c_str(), "%ldx%ld", &o.width, &o.height);
        } else if (a == "--frames") o.frames = std::atoi(next().c_str());
        else if (a == "--registry") o.registry = true;
        else return false;
    }
    return !o.dll.empty() && !o.dir.empty() && o.width > 0 && o.height > 0 && o.frames > 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: vfw_host --dll PATH --dir DIR --size WxH --frames N [--registry]\n");
        return 2;
    }
    int framesCompared = 0;
    if (o.registry) {
        // Installed the way kestrun.inf installs it: found by its Drivers32 value.
        HIC hic = ICOpen(ICTYPE_VIDEO, FourccKSHA, ICMODE_COMPRESS);
        Check(hic != nullptr, "ICOpen finds KSHA through Drivers32");
        if (hic) {
            CheckInformation(hic);
            Bytes raw, stream;
            std::vector<Bytes> frames;
            Options one = o;
            one.frames = 1;
            if (ReadFile(Path(o, "yuy2.raw"), raw)) CompressAll(hic, one, Formats[0], raw, HuffmanQuality, stream, frames);
            Check(frames.size() == 1, "one frame compressed");
            ICClose(hic);
            CheckEnumeration();
            CheckLocate(o, frames, raw);
            CheckSequence(o);
        }
    } else {
        CheckModule(o);
        BOOL installed = ICInstall(ICTYPE_VIDEO, FourccKSHA, reinterpret_cast<LPARAM>(o.dll.c_str()), nullptr,
                                   ICINSTALL_DRIVER);
        Check(installed, "ICInstall(vidc, KSHA, %s, ICINSTALL_DRIVER)", o.dll.c_str());
        ICINFO found{};
        Check(ICInfo(ICTYPE_VIDEO, FourccKSHA, &found) && found.fccHandler == FourccKSHA,
              "ICInfo lists the installed KSHA");
        Results results;
        CheckCodecManager(o, results, framesCompared);
        CheckAviFiles(o, results, framesCompared);
        CheckAboutBox();
        Check(ICRemove(ICTYPE_VIDEO, FourccKSHA, 0), "ICRemove(vidc, KSHA)");
    }
    std::printf("vfw_host: %d frames compared\n", framesCompared);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
