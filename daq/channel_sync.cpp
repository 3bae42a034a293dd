#include "channel_sync.h"

#include <pthread.h>

#include "kt_daq.h"

namespace ktdaq {
namespace {

// Odd while the dispatch thread is inside a scan.
std::atomic<uint32_t> g_scan_seq{0};

// Nodes retired while a scan ran, newest first; guarded by g_retired_mutex. g_has_retired
// lets the dispatch thread look at the list only when it holds something.
pthread_mutex_t g_retired_mutex = PTHREAD_MUTEX_INITIALIZER;
RetireNode *g_retired = nullptr;
std::atomic<bool> g_has_retired{false};

// Releases every retired node whose scan has ended. Any thread may call it.
void release_ended() noexcept {
    RetireNode *ready = nullptr;
    pthread_mutex_lock(&g_retired_mutex);
    const uint32_t now = g_scan_seq.load(std::memory_order_seq_cst);
    RetireNode **link = &g_retired;
    while (*link != nullptr) {
        RetireNode *node = *link;
        if (node->scan != now) {  // the scan it was retired in is over
            *link = node->next;
            node->next = ready;
            ready = node;
        } else {
            link = &node->next;
        }
    }
    g_has_retired.store(g_retired != nullptr, std::memory_order_seq_cst);
    pthread_mutex_unlock(&g_retired_mutex);
    while (ready != nullptr) {
        RetireNode *next = ready->next;
        ready->release(ready);
        ready = next;
    }
}

}  // namespace

void scan_begin() noexcept {
    g_scan_seq.fetch_add(1, std::memory_order_seq_cst);
}

void scan_end() noexcept {
    g_scan_seq.fetch_add(1, std::memory_order_seq_cst);
    if (g_has_retired.load(std::memory_order_seq_cst)) {
        release_ended();
    }
}

void retire(RetireNode *node) noexcept {
    // The caller's store that put the node's owner out of reach comes first: a scan that
    // begins after this load sees that store.
    const uint32_t seen = g_scan_seq.load(std::memory_order_seq_cst);
    if ((seen & 1u) == 0) {
        node->release(node);  // no scan running
        return;
    }
    pthread_mutex_lock(&g_retired_mutex);
    node->scan = seen;
    node->next = g_retired;
    g_retired = node;
    g_has_retired.store(true, std::memory_order_seq_cst);
    pthread_mutex_unlock(&g_retired_mutex);
    // The scan may have ended before the dispatch thread could see the node: either it
    // sees the flag at the end of its scan, or this call sees the scan ended.
    release_ended();
}

kt_channel *slot_load(int index) noexcept {
    return std::atomic_ref<kt_channel *>(g_channel[index]).load(std::memory_order_seq_cst);
}

void slot_store(int index, kt_channel *channel) noexcept {
    std::atomic_ref<kt_channel *>(g_channel[index]).store(channel, std::memory_order_seq_cst);
}

}  // namespace ktdaq
