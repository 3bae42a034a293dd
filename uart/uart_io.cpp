// Receiving and sending bytes on a configured port.
#include "kt_uart.h"

#include <errno.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

// Waits for `fd` to be readable, for at most the given time or without limit (null),
// then reads. Descriptors outside what a select set can hold are refused rather than
// written past the set.
int receive(int fd, void *buf, int len, struct timeval *timeout) {
    if (fd < 0 || fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    if (len < 0) {
        errno = EINVAL;
        return -1;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    if (select(fd + 1, &readable, nullptr, nullptr, timeout) == 0) {
        return -1;
    }
    return static_cast<int>(read(fd, buf, static_cast<size_t>(len)));
}

}  // namespace

int kt_uart_recv(int fd, void *buf, int len) noexcept {
    struct timeval now {};
    return receive(fd, buf, len, &now);
}

int kt_uart_recv_block(int fd, void *buf, int len) noexcept {
    return receive(fd, buf, len, nullptr);
}

int kt_uart_send(int fd, const void *buf, int len) noexcept {
    if (len < 0) {
        errno = EINVAL;
        return -1;
    }
    const ssize_t written = write(fd, buf, static_cast<size_t>(len));
    if (written == len) {
        return len;
    }
    tcflush(fd, TCOFLUSH);
    return -1;
}
