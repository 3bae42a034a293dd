/*
 * I2C bus transfers through an adapter's character device. Every transfer is one
 * combined-transfer request (I2C_RDWR) whose messages carry the slave address, so one
 * descriptor serves every slave on the bus and no address is ever bound to it.
 *
 * The library keeps no state and takes no locks. Failures return -1; where a system call
 * failed, errno holds its cause: ENXIO when no slave acknowledges its address.
 *
 * A message carries 0 to 8192 bytes, the most the kernel's i2c-dev takes in one message.
 * Longer (and negative) lengths are refused with -1 and errno EINVAL, as the kernel
 * refuses them, but without a request.
 */
#ifndef KT_I2C_H
#define KT_I2C_H

#include <stdint.h>

#include "kt_api.h"

KT_BEGIN_DECLS

/* Opens the adapter device `path` for reading and writing; the descriptor or -1. */
KT_API int kt_i2c_open(const char *path) KT_NOEXCEPT;

/* Closes `fd`. Returns 0, or -1 without closing anything when `fd` is 0 or negative. */
KT_API int kt_i2c_close(int fd) KT_NOEXCEPT;

/*
 * Writes `len` bytes of `data` to the slave with the 7-bit address in the low 8 bits of
 * `slave_addr`, in one message. Returns the request's result (the number of messages
 * transferred, 1), or -1. A null `data` or an `fd` of 0 or below prints the line
 * "fd <= 0 || slave_addr < 0 || data == KTNull" and gives -1; a `len` outside 0 to 8192
 * gives -1 (errno EINVAL). No request is made on refusal.
 */
KT_API int kt_i2c_write(int fd, unsigned int slave_addr, const uint8_t *data, int len) KT_NOEXCEPT;

/*
 * Reads `len` bytes from the slave at `slave_addr` into `data`, in one message.
 * Returns `len`, or -1; a null `data`, an `fd` of 0 or below and a `len` outside 0 to
 * 8192 (errno EINVAL) are refused silently without a request.
 */
KT_API int kt_i2c_read(int fd, unsigned int slave_addr, uint8_t *data, int len) KT_NOEXCEPT;

/*
 * Writes `wlen` bytes of `wbuf` to the slave at `slave_addr`, then reads `rlen` bytes into
 * `rbuf`, as one combined transfer (repeated start, one stop). Returns `rlen`, or -1; a
 * null `wbuf` or `rbuf`, the address 0 and lengths outside 0 to 8192 (errno EINVAL) are
 * refused silently without a request.
 */
KT_API int kt_i2c_rdwr(int fd, unsigned int slave_addr, const uint8_t *wbuf, int wlen,
                       uint8_t *rbuf, int rlen) KT_NOEXCEPT;

KT_END_DECLS

#endif /* KT_I2C_H */
