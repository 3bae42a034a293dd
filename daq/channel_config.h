// Channel configuration messages of the filter mode.
#pragma once

#include <cstddef>

namespace ktdaq {

// Longest configuration message handled, in bytes.
constexpr size_t kMaxMessage = 1024;

// Handles one configuration message of `length` bytes (a NUL ends it earlier): builds the
// channel record, opens its port and starts its acceptor, looks its filters up, enters it
// in the channel slots (replacing a channel of the same name) and prints the summary
// line. A filter name that is not found ends the process with status 1.
void kt_create_channel(const char *text, size_t length) noexcept;

}  // namespace ktdaq
