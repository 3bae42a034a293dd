// Setters that edit one aspect of a termios record without applying it.
#include "kt_uart.h"

namespace {

// Rates the kernel supports beyond the exported tables, which keep their sixteen rows.
struct ExtraRate {
    int rate;
    speed_t code;
};
constexpr ExtraRate kExtraRates[] = {
    {57600, B57600},     {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

}  // namespace

int kt_uart_set_speed(struct termios *tio, int speed) noexcept {
    if (tio == nullptr) {
        return 0;
    }
    speed_t code = 0;
    bool found = false;
    for (int i = 0; i < 16 && !found; ++i) {
        if (name_arr[i] == speed) {
            code = static_cast<speed_t>(speed_arr[i]);
            found = true;
        }
    }
    for (const ExtraRate &extra : kExtraRates) {
        if (!found && extra.rate == speed) {
            code = extra.code;
            found = true;
        }
    }
    if (!found) {
        return 0;
    }
    cfsetispeed(tio, code);
    cfsetospeed(tio, code);
    return 0;
}

int kt_uart_set_flowctrl(struct termios *tio, int flowctrl) noexcept {
    if (tio == nullptr || flowctrl < 0 || flowctrl > 2) {
        return 0;
    }
    const tcflag_t soft = IXON | IXOFF | IXANY;
    if (flowctrl == 1) {
        tio->c_cflag |= CRTSCTS;
    } else {
        tio->c_cflag &= ~CRTSCTS;
    }
    if (flowctrl == 2) {
        tio->c_iflag |= soft;
    } else {
        tio->c_iflag &= ~soft;
    }
    return 0;
}

int kt_uart_set_databits(struct termios *tio, int databits) noexcept {
    if (tio == nullptr || databits < 5 || databits > 8) {
        return -1;
    }
    static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    tio->c_cflag = (tio->c_cflag & ~CSIZE) | sizes[databits - 5];
    return 0;
}

int kt_uart_set_parity(struct termios *tio, int parity) noexcept {
    if (tio == nullptr) {
        return -1;
    }
    const tcflag_t check = INPCK | ISTRIP;
    switch (parity) {
        case 'N':
        case 'n':
        case 'S':
        case 's':
            tio->c_cflag &= ~(PARENB | PARODD);
            tio->c_iflag &= ~check;
            return 0;
        case 'E':
        case 'e':
            tio->c_cflag = (tio->c_cflag | PARENB) & ~PARODD;
            tio->c_iflag |= check;
            return 0;
        case 'O':
        case 'o':
            tio->c_cflag |= PARENB | PARODD;
            tio->c_iflag |= check;
            return 0;
        default:
            return -1;
    }
}

int kt_uart_set_stopbits(struct termios *tio, int stopbits) noexcept {
    if (tio == nullptr || (stopbits != 1 && stopbits != 2)) {
        return -1;
    }
    if (stopbits == 2) {
        tio->c_cflag |= CSTOPB;
    } else {
        tio->c_cflag &= ~CSTOPB;
    }
    return 0;
}
