// Counts per frame that the machine's load does not move: the system calls of a
// publishing process over a window, counted by perf (its syscall tracepoints) or strace,
// and its user-space instructions under valgrind's callgrind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_options.h"
#include "process.h"

namespace ktbench {

// A count per name; "all" names the sum over every system call.
struct NamedCount {
    std::string name;
    double count = 0;
};

// The counts of "perf stat -x," output: "raw_syscalls:sys_enter" becomes "all",
// "syscalls:sys_enter_NAME" becomes NAME, other events keep their name. A "<not counted>"
// event counted 0; a "<not supported>" one is left out, as are lines that are no counts.
std::vector<NamedCount> parse_perf_counts(const std::string &text);

// The calls per system call of the summary that "strace -c" prints, and the total as
// "all"; empty when the text holds no summary.
std::vector<NamedCount> parse_strace_summary(const std::string &text);

// The count of `name` in `counts`, 0 when absent.
double count_of(const std::vector<NamedCount> &counts, const std::string &name);

// The tool `wanted` resolves to on this machine: kAuto becomes perf when a syscall
// tracepoint can be counted, else strace when it is installed, else kOff.
SyscallTool resolve_syscall_tool(SyscallTool wanted);
const char *tool_name(SyscallTool tool);

// Counts the system calls of every thread of a running process between begin() and
// end(): perf attached with its counters off, switched on and off through its control
// descriptors, so that the window is exact; or strace attached to every thread (then the
// window starts once all are attached and ends at the detach, a little late).
class SyscallCounter {
  public:
    // `names`: the system calls to count by name besides the total.
    SyscallCounter(SyscallTool tool, pid_t pid, const std::vector<std::string> &names);
    ~SyscallCounter();
    SyscallCounter(const SyscallCounter &) = delete;
    SyscallCounter &operator=(const SyscallCounter &) = delete;

    // Counting has started when this returns true.
    bool begin();
    // Counting stops; then the counts are read. False when the tool failed.
    bool end();
    const std::vector<NamedCount> &counts() const { return counts_; }
    const std::string &problem() const { return problem_; }

  private:
    bool perf_command(const char *command);

    SyscallTool tool_;
    pid_t pid_;
    std::unique_ptr<kttest::Process> process_;
    int control_[2] = {-1, -1};  // perf reads commands from [0], we write to [1]
    int ack_[2] = {-1, -1};      // perf writes "ack" to [1], we read from [0]
    std::vector<NamedCount> counts_;
    std::string problem_;
};

// The total instruction count of a callgrind output file (its "summary:" or "totals:"
// line); -1 when it has none.
int64_t callgrind_total(const std::string &text);

// Instructions per frame between two runs of different lengths: the start-up and the
// ending, the same in both, cancel. 0 unless frames2 > frames1.
double per_frame_difference(int64_t instructions1, uint64_t frames1, int64_t instructions2,
                            uint64_t frames2);

}  // namespace ktbench
