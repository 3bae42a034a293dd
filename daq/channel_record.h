// Channel records of the filter mode: allocation, the acceptor's life and release.
#pragma once

#include "kt_records.h"

namespace ktdaq {

// A new record with every field cleared: no name, no sources, no parameter, no filters,
// no listening socket (-1), no client (-1), no acceptor. Null when memory runs out.
kt_channel *channel_new() noexcept;

// Starts the acceptor for the record's listening socket; false (nothing started) on
// failure.
bool channel_start_acceptor(kt_channel *channel) noexcept;

// Stops and joins the record's acceptor, which disconnects and closes its client, and
// closes the listening socket. Nothing of the record is freed.
void channel_close(kt_channel *channel) noexcept;

// Closes what channel_close closes and frees the record and its strings. Call only once
// no other thread can reach the record.
void channel_free(kt_channel *channel) noexcept;

// Whether the acceptor was asked to stop; polled by the acceptor with the descriptor it
// waits on.
int channel_stop_fd(kt_channel *channel) noexcept;

}  // namespace ktdaq
