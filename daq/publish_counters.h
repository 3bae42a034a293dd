// What the publish loop has done, counted as it goes. Only the loop thread writes them;
// any thread may read them.
#pragma once

#include <atomic>
#include <cstdint>

namespace ktdaq {

struct PublishCounters {
    std::atomic<uint64_t> published{0};  // frames sent on the publisher socket
    // Frames dropped for at least one subscriber whose queue was still full.
    std::atomic<uint64_t> dropped_for_lagging{0};
    // Frames not published: too long for their slot, no message buffer free, or the
    // message could not be set up.
    std::atomic<uint64_t> skipped{0};
    std::atomic<uint64_t> ack_timeouts{0};  // acknowledgements that did not come in time

    // One more; single writer, so a plain load and store is enough.
    static void bump(std::atomic<uint64_t> &counter) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
};

// The counters of the process's publish loop.
extern PublishCounters publish_counters;

}  // namespace ktdaq
