/*
 * Stream DMA ring reader: opens the FPGA's UIO stream device, maps its register window
 * (map 0) and CMA memory (map 1), programs a frame ring at the start of the CMA region
 * and hands out frames one 2048-byte slot at a time, straight out of the mapped ring.
 *
 * One process drives one stream device: the read position is a single variable of the
 * library, shared by every record. No function takes a lock; the reading functions are
 * called from one thread at a time.
 */
#ifndef KT_AXIS_H
#define KT_AXIS_H

#include <stdint.h>

#include "kt_api.h"

KT_BEGIN_DECLS

/* Byte offsets of the stream engine's registers in its window. */
#define KT_AXIS_CTRL 0x10      /* 8-bit control; bit 0 starts the engine */
#define KT_AXIS_DATA_CNT 0x20  /* 32-bit bytes of frames waiting for the reader */
#define KT_AXIS_RD_PTR 0x28    /* 32-bit physical address of the reader's next slot */
#define KT_AXIS_RING_BASE 0x30 /* 32-bit physical address of the ring's first byte */
#define KT_AXIS_RING_END 0x34  /* 32-bit physical address of the ring's last byte */

/* Bytes of one slot of the frame ring; every frame starts at a slot's first byte. */
#define KT_AXIS_SLOT_SIZE 2048u

/* Space of the CMA region that always stays outside the ring. */
#define KT_AXIS_RESERVED 0x1000000u

/* An open stream device. */
typedef struct kt_axis {
    void *regs;           /* mapped register window (map 0) */
    uint32_t regs_size;   /* length of map 0 */
    void *mem;            /* mapped CMA region (map 1) */
    uint32_t mem_size;    /* length of map 1 */
    uint32_t up_mem_size; /* length of the frame ring */
    uint32_t mem_phys;    /* physical address of the CMA region and the ring */
} kt_axis;

/*
 * Opens the stream device at `path`, a symbolic link whose target is the bare name of
 * the UIO device node (as in /sys/class/uio/), maps both regions and programs a ring of
 * `up_mem_size` bytes, which must leave at least 16 MiB of the CMA region outside it.
 * Resets the library's read position to the ring base. Returns a new record, released
 * with kt_axis_exit, or null after printing the reason to standard output (no newline).
 */
KT_API kt_axis *kt_axis_init(const char *path, uint32_t up_mem_size) KT_NOEXCEPT;

/* Returns the engine's count of bytes of frames waiting in the ring; 0 when none. */
KT_API uint32_t kt_get_data_cnt(kt_axis *axis) KT_NOEXCEPT;

/*
 * Takes the next slot of the ring and moves the read position one slot on, wrapping at
 * the ring's end. Returns a pointer to the slot inside the mapped ring, valid until the
 * next kt_axis_read_done; copies the slot's 2048 bytes to `dst` as well unless `dst` is
 * null. A `count` of 0 (no data) returns null and changes nothing. Nothing is reported
 * to the engine until kt_axis_read_done.
 */
KT_API void *kt_axis_read_frame(kt_axis *axis, void *dst, uint32_t count) KT_NOEXCEPT;

/* Hands every slot before the read position back to the engine. Returns 0. */
KT_API int kt_axis_read_done(kt_axis *axis) KT_NOEXCEPT;

/*
 * Unmaps both regions (printing the reason when an unmapping fails) and frees the
 * record, which must not be used again. The engine is left running. A null `axis` is
 * ignored.
 */
KT_API void kt_axis_exit(kt_axis *axis) KT_NOEXCEPT;

KT_END_DECLS

#endif /* KT_AXIS_H */
