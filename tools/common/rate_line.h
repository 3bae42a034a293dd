// The live-rate line of the tools that receive frames:
//   "<tool>: <n> frames/s <n> MB/s  frames <n>" and the tool's own counts after it.
// On a terminal the line is rewritten in place, else each one is a line of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace kttool {

class RateLine {
  public:
    using Clock = std::chrono::steady_clock;

    RateLine(const char *tool, FILE *out, bool tty, Clock::time_point start)
        : tool_(tool), out_(out), tty_(tty), last_(start) {}

    // Whether a second has passed since the previous line (or the start).
    bool due(Clock::time_point now) const { return now - last_ >= std::chrono::seconds(1); }

    // Begins a line with the rates since the previous one and the frame count; false, and
    // nothing printed, when no time has passed. The caller adds to out() and calls end().
    bool begin(Clock::time_point now, uint64_t frames, uint64_t bytes);
    void end();
    // After the last line on a terminal, ends it so that what follows starts a line.
    void finish();

    FILE *out() const { return out_; }

  private:
    const char *tool_;
    FILE *out_;
    bool tty_;
    bool printed_ = false;
    Clock::time_point last_;
    uint64_t last_frames_ = 0, last_bytes_ = 0;
};

}  // namespace kttool
