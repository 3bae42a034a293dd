// Allocation counting: definitions of the C allocator's entry points in the benchmark
// program, which the dynamic linker binds ahead of the C library's for every library of
// the process. They only forward to the C library's allocator under its internal names
// and touch one atomic counter, so they neither recurse nor need anything set up: they
// work before main, in forked children and in every thread.
#include "alloc_count.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *ptr);
}

namespace ktbench {
namespace {

// Null while this process does not count; inherited by forked children.
std::atomic<AllocCounts *> g_counts{nullptr};

inline void count(uint64_t AllocCounts::*field) {
    AllocCounts *counts = g_counts.load(std::memory_order_relaxed);
    if (counts != nullptr) {
        std::atomic_ref<uint64_t>(counts->*field).fetch_add(1, std::memory_order_relaxed);
    }
}

AllocCounts *map_counts(int fd) {
    void *page = mmap(nullptr, sizeof(AllocCounts), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    return page == MAP_FAILED ? nullptr : static_cast<AllocCounts *>(page);
}

}  // namespace

AllocCounts *create_alloc_counts(int *fd) {
    // No close-on-exec: a child that executes the program again maps the same page.
    const int memfd = memfd_create("daq_bench_allocs", 0);
    if (memfd < 0 || ftruncate(memfd, sizeof(AllocCounts)) != 0) {
        return nullptr;
    }
    *fd = memfd;
    return map_counts(memfd);
}

AllocCounts *attach_alloc_counts(int fd) {
    return map_counts(fd);
}

void count_allocations_into(AllocCounts *counts) {
    g_counts.store(counts, std::memory_order_relaxed);
}

AllocCounts read_alloc_counts(const AllocCounts *counts) {
    // The page is written by other processes; std::atomic_ref wants a non-const object.
    auto *shared = const_cast<AllocCounts *>(counts);
    return {std::atomic_ref<uint64_t>(shared->allocations).load(std::memory_order_relaxed),
            std::atomic_ref<uint64_t>(shared->frees).load(std::memory_order_relaxed)};
}

}  // namespace ktbench

using ktbench::AllocCounts;
using ktbench::count;

extern "C" {

void *malloc(size_t size) noexcept {
    count(&AllocCounts::allocations);
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size) noexcept {
    count(&AllocCounts::allocations);
    return __libc_calloc(n, size);
}

void *realloc(void *ptr, size_t size) noexcept {
    count(&AllocCounts::allocations);
    return __libc_realloc(ptr, size);
}

void free(void *ptr) noexcept {
    if (ptr != nullptr) {
        count(&AllocCounts::frees);
    }
    __libc_free(ptr);
}

void *memalign(size_t alignment, size_t size) noexcept {
    count(&AllocCounts::allocations);
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) noexcept {
    count(&AllocCounts::allocations);
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) noexcept {
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    count(&AllocCounts::allocations);
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}

}  // extern "C"
