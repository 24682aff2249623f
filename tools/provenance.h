// What an archive says of where its pictures came from, in the AVI's INFO
// tags: the encoder and its version (FFmpeg's "encoded_by", ITCH: libavformat
// writes its own name into "encoder", ISFT), the source's pixel format, size,
// rate and field order (ISRF, the source form), and whether its pictures come
// back exactly and how they were brought into 4:2:2 (ICMT, the comment):
//
//   ITCH  kestrun 1.1
//   ISRF  yuv420p 720x576 25/1 bottom-first
//   ICMT  kestrun: exact; chroma rows repeated in each field
//   ICMT  kestrun: lossy (colour is stored as BT.601 4:2:2, ...); colour through BT.601
#pragma once

#include <cstdint>
#include <string>

#include "picture/chroma.h"

extern "C" {
#include <libavformat/avformat.h>
}

// How a source's pictures went into the archive's 4:2:2.
enum class Mapping : uint8_t {
    Packed,         // 4:2:2 as it was (packed, or planar 4:2:2 copied)
    RowsRepeated,   // 4:2:0, chroma rows repeated
    FieldRows,      // interlaced 4:2:0, chroma rows repeated in each field
    ColumnsRepeated, // 4:1:1, chroma samples repeated
    Bt601,          // RGB through the codec's BT.601 conversion
    Converted,      // converted by libswscale (interpolated, narrowed)
};
// The chroma repetition that takes a mapping's pictures back out.
ChromaRepetition RepetitionOf(Mapping mapping);
// "chroma rows repeated", ... as the comment and `info` say it.
const char* DescribeMapping(Mapping mapping);
// "rows_repeated", ... as the JSON reports say it.
const char* MappingKey(Mapping mapping);

struct Provenance {
    std::string encoder;      // "kestrun 1.1"
    std::string pixelFormat;  // the source's, as FFmpeg names it
    uint32_t width = 0, height = 0;
    AVRational rate{0, 1};
    std::string fieldOrder;   // "progressive", "top-first", "bottom-first"
    Mapping mapping = Mapping::Packed;
    bool exact = true;
    std::string loss;         // what is lost, when not exact
};

// This tool's name and version, "kestrun 1.1".
std::string EncoderName();

// Into the output's metadata, before its header is written.
void WriteProvenance(AVFormatContext* output, const Provenance& provenance);
// From an archive's metadata; false when it has none (an archive made
// before the tool recorded it) or it cannot be read.
bool ReadProvenance(const AVFormatContext* input, Provenance* provenance);
