// Opening, configuring and closing a serial port.
#include "kt_uart.h"

#include <fcntl.h>
#include <unistd.h>

int kt_uart_open(int /*reserved*/, const char *path) noexcept {
    if (path == nullptr) {
        return -1;
    }
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
}

int kt_uart_close(int fd) noexcept {
    return close(fd);
}

int kt_uart_init(int fd, int speed, int flowctrl, int databits, int stopbits, int parity) noexcept {
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        return -1;
    }
    // Raw mode: no input translation, no line editing or signals, no output processing.
    tio.c_iflag &= ~(IGNBRK | PARMRK | INLCR | IGNCR | ICRNL | IUCLC);
    tio.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_oflag &= ~OPOST;
    // The parity letters mean plain parity: mark or space parity that another program left
    // on the port would turn even and odd into a constant bit on drivers that support it.
    tio.c_cflag &= ~CMSPAR;

    if (kt_uart_set_speed(&tio, speed) != 0) {
        return -2;
    }
    tio.c_cflag |= CLOCAL | CREAD;
    if (kt_uart_set_flowctrl(&tio, flowctrl) != 0) {
        return -3;
    }
    if (kt_uart_set_databits(&tio, databits) != 0) {
        return -4;
    }
    if (kt_uart_set_parity(&tio, parity) != 0) {
        return -5;
    }
    if (kt_uart_set_stopbits(&tio, stopbits) != 0) {
        return -6;
    }
    tio.c_cc[VTIME] = 1;
    tio.c_cc[VMIN] = 1;

    // Only a complete configuration touches the port.
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return -7;
    }
    return 0;
}
