// Mapping and unmapping a register window of a device file.
#include "kt_fpga.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

int kt_fpga_open(const char *path, uint32_t size, void **base) noexcept {
    if (path == nullptr || base == nullptr) {
        return -1;
    }
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    // The mapping keeps its own reference to the file.
    close(fd);
    if (map == MAP_FAILED) {
        return -2;
    }
    if (map == nullptr) {
        // Address 0 cannot be told apart from "no window" by callers; give it back.
        munmap(map, size);
        return -2;
    }
    *base = map;
    return 0;
}

int kt_fpga_close(void *base, uint32_t size) noexcept {
    if (base == nullptr) {
        return -1;
    }
    return munmap(base, size) == 0 ? 0 : -1;
}
