// CPU time and context switches of another process, all its threads together.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace ktbench {

// Nanoseconds of CPU the threads of `pid` alive now have used, from
// /proc/<pid>/task/*/schedstat, or from their utime and stime where that file is missing
// (then at the clock tick's resolution). -1 when the process cannot be read.
int64_t process_cpu_ns(pid_t pid);

// Context switches, voluntary and not, of the threads of `pid` alive now, from
// /proc/<pid>/task/*/status. -1 when the process cannot be read.
int64_t process_context_switches(pid_t pid);

}  // namespace ktbench
