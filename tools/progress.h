// The progress line: frames, frames per second, ratio and time left, on
// standard error when it is a terminal and --quiet is not given.
#pragma once

#include <chrono>
#include <cstdint>

class Progress {
public:
    // `total` frames when known (0 otherwise); `rawFrameBytes` for the ratio.
    Progress(bool quiet, int64_t total, uint64_t rawFrameBytes);
    ~Progress();
    void Update(int64_t frames, uint64_t codedBytes);
    void Clear(); // removes the line (before a message or at the end)
    double Seconds() const; // since construction
    double FramesPerSecond(int64_t frames) const;

private:
    bool shown_;
    bool drawn_ = false;
    int64_t total_;
    uint64_t rawFrameBytes_;
    std::chrono::steady_clock::time_point start_, last_;
};

// True when messages that are not results belong on standard error.
bool StandardErrorIsTerminal();
