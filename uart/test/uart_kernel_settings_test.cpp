// kt_uart_init on the board's real serial driver, read back with tcgetattr as the driver
// keeps the settings: the frame format (which a pseudo-terminal forces to 8 bits without
// parity), the rates the UART can reach, and flow control.
#include <cstring>

#include "kernel_line.h"
#include "kt_uart.h"

using UartKernelSettings = KernelPort;

TEST_F(UartKernelSettings, FrameFormatAsTheDriverKeepsIt) {
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const tcflag_t check = INPCK | ISTRIP;
    const struct {
        int letter;
        tcflag_t cflag, iflag;
    } parities[] = {{'N', 0, 0}, {'S', 0, 0}, {'E', PARENB, check}, {'O', PARENB | PARODD, check}};
    for (int bits = 5; bits <= 8; ++bits) {
        for (const auto &p : parities) {
            for (int stop = 1; stop <= 2; ++stop) {
                const std::string what =
                    std::to_string(bits) + char(p.letter) + std::to_string(stop);
                ASSERT_EQ(kt_uart_init(fd_, 9600, 0, bits, stop, p.letter), 0) << what;
                const termios t = attributes();
                EXPECT_EQ(t.c_cflag & CSIZE, sizes[bits - 5]) << what;
                EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), p.cflag) << what;
                EXPECT_EQ(t.c_cflag & CSTOPB, stop == 2 ? CSTOPB : 0u) << what;
                EXPECT_EQ(t.c_iflag & check, p.iflag) << what;
            }
        }
    }
}

// Mark or space parity (CMSPAR) that another program left on the port is honoured by this
// driver; the library's letters mean plain parity, so kt_uart_init clears it.
TEST_F(UartKernelSettings, StickParityLeftOnThePortIsCleared) {
    for (int letter : {'E', 'O', 'N'}) {
        termios sticky = attributes();
        sticky.c_cflag |= PARENB | CMSPAR;
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &sticky), 0);
        ASSERT_EQ(attributes().c_cflag & CMSPAR, tcflag_t{CMSPAR}) << "the driver dropped it";
        ASSERT_EQ(kt_uart_init(fd_, 9600, 0, 8, 1, letter), 0);
        EXPECT_EQ(attributes().c_cflag & CMSPAR, 0u) << char(letter);
    }
}

TEST_F(UartKernelSettings, RawModeAndTimingAsTheDriverKeepsThem) {
    termios cooked = attributes();
    cooked.c_iflag |= 0x3c9 | BRKINT | IMAXBEL;
    cooked.c_lflag |= 0x1b | ECHOK | IEXTEN;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag &= ~(CLOCAL | CREAD);
    cooked.c_cc[VMIN] = 0;
    cooked.c_cc[VTIME] = 0;
    ASSERT_EQ(tcsetattr(fd_, TCSANOW, &cooked), 0);

    ASSERT_EQ(kt_uart_init(fd_, 19200, 0, 8, 1, 'N'), 0);
    const termios t = attributes();
    EXPECT_EQ(t.c_iflag & (0x3c9 | BRKINT | IMAXBEL), BRKINT | IMAXBEL);
    EXPECT_EQ(t.c_lflag & (0x1b | ECHOK | IEXTEN), ECHOK | IEXTEN);
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), tcflag_t{ONLCR});
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(t.c_cc[VMIN], 1);
}

// The board's PL011 runs from a 24 MHz clock with 16 samples a bit: 1.5 Mbit/s at most.
// Faster rates pass the library but the driver keeps the port's rate, as it does for a rate
// the library does not know, and kt_uart_init still reports success.
TEST_F(UartKernelSettings, RatesTheUartReachesAndTheOnesItKeepsOut) {
    const struct {
        int rate;
        speed_t code;
    } reached[] = {{300, B300},        {1200, B1200},     {2400, B2400},       {4800, B4800},
                   {9600, B9600},      {19200, B19200},   {38400, B38400},     {57600, B57600},
                   {115200, B115200},  {230400, B230400}, {460800, B460800},   {500000, B500000},
                   {576000, B576000},  {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
                   {1500000, B1500000}};
    for (const auto &r : reached) {
        ASSERT_EQ(kt_uart_init(fd_, r.rate, 0, 8, 1, 'N'), 0) << r.rate;
        const termios t = attributes();
        EXPECT_EQ(cfgetispeed(&t), r.code) << r.rate;
        EXPECT_EQ(cfgetospeed(&t), r.code) << r.rate;
    }
    for (int rate : {2000000, 2500000, 3000000, 3500000, 4000000, 250000}) {
        ASSERT_EQ(kt_uart_init(fd_, 38400, 0, 8, 1, 'N'), 0);
        ASSERT_EQ(kt_uart_init(fd_, rate, 0, 7, 2, 'E'), 0) << rate;
        const termios t = attributes();
        EXPECT_EQ(cfgetospeed(&t), speed_t{B38400}) << rate;
        EXPECT_EQ(cfgetispeed(&t), speed_t{B38400}) << rate;
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB), CS7 | PARENB | CSTOPB)
            << "the rest of the settings still apply, " << rate;
    }
}

TEST_F(UartKernelSettings, FlowControlAsTheDriverKeepsIt) {
    const tcflag_t soft = IXON | IXOFF | IXANY;
    const struct {
        int mode;
        tcflag_t cflag, iflag;
    } modes[] = {{1, CRTSCTS, 0}, {2, 0, soft}, {0, 0, 0}};
    for (const auto &m : modes) {
        ASSERT_EQ(kt_uart_init(fd_, 115200, m.mode, 8, 1, 'N'), 0) << m.mode;
        const termios t = attributes();
        EXPECT_EQ(t.c_cflag & CRTSCTS, m.cflag) << m.mode;
        EXPECT_EQ(t.c_iflag & soft, m.iflag) << m.mode;
    }
}
