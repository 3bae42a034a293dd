// CPU time and context switches of another process, all its threads together.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace ktbench {

// Nanoseconds of CPU the threads of `pid` alive now have used, from
// /proc/<pid>/task/*/schedstat, or from their utime and stime where that file is missing
// (then at the clock tick's resolution). -1 when the process cannot be read.
int64_t process_cpu_ns(pid_t pid);

// Voluntary plus involuntary context switches of the threads of `pid` alive now, from
// /proc/<pid>/task/*/status. -1 when the process cannot be read.
int64_t process_context_switches(pid_t pid);

// The sum of the voluntary_ctxt_switches and nonvoluntary_ctxt_switches lines of the text
// of a status file; -1 unless both are there.
int64_t context_switches_in_status(const char *status);

}  // namespace ktbench
