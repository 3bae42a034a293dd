/* Configures a pseudo-terminal as a serial port and sends through libktuart. */
#define _XOPEN_SOURCE 600
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <kt_uart.h>

#include "check.h"

int main(void) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    CHECK(master >= 0);
    CHECK(grantpt(master) == 0 && unlockpt(master) == 0);
    const char *name = ptsname(master);
    CHECK(name != NULL);

    int fd = kt_uart_open(0, name);
    CHECK(fd >= 0);
    CHECK(kt_uart_init(fd, 115200, 0, 8, 1, 'N') == 0);
    CHECK(name_arr[0] == 115200);
    CHECK(kt_uart_send(fd, "ping", 4) == 4);

    char got[8] = {0};
    size_t have = 0;
    while (have < 4) {
        ssize_t n = read(master, got + have, 4 - have);
        CHECK(n > 0);
        have += (size_t)n;
    }
    CHECK(memcmp(got, "ping", 4) == 0);
    CHECK(kt_uart_send(fd, "x", -1) == -1);
    CHECK(kt_uart_close(fd) == 0);
    close(master);
    puts("use-uart: port configured, bytes sent");
    return 0;
}
