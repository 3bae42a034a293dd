// What kt-sub has received: frames and bytes, and per source the frames lost, out of
// order (duplicates among them) and received under a topic that names another source.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>

#include "msg_order.h"
#include "rate_line.h"

namespace ktsub {

// One frame as received.
struct Arrival {
    int module_id = 0, channel_id = 0;  // from the frame's header
    uint16_t msg_id = 0;
    size_t bytes = 0;
    bool wrong_topic = false;  // its topic names another source than its header
    bool seq_behind = false;   // its sequence number is not above the previous frame's
};

class Tally {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Tally(Clock::time_point start) : start_(start) {}

    // Counts one frame under the source its header names.
    void take(const Arrival &frame);

    uint64_t frames() const { return frames_; }
    uint64_t out_of_order() const { return out_of_order_; }
    uint64_t wrong_topic() const { return wrong_topic_; }
    uint64_t acked = 0;         // acknowledgements answered
    uint64_t ack_failures = 0;  // acknowledgements without a reply
    uint64_t other_topics = 0;  // prefix matches of other sources, ignored
    uint64_t malformed = 0;     // messages that are no frame
    uint64_t bad = 0;           // frames that failed the content check

    // The live line: rates since the previous one, totals, per-source counts.
    void status(kttool::RateLine &line, Clock::time_point now) const;
    // The closing lines.
    void summary(FILE *out, Clock::time_point now) const;

  private:
    struct Source {
        uint64_t frames = 0;
        uint64_t out_of_order = 0;  // duplicates included
        uint64_t duplicates = 0;
        uint64_t wrong_topic = 0;
        kttool::MsgOrder order;
    };
    uint64_t lost() const;
    uint64_t duplicates() const;

    Clock::time_point start_;
    uint64_t frames_ = 0, bytes_ = 0, out_of_order_ = 0, wrong_topic_ = 0;
    std::map<std::pair<int, int>, Source> sources_;
};

}  // namespace ktsub
