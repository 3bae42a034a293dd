// System calls of another process, all its threads together, over a window: perf stat on
// the tracepoint raw_syscalls:sys_enter, attached to the process with counting off and
// switched on and off through its control FIFOs, so that the count covers exactly the
// window the caller measures everything else over. Needs perf and the right to trace the
// process (root).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "process.h"
#include "temp_dir.h"

namespace ktbench {

class SyscallCount {
  public:
    // Attaches perf to `pid`, not counting yet; error() says why when that failed.
    explicit SyscallCount(pid_t pid);
    ~SyscallCount();
    SyscallCount(const SyscallCount &) = delete;
    SyscallCount &operator=(const SyscallCount &) = delete;

    // Switches counting on / off; returns once perf has done so. False on failure.
    bool start();
    bool stop();
    // Ends perf and returns the system calls counted; -1 on failure (see error()).
    int64_t finish();
    const std::string &error() const { return error_; }

  private:
    bool command(const char *text);

    kttest::TempDir dir_{"kt-syscalls"};
    std::unique_ptr<kttest::Process> perf_;
    int control_ = -1;  // written: commands
    int ack_ = -1;      // read: perf's answers
    std::string error_;
};

}  // namespace ktbench
