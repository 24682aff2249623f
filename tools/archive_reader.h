// The frames of a KSHA archive's video stream, in file order, for the
// commands that read archives: each frame numbered from 0 with its time, the
// packets of other streams handed on as they come, and the check at the end
// that the file held every frame its header announces.
#pragma once

#include <functional>
#include <string>

#include "media.h"

// A frame as the reader hands it over, into a worker's slot.
struct ArchiveFrame {
    PacketPointer packet{av_packet_alloc()};
    int64_t number = 0;
    // In the stream's time base: the packet's pts, else its dts, else its number.
    int64_t timestamp = 0;
    int64_t duration = 1; // at least 1
};

class ArchiveReader {
public:
    // `input` is open on an archive (MediaInput::RequireKsha).
    explicit ArchiveReader(MediaInput& input);
    ArchiveReader(const ArchiveReader&) = delete;
    ArchiveReader& operator=(const ArchiveReader&) = delete;

    // Reads on to the next frame; the packets of other streams on the way go
    // to `other` (dropped when it is empty). False at the end of the file.
    bool Next(const std::function<void(AVPacket*)>& other = {});

    // The frame Next found, until MoveTo takes it.
    const AVPacket* Frame() const { return packet_.get(); }
    int64_t Number() const { return count_ - 1; }
    // Hands the frame over; what `frame` held before is released.
    void MoveTo(ArchiveFrame& frame);

    // Frames read so far.
    int64_t Count() const { return count_; }
    // Once every frame is read: "holds no frame", "is truncated: ...", or ""
    // when the file held every frame its header announces.
    std::string EndProblem() const;
    // Fails with the file's name and EndProblem() unless that is "".
    void RequireEveryFrame() const;

private:
    MediaInput& input_;
    PacketPointer packet_;
    int64_t count_ = 0;
    int64_t timestamp_ = 0;
    int64_t duration_ = 1;
};
