// Internal access to the subscriber table for the publish loop.
#pragma once

#include <cstdint>

namespace ktdaq {

// What the publish loop needs to know about a frame's subscribers.
struct Awaited {
    unsigned acks;    // the every-frame flag plus the subscriber count of the frame's source
    bool any_source;  // whether any subscriber is registered at all, for any source
};

// Looks the frame's source up; takes `mutex` for the lookup.
Awaited acks_awaited(uint16_t source_key) noexcept;

// Frees the table's entries under `mutex`, as deleting a handle does.
void release_table() noexcept;

}  // namespace ktdaq
