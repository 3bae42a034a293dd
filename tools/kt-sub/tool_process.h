// Test helper: runs a tool of the build as a child process with its output in a file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kttool_test {

class ToolProcess {
  public:
    // Starts `args` (program first); `preload` goes into LD_PRELOAD when not empty.
    ToolProcess(const std::vector<std::string> &args, const std::string &preload = "");
    ~ToolProcess();
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;

    // Waits for the exit; the exit status, 128 + signal, or -1 after `timeout_ms`.
    int wait(int timeout_ms);
    void kill_now();
    pid_t pid() const { return pid_; }
    // Standard output and standard error so far, one after the other.
    std::string output() const;

  private:
    pid_t pid_ = -1;
    std::string out_path_;
};

}  // namespace kttool_test
