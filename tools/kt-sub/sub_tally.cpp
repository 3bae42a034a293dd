#include "sub_tally.h"

namespace ktsub {

void Tally::take(const Arrival &frame) {
    Source &s = sources_[{frame.module_id, frame.channel_id}];
    const kttool::MsgOrder::Verdict verdict = s.order.take(frame.msg_id);
    // A frame counts once as out of order, whether its msg_id or its sequence number
    // shows it.
    if (verdict != kttool::MsgOrder::Verdict::kInOrder || frame.seq_behind) {
        ++s.out_of_order;
        ++out_of_order_;
    }
    if (verdict == kttool::MsgOrder::Verdict::kDuplicate) {
        ++s.duplicates;
    }
    if (frame.wrong_topic) {
        ++s.wrong_topic;
        ++wrong_topic_;
    }
    ++s.frames;
    ++frames_;
    bytes_ += frame.bytes;
}

uint64_t Tally::lost() const {
    uint64_t n = 0;
    for (const auto &[source, s] : sources_) {
        n += s.order.lost();
    }
    return n;
}

uint64_t Tally::duplicates() const {
    uint64_t n = 0;
    for (const auto &[source, s] : sources_) {
        n += s.duplicates;
    }
    return n;
}

void Tally::status(kttool::RateLine &line, Clock::time_point now) const {
    if (!line.begin(now, frames_, bytes_)) {
        return;
    }
    FILE *out = line.out();
    fprintf(out, "  lost %llu  out of order %llu  wrong topic %llu  bad %llu  acked %llu |",
            static_cast<unsigned long long>(lost()), static_cast<unsigned long long>(out_of_order_),
            static_cast<unsigned long long>(wrong_topic_), static_cast<unsigned long long>(bad),
            static_cast<unsigned long long>(acked));
    for (const auto &[source, s] : sources_) {
        fprintf(out, " %d:%d %llu", source.first, source.second,
                static_cast<unsigned long long>(s.frames));
    }
    line.end();
}

void Tally::summary(FILE *out, Clock::time_point now) const {
    double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds <= 0) {
        seconds = 1e-9;
    }
    fprintf(out,
            "kt-sub: %llu frames in %.1f s (%.0f frames/s, %.2f MB/s), %llu acknowledged, "
            "%llu without reply, %llu malformed, %llu of other sources ignored\n",
            static_cast<unsigned long long>(frames_), seconds,
            static_cast<double>(frames_) / seconds, static_cast<double>(bytes_) / seconds / 1e6,
            static_cast<unsigned long long>(acked), static_cast<unsigned long long>(ack_failures),
            static_cast<unsigned long long>(malformed),
            static_cast<unsigned long long>(other_topics));
    fprintf(out,
            "kt-sub: lost %llu, out of order %llu (duplicates %llu), wrong topic %llu, bad %llu\n",
            static_cast<unsigned long long>(lost()), static_cast<unsigned long long>(out_of_order_),
            static_cast<unsigned long long>(duplicates()),
            static_cast<unsigned long long>(wrong_topic_), static_cast<unsigned long long>(bad));
    for (const auto &[source, s] : sources_) {
        fprintf(out,
                "kt-sub:   frame://%d:%d  %llu frames, lost %llu, out of order %llu "
                "(duplicates %llu), wrong topic %llu\n",
                source.first, source.second, static_cast<unsigned long long>(s.frames),
                static_cast<unsigned long long>(s.order.lost()),
                static_cast<unsigned long long>(s.out_of_order),
                static_cast<unsigned long long>(s.duplicates),
                static_cast<unsigned long long>(s.wrong_topic));
    }
}

}  // namespace ktsub
