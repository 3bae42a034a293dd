// The termios setters on plain records: each aspect they change and what they must leave.
#include <gtest/gtest.h>

#include <cstring>

#include "kt_uart.h"

namespace {

termios filled(unsigned char byte) {
    termios t;
    std::memset(&t, byte, sizeof t);
    return t;
}

bool same(const termios &a, const termios &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(UartTables, SixteenRowsOfEightRatesWithTheirCodes) {
    const int rates[8] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};
    const int codes[8] = {B115200, B38400, B19200, B9600, B4800, B2400, B1200, B300};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(name_arr[i], rates[i % 8]) << i;
        EXPECT_EQ(speed_arr[i], codes[i % 8]) << i;
    }
    // The Linux numeric codes that callers of the tables see.
    EXPECT_EQ(speed_arr[0], 4098);
    EXPECT_EQ(speed_arr[7], 7);
}

TEST(UartSpeed, TableRatesAnd57600SetBothDirections) {
    const struct {
        int rate;
        speed_t code;
    } cases[] = {{115200, B115200}, {57600, B57600}, {38400, B38400},
                 {19200, B19200},   {9600, B9600},   {4800, B4800},
                 {2400, B2400},     {1200, B1200},   {300, B300}};
    for (const auto &c : cases) {
        termios t{};
        cfsetispeed(&t, B0);
        cfsetospeed(&t, B0);
        EXPECT_EQ(kt_uart_set_speed(&t, c.rate), 0);
        EXPECT_EQ(cfgetispeed(&t), c.code) << c.rate;
        EXPECT_EQ(cfgetospeed(&t), c.code) << c.rate;
    }
}

TEST(UartSpeed, OtherRatesLeaveTheRecordAndSucceed) {
    for (int rate : {0, 1, 230400, 57601, -9600, 110}) {
        termios t = filled(0x5a);
        const termios before = t;
        EXPECT_EQ(kt_uart_set_speed(&t, rate), 0);
        EXPECT_TRUE(same(t, before)) << rate;
    }
    EXPECT_EQ(kt_uart_set_speed(nullptr, 9600), 0);
}

TEST(UartFlowControl, ModesAndIgnoredValues) {
    for (unsigned char start : {0x00, 0xff}) {
        termios t = filled(start);
        EXPECT_EQ(kt_uart_set_flowctrl(&t, 0), 0);
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);

        t = filled(start);
        EXPECT_EQ(kt_uart_set_flowctrl(&t, 1), 0);
        EXPECT_EQ(t.c_cflag & CRTSCTS, CRTSCTS);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);

        t = filled(start);
        EXPECT_EQ(kt_uart_set_flowctrl(&t, 2), 0);
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), IXON | IXOFF | IXANY);

        // Only the named bits move.
        t = filled(start);
        kt_uart_set_flowctrl(&t, 2);
        const tcflag_t rest = start ? ~tcflag_t{0} : 0;
        EXPECT_EQ(t.c_iflag & ~(IXON | IXOFF | IXANY), rest & ~(IXON | IXOFF | IXANY));
        EXPECT_EQ(t.c_oflag, rest);
        EXPECT_EQ(t.c_lflag, rest);
    }
    for (int mode : {3, -1, 100}) {
        termios t = filled(0xa5);
        const termios before = t;
        EXPECT_EQ(kt_uart_set_flowctrl(&t, mode), 0);
        EXPECT_TRUE(same(t, before)) << mode;
    }
    EXPECT_EQ(kt_uart_set_flowctrl(nullptr, 1), 0);
}

TEST(UartDataBits, SizesAndRefusals) {
    const struct {
        int bits;
        tcflag_t size;
    } cases[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
    for (const auto &c : cases) {
        termios t = filled(0xff);
        EXPECT_EQ(kt_uart_set_databits(&t, c.bits), 0);
        EXPECT_EQ(t.c_cflag & CSIZE, c.size) << c.bits;
        EXPECT_EQ(t.c_cflag | CSIZE, ~tcflag_t{0}) << "cleared more than the size";
    }
    for (int bits : {4, 9, 0, -8}) {
        termios t = filled(0x33);
        const termios before = t;
        EXPECT_EQ(kt_uart_set_databits(&t, bits), -1) << bits;
        EXPECT_TRUE(same(t, before)) << bits;
    }
    EXPECT_EQ(kt_uart_set_databits(nullptr, 8), -1);
}

TEST(UartParity, LettersOfBothCasesAndRefusals) {
    const tcflag_t check = INPCK | ISTRIP;
    for (int letter : {'N', 'n', 'S', 's'}) {
        termios t = filled(0xff);
        EXPECT_EQ(kt_uart_set_parity(&t, letter), 0);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD), 0u) << char(letter);
        EXPECT_EQ(t.c_iflag & check, 0u) << char(letter);
        EXPECT_EQ(t.c_cflag & CSTOPB, CSTOPB) << "no parity must not touch the stop bits";
    }
    for (int letter : {'E', 'e'}) {
        termios t = filled(0xff);
        EXPECT_EQ(kt_uart_set_parity(&t, letter), 0);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD), PARENB);
        EXPECT_EQ(t.c_iflag & check, check);
    }
    for (int letter : {'O', 'o'}) {
        termios t = filled(0x00);
        EXPECT_EQ(kt_uart_set_parity(&t, letter), 0);
        EXPECT_EQ(t.c_cflag, PARENB | PARODD);
        EXPECT_EQ(t.c_iflag, check);
    }
    termios n = filled(0x3c), s = filled(0x3c);
    kt_uart_set_parity(&n, 'N');
    kt_uart_set_parity(&s, 'S');
    EXPECT_TRUE(same(n, s));

    for (int bad : {int{'X'}, int{'M'}, 0, -1, 'N' + 256}) {
        termios t = filled(0x77);
        const termios before = t;
        EXPECT_EQ(kt_uart_set_parity(&t, bad), -1) << bad;
        EXPECT_TRUE(same(t, before)) << bad;
    }
    EXPECT_EQ(kt_uart_set_parity(nullptr, 'N'), -1);
}

TEST(UartStopBits, OneTwoAndRefusals) {
    termios t = filled(0x00);
    EXPECT_EQ(kt_uart_set_stopbits(&t, 2), 0);
    EXPECT_EQ(t.c_cflag, CSTOPB);
    t = filled(0xff);
    EXPECT_EQ(kt_uart_set_stopbits(&t, 1), 0);
    EXPECT_EQ(t.c_cflag, ~tcflag_t{CSTOPB});
    for (int bits : {0, 3, -1}) {
        termios u = filled(0x11);
        const termios before = u;
        EXPECT_EQ(kt_uart_set_stopbits(&u, bits), -1);
        EXPECT_TRUE(same(u, before));
    }
    EXPECT_EQ(kt_uart_set_stopbits(nullptr, 1), -1);
}
