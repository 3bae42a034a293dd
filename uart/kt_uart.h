/*
 * Serial port: opens a serial device, puts it into raw mode with a chosen speed, flow
 * control, character size, parity and stop bits, and moves bytes through it.
 *
 * The setters edit one aspect of a caller-supplied `struct termios` without applying it;
 * kt_uart_init reads the port's attributes, makes them raw, runs the setters and applies
 * the result. The library keeps no state, takes no locks and prints nothing; every call
 * works only on the descriptor or record it is given.
 */
#ifndef KT_UART_H
#define KT_UART_H

#include <termios.h>

#include "kt_api.h"

KT_BEGIN_DECLS

/*
 * The supported rates, read row by row together: name_arr[i] is a rate in bits per
 * second and speed_arr[i] the termios speed code for it. Rows 8 to 15 repeat rows 0 to 7:
 * 115200, 38400, 19200, 9600, 4800, 2400, 1200, 300. Read-only.
 */
KT_API extern const int speed_arr[16];
/* The rates in bits per second of the rows of speed_arr. Read-only. */
KT_API extern const int name_arr[16];

/*
 * Opens the serial device `path` for reading and writing, not as controlling terminal,
 * non-blocking (the receive functions wait with select). `reserved` is not read.
 * Returns the descriptor, or -1 (also for a null `path`).
 */
KT_API int kt_uart_open(int reserved, const char *path) KT_NOEXCEPT;

/* Closes `fd`; returns the result of close (0 or -1). */
KT_API int kt_uart_close(int fd) KT_NOEXCEPT;

/*
 * Sets the input and output speed of `tio` to `speed` bits per second: one of the rates of
 * the tables, 57600, or one of the higher rates 230400, 460800, 500000, 576000, 921600,
 * 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000 and 4000000. Any other
 * rate, or a null `tio`, leaves the record unchanged and still gives 0, so that
 * kt_uart_init keeps the port's current speed. Returns 0.
 * Whether the port takes a rate is up to its driver: a rate beyond what the UART's clock
 * reaches is dropped when the record is applied, and the port keeps its current rate (a
 * PL011 clocked at 24 MHz reaches 1500000 at most); tcsetattr, and so kt_uart_init, still
 * succeed. Read the speed back with tcgetattr where it matters.
 */
KT_API int kt_uart_set_speed(struct termios *tio, int speed) KT_NOEXCEPT;

/*
 * Sets the flow control of `tio`: 0 none, 1 hardware (RTS/CTS), 2 software (XON/XOFF,
 * with IXANY). Another value or a null `tio` changes nothing. Returns 0.
 */
KT_API int kt_uart_set_flowctrl(struct termios *tio, int flowctrl) KT_NOEXCEPT;

/*
 * Sets the character size of `tio` to `databits` (5 to 8). Returns 0, or -1 with the
 * record unchanged for another value or a null `tio`.
 */
KT_API int kt_uart_set_databits(struct termios *tio, int databits) KT_NOEXCEPT;

/*
 * Sets the parity of `tio`: 'N' none, 'E' even, 'O' odd (both with input parity checking
 * and stripping), 'S' exactly as 'N'; the lower-case letters act as the upper-case ones.
 * Returns 0, or -1 with the record unchanged for another value or a null `tio`.
 */
KT_API int kt_uart_set_parity(struct termios *tio, int parity) KT_NOEXCEPT;

/*
 * Sets one (1) or two (2) stop bits in `tio`. Returns 0, or -1 with the record unchanged
 * for another value or a null `tio`.
 */
KT_API int kt_uart_set_stopbits(struct termios *tio, int stopbits) KT_NOEXCEPT;

/*
 * Configures the port `fd`: reads its attributes, makes them raw (and drops mark or space
 * parity, CMSPAR, that another program may have left on the port, under which even and odd
 * would send a constant bit), applies speed, flow control, data bits, parity and stop bits
 * (note the order of the last two arguments), sets VTIME 1 and VMIN 1, discards pending
 * input and applies the record at once.
 * Returns 0; -1 if the attributes cannot be read; -2 to -6 if the speed, flow control,
 * data bits, parity or stop bits setter fails; -7 if the attributes cannot be applied.
 * On -1 to -6 the port is left exactly as it was, its pending input included.
 */
KT_API int kt_uart_init(int fd, int speed, int flowctrl, int databits, int stopbits,
                        int parity) KT_NOEXCEPT;

/*
 * Reads up to `len` bytes from `fd` into `buf` if some are waiting, without waiting.
 * Returns the result of read, or -1 at once when nothing is waiting. `fd` must lie in
 * 0 to 1023 and `len` must not be negative; otherwise -1 (errno EBADF or EINVAL).
 */
KT_API int kt_uart_recv(int fd, void *buf, int len) KT_NOEXCEPT;

/* As kt_uart_recv, but waits until `fd` is readable. */
KT_API int kt_uart_recv_block(int fd, void *buf, int len) KT_NOEXCEPT;

/*
 * Writes `len` bytes of `buf` to `fd`. Returns `len` when all were written; otherwise
 * discards the unsent output queue and returns -1 (how many went out is not reported).
 * The port is non-blocking, so a block larger than the room left in the driver's transmit
 * buffer (one page, 4096 bytes, on Linux serial drivers) stops short and fails, unless
 * the line drains as fast as it is written; send large data in pieces.
 * A negative `len` writes nothing and gives -1 (errno EINVAL).
 */
KT_API int kt_uart_send(int fd, const void *buf, int len) KT_NOEXCEPT;

KT_END_DECLS

#endif /* KT_UART_H */
