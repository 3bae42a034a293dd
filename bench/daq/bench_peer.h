// The subscriber side of a run: one SUB that takes every topic and, when acknowledging,
// a REQ that sends one empty acknowledgement per frame and waits for the reply.
#pragma once

#include <chrono>
#include <cstdint>

namespace ktbench {

using Clock = std::chrono::steady_clock;

class Peer {
  public:
    explicit Peer(bool ack);
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // Waits until the SUB has connected and its subscription has had time to arrive.
    bool wait_connected();
    // Receives (and acknowledges) frames until `until`; returns how many came.
    uint64_t run_until(Clock::time_point until);
    // Whether an acknowledgement was never answered (the publisher stopped answering).
    bool stalled() const { return stalled_; }

  private:
    bool ack_;
    bool stalled_ = false;
    void *context_ = nullptr, *sub_ = nullptr, *req_ = nullptr, *monitor_ = nullptr;
};

}  // namespace ktbench
