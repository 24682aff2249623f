// The frames of a KSHA archive's video stream, in file order, for the
// commands that read archives: each picture numbered by its frame (holds
// included) with its time, the packets of other streams handed on as they
// come, and the check at the end that the file held every frame its header
// announces.
//
// A hold is a zero-length frame: the picture before it shown again (a
// source's variable timing kept at one frame rate). FFmpeg's AVI demuxer
// skips such chunks and moves the next frame's timestamp on, so a hold is a
// gap in the timestamps; a zero-length packet is taken as one too. A hold
// before the first picture has nothing to repeat: that is damage.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "media.h"

// A picture as the reader hands it over, into a worker's slot.
struct ArchiveFrame {
    PacketPointer packet{av_packet_alloc()};
    int64_t number = 0;  // its frame, holds included
    int64_t picture = 0; // holds not included
    // In the stream's time base: the packet's pts, else its dts, else its number.
    int64_t timestamp = 0;
    int64_t duration = 1; // at least 1
    int64_t holds = 0;    // holds just before it
};

class ArchiveReader {
public:
    // `input` is open on an archive (MediaInput::RequireKsha).
    explicit ArchiveReader(MediaInput& input);
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Reads on to the next picture; the packets of other streams on the way
    // go to `other` (dropped when it is empty). False at the end of the file.
    bool Next(const std::function<void(AVPacket*)>& other = {});

    // The picture Next found, until MoveTo takes it.
    const AVPacket* Frame() const { return packet_.get(); }
    int64_t Number() const { return number_; }
    // Holds just before it; those before the first picture are damage.
    int64_t Holds() const { return holds_; }
    int64_t LeadingHolds() const { return pictures_ == 1 ? holds_ : 0; }
    // Hands the picture over; what `frame` held before is released.
    void MoveTo(ArchiveFrame& frame);

    // Frames read so far, holds included, and the pictures among them.
    int64_t Count() const { return number_ + 1; }
    int64_t Pictures() const { return pictures_; }
    // Where the video read so far ends, in the stream's time base.
    int64_t End() const { return timestamp_ + duration_; }
    // Once every frame is read: "holds no frame", "is truncated: ...", or ""
    // when the file held every frame its header announces.
    std::string EndProblem() const;
    // Fails with the file's name and EndProblem() unless that is "".
    void RequireEveryFrame() const;

private:
    MediaInput& input_;
    PacketPointer packet_;
    int64_t number_ = -1;
    int64_t pictures_ = 0;
    int64_t holds_ = 0;
    int64_t timestamp_ = 0;
    int64_t duration_ = 0; // a stream's first frame is due at 0
    int64_t mostFrames_ = INT64_MAX;
};

// What is said of a hold before the first picture.
constexpr const char* LeadingHoldText = "is empty, and no picture comes before it to repeat";
