// What kt-sub has received: frames and bytes, per-source counts and gaps in msg_id.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>

namespace ktsub {

class Tally {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Tally(Clock::time_point start) : start_(start), last_(start) {}

    // Counts one frame of (module, channel) with its msg_id and length in bytes. A msg_id
    // that is not the one after the source's previous adds the skipped ones to the gaps.
    void take(int module_id, int channel_id, uint16_t msg_id, size_t bytes);

    uint64_t frames() const { return frames_; }
    uint64_t gaps() const { return gaps_; }
    uint64_t acked = 0;         // acknowledgements answered
    uint64_t ack_failures = 0;  // acknowledgements without a reply
    uint64_t other_topics = 0;  // prefix matches of other sources, ignored
    uint64_t malformed = 0;     // messages that are no frame
    uint64_t bad = 0;           // frames that failed the content check

    // The live line: rates since the previous call, totals, per-source counts.
    void status(FILE *out, bool tty, Clock::time_point now);
    // The closing lines.
    void summary(FILE *out, Clock::time_point now) const;

  private:
    struct Source {
        uint64_t frames = 0;
        uint64_t gaps = 0;
        uint16_t last_msg_id = 0;
    };
    Clock::time_point start_, last_;
    uint64_t frames_ = 0, bytes_ = 0, gaps_ = 0;
    uint64_t last_frames_ = 0, last_bytes_ = 0;
    std::map<std::pair<int, int>, Source> sources_;
};

}  // namespace ktsub
