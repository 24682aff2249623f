// Fixity: one MD5 per stored picture, in the lines of FFmpeg's framemd5
// muxer, written beside the archive when it is made. A HUFY frame has no
// check value of its own, so a flipped bit in its codes may still decode to
// a picture; its digest gives it away.
//
// The file is named after the archive, "archive.avi.framemd5", and holds
// exactly what `kestrun framemd5 archive.avi` prints: the pictures in the
// archive's stored 4:2:2 layout as FFmpeg names it, yuyv422 (bgr24 at an
// odd width, which packed 4:2:2 cannot hold), each at its time in the
// archive's time base.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/codec.h"

extern "C" {
#include <libavutil/rational.h>
}

// "archive.avi.framemd5" for "archive.avi".
std::string FixityPathFor(const std::string& archive);
// The pixel format of the digests for a picture width, as FFmpeg names it.
const char* FixityPixelFormat(uint32_t width);

using Digest = std::array<uint8_t, 16>;
Digest Md5Of(const uint8_t* data, std::size_t size);

// The text of framemd5 for one rawvideo stream: the header, then a line a picture.
std::string Framemd5Header(AVRational timeBase, uint32_t width, uint32_t height, AVRational sampleAspect);
std::string Framemd5Line(int64_t pts, int64_t duration, std::size_t size, const Digest& digest);

// A fixity file read back: its pictures' times, sizes and digests.
struct FixityRecord {
    int64_t pts = 0;
    std::size_t size = 0;
    Digest digest{};
};
struct Fixity {
    std::string path;
    uint32_t width = 0, height = 0;
    std::vector<FixityRecord> pictures;
};
// Reads `path` (untrusted: any bytes). Returns "" and fills `fixity`, or what
// is wrong with the file ("cannot be read", "line 9 is not a framemd5 line").
std::string ReadFixity(const std::string& path, Fixity* fixity);
class ArchivePictures;

// The bytes of one picture as the fixity file digests it.
std::size_t FixityPictureBytes(uint32_t width, uint32_t height);

// The digest of a frame's picture as the fixity file holds it (in
// FixityPixelFormat), decoded by `decoder`, made on first use, into `scratch`:
// each worker keeps its own two. Ok, or why there is none.
CodecResult DigestForFixity(const uint8_t* frame, std::size_t size, uint32_t width, uint32_t height,
                            std::unique_ptr<ArchivePictures>& decoder, std::vector<uint8_t>& scratch, Digest* digest);

// Whether `fixity` can be of an archive of width x height pictures: "" if
// so, else what is wrong.
std::string FixityMismatch(const Fixity& fixity, uint32_t width, uint32_t height);
