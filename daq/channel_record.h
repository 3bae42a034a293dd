// Channel records of the filter mode: allocation, the acceptor's life and release.
#pragma once

#include "kt_records.h"

namespace ktdaq {

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

}  // namespace ktdaq
