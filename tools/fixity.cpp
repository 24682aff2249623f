#include "fixity.h"

#include <cinttypes>
#include <cstdio>
#include <fstream>

#include "command_support.h"
#include "picture_format.h"

extern "C" {
#include <libavformat/version.h>
#include <libavutil/imgutils.h>
#include <libavutil/md5.h>
#include <libavutil/pixdesc.h>
}

std::string FixityPathFor(const std::string& archive) { return archive + ".framemd5"; }

const char* FixityPixelFormat(uint32_t width) { return width % 2 ? "bgr24" : "yuyv422"; }

Digest Md5Of(const uint8_t* data, std::size_t size)
{
    Digest digest;
    av_md5_sum(digest.data(), data, size);
    return digest;
}

std::string Framemd5Header(AVRational timeBase, uint32_t width, uint32_t height, AVRational sampleAspect)
{
    std::string header = "#format: frame checksums\n#version: 2\n#hash: MD5\n#software: " LIBAVFORMAT_IDENT "\n";
    char line[256];
    const bool aspect = sampleAspect.num > 0 && sampleAspect.den > 0;
    std::snprintf(line, sizeof line, "#tb 0: %d/%d\n#media_type 0: video\n#codec_id 0: rawvideo\n#dimensions 0: %ux%u\n"
                                     "#sar 0: %d/%d\n",
                  timeBase.num, timeBase.den, width, height, aspect ? sampleAspect.num : 0,
                  aspect ? sampleAspect.den : 1);
    header += line;
    header += "#stream#, dts,        pts, duration,     size, hash\n";
    return header;
}

std::string Framemd5Line(int64_t pts, int64_t duration, std::size_t size, const Digest& digest)
{
    char line[128];
    int length = std::snprintf(line, sizeof line, "0, %10" PRId64 ", %10" PRId64 ", %8" PRId64 ", %8zu, ", pts, pts,
                               duration, size);
    for (uint8_t byte : digest) length += std::snprintf(line + length, sizeof line - std::size_t(length), "%02x", byte);
    line[length++] = '\n';
    return std::string(line, std::size_t(length));
}

namespace {
int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One line "stream, dts, pts, duration, size, hash"; false unless it is one.
bool ParseLine(const std::string& line, int* stream, FixityRecord* record)
{
    long long dts = 0, pts = 0, duration = 0;
    unsigned long long size = 0;
    int hashAt = 0;
    if (std::sscanf(line.c_str(), "%d , %lld , %lld , %lld , %llu , %n", stream, &dts, &pts, &duration, &size,
                    &hashAt) != 5 ||
        hashAt <= 0)
        return false;
    const std::string hash = line.substr(std::size_t(hashAt));
    if (hash.size() != 32) return false;
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = HexValue(hash[2 * i]), low = HexValue(hash[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        record->digest[i] = uint8_t(high << 4 | low);
    }
    record->pts = pts;
    record->size = std::size_t(size);
    return true;
}
} // namespace

std::string ReadFixity(const std::string& path, Fixity* fixity)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot be read";
    fixity->path = path;
    fixity->pictures.clear();
    bool md5 = false;
    long number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] == '#') {
            unsigned width = 0, height = 0;
            if (line == "#hash: MD5") md5 = true;
            if (std::sscanf(line.c_str(), "#dimensions 0: %ux%u", &width, &height) == 2) {
                fixity->width = width;
                fixity->height = height;
            }
            continue;
        }
        int stream = -1;
        FixityRecord record;
        if (!ParseLine(line, &stream, &record)) return "line " + std::to_string(number) + " is not a framemd5 line";
        if (stream == 0) fixity->pictures.push_back(record); // the lines of other streams are not the pictures'
    }
    if (in.bad()) return "cannot be read";
    if (!md5) return "is not a framemd5 file of MD5 digests (no \"#hash: MD5\" line)";
    if (fixity->width == 0 || fixity->height == 0) return "does not give the pictures' size (no \"#dimensions 0\" line)";
    return "";
}

std::size_t FixityPictureBytes(uint32_t width, uint32_t height)
{
    return std::size_t(av_image_get_buffer_size(av_get_pix_fmt(FixityPixelFormat(width)), int(width), int(height), 1));
}

std::string FixityMismatch(const Fixity& fixity, uint32_t width, uint32_t height)
{
    const std::size_t pictureBytes = FixityPictureBytes(width, height);
    if (fixity.width != width || fixity.height != height)
        return "is of " + SizeText(fixity.width, fixity.height) + " pictures, the archive's are " +
               SizeText(width, height);
    for (const FixityRecord& record : fixity.pictures)
        if (record.size != pictureBytes)
            return "holds digests of " + std::to_string(record.size) + "-byte pictures, not of the " +
                   std::to_string(pictureBytes) + "-byte " + FixityPixelFormat(width) + " pictures of the archive";
    return "";
}

CodecResult DigestForFixity(const uint8_t* frame, std::size_t size, uint32_t width, uint32_t height,
                            std::unique_ptr<ArchivePictures>& decoder, std::vector<uint8_t>& scratch, Digest* digest)
{
    if (!MakeOnce(decoder, *FindPictureFormat(FixityPixelFormat(width), true), width, height, ChromaRepetition::None))
        return CodecResult::OutOfMemory;
    scratch.resize(decoder->PictureBytes());
    const CodecResult result = decoder->Decode(frame, size, scratch.data());
    if (result == CodecResult::Ok) *digest = Md5Of(scratch.data(), scratch.size());
    return result;
}
