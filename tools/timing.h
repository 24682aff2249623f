// Frame slots: where the pictures of a source with any timing go in an
// archive of one frame rate. Slot n lasts from n to n + 1 in the archive's
// time base. The first picture takes slot 0 (an AVI cannot start with a
// gap: a frame before the first picture would have nothing to repeat);
// every other picture takes the slot nearest its time after the first's.
// Slots no picture takes are holds: zero-length frames, which FFmpeg's AVI
// muxer writes for a gap in the video's timestamps and which hosts show as a
// repeat of the picture before.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

// The slot rate for a source that is not an AVI (an AVI keeps its own time
// base): FFmpeg's real base rate of the stream, the rate its timestamps fit,
// which for a variable timing is the camera's or screen's rate, not the
// average. The average where the base rate is missing, above any picture
// rate (a time base taken for a rate), or a whole multiple of the average
// (the field rate of interlaced pictures); 25 frames/s, with *guessed set,
// where neither is known.
AVRational NominalRate(const AVStream* video, bool* guessed);

class FrameSlots {
public:
    // Timestamps come in `sourceTimeBase`; slots are one `slotTimeBase` long.
    FrameSlots(AVRational sourceTimeBase, AVRational slotTimeBase)
        : sourceTimeBase_(sourceTimeBase), slotTimeBase_(slotTimeBase)
    {
    }

    // The slot of the next picture, whose best-effort timestamp is
    // `timestamp` (AV_NOPTS_VALUE when it has none). Two pictures never share a slot: the later moves on to the
    // next free one.
    int64_t Place(int64_t timestamp);
    // The slots so far, holds included: where the video ends.
    int64_t End() const { return next_; }

    // "" when every picture is within half a slot of its time; else what
    // was not kept, for a note.
    std::string Note() const;

private:
    AVRational sourceTimeBase_, slotTimeBase_;
    int64_t origin_ = AV_NOPTS_VALUE; // the first timed picture's timestamp, less its slot
    int64_t next_ = 0;
    int64_t shifted_ = 0, jumps_ = 0;
    double largestShift_ = 0; // in slots
};
