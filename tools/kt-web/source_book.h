// What kt-web knows of the frames it watches: per source the counts, msg_id gaps, rate
// and the latest payload; in total the rate of the last minute. The receiving thread
// writes it frame by frame, the web server reads views of it a few times a second.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "decimate.h"
#include "kt_records.h"
#include "msg_order.h"

namespace ktweb {

// The header of the frame at `data`, copied out: frames arrive at any byte offset of a
// message or a stream, where the record's 16-bit fields cannot be read in place.
kt_frame frame_header(const uint8_t *data);

using Clock = std::chrono::steady_clock;

struct SourceView {
    int module_id = 0, channel_id = 0;
    uint64_t frames = 0, bytes = 0, gaps = 0;
    uint16_t last_msg_id = 0;
    double rate = 0;          // frames/s over the latest whole seconds, up to three
    double idle_s = 0;        // since its latest frame
    std::vector<float> wave;  // the latest payload as (min, max) pairs
};

struct BookView {
    bool connected = false;  // to the publisher or the channel
    uint64_t frames = 0, bytes = 0, malformed = 0;
    double uptime_s = 0;
    double idle_s = -1;         // since the latest frame of any source; -1 before the first
    std::vector<double> rates;  // total frames/s, one value a second, oldest first
    std::vector<SourceView> sources;
};

class SourceBook {
  public:
    // Waveforms as `format` samples in `points` buckets.
    SourceBook(SampleFormat format, size_t points, Clock::time_point start);

    // Counts one whole frame received at `now`. No allocation unless it is the first of
    // its source.
    void take(const uint8_t *frame, size_t length, Clock::time_point now);
    // Counts a message that is no frame.
    void take_malformed();
    void set_connected(bool connected);

    BookView view(Clock::time_point now);

    SampleFormat format() const { return format_; }

  private:
    // The latest samples of a source, across its latest frames, for its waveform.
    static constexpr size_t kWaveBytes = 16384;
    static constexpr size_t kHistory = 60;

    // Rates average this many whole seconds: a frame held up across a second's end then
    // moves the rate by a third as much.
    static constexpr unsigned kRateSeconds = 3;

    struct Source {
        uint64_t frames = 0, bytes = 0;
        uint16_t last_msg_id = 0;
        kttool::MsgOrder order;
        Clock::time_point last_frame;
        // Frames of the current second; of the latest whole ones (the source's first,
        // partial second is left out).
        uint32_t second_frames = 0;
        bool first_second = true;
        std::array<uint32_t, kRateSeconds> recent{};
        unsigned whole_seconds = 0;
        std::array<uint8_t, kWaveBytes> wave{};  // a ring: the oldest byte at wave_head
        size_t wave_head = 0, wave_fill = 0;
    };
    void tick(Clock::time_point now);

    const SampleFormat format_;
    const size_t points_;
    const Clock::time_point start_;
    std::mutex mutex_;
    bool connected_ = false;
    uint64_t frames_ = 0, bytes_ = 0, malformed_ = 0;
    Clock::time_point last_frame_{};
    Clock::time_point second_start_;
    uint64_t second_frames_ = 0;
    std::deque<double> history_;
    std::map<uint16_t, Source> sources_;  // by module << 8 | channel
};

}  // namespace ktweb
