#include "archive_reader.h"

#include <algorithm>
#include <new>

#include "cli.h"

ArchiveReader::ArchiveReader(MediaInput& input) : input_(input), packet_(av_packet_alloc())
{
    if (!packet_) throw std::bad_alloc();
    // Every frame, a hold too, takes at least an 8-byte chunk header or index
    // entry: a file cannot hold more, whatever its timestamps say.
    const int64_t size = input.Context()->pb ? avio_size(input.Context()->pb) : -1;
    if (size > 0) mostFrames_ = size / 8;
    if (input.AnnouncedFrames() > 0) mostFrames_ = std::min(mostFrames_, input.AnnouncedFrames());
}

bool ArchiveReader::Next(const std::function<void(AVPacket*)>& other)
{
    holds_ = 0;
    for (;;) {
        av_packet_unref(packet_.get());
        if (!input_.ReadPacket(packet_.get())) return false;
        if (packet_->stream_index != input_.VideoIndex()) {
            if (other) other(packet_.get());
            continue;
        }
        const AVPacket* frame = packet_.get();
        const int64_t due = timestamp_ + duration_;
        const int64_t stamp = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->dts != AV_NOPTS_VALUE ? frame->dts : due;
        // A gap is the holds the demuxer skipped; a timestamp that goes back counts from where the video is.
        int64_t gap = 0;
        if (__builtin_sub_overflow(stamp, due, &gap) || gap < 0) gap = 0;
        gap /= std::max<int64_t>(1, duration_);
        // Never more holds than the file has room for and its header frames for
        // (a damaged index or header may say anything).
        gap = std::min(gap, std::max<int64_t>(0, mostFrames_ - number_ - 2));
        holds_ += gap;
        number_ += gap + 1;
        timestamp_ = std::min(std::max(stamp, due), INT64_MAX / 2); // with its duration, never past the end of the type
        duration_ = frame->duration > 0 && frame->duration < INT32_MAX ? frame->duration : 1;
        if (frame->size > 0) break;
        ++holds_;
    }
    ++pictures_;
    return true;
}

void ArchiveReader::MoveTo(ArchiveFrame& frame)
{
    if (!frame.packet) throw std::bad_alloc();
    av_packet_unref(frame.packet.get());
    av_packet_move_ref(frame.packet.get(), packet_.get());
    frame.number = number_;
    frame.picture = pictures_ - 1;
    frame.timestamp = timestamp_;
    frame.duration = duration_;
    frame.holds = holds_;
}

std::string ArchiveReader::EndProblem() const
{
    const int64_t announced = input_.AnnouncedFrames();
    if (pictures_ == 0) return "holds no frame";
    if (announced > Count())
        return "is truncated: it holds " + std::to_string(Count()) + " of the " + std::to_string(announced) +
               " frames its header announces";
    return "";
}

void ArchiveReader::RequireEveryFrame() const
{
    const std::string problem = EndProblem();
    if (!problem.empty()) Fail(input_.Name() + ": " + problem);
}
