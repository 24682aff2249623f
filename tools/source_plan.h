// How a source's pictures go into the codec, and whether they come back:
// packed and planar 4:2:2 as they are; 4:2:0 and 4:1:1 by repeating chroma
// (rows in each field when the source is interlaced); RGB24 through the
// codec's BT.601 conversion; anything else converted by libswscale. Only the
// first three are exact.
#pragma once

#include <string>

#include "frame_codec.h"
#include "provenance.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SourcePlan {
    const RawFormat* layout; // what the codec is given: yuy2, uyvy or rgb24
    Mapping mapping;
    bool exact;
    std::string loss; // when not exact: what is lost
};

// `interlaced` as the decoder says of the first picture.
SourcePlan PlanSource(AVPixelFormat pixelFormat, bool interlaced);

// The FFmpeg name of a pixel format, or "an unknown pixel format".
std::string PixelFormatName(int pixelFormat);
