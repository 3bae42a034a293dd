// Everything the files of the acquisition engine share with each other and with nothing
// outside the library (its tests and fuzz target aside).
//
// Filter mode: threads and the one memory-order rule
// ---------------------------------------------------
// The dispatch thread walks the channel slots and runs the filters; the configuration
// thread builds, enters and replaces records; one acceptor thread per record keeps its
// client. None takes a lock on the frame path. A record's fields are written before the
// record is entered in a slot and not again, except these, which several threads use and
// which are always read and written sequentially consistent (also by the filters): the
// slots, conn_fd, and the record the dispatch thread announces as visited. Sequential
// consistency is what makes "store, then load the other side's word" safe on both sides.
//
// A record's life: channel_new, items handled by channel_build (its key 3 starts the
// acceptor), channel_enter (into a slot, the earlier namesake retired), and in the end
// channel_retire. The dispatch thread announces the record it is visiting before it
// reads it and checks that it is still in its slot (visit); a record or client socket
// that was taken out of reach is retired: released at once unless its record is being
// visited, else as soon as that visit ends. So nothing waits for the dispatch thread,
// and it never uses freed memory nor sends on a descriptor number given out again.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "kt_records.h"

// Start routines of the filter mode's threads.
extern "C" void *pthread_config_channel(void *arg);
extern "C" void *pthread_accept_conn(void *arg);

namespace ktdaq {

// ---- Publish mode ----------------------------------------------------------------------

// The acknowledgements the publish loop awaits for a frame of `source_key`: the
// every-frame flag plus the subscriber count of the source. Takes `mutex` for the lookup.
unsigned acks_awaited(uint16_t source_key) noexcept;

// Frees the subscriber table's entries under `mutex`, as deleting a handle does.
void release_table() noexcept;

// The loop's options as the application set them (kt_daq_set_publish_options).
struct PublishOptions {
    uint32_t queue_depth;  // the publisher socket's send high-water mark
    uint32_t ack_window;   // frames published ahead of their acknowledgements
};

// The options, taken once by the publish loop as it starts; later calls of the setter
// are refused.
PublishOptions take_publish_options() noexcept;

// Fewest message buffers the loop may allocate: enough for hundreds of stalled
// subscribers at a queue depth of 1.
constexpr uint32_t kPoolMinBuffers = 1024;

// Message buffers the loop may allocate at `queue_depth`: a full queue for each of
// KT_DAQ_POOL_SUBSCRIBERS subscribers, within kPoolMinBuffers..KT_DAQ_POOL_MAX.
uint32_t pool_buffers(uint32_t queue_depth) noexcept;

// ---- Statistics --------------------------------------------------------------------------

// The counters are plain relaxed atomics: each is read by kt_daq_get_stats from any
// thread without a lock, and the frame path pays no more than a load and a store.
static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "a 64-bit counter must be lock-free (ldrexd/strexd on the 32-bit device)");

