// Write, read and write-then-read transfers, each one I2C_RDWR request.
#include "kt_i2c.h"

#include <errno.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <sys/ioctl.h>

namespace {

// The longest message the kernel's i2c-dev takes; it refuses longer ones with EINVAL.
// Refusing them here as well keeps lengths beyond the 16-bit field from being cut short
// and reported as complete; negative ones would let the kernel run past the buffer.
constexpr int kMaxMessageLength = 8192;

bool length_fits(int len) {
    if (len < 0 || len > kMaxMessageLength) {
        errno = EINVAL;
        return false;
    }
    return true;
}

i2c_msg message(unsigned int slave_addr, uint16_t flags, const uint8_t *buf, int len) {
    i2c_msg m{};
    m.addr = static_cast<uint16_t>(slave_addr & 0xff);
    m.flags = flags;
    m.len = static_cast<uint16_t>(len);
    // Write messages are only read by the kernel; the record's field is not const.
    m.buf = const_cast<uint8_t *>(buf);
    return m;
}

int transfer(int fd, i2c_msg *msgs, unsigned count) {
    i2c_rdwr_ioctl_data request{};
    request.msgs = msgs;
    request.nmsgs = count;
    return ioctl(fd, I2C_RDWR, &request);
}

}  // namespace

int kt_i2c_write(int fd, unsigned int slave_addr, const uint8_t *data, int len) noexcept {
    if (data == nullptr || fd <= 0) {
        puts("fd <= 0 || slave_addr < 0 || data == KTNull");
        return -1;
    }
    if (!length_fits(len)) {
        return -1;
    }
    i2c_msg msg = message(slave_addr, 0, data, len);
    const int rc = transfer(fd, &msg, 1);
    return rc < 0 ? -1 : rc;
}

int kt_i2c_read(int fd, unsigned int slave_addr, uint8_t *data, int len) noexcept {
    if (data == nullptr || fd <= 0 || !length_fits(len)) {
        return -1;
    }
    i2c_msg msg = message(slave_addr, I2C_M_RD, data, len);
    return transfer(fd, &msg, 1) < 0 ? -1 : len;
}

int kt_i2c_rdwr(int fd, unsigned int slave_addr, const uint8_t *wbuf, int wlen, uint8_t *rbuf,
                int rlen) noexcept {
    if (rbuf == nullptr || wbuf == nullptr || slave_addr == 0) {
        return -1;
    }
    if (!length_fits(wlen) || !length_fits(rlen)) {
        return -1;
    }
    i2c_msg msgs[2] = {message(slave_addr, 0, wbuf, wlen),
                       message(slave_addr, I2C_M_RD, rbuf, rlen)};
    return transfer(fd, msgs, 2) < 0 ? -1 : rlen;
}
