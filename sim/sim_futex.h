// Waiting on a 32-bit word of the shared register page, across processes. The page is a
// shared mapping of the device file, so these are shared futexes (not FUTEX_PRIVATE): the
// kernel finds the waiters by the file page, whatever address each process mapped it at.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

namespace ktsim {

// Sleeps while `*word` holds `expected`, at most `timeout`; returns early on a wake-up,
// a signal, or when the word already differs.
inline void futex_wait(uint32_t *word, uint32_t expected, std::chrono::nanoseconds timeout) {
    if (timeout.count() <= 0) {
        return;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(timeout.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(timeout.count() % 1000000000);
#if defined(SYS_futex_time64)
    // 32-bit targets built with a 64-bit time_t take the timeout through the newer call.
    if constexpr (sizeof(ts.tv_sec) > sizeof(long)) {
        syscall(SYS_futex_time64, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
        return;
    }
#endif
    syscall(SYS_futex, word, FUTEX_WAIT, expected, &ts, nullptr, 0);
}

// Wakes every process waiting on `word`.
inline void futex_wake(uint32_t *word) {
    syscall(SYS_futex, word, FUTEX_WAKE, INT32_MAX, nullptr, nullptr, 0);
}

}  // namespace ktsim
