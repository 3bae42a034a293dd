#include "source_book.h"

#include <algorithm>
#include <cstring>

#include "kt_records.h"

namespace ktweb {

namespace {

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

SourceBook::SourceBook(SampleFormat format, size_t points, Clock::time_point start)
    : format_(format), points_(points), start_(start), second_start_(start) {}

void SourceBook::tick(Clock::time_point now) {
    // Whole seconds since the last one counted, the empty ones as 0 frames/s.
    while (now - second_start_ >= std::chrono::seconds(1)) {
        history_.push_back(static_cast<double>(second_frames_));
        if (history_.size() > kHistory) {
            history_.pop_front();
        }
        second_frames_ = 0;
        second_start_ += std::chrono::seconds(1);
        for (auto &[key, s] : sources_) {
            if (s.first_second) {
                s.first_second = false;
            } else {
                s.recent[s.whole_seconds % kRateSeconds] = s.second_frames;
                ++s.whole_seconds;
            }
            s.second_frames = 0;
        }
    }
}

kt_frame frame_header(const uint8_t *data) {
    kt_frame header;
    memcpy(&header, data, KT_FRAME_HEADER_SIZE);
    return header;
}

void SourceBook::take(const uint8_t *frame, size_t length, Clock::time_point now) {
    const kt_frame header = frame_header(frame);
    const kt_frame *f = &header;
    const std::lock_guard lock(mutex_);
    tick(now);
    ++frames_;
    ++second_frames_;
    bytes_ += length;
    last_frame_ = now;
    Source &s = sources_[static_cast<uint16_t>(f->module_id << 8 | f->channel_id)];
    ++s.frames;
    s.bytes += length;
    if (s.order.take(f->msg_id) == kttool::MsgOrder::Verdict::kInOrder) {
        s.last_msg_id = f->msg_id;
    }
    s.last_frame = now;
    ++s.second_frames;
    // The payload's whole samples go into the ring after the earlier frames' samples.
    const size_t size = sample_size(format_);
    size_t bytes = std::min<size_t>(f->payload_len, length - KT_FRAME_OVERHEAD);
    bytes -= bytes % size;
    const uint8_t *from = frame + KT_FRAME_HEADER_SIZE;
    if (bytes > kWaveBytes) {
        from += bytes - kWaveBytes;
        bytes = kWaveBytes;
    }
    const size_t tail = (s.wave_head + s.wave_fill) % kWaveBytes;
    const size_t first = std::min(bytes, kWaveBytes - tail);
    memcpy(s.wave.data() + tail, from, first);
    memcpy(s.wave.data(), from + first, bytes - first);
    const size_t overflow = s.wave_fill + bytes > kWaveBytes ? s.wave_fill + bytes - kWaveBytes : 0;
    s.wave_head = (s.wave_head + overflow) % kWaveBytes;
    s.wave_fill = std::min(kWaveBytes, s.wave_fill + bytes);
}

void SourceBook::take_malformed() {
    const std::lock_guard lock(mutex_);
    ++malformed_;
}

void SourceBook::set_connected(bool connected) {
    const std::lock_guard lock(mutex_);
    connected_ = connected;
}

BookView SourceBook::view(Clock::time_point now) {
    BookView v;
    const std::lock_guard lock(mutex_);
    tick(now);
    v.connected = connected_;
    v.frames = frames_;
    v.bytes = bytes_;
    v.malformed = malformed_;
    v.uptime_s = seconds(now - start_);
    v.idle_s = frames_ == 0 ? -1 : seconds(now - last_frame_);
    v.rates.assign(history_.begin(), history_.end());
    for (auto &[key, s] : sources_) {
        SourceView sv;
        sv.module_id = key >> 8;
        sv.channel_id = key & 0xff;
        sv.frames = s.frames;
        sv.bytes = s.bytes;
        sv.gaps = s.order.lost();
        sv.last_msg_id = s.last_msg_id;
        const unsigned n = std::min(s.whole_seconds, kRateSeconds);
        uint64_t sum = 0;
        for (unsigned i = 0; i < n; ++i) {
            sum += s.recent[i];
        }
        sv.rate = n == 0 ? 0 : static_cast<double>(sum) / n;
        sv.idle_s = seconds(now - s.last_frame);
        // The ring in order, oldest first.
        std::vector<uint8_t> samples(s.wave_fill);
        for (size_t i = 0; i < s.wave_fill; ++i) {
            samples[i] = s.wave[(s.wave_head + i) % kWaveBytes];
        }
        decimate(samples.data(), samples.size(), format_, points_, &sv.wave);
        v.sources.push_back(std::move(sv));
    }
    return v;
}

}  // namespace ktweb
