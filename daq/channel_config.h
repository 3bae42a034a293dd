// Channel configuration messages of the filter mode.
#pragma once

#include <cstddef>

#include "kt_records.h"

namespace ktdaq {

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

}  // namespace ktdaq
