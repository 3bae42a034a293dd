// The channel slots and the dispatch thread's visits; what is retired waits for them.
#include "internal.h"

#include <pthread.h>

#include "kt_daq.h"

namespace ktdaq {
namespace {

// The record the dispatch thread is visiting; null between scans.
std::atomic<const kt_channel *> g_visiting{nullptr};

// Nodes whose owner was being visited when they were retired; guarded by
// g_retired_mutex. g_has_retired lets the dispatch thread look at the list only when it
// holds something.
pthread_mutex_t g_retired_mutex = PTHREAD_MUTEX_INITIALIZER;
RetireNode *g_retired = nullptr;
std::atomic<bool> g_has_retired{false};

// Releases every retired node whose owner is not being visited. Any thread may call it.
void release_unvisited() noexcept {
    RetireNode *ready = nullptr;
    pthread_mutex_lock(&g_retired_mutex);
    const kt_channel *visiting = g_visiting.load(std::memory_order_seq_cst);
    RetireNode **link = &g_retired;
    while (*link != nullptr) {
        RetireNode *node = *link;
        if (node->owner != visiting) {
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

// Announces `channel` as visited; then releases what waited for the previous visit. The
// announcement and the check of the flag pair with retire's push and check: either side
// sees the other.
void announce(const kt_channel *channel) noexcept {
    g_visiting.store(channel, std::memory_order_seq_cst);
    if (g_has_retired.load(std::memory_order_seq_cst)) {
        release_unvisited();
    }
}

}  // namespace

kt_channel *visit(int index) noexcept {
    kt_channel *channel = slot_load(index);
    // A record that left its slot before it was announced may be released already: take
    // the slot's record again until the announced one is still there.
    while (channel != nullptr) {
        announce(channel);
        kt_channel *again = slot_load(index);
        if (again == channel) {
            break;
        }
        channel = again;
    }
    return channel;
}

void scan_done() noexcept {
    if (g_visiting.load(std::memory_order_relaxed) != nullptr) {
        announce(nullptr);
    }
}

void retire(RetireNode *node, const kt_channel *owner) noexcept {
    node->owner = owner;
    // The caller's store that put the node out of reach comes first: a visit announced
    // after this load reads the slot or conn_fd anew and cannot reach it.
    if (g_visiting.load(std::memory_order_seq_cst) != owner) {
        node->release(node);
        return;
    }
    pthread_mutex_lock(&g_retired_mutex);
    node->next = g_retired;
    g_retired = node;
    g_has_retired.store(true, std::memory_order_seq_cst);
    pthread_mutex_unlock(&g_retired_mutex);
    // The visit may have ended before the dispatch thread could see the node.
    release_unvisited();
}

kt_channel *slot_load(int index) noexcept {
    return std::atomic_ref<kt_channel *>(g_channel[index]).load(std::memory_order_seq_cst);
}

void slot_store(int index, kt_channel *channel) noexcept {
    std::atomic_ref<kt_channel *>(g_channel[index]).store(channel, std::memory_order_seq_cst);
}

}  // namespace ktdaq
