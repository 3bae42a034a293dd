// The engine's statistics of a loop running in a child process, read by the parent over
// a pair of pipes: a request byte one way, the whole record the other.
#pragma once

#include <utility>
#include <vector>

#include "kt_daq.h"

namespace ktdaq_test {

// Child: answers every request with kt_daq_get_stats on a detached thread, as long as the
// parent's descriptors were handed over.
void serve_stats();

// Parent side.
class StatsLink {
  public:
    StatsLink();
    ~StatsLink();
    StatsLink(const StatsLink &) = delete;
    StatsLink &operator=(const StatsLink &) = delete;

    // The descriptors to hand to the child (ProcessOptions::fds); closed here by started().
    std::vector<std::pair<int, int>> child_fds() const;
    void started();
    // The child's record; false when it did not answer within `timeout_ms`.
    bool read(kt_daq_stats *out, int timeout_ms = 5000);

  private:
    int request_[2] = {-1, -1};
    int reply_[2] = {-1, -1};
};

}  // namespace ktdaq_test
