#include "progress.h"

#include <cstdio>
#include <unistd.h>

bool StandardErrorIsTerminal() { return ::isatty(2) == 1; }

Progress::Progress(bool quiet, int64_t total, uint64_t rawFrameBytes)
    : shown_(!quiet && StandardErrorIsTerminal()), total_(total), rawFrameBytes_(rawFrameBytes),
      start_(std::chrono::steady_clock::now()), last_(start_)
{
}

Progress::~Progress() { Clear(); }

double Progress::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

double Progress::FramesPerSecond(int64_t frames) const
{
    const double seconds = Seconds();
    return seconds > 0 ? double(frames) / seconds : 0.0;
}

void Progress::Update(int64_t frames, uint64_t codedBytes)
{
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    const double fps = FramesPerSecond(frames);
    char line[160];
    int length = std::snprintf(line, sizeof line, "\rframe %lld", static_cast<long long>(frames));
    if (total_ > 0)
        length += std::snprintf(line + length, sizeof line - length, "/%lld", static_cast<long long>(total_));
    length += std::snprintf(line + length, sizeof line - length, "  %.1f fps", fps);
    if (rawFrameBytes_ && frames > 0)
        length += std::snprintf(line + length, sizeof line - length, "  ratio %.3f",
                                double(codedBytes) / (double(rawFrameBytes_) * double(frames)));
    if (total_ > frames && fps > 0) {
        const long long left = static_cast<long long>(double(total_ - frames) / fps + 0.5);
        length += std::snprintf(line + length, sizeof line - length, "  %lld:%02lld left", left / 60, left % 60);
    }
    std::fprintf(stderr, "%s   ", line);
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::Clear()
{
    if (!drawn_) return;
    std::fprintf(stderr, "\r%*s\r", 78, "");
    std::fflush(stderr);
    drawn_ = false;
}
