#include "channel_sync.h"

#include <sched.h>
#include <time.h>

#include <cstdint>

#include "kt_daq.h"

namespace ktdaq {
namespace {

// Odd while the dispatch thread is inside a scan.
std::atomic<uint32_t> g_scan_seq{0};

}  // namespace

void scan_begin() noexcept {
    g_scan_seq.fetch_add(1, std::memory_order_seq_cst);
}

void scan_end() noexcept {
    g_scan_seq.fetch_add(1, std::memory_order_seq_cst);
}

void wait_for_scans() noexcept {
    const uint32_t seen = g_scan_seq.load(std::memory_order_seq_cst);
    if ((seen & 1u) == 0) {
        return;  // no scan running: later ones see only what is reachable now
    }
    for (unsigned round = 0; g_scan_seq.load(std::memory_order_seq_cst) == seen; ++round) {
        if (round < 100) {
            sched_yield();
        } else {
            const timespec pause{0, 100000};
            nanosleep(&pause, nullptr);
        }
    }
}

kt_channel *slot_load(int index) noexcept {
    return std::atomic_ref<kt_channel *>(g_channel[index]).load(std::memory_order_seq_cst);
}

void slot_store(int index, kt_channel *channel) noexcept {
    std::atomic_ref<kt_channel *>(g_channel[index]).store(channel, std::memory_order_seq_cst);
}

}  // namespace ktdaq
