#include "timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {
bool IsRate(AVRational rate) { return rate.num > 0 && rate.den > 0; }

// No camera or screen gives more; a higher "rate" is a time base (1/1000, 1/90000).
constexpr AVRational HighestPictureRate{240, 1};
} // namespace

AVRational NominalRate(const AVStream* video, bool* guessed)
{
    *guessed = false;
    const AVRational average = video->avg_frame_rate, base = video->r_frame_rate;
    const bool haveBase = IsRate(base) && av_cmp_q(base, HighestPictureRate) <= 0;
    if (haveBase && IsRate(average)) {
        const AVRational multiple = av_div_q(base, average);
        return multiple.den == 1 && multiple.num >= 2 ? average : base;
    }
    if (haveBase) return base;
    if (IsRate(average)) return average;
    *guessed = true;
    return AVRational{25, 1};
}

int64_t FrameSlots::Place(int64_t timestamp)
{
    // A picture with no time (as a decoder's last, flushed, may be) follows the one before.
    int64_t since = 0;
    if (timestamp == AV_NOPTS_VALUE || (origin_ != AV_NOPTS_VALUE && __builtin_sub_overflow(timestamp, origin_, &since)))
        return next_++;
    // Slot 0 is the first picture's; a picture with no time before it moves the origin back by its slots.
    if (origin_ == AV_NOPTS_VALUE) origin_ = timestamp - av_rescale_q(next_, slotTimeBase_, sourceTimeBase_);
    // A jump of more than ten minutes is a break in the timestamps, not a still picture: closed up.
    if (av_rescale_q(timestamp - origin_, sourceTimeBase_, slotTimeBase_) > next_ +
        av_rescale_q(600, AVRational{1, 1}, slotTimeBase_)) {
        origin_ = timestamp - av_rescale_q(next_, slotTimeBase_, sourceTimeBase_);
        ++jumps_;
    }
    since = timestamp - origin_;
    const double exact = double(since) * av_q2d(sourceTimeBase_) / av_q2d(slotTimeBase_);
    const int64_t slot = std::max(next_, av_rescale_q_rnd(since, sourceTimeBase_, slotTimeBase_, AV_ROUND_NEAR_INF));
    const double shift = std::fabs(double(slot) - exact);
    // A hair over half a slot is the rounding of times between the two time bases.
    if (shift > 0.5 + 1e-6) {
        ++shifted_;
        largestShift_ = std::max(largestShift_, shift);
    }
    next_ = slot + 1;
    return slot;
}

std::string FrameSlots::Note() const
{
    char text[256];
    std::string note;
    if (jumps_ > 0) {
        std::snprintf(text, sizeof text, "the timestamps jump %lld time%s by more than ten minutes; each jump is closed up",
                      static_cast<long long>(jumps_), jumps_ == 1 ? "" : "s");
        note = text;
    }
    if (shifted_ == 0) return note;
    std::snprintf(text, sizeof text,
                  "%lld picture%s more than half a frame slot (%.1f ms) from %s time: pictures that fall in one slot "
                  "go to the next free one; the largest shift is %.1f ms",
                  static_cast<long long>(shifted_), shifted_ == 1 ? " is" : "s are", 500.0 * av_q2d(slotTimeBase_),
                  shifted_ == 1 ? "its" : "their", 1000.0 * largestShift_ * av_q2d(slotTimeBase_));
    return note + (note.empty() ? "" : "; ") + text;
}
