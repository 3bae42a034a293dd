// How the threads of the filter mode share the channel slots and records without
// blocking the dispatch thread, and without ever waiting for it.
//
// The dispatch thread marks each scan over the channels. A thread that has taken a record
// or a client socket out of reach of new scans (a replaced slot, a conn_fd set to -1)
// retires it: it is released at once when no scan is running, else as soon as the scan
// that was running has ended. So the dispatch thread never uses freed memory, nor sends
// on a descriptor number that was closed and given out again, and a dispatch thread that
// waits in a send holds up nobody but the frames.
#pragma once

#include <atomic>
#include <cstdint>

#include "kt_records.h"

namespace ktdaq {

// Something to release once no scan can reach it; embedded in what it releases.
struct RetireNode {
    RetireNode *next;
    uint32_t scan;                           // the scan that was running when it was retired
    void (*release)(RetireNode *) noexcept;  // frees or closes what holds the node
};

// Called by the dispatch thread around each scan over the channels; scan_end releases
// what was retired during the scan.
void scan_begin() noexcept;
void scan_end() noexcept;

// Releases `node` (calls its release function) once no scan that may have reached it is
// still running; never waits. Call after what it stands for is out of reach of new scans.
void retire(RetireNode *node) noexcept;

// The channel slots, read and written atomically.
kt_channel *slot_load(int index) noexcept;
void slot_store(int index, kt_channel *channel) noexcept;

// A channel's client socket, shared by the acceptor, the dispatch thread and the filters.
inline std::atomic_ref<int> conn_of(kt_channel *channel) noexcept {
    return std::atomic_ref<int>(channel->conn_fd);
}

}  // namespace ktdaq
