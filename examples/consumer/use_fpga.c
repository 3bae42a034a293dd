/* Maps a register window from a file, writes and reads registers through libktfpga. */
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <kt_fpga.h>

#include "check.h"

int main(void) {
    char path[] = "/tmp/kt-consumer-regs-XXXXXX";
    int fd = mkstemp(path);
    CHECK(fd >= 0);
    CHECK(ftruncate(fd, 4096) == 0);

    void *base = NULL;
    CHECK(kt_fpga_open(path, 4096, &base) == 0);
    CHECK(base != NULL);
    volatile uint8_t *regs = (volatile uint8_t *)base;

    const uint32_t value = 0x12345678u;
    CHECK(kt_fpga_write(regs + 0x10, &value, 4) == 0);
    uint32_t back = 0;
    CHECK(kt_fpga_read(regs + 0x10, &back, 4) == 0);
    CHECK(back == value);
    CHECK(kt_fpga_close(base, 4096) == 0);

    /* The write went to the file behind the window. */
    uint32_t stored = 0;
    CHECK(pread(fd, &stored, 4, 0x10) == 4);
    CHECK(stored == value);
    close(fd);
    unlink(path);
    puts("use-fpga: register window written and read back");
    return 0;
}
