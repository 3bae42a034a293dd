// The publish loop's options (an extension): set by the application before the loop
// starts, taken by the loop once as it starts.
#include <atomic>
#include <cerrno>

#include "internal.h"
#include "kt_daq.h"

namespace {

// Depth in bits 0..15, window in bits 16..31, and bit 32 once the loop has taken them:
// one word, so that a setter and the starting loop never see half an update.
constexpr uint64_t kStarted = uint64_t{1} << 32;

uint64_t pack(uint32_t depth, uint32_t window) {
    return uint64_t{depth} | uint64_t{window} << 16;
}

std::atomic<uint64_t> g_options{pack(1, 1)};

}  // namespace

namespace ktdaq {

PublishOptions take_publish_options() noexcept {
    const uint64_t word = g_options.fetch_or(kStarted, std::memory_order_acq_rel);
    return PublishOptions{static_cast<uint32_t>(word & 0xffff),
                          static_cast<uint32_t>(word >> 16 & 0xffff)};
}

uint32_t pool_buffers(uint32_t queue_depth) noexcept {
    const uint32_t wanted = queue_depth * KT_DAQ_POOL_SUBSCRIBERS;
    if (wanted < kPoolMinBuffers) {
        return kPoolMinBuffers;
    }
    return wanted > KT_DAQ_POOL_MAX ? KT_DAQ_POOL_MAX : wanted;
}

}  // namespace ktdaq

int kt_daq_set_publish_options(uint32_t queue_depth, uint32_t ack_window) noexcept {
    if (queue_depth < 1 || queue_depth > KT_DAQ_QUEUE_DEPTH_MAX || ack_window < 1 ||
        ack_window > KT_DAQ_ACK_WINDOW_MAX) {
        errno = EINVAL;
        return -1;
    }
    uint64_t word = g_options.load(std::memory_order_acquire);
    do {
        if ((word & kStarted) != 0) {
            errno = EBUSY;
            return -1;
        }
    } while (!g_options.compare_exchange_weak(
        word, pack(queue_depth, ack_window), std::memory_order_acq_rel, std::memory_order_acquire));
    return 0;
}
