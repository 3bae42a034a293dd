// Counts the heap allocations of one process of the benchmark, its threads included.
//
// The benchmark program defines malloc, calloc, realloc, free and the aligned allocators
// itself; they forward to the C library's own allocator and, in a process that has
// switched counting on, add one to a counter in a shared page that other processes read.
// Everything that allocates through the C library counts: operator new, ZeroMQ, the C
// library's own callers.
#pragma once

#include <cstdint>

namespace ktbench {

struct AllocCounts {
    uint64_t allocations;  // malloc, calloc, realloc and the aligned allocators
    uint64_t frees;        // free of a non-null pointer
};

// A zeroed page shared with every process forked or executed later: mapped from a memory
// file whose descriptor survives exec. Null on failure.
AllocCounts *create_alloc_counts(int *fd);
// Maps the page from a descriptor inherited through exec. Null on failure.
AllocCounts *attach_alloc_counts(int fd);

// From now on this process (all its threads) counts into `counts`; null stops counting.
void count_allocations_into(AllocCounts *counts);

// A snapshot of `counts`, read while other processes may be counting.
AllocCounts read_alloc_counts(const AllocCounts *counts);

}  // namespace ktbench
