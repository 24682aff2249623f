#include "archive_reader.h"

#include <new>

#include "cli.h"

ArchiveReader::ArchiveReader(MediaInput& input) : input_(input), packet_(av_packet_alloc())
{
    if (!packet_) throw std::bad_alloc();
}

bool ArchiveReader::Next(const std::function<void(AVPacket*)>& other)
{
    for (;;) {
        av_packet_unref(packet_.get());
        if (!input_.ReadPacket(packet_.get())) return false;
        if (packet_->stream_index == input_.VideoIndex()) break;
        if (other) other(packet_.get());
    }
    const AVPacket* frame = packet_.get();
    timestamp_ = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->dts != AV_NOPTS_VALUE ? frame->dts : count_;
    duration_ = frame->duration > 0 ? frame->duration : 1;
    ++count_;
    return true;
}

void ArchiveReader::MoveTo(ArchiveFrame& frame)
{
    if (!frame.packet) throw std::bad_alloc();
    av_packet_unref(frame.packet.get());
    av_packet_move_ref(frame.packet.get(), packet_.get());
    frame.number = Number();
    frame.timestamp = timestamp_;
    frame.duration = duration_;
}

std::string ArchiveReader::EndProblem() const
{
    const int64_t announced = input_.AnnouncedFrames();
    if (count_ == 0) return "holds no frame";
    if (announced > count_)
        return "is truncated: it holds " + std::to_string(count_) + " of the " + std::to_string(announced) +
               " frames its header announces";
    return "";
}

void ArchiveReader::RequireEveryFrame() const
{
    const std::string problem = EndProblem();
    if (!problem.empty()) Fail(input_.Name() + ": " + problem);
}
