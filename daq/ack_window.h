// The acknowledgement window of the publish loop: frames published ahead of their
// acknowledgements, settled oldest first as requests arrive on the acknowledgement socket,
// and reported with the time-out line when their acknowledgements do not come in time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "internal.h"

namespace ktdaq {

// Acknowledgements a request stands for: K for one part whose bytes are the decimal
// digits of K, 1 <= K <= `window`, without sign or leading zero; 1 for anything else.
uint32_t request_credit(const void *data, size_t size, bool single_part, uint32_t window) noexcept;

class AckWindow {
  public:
    // Up to `size` frames (1..KT_DAQ_ACK_WINDOW_MAX) on `ack_socket`, a bound REP socket.
    AckWindow(void *ack_socket, uint32_t size, PublishCounters &counters) noexcept;
    AckWindow(const AckWindow &) = delete;
    AckWindow &operator=(const AckWindow &) = delete;

    bool empty() const noexcept { return count_ == 0; }
    bool full() const noexcept { return count_ == size_; }

    // A frame just published under `topic` that awaits `acks` (> 0) acknowledgements;
    // only while not full().
    void add(const char *topic, size_t topic_length, unsigned msg_id, unsigned acks) noexcept;

    // Once the oldest frame is due: settles with the requests already there, then reports
    // every frame still unacknowledged past its time. Costs a clock read otherwise.
    void expire_due() noexcept;

    // Waits up to `max_ms` (-1: as long as the oldest frame may wait) for a request and
    // settles frames with it, or reports the frames that are due. Only while not empty().
    void wait(int max_ms) noexcept;

  private:
    struct Entry {
        int64_t deadline_ns;  // when its acknowledgements are due, monotonic clock
        uint32_t msg_id;
        uint32_t awaited;
        uint32_t received;
        uint8_t topic_length;
        char topic[15];  // "frame://255:15", no NUL
    };

    Entry &oldest() noexcept { return entries_[head_]; }
    // Applies `credit` acknowledgements, oldest frame first; the rest counts for nothing.
    void settle(uint32_t credit) noexcept;
    // Receives one request (any number of parts) and answers it; false when none came.
    bool receive(int flags) noexcept;
    void set_receive_timeout(int ms) noexcept;
    // Reports and drops the frames due at `now_ns`.
    void report_due(int64_t now_ns) noexcept;

    void *socket_;
    const uint32_t size_;
    PublishCounters &counters_;
    Entry *entries_;
    uint32_t head_ = 0;
    uint32_t count_ = 0;
    int receive_timeout_ = -2;  // as last set on the socket; -2 before the first time
};

}  // namespace ktdaq
