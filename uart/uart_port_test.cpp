// Opening and configuring a real pseudo-terminal, read back with tcgetattr.
#include <cstring>

#include "kt_uart.h"
#include "pty_pair.h"

namespace {

termios attributes(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

bool same_settings(const termios &a, const termios &b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

TEST(UartOpen, OpensNonBlockingAndIgnoresItsFirstArgument) {
    PtyPair pty;
    for (int reserved : {0, -1, 12345}) {
        const int fd = kt_uart_open(reserved, pty.name().c_str());
        ASSERT_GE(fd, 0);
        const int flags = fcntl(fd, F_GETFL);
        EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
        EXPECT_EQ(flags & O_NONBLOCK, O_NONBLOCK);
        EXPECT_EQ(kt_uart_close(fd), 0);
        EXPECT_EQ(kt_uart_close(fd), -1);
    }
    EXPECT_EQ(kt_uart_open(0, "/nonexistent/ttyS9"), -1);
    EXPECT_EQ(kt_uart_open(0, nullptr), -1);
}

TEST(UartInit, MakesThePortRawAndKeepsUnrelatedFlags) {
    PtyPair pty;
    termios cooked = attributes(pty.slave());
    cooked.c_iflag |= IGNBRK | PARMRK | INLCR | IGNCR | ICRNL | IUCLC | BRKINT | IMAXBEL;
    cooked.c_lflag |= ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag &= ~(CLOCAL | CREAD);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &cooked), 0);

    ASSERT_EQ(kt_uart_init(pty.slave(), 115200, 0, 8, 1, 'N'), 0);
    const termios t = attributes(pty.slave());
    EXPECT_EQ(t.c_iflag & 0x3c9u, 0u);
    EXPECT_EQ(t.c_iflag & (BRKINT | IMAXBEL), BRKINT | IMAXBEL) << "cleared more than raw mode";
    EXPECT_EQ(t.c_lflag & 0x1bu, 0u);
    EXPECT_EQ(t.c_lflag & (ECHOK | IEXTEN), ECHOK | IEXTEN);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_oflag & ONLCR, tcflag_t{ONLCR});
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B115200});
    EXPECT_EQ(cfgetispeed(&t), speed_t{B115200});
}

TEST(UartInit, EachSettingReachesThePort) {
    PtyPair pty;
    // A pseudo-terminal always reports 8 data bits and no parity enable bit, so the
    // character size and PARENB are checked on records (setter tests), the rest here.
    ASSERT_EQ(kt_uart_init(pty.slave(), 57600, 1, 7, 2, 'O'), 0);
    termios t = attributes(pty.slave());
    EXPECT_EQ(cfgetospeed(&t), speed_t{B57600});
    EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t{CSTOPB});
    EXPECT_EQ(t.c_cflag & CRTSCTS, tcflag_t{CRTSCTS});
    EXPECT_EQ(t.c_cflag & PARODD, tcflag_t{PARODD});
    EXPECT_EQ(t.c_iflag & (INPCK | ISTRIP), tcflag_t{INPCK | ISTRIP});
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);

    ASSERT_EQ(kt_uart_init(pty.slave(), 1200, 2, 8, 1, 'e'), 0);
    t = attributes(pty.slave());
    EXPECT_EQ(cfgetospeed(&t), speed_t{B1200});
    EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS | PARODD), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t{IXON | IXOFF | IXANY});
    EXPECT_EQ(t.c_iflag & INPCK, tcflag_t{INPCK});

    ASSERT_EQ(kt_uart_init(pty.slave(), 300, 0, 5, 1, 'S'), 0);
    t = attributes(pty.slave());
    EXPECT_EQ(cfgetospeed(&t), speed_t{B300});
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INPCK | ISTRIP), 0u);
}

TEST(UartInit, UnknownRateAndFlowModeKeepWhatThePortHad) {
    PtyPair pty;
    ASSERT_EQ(kt_uart_init(pty.slave(), 4800, 1, 8, 1, 'N'), 0);
    ASSERT_EQ(kt_uart_init(pty.slave(), 250000, 3, 8, 1, 'N'), 0);
    const termios t = attributes(pty.slave());
    EXPECT_EQ(cfgetospeed(&t), speed_t{B4800});
    EXPECT_EQ(t.c_cflag & CRTSCTS, tcflag_t{CRTSCTS});
}

TEST(UartInit, EarlyReturnsLeaveThePortAndItsInputUntouched) {
    PtyPair pty;
    ASSERT_EQ(kt_uart_init(pty.slave(), 19200, 1, 8, 2, 'O'), 0);
    const termios before = attributes(pty.slave());
    const struct {
        int databits, stopbits, parity, result;
    } cases[] = {{9, 1, 'N', -4}, {4, 1, 'N', -4}, {8, 1, 'X', -5},
                 {8, 1, 0, -5},   {8, 3, 'N', -6}, {8, 0, 'E', -6}};
    for (const auto &c : cases) {
        pty.type("pending");
        EXPECT_EQ(kt_uart_init(pty.slave(), 9600, 0, c.databits, c.stopbits, c.parity), c.result);
        EXPECT_TRUE(same_settings(attributes(pty.slave()), before)) << c.result;
        char buf[16] = {};
        EXPECT_EQ(read(pty.slave(), buf, sizeof buf), 7) << "input was flushed";
        EXPECT_STREQ(buf, "pending");
    }
}

TEST(UartInit, SuccessDiscardsPendingInput) {
    PtyPair pty;
    ASSERT_EQ(kt_uart_init(pty.slave(), 9600, 0, 8, 1, 'N'), 0);
    pty.type("stale");
    ASSERT_EQ(kt_uart_init(pty.slave(), 9600, 0, 8, 1, 'N'), 0);
    fcntl(pty.slave(), F_SETFL, O_NONBLOCK);
    char buf[8];
    EXPECT_EQ(read(pty.slave(), buf, sizeof buf), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(UartInit, DescriptorsThatAreNoTerminal) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    EXPECT_EQ(kt_uart_init(p[0], 9600, 0, 8, 1, 'N'), -1);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(kt_uart_init(-1, 9600, 0, 8, 1, 'N'), -1);
}
