// How the threads of the filter mode share the channel slots and records without
// blocking the dispatch thread, and without ever waiting for it.
//
// The dispatch thread announces the record it is visiting (reading its fields, running
// its filters, sending to its client) before it uses it, and checks that the record is
// still in its slot. A thread that has taken a record or a client socket out of reach
// (a replaced slot, a conn_fd set to -1) retires it: it is released at once unless the
// dispatch thread is visiting the record it belongs to, else as soon as that visit ends.
// So the dispatch thread never uses freed memory, nor sends on a descriptor number that
// was closed and given out again; and a dispatch thread that waits in a send to one
// client holds up nothing of the other channels.
#pragma once

#include <atomic>
#include <cstdint>

#include "kt_records.h"

namespace ktdaq {

// Something to release once the dispatch thread is not visiting its owner; embedded in
// what it releases.
struct RetireNode {
    RetireNode *next;
    const kt_channel *owner;                 // the record it belongs to
    void (*release)(RetireNode *) noexcept;  // frees or closes what holds the node
};

// Dispatch thread: the record in slot `index`, announced as the one being visited; null
// for an empty slot (the previous visit then goes on until the next call or scan_done).
kt_channel *visit(int index) noexcept;

// Dispatch thread: ends the last visit of a scan over the channels.
void scan_done() noexcept;

// Releases `node` once the dispatch thread is not visiting `owner`; never waits. Call
// after what the node stands for is out of reach of new visits.
void retire(RetireNode *node, const kt_channel *owner) noexcept;

// The channel slots, read and written atomically.
kt_channel *slot_load(int index) noexcept;
void slot_store(int index, kt_channel *channel) noexcept;

// A channel's client socket, shared by the acceptor, the dispatch thread and the filters.
inline std::atomic_ref<int> conn_of(kt_channel *channel) noexcept {
    return std::atomic_ref<int>(channel->conn_fd);
}

}  // namespace ktdaq
