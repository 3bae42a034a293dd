#include "rate_line.h"

namespace kttool {

bool RateLine::begin(Clock::time_point now, uint64_t frames, uint64_t bytes) {
    const double dt = std::chrono::duration<double>(now - last_).count();
    if (dt <= 0) {
        return false;
    }
    fprintf(out_, "%s%s: %8.0f frames/s %7.2f MB/s  frames %llu", tty_ ? "\r" : "", tool_,
            static_cast<double>(frames - last_frames_) / dt,
            static_cast<double>(bytes - last_bytes_) / dt / 1e6,
            static_cast<unsigned long long>(frames));
    last_ = now;
    last_frames_ = frames;
    last_bytes_ = bytes;
    printed_ = true;
    return true;
}

void RateLine::end() {
    fputs(tty_ ? "\033[K" : "\n", out_);
    fflush(out_);
}

void RateLine::finish() {
    if (tty_ && printed_) {
        fputc('\n', out_);
        printed_ = false;
    }
}

}  // namespace kttool
