/*
 * Utility functions that the product libraries call: sleeping, time stamps, the
 * reply checksum and byte-order conversion.
 *
 * On the device these come from the product's own utility library. The library built
 * from this folder is a stand-in with the same names and behaviour, so that the other
 * libraries link, run and can be tested without it.
 */
#ifndef KT_UTIL_H
#define KT_UTIL_H

#include <stdint.h>

#include "kt_api.h"

KT_BEGIN_DECLS

/* A point in time: milliseconds within the second (0..999), then whole seconds. */
typedef struct kt_timestamp {
    uint16_t msec; /* milliseconds within the second, 0..999 */
    uint32_t sec;  /* whole seconds */
} kt_timestamp;

/* Blocks the calling thread for about `ms` milliseconds; nothing happens for ms <= 0. */
KT_API void kt_sleep_ms(int ms) KT_NOEXCEPT;

/*
 * Fills `ts` with the current time. Later calls never give an earlier time, even when
 * the wall clock is set back: the stand-in counts from a monotonic clock. A null `ts`
 * is ignored.
 */
KT_API void get_time_tamp(kt_timestamp *ts) KT_NOEXCEPT;

/*
 * Checksum of `length` bytes at `text`: the standard CRC-32 (IEEE 802.3, reflected
 * polynomial 0xEDB88320, initial value and final XOR 0xFFFFFFFF; "123456789" gives
 * 0xcbf43926), as computed by zlib. A null `text` gives 0.
 */
KT_API uint32_t kt_crc(const char *text, uint16_t length) KT_NOEXCEPT;

/*
 * Rewrites `length` bytes at `buf` in place from the processor's byte order into
 * big-endian order; on the little-endian device this reverses them. A null `buf` or a
 * length below 2 leaves the memory unchanged.
 */
KT_API void big_endian(void *buf, int length) KT_NOEXCEPT;

KT_END_DECLS

#endif /* KT_UTIL_H */
