// Opening and closing an I2C adapter device.
#include "kt_i2c.h"

#include <fcntl.h>
#include <unistd.h>

int kt_i2c_open(const char *path) noexcept {
    if (path == nullptr) {
        return -1;
    }
    const int fd = open(path, O_RDWR);
    return fd < 0 ? -1 : fd;
}

int kt_i2c_close(int fd) noexcept {
    if (fd <= 0) {
        return -1;
    }
    close(fd);
    return 0;
}
