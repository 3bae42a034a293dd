// How the threads of the filter mode share the channel slots and records without
// blocking the dispatch thread.
//
// The dispatch thread marks each scan over the channels. A thread that has taken a record
// or a client socket out of reach of new scans (a replaced slot, a conn_fd set to -1) waits
// until no scan that began earlier is still running before it frees the record or closes
// the socket; so the dispatch thread never uses freed memory, nor sends on a descriptor
// number that was closed and given out again.
#pragma once

#include <atomic>

#include "kt_records.h"

namespace ktdaq {

// Called by the dispatch thread around each scan over the channels.
void scan_begin() noexcept;
void scan_end() noexcept;

// Waits until every scan that had begun when it was called has ended.
void wait_for_scans() noexcept;

// The channel slots, read and written atomically.
kt_channel *slot_load(int index) noexcept;
void slot_store(int index, kt_channel *channel) noexcept;

// A channel's client socket, shared by the acceptor, the dispatch thread and the filters.
inline std::atomic_ref<int> conn_of(kt_channel *channel) noexcept {
    return std::atomic_ref<int>(channel->conn_fd);
}

}  // namespace ktdaq
