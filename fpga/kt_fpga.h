/*
 * FPGA register access: maps a window of registers from a device file and copies bytes
 * between that window and ordinary buffers with access widths that suit registers.
 *
 * The library keeps no state and takes no locks: the caller holds the window's address
 * and size, and orders the accesses it makes to one register. Register data is
 * little-endian: the byte at the lowest address of a word is its least significant byte.
 */
#ifndef KT_FPGA_H
#define KT_FPGA_H

#include <stdint.h>

#include "kt_api.h"

KT_BEGIN_DECLS

/*
 * Maps `size` bytes of the device file `path`, from offset 0, readable and writable and
 * shared with the device, and stores the window's address in `*base`. The file is closed
 * again at once; the mapping stays valid until kt_fpga_close.
 * Returns 0 on success; -1 if the file cannot be opened (or `path` or `base` is null);
 * -2 if the mapping fails, in which case `*base` keeps its old value.
 */
KT_API int kt_fpga_open(const char *path, uint32_t size, void **base) KT_NOEXCEPT;

/*
 * Unmaps the window of `size` bytes at `base` that kt_fpga_open gave.
 * Returns 0 on success, -1 if unmapping fails or `base` is null.
 */
KT_API int kt_fpga_close(void *base, uint32_t size) KT_NOEXCEPT;

/*
 * Copies `len` bytes of registers starting at `reg` into `buf`: one 32-bit load per whole
 * word at `reg`, `reg` + 4, ..., then for the last one to three bytes a single 8-bit load
 * (1 byte), 16-bit load (2 bytes) or 32-bit load of which the three low bytes are kept
 * (3 bytes). Every access is made once, in ascending address order. `reg` should be
 * aligned to 4 bytes (not checked); `buf` needs no alignment and receives exactly `len`
 * bytes. Returns 0; a zero or negative `len` makes no access. A null `reg` or `buf`
 * with a positive `len` makes no access and gives -1.
 */
KT_API int kt_fpga_read(const volatile void *reg, void *buf, int len) KT_NOEXCEPT;

/*
 * Copies `len` bytes from `buf` to the registers starting at `reg`: one 32-bit store per
 * whole word, then a single 8-bit store (1 byte), 16-bit store (2 bytes) or 32-bit store
 * of the three bytes with the fourth byte of that register word written as 0 (3 bytes).
 * Every access is made once, in ascending address order. Results as for kt_fpga_read.
 */
KT_API int kt_fpga_write(volatile void *reg, const void *buf, int len) KT_NOEXCEPT;

/*
 * Reads `len` / w whole elements of w = `bitwide` / 8 bytes from the port register at
 * `reg` (the same address every time) into consecutive places of `buf`. Each element of
 * 1, 2 or 4 bytes is read with one access of its width; an element of 3 bytes with three
 * byte accesses. An element that would straddle a 32-bit word boundary is refused with
 * -1 and one of the lines "logic error, when the addr offset is %d, the bitwide should be
 * 8 or 16" (offset 1 or 2) or "... should be 8" (offset 3), printed without a newline;
 * an element wider than 32 bits at offset 0, a `bitwide` below 8 and a null `reg` or
 * `buf` are refused with -1 silently. Nothing is transferred on refusal.
 * Returns the given `len`; bytes of `buf` beyond the last whole element are left alone.
 */
KT_API int kt_fpga_read_array(const volatile void *reg, void *buf, int len,
                              int bitwide) KT_NOEXCEPT;

/*
 * Writes `len` / w whole elements from `buf` to the port register at `reg`, the mirror
 * of kt_fpga_read_array. Its refusal lines read "logic error, when the addr offset is %d,
 * the bitwide should be 8 bit or 16 bit" (offset 1 or 2) and "... should be 8 bit"
 * (offset 3). Returns the given `len`, or -1.
 */
KT_API int kt_fpga_write_array(volatile void *reg, const void *buf, int len,
                               int bitwide) KT_NOEXCEPT;

KT_END_DECLS

#endif /* KT_FPGA_H */
