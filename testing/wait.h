// Test support: waiting for a condition instead of sleeping for a fixed time.
#pragma once

#include <chrono>
#include <functional>

namespace kttest {

// Checks `done` until it holds or `timeout` has passed, a millisecond apart; the last
// result of `done`.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

}  // namespace kttest
