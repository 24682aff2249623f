// export's pieces: the formats an archive goes out in (FFV1 in Matroska, v210
// or UYVY in MOV), the pictures between the archive's layout and the
// encoder's frames, the output file under a temporary name, and the check
// that reads the written file back and compares every picture with the
// archive's before it is renamed into place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media.h"
#include "picture_format.h"

// How one export is made: the archive's pictures as `pictures` gives them
// (planar YUV, BGR24 or UYVY), and what the encoder takes and its decoder
// gives back.
struct ExportTarget {
    std::string to;           // ffv1, v210, uyvy
    const char* muxer;        // matroska, mov
    const char* containerName; // Matroska, MOV
    AVCodecID codec;
    AVPixelFormat encoded;    // the frames the encoder takes
    AVPixelFormat decoded;    // what its decoder gives back
    PictureFormat pictures;   // the archive's pictures, for ArchivePictures
    ChromaRepetition repetition = ChromaRepetition::None;
    bool fullRange = false;
};

// The target for --to `to` and this archive; fails with the reason when the
// archive's pictures cannot go there exactly. Notes on standard error when
// `notes` (the pixel format chosen and why).
ExportTarget ChooseTarget(const std::string& to, const MediaInput& input, uint32_t width, bool notes);
// "FFV1 yuv420p in Matroska", for the summary.
std::string DescribeTarget(const ExportTarget& target);

// An archive's picture (PictureBytes of target.pictures) as a frame for the
// encoder, in `frame` (allocated once, reused).
void PictureToFrame(const ExportTarget& target, const uint8_t* picture, uint32_t width, uint32_t height,
                    AVFrame* frame);
// v210 rows: 6 pixels in four little-endian words of three 10-bit samples
// (Cb Y Cr, Y Cb Y, Cr Y Cb, Y Cr Y), each row padded to 48 pixels (128
// bytes). Each 8-bit sample goes in shifted left by two, whatever its value:
// FFmpeg's v210 encoder keeps 0 and 255 out (the codes SDI reserves), which
// would change such samples.
std::size_t V210Bytes(uint32_t width, uint32_t height);
// A yuv422p picture (planes one after the other) into `packed` (V210Bytes).
void PackV210(const uint8_t* picture, uint32_t width, uint32_t height, uint8_t* packed);

// A decoded frame of the export into the archive's layout (`picture` is
// resized); false when it cannot be one of the archive's pictures at all
// (another format or size, v210 samples that are not 8-bit ones shifted).
bool FrameToPicture(const ExportTarget& target, const AVFrame* frame, uint32_t width, uint32_t height,
                    std::vector<uint8_t>& picture);

// A media file written through libavformat under a temporary name beside
// `path`; Close() finishes it there, Commit() renames it into place, and the
// destructor removes it unless committed.
class ExportFile {
public:
    ExportFile(const std::string& path, const char* muxer);
    ~ExportFile();
    ExportFile(const ExportFile&) = delete;
    ExportFile& operator=(const ExportFile&) = delete;

    AVFormatContext* Context() const { return context_; }
    const std::string& Temporary() const { return temporary_; }
    void Begin(AVDictionary** options);
    void Write(AVPacket* packet);
    void Close();
    void Commit();

private:
    void Check(int result, const char* what);

    AVFormatContext* context_ = nullptr;
    std::string path_, temporary_;
    bool committed_ = false;
};

// What the check found: "" when the file holds `pictures` pictures, each
// the archive's byte for byte at the archive's time; else the first
// difference ("picture 17 (frame 20) differs from the archive's").
struct ExportCheckResult {
    std::string problem;
    int64_t pictures = 0;
};
ExportCheckResult CheckExport(const std::string& exported, const std::string& archive, const ExportTarget& target,
                              uint32_t width, uint32_t height, unsigned threads);
