// Opening and configuring a real pseudo-terminal, read back with tcgetattr. A
// pseudo-terminal always reports 8 data bits and no PARENB, so those two are checked on
// records by the setter tests; everything else is checked here.
#include <cstring>

#include "kt_uart.h"
#include "pty_pair.h"

static termios attributes(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

TEST(UartPort, OpenIgnoresItsFirstArgumentAndStaysNonBlocking) {
    PtyPair pty;
    for (int reserved : {0, -1, 12345}) {
        const int fd = kt_uart_open(reserved, pty.name.c_str());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDWR | O_NONBLOCK);
        EXPECT_EQ(kt_uart_close(fd), 0);
        EXPECT_EQ(kt_uart_close(fd), -1);
    }
    EXPECT_EQ(kt_uart_open(0, "/nonexistent/ttyS9"), -1);
    EXPECT_EQ(kt_uart_open(0, nullptr), -1);
}

TEST(UartPort, InitMakesThePortRawAndAppliesEachSetting) {
    PtyPair pty;
    termios cooked = attributes(pty.slave);
    cooked.c_iflag |= 0x3c9 | BRKINT | IMAXBEL;
    cooked.c_lflag |= 0x1b | ECHOK | IEXTEN;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag &= ~(CLOCAL | CREAD);
    cooked.c_cflag |= CMSPAR;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &cooked), 0);

    ASSERT_EQ(kt_uart_init(pty.slave, 57600, 1, 7, 2, 'O'), 0);
    termios t = attributes(pty.slave);
    EXPECT_EQ(t.c_iflag & (0x3c9 | BRKINT | IMAXBEL), BRKINT | IMAXBEL);
    EXPECT_EQ(t.c_lflag & (0x1b | ECHOK | IEXTEN), ECHOK | IEXTEN);
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), tcflag_t{ONLCR});
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | CSTOPB | CRTSCTS | PARODD),
              CLOCAL | CREAD | CSTOPB | CRTSCTS | PARODD);
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP | IXON | IXOFF | IXANY), tcflag_t{INPCK | ISTRIP});
    EXPECT_EQ(t.c_cflag & CMSPAR, 0u) << "mark or space parity left on";
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(cfgetispeed(&t), speed_t{B57600});
    EXPECT_EQ(cfgetospeed(&t), speed_t{B57600});

    ASSERT_EQ(kt_uart_init(pty.slave, 1200, 2, 8, 1, 'S'), 0);
    t = attributes(pty.slave);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B1200});
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | PARODD), 0u);
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP | IXON | IXOFF | IXANY), IXON | IXOFF | IXANY);

    // A rate above the tables reaches the port as well. (460800: the user-mode emulator
    // of the cross build carries speed codes to the kernel only up to that rate.)
    ASSERT_EQ(kt_uart_init(pty.slave, 460800, 2, 8, 1, 'S'), 0);
    EXPECT_EQ(cfgetospeed(&(t = attributes(pty.slave))), speed_t{B460800});
    ASSERT_EQ(kt_uart_init(pty.slave, 1200, 2, 8, 1, 'S'), 0);

    // An unknown rate and flow mode keep what the port had.
    ASSERT_EQ(kt_uart_init(pty.slave, 250000, 3, 8, 1, 'N'), 0);
    t = attributes(pty.slave);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B1200});
    EXPECT_EQ(t.c_iflag & IXON, tcflag_t{IXON});
}

TEST(UartPort, InitFlushesInputOnlyWhenItSucceeds) {
    PtyPair pty;
    ASSERT_EQ(kt_uart_init(pty.slave, 19200, 1, 8, 2, 'O'), 0);
    const termios before = attributes(pty.slave);
    const struct {
        int databits, stopbits, parity, result;
    } cases[] = {{9, 1, 'N', -4}, {4, 1, 'N', -4}, {8, 1, 'X', -5}, {8, 3, 'N', -6}};
    for (const auto &c : cases) {
        pty.type("pending");
        EXPECT_EQ(kt_uart_init(pty.slave, 9600, 0, c.databits, c.stopbits, c.parity), c.result);
        const termios now = attributes(pty.slave);
        EXPECT_EQ(std::memcmp(&now, &before, sizeof now), 0) << c.result;
        char buf[16] = {};
        EXPECT_EQ(read(pty.slave, buf, sizeof buf), 7) << c.result;
    }
    pty.type("stale");
    ASSERT_EQ(kt_uart_init(pty.slave, 9600, 0, 8, 1, 'N'), 0);
    fcntl(pty.slave, F_SETFL, O_NONBLOCK);
    char buf[8];
    EXPECT_EQ(read(pty.slave, buf, sizeof buf), -1) << "pending input kept";

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(kt_uart_init(p[0], 9600, 0, 8, 1, 'N'), -1);  // no terminal
    EXPECT_EQ(kt_uart_init(-1, 9600, 0, 8, 1, 'N'), -1);
    close(p[0]);
    close(p[1]);
}
