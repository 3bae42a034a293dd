// Internal access to the subscriber table for the publish loop.
#pragma once

#include <cstdint>

namespace ktdaq {

// The acknowledgements the publish loop awaits for a frame of `source_key`: the
// every-frame flag plus the subscriber count of the source. Takes `mutex` for the lookup.
unsigned acks_awaited(uint16_t source_key) noexcept;

// Frees the table's entries under `mutex`, as deleting a handle does.
void release_table() noexcept;

}  // namespace ktdaq
