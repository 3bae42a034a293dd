// The subscriber side of a run: a ZeroMQ SUB that takes every topic and, when
// acknowledging, a REQ that acknowledges every K frames, or a TCP reader of a stream of
// frames.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ktbench {

using Clock = std::chrono::steady_clock;

class Receiver {
  public:
    virtual ~Receiver() = default;
    // Waits until connected, and for a subscriber until its subscription has had time to
    // arrive.
    virtual bool wait_connected(std::chrono::milliseconds timeout) = 0;
    // Receives (and acknowledges) frames until `until`; returns how many came.
    virtual uint64_t run_until(Clock::time_point until) = 0;
    // Whether the publisher stopped answering an acknowledgement, or the stream broke.
    virtual bool stalled() const = 0;
};

class Peer : public Receiver {
  public:
    // `ack_every` 0: no acknowledgements. Otherwise one request per `ack_every` frames,
    // whose text is that count in decimal ("1" for one per frame); while it is in
    // flight, frames keep being received.
    explicit Peer(uint32_t ack_every);
    ~Peer() override;
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    bool wait_connected(std::chrono::milliseconds timeout) override;
    uint64_t run_until(Clock::time_point until) override;
    bool stalled() const override { return stalled_; }

  private:
    uint32_t ack_every_;
    std::string ack_text_;
    uint64_t owed_ = 0;  // frames received and not yet acknowledged
    bool in_flight_ = false;
    Clock::time_point sent_at_;
    bool stalled_ = false;
    void *context_ = nullptr, *sub_ = nullptr, *req_ = nullptr, *monitor_ = nullptr;
};

// Splits a byte stream of frames as kt_frame_length gives their lengths. Takes the bytes
// of `data` that arrived, calls `frame` for each whole frame, keeps the rest.
class FrameSplitter {
  public:
    template <class OnFrame>
    void take(const uint8_t *data, size_t length, OnFrame frame) {
        pending_.insert(pending_.end(), data, data + length);
        size_t at = 0;
        for (size_t n = 0; (n = whole_frame_at(at)) != 0; at += n) {
            frame(pending_.data() + at, n);
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(at));
    }
    // Bytes of a frame begun and not yet complete.
    size_t pending() const { return pending_.size(); }

  private:
    // The length of the whole frame at `at` of pending_, or 0 while it is incomplete.
    size_t whole_frame_at(size_t at) const;
    std::vector<uint8_t> pending_;
};

// Reads the frames that a publisher sends on a TCP connection to 127.0.0.1:`port`.
class StreamPeer : public Receiver {
  public:
    explicit StreamPeer(uint16_t port) : port_(port) {}
    ~StreamPeer() override;
    StreamPeer(const StreamPeer &) = delete;
    StreamPeer &operator=(const StreamPeer &) = delete;

    bool wait_connected(std::chrono::milliseconds timeout) override;
    uint64_t run_until(Clock::time_point until) override;
    bool stalled() const override { return stalled_; }

  private:
    uint16_t port_;
    int fd_ = -1;
    bool stalled_ = false;
    FrameSplitter splitter_;
};

}  // namespace ktbench
