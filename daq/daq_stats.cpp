// The engine's counters as the application reads them.
#include <cerrno>
#include <cstring>

#include "internal.h"
#include "kt_daq.h"

namespace ktdaq {
PublishCounters publish_counters;
FilterCounters filter_counters;
}  // namespace ktdaq

namespace {

uint64_t read(const std::atomic<uint64_t> &counter) {
    return counter.load(std::memory_order_relaxed);
}

}  // namespace

int kt_daq_get_stats(kt_daq_stats *out, size_t size) noexcept {
    if (out == nullptr || size < sizeof out->size) {
        errno = EINVAL;
        return -1;
    }
    const ktdaq::PublishCounters &pub = ktdaq::publish_counters;
    const ktdaq::FilterCounters &fil = ktdaq::filter_counters;
    // Filled in full on the stack, then copied as far as the caller's record reaches.
    kt_daq_stats stats{};
    stats.size = sizeof stats;
    stats.channels = KT_MAX_CHANNELS;
    // Only one of the two loops runs in a process; the other's count stays 0.
    stats.frames_taken = read(pub.taken) + read(fil.taken);
    stats.published = read(pub.published);
    stats.acknowledged = read(pub.acknowledged);
    stats.ack_timeouts = read(pub.ack_timeouts);
    stats.dropped_for_lagging = read(pub.dropped_for_lagging);
    stats.skipped = read(pub.skipped);
    stats.batches = read(fil.batches);
    stats.frames_dispatched = read(fil.dispatched);
    stats.client_connects = read(fil.client_connects);
    stats.client_disconnects = read(fil.client_disconnects);
    stats.config_accepted = read(fil.config_accepted);
    stats.config_refused = read(fil.config_refused);
    for (int i = 0; i < KT_MAX_CHANNELS; ++i) {
        stats.channel[i].frames = read(fil.channel_frames[i]);
        stats.channel[i].port =
            static_cast<uint16_t>(fil.channel_port[i].load(std::memory_order_relaxed));
    }
    memcpy(out, &stats, size < sizeof stats ? size : sizeof stats);
    return 0;
}
