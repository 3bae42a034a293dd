// The subscriber table of the publish mode: registering and unregistering subscribers
// per source, and the per-frame lookup of the publish loop.
//
// Every lookup is made under `mutex` together with the change that follows it, so no
// lookup can see an entries array that a concurrent growth has just moved, and no
// change of an entry is lost to a concurrent change of the same entry.
#include <cstdlib>

#include "kt_daq.h"
#include "internal.h"

namespace {

constexpr uint32_t kTableStep = 8;
constexpr uint32_t kMaxCapacity = UINT16_MAX;
constexpr uint32_t kMaxCount = UINT16_MAX;
constexpr int kMaxId = 255;

class TableLock {
  public:
    TableLock() { pthread_mutex_lock(&mutex); }
    ~TableLock() { pthread_mutex_unlock(&mutex); }
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
};

bool in_range(int module_id, int channel_id) {
    return module_id >= 0 && module_id <= kMaxId && channel_id >= 0 && channel_id <= kMaxId;
}

// The entry of `key`, or null. Called with `mutex` held.
uint32_t *find_entry(uint16_t key) {
    for (uint32_t i = 0; i < g_channel_info.used; ++i) {
        if (kt_entry_key(g_channel_info.entries[i]) == key) {
            return &g_channel_info.entries[i];
        }
    }
    return nullptr;
}

// Makes room for one more entry; on failure the table is left empty. Called with `mutex`
// held.
bool grow() {
    // The 16-bit capacity cannot pass 65535, which still holds every key but 0xffff.
    uint32_t capacity = g_channel_info.capacity + kTableStep;
    if (capacity > kMaxCapacity) {
        capacity = kMaxCapacity;
    }
    void *grown = realloc(g_channel_info.entries, capacity * sizeof(uint32_t));
    if (grown == nullptr) {
        free(g_channel_info.entries);
        g_channel_info.entries = nullptr;
        g_channel_info.capacity = 0;
        g_channel_info.used = 0;
        return false;
    }
    g_channel_info.entries = static_cast<uint32_t *>(grown);
    g_channel_info.capacity = static_cast<uint16_t>(capacity);
    return true;
}

}  // namespace

int add_channel(int module_id, int channel_id) noexcept {
    if (!in_range(module_id, channel_id)) {
        return -1;
    }
    const auto key = static_cast<uint16_t>(kt_source_key(module_id, channel_id));
    TableLock lock;
    if (key == KT_SOURCE_ALL) {
        g_channel_info.all_frames = 1;
        return 0;
    }
    if (uint32_t *entry = find_entry(key)) {
        const uint32_t count = kt_entry_count(*entry);
        if (count == kMaxCount) {
            return -1;
        }
        *entry = kt_entry_make(key, static_cast<uint16_t>(count + 1));
        return 0;
    }
    if (g_channel_info.used == g_channel_info.capacity && !grow()) {
        return -1;
    }
    g_channel_info.entries[g_channel_info.used] = kt_entry_make(key, 1);
    ++g_channel_info.used;
    return 0;
}

int delete_channel(int module_id, int channel_id) noexcept {
    if (!in_range(module_id, channel_id)) {
        return 0;
    }
    const auto key = static_cast<uint16_t>(kt_source_key(module_id, channel_id));
    TableLock lock;
    if (key == KT_SOURCE_ALL) {
        g_channel_info.all_frames = 0;
        return 0;
    }
    if (uint32_t *entry = find_entry(key)) {
        const uint16_t count = kt_entry_count(*entry);
        if (count > 0) {
            *entry = kt_entry_make(key, static_cast<uint16_t>(count - 1));
        }
    }
    return 0;
}

namespace ktdaq {

unsigned acks_awaited(uint16_t source_key) noexcept {
    TableLock lock;
    unsigned acks = g_channel_info.all_frames;
    for (uint32_t i = 0; i < g_channel_info.used; ++i) {
        const uint32_t entry = g_channel_info.entries[i];
        if (kt_entry_key(entry) == source_key) {
            acks += kt_entry_count(entry);
            break;
        }
    }
    return acks;
}

void release_table() noexcept {
    TableLock lock;
    if (g_channel_info.entries == nullptr) {
        return;
    }
    free(g_channel_info.entries);
    g_channel_info.entries = nullptr;
    g_channel_info.capacity = 0;
    g_channel_info.used = 0;
    g_channel_info.all_frames = 0;
}

}  // namespace ktdaq
