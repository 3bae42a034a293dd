#include "sub_tally.h"

namespace ktsub {

void Tally::take(int module_id, int channel_id, uint16_t msg_id, size_t bytes) {
    auto [it, first] = sources_.try_emplace({module_id, channel_id});
    Source &s = it->second;
    if (!first) {
        const uint16_t skipped = static_cast<uint16_t>(msg_id - s.last_msg_id - 1);
        s.gaps += skipped;
        gaps_ += skipped;
    }
    s.last_msg_id = msg_id;
    ++s.frames;
    ++frames_;
    bytes_ += bytes;
}

void Tally::status(FILE *out, bool tty, Clock::time_point now) {
    const double dt = std::chrono::duration<double>(now - last_).count();
    if (dt <= 0) {
        return;
    }
    fprintf(out, "%skt-sub: %8.0f frames/s %7.2f MB/s  frames %llu  gaps %llu  acked %llu |",
            tty ? "\r" : "", static_cast<double>(frames_ - last_frames_) / dt,
            static_cast<double>(bytes_ - last_bytes_) / dt / 1e6,
            static_cast<unsigned long long>(frames_), static_cast<unsigned long long>(gaps_),
            static_cast<unsigned long long>(acked));
    for (const auto &[source, s] : sources_) {
        fprintf(out, " %d:%d %llu", source.first, source.second,
                static_cast<unsigned long long>(s.frames));
    }
    fprintf(out, tty ? "\033[K" : "\n");
    fflush(out);
    last_ = now;
    last_frames_ = frames_;
    last_bytes_ = bytes_;
}

void Tally::summary(FILE *out, Clock::time_point now) const {
    double seconds = std::chrono::duration<double>(now - start_).count();
    if (seconds <= 0) {
        seconds = 1e-9;
    }
    fprintf(out,
            "kt-sub: %llu frames in %.1f s (%.0f frames/s, %.2f MB/s), %llu acknowledged, "
            "%llu without reply, %llu gaps in msg_id, %llu bad, %llu malformed, %llu of other "
            "sources ignored\n",
            static_cast<unsigned long long>(frames_), seconds,
            static_cast<double>(frames_) / seconds, static_cast<double>(bytes_) / seconds / 1e6,
            static_cast<unsigned long long>(acked), static_cast<unsigned long long>(ack_failures),
            static_cast<unsigned long long>(gaps_), static_cast<unsigned long long>(bad),
            static_cast<unsigned long long>(malformed),
            static_cast<unsigned long long>(other_topics));
    for (const auto &[source, s] : sources_) {
        fprintf(out, "kt-sub:   frame://%d:%d  %llu frames, %llu gaps\n", source.first,
                source.second, static_cast<unsigned long long>(s.frames),
                static_cast<unsigned long long>(s.gaps));
    }
}

}  // namespace ktsub
