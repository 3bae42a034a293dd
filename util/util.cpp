// Stand-in for the product's utility library.
#include "kt_util.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <ctime>

void kt_sleep_ms(int ms) noexcept {
    if (ms <= 0) {
        return;
    }
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // Sleep the whole span even when a signal handler interrupts it.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

namespace {
int64_t to_ms(const timespec &t) {
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000L;
}
}  // namespace

void get_time_tamp(kt_timestamp *ts) noexcept {
    if (ts == nullptr) {
        return;
    }
    // Wall-clock time as it was at the first call, carried forward by the monotonic
    // clock: readable as calendar time, yet never running backwards when the wall
    // clock is set back.
    static const int64_t offset_ms = [] {
        timespec wall{}, mono{};
        clock_gettime(CLOCK_REALTIME, &wall);
        clock_gettime(CLOCK_MONOTONIC, &mono);
        return to_ms(wall) - to_ms(mono);
    }();
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    const int64_t now_ms = to_ms(mono) + offset_ms;
    ts->msec = static_cast<uint16_t>(now_ms % 1000);
    ts->sec = static_cast<uint32_t>(now_ms / 1000);
}

uint32_t kt_crc(const char *text, uint16_t length) noexcept {
    if (text == nullptr) {
        return 0;
    }
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, reinterpret_cast<const Bytef *>(text), length);
    return static_cast<uint32_t>(crc);
}

void big_endian(void *buf, int length) noexcept {
    if (buf == nullptr || length < 2) {
        return;
    }
    auto *bytes = static_cast<unsigned char *>(buf);
    if constexpr (std::endian::native == std::endian::little) {
        std::reverse(bytes, bytes + length);
    }
}