// One more on a counter that only one thread writes: a plain load and store is enough.
inline void bump(std::atomic<uint64_t> &counter) noexcept {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// One more on a counter that several threads write.
inline void bump_shared(std::atomic<uint64_t> &counter) noexcept {
    counter.fetch_add(1, std::memory_order_relaxed);
}

// What the publish loop has done, counted as it goes. Only the loop thread writes them.
struct PublishCounters {
    std::atomic<uint64_t> taken{0};      // frames taken from the ring
    std::atomic<uint64_t> published{0};  // frames sent on the publisher socket
    // Frames dropped for at least one subscriber whose queue was still full.
    std::atomic<uint64_t> dropped_for_lagging{0};
    // Frames not published: too long for their slot, no message buffer free, or the
    // message could not be set up.
    std::atomic<uint64_t> skipped{0};
    std::atomic<uint64_t> acknowledged{0};  // acknowledgements received
    std::atomic<uint64_t> ack_timeouts{0};  // acknowledgements that did not come in time

    static void bump(std::atomic<uint64_t> &counter) noexcept { ktdaq::bump(counter); }
    static void add(std::atomic<uint64_t> &counter, uint64_t n) noexcept {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
};

// The counters of the process's publish loop.
extern PublishCounters publish_counters;

// What the filter mode has done. Each group names the threads that write it.
struct FilterCounters {
    // The dispatch thread.
    std::atomic<uint64_t> taken{0};                              // frames taken from the ring
    std::atomic<uint64_t> batches{0};                            // hand-backs of ring slots
    std::atomic<uint64_t> dispatched{0};                         // frames scanned over the channels
    std::atomic<uint64_t> channel_frames[KT_MAX_CHANNELS] = {};  // chain runs, by slot
    // The configuration thread.
    std::atomic<uint64_t> config_accepted{0};
    std::atomic<uint64_t> config_refused{0};
    std::atomic<uint32_t> channel_port[KT_MAX_CHANNELS] = {};  // port of the slot's channel
    // The acceptor threads, several: bump_shared.
    std::atomic<uint64_t> client_connects{0};
    std::atomic<uint64_t> client_disconnects{0};
};

// The counters of the process's filter mode.
extern FilterCounters filter_counters;

// ---- Filter mode: slots, visits, retirement --------------------------------------------

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

// The channel slots.
kt_channel *slot_load(int index) noexcept;
void slot_store(int index, kt_channel *channel) noexcept;

// A channel's client socket, shared by the acceptor, the dispatch thread and the filters.
inline std::atomic_ref<int> conn_of(kt_channel *channel) noexcept {
    return std::atomic_ref<int>(channel->conn_fd);
}

// ---- Filter mode: a record's life -------------------------------------------------------

// A new record with every field cleared: no name, no sources, no parameter, no filters,
// no listening socket (-1), no client (-1), no acceptor. Null when memory runs out.
kt_channel *channel_new() noexcept;

// Starts the acceptor for the record's listening socket; false (nothing started, the
// reason printed) on failure.
bool channel_start_acceptor(kt_channel *channel) noexcept;

// Stops and joins the record's acceptor, which disconnects its client and retires its
// socket, and closes the listening socket. Nothing of the record is freed; never waits
// for the dispatch thread.
void channel_close(kt_channel *channel) noexcept;

// Closes what channel_close closes and frees the record and its strings at once. Only for
// a record the dispatch thread cannot reach: one that was never entered in a slot.
void channel_free(kt_channel *channel) noexcept;

// Closes what channel_close closes and frees the record once the dispatch thread cannot
// reach it any more. For a record that has just been taken out of its slot.
void channel_retire(kt_channel *channel) noexcept;

// Descriptors of the acceptor: the epoll instance it waits on, with the listening socket
// and the stop descriptor already added; the stop descriptor, readable once it must stop.
int channel_epoll_fd(kt_channel *channel) noexcept;
int channel_stop_fd(kt_channel *channel) noexcept;

// A client socket as its acceptor holds it.
struct Client;

// Acceptor: takes `fd` as the channel's client, in conn_fd and in the acceptor's epoll
// set, and retires the client it replaces (`previous`, may be null). Null, with `fd`
// closed and errno ENOMEM, when memory runs out.
Client *client_take(kt_channel *channel, int fd, Client *previous) noexcept;

// Acceptor: whether an epoll event's data belongs to this client (and not to an earlier
// one whose descriptor number it has now).
bool client_owns_event(const Client *client, uint64_t event_data) noexcept;

// Acceptor: ends a client connection for good. Disconnects it at once, so that a send
// blocked on it returns; it is closed once the dispatch thread cannot be sending on it.
void client_retire(kt_channel *channel, Client *client) noexcept;

// ---- Filter mode: configuration messages -----------------------------------------------

// Longest configuration message handled, in bytes.
constexpr size_t kMaxMessage = 1024;

// How the building of a record from a message ended.
enum class BuildResult {
    kBuilt,          // every item handled
    kDropped,        // a key 3 item failed (reported); the rest was not handled
    kUnknownFilter,  // a filter name the plug-in does not define; the rest was not handled
};

// Handles the items of a message of `length` bytes (a NUL ends it earlier) in order on
// the record `ch` from channel_new: copies, sources, listening socket and acceptor,
// filters. On kUnknownFilter the loader's text is in `error` (`error_size` bytes).
BuildResult channel_build(kt_channel *ch, const char *text, size_t length, char *error,
                          size_t error_size) noexcept;

// Enters a built record in the channel slots, in the slot of a channel of the same name
// (which is retired) or the first empty one, and prints the summary line. A record
// without a name, or for which there is no room, is reported and freed.
void channel_enter(kt_channel *ch) noexcept;

// Handles one configuration message of `length` bytes (a NUL ends it earlier): builds the
// channel record, opens its port and starts its acceptor, looks its filters up, enters it
// in the channel slots (replacing a channel of the same name) and prints the summary
// line. A filter name that is not found ends the process with status 1.
void kt_create_channel(const char *text, size_t length) noexcept;

// The filter function `name` that the plug-in opened as `handle` defines itself. Null when
// it has none: the loader's text, or one in the same form for a name that resolves only
// in another object (a library the plug-in uses) or to something that is not a function,
// is then written to `error` (`size` bytes, NUL-terminated).
kt_filter_fn find_filter(void *handle, const char *name, char *error, size_t size) noexcept;

}  // namespace ktdaq
