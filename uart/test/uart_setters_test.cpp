// The termios setters on plain records: each aspect they change and what they must leave.
#include <gtest/gtest.h>

#include <cstring>

#include "kt_uart.h"

static termios filled(unsigned char byte) {
    termios t;
    std::memset(&t, byte, sizeof t);
    return t;
}

static bool same(const termios &a, const termios &b) {
    return !std::memcmp(&a, &b, sizeof a);
}

TEST(UartTables, SixteenRowsOfEightRatesWithTheirLinuxCodes) {
    const int rates[8] = {115200, 38400, 19200, 9600, 4800, 2400, 1200, 300};
    const int codes[8] = {4098, 15, 14, 13, 12, 11, 9, 7};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(name_arr[i], rates[i % 8]) << i;
        EXPECT_EQ(speed_arr[i], codes[i % 8]) << i;
    }
}

TEST(UartSetters, SpeedSetsBothDirectionsOrLeavesTheRecord) {
    for (int i = 0; i < 9; ++i) {
        const int rate = i < 8 ? name_arr[i] : 57600;
        termios t{};
        EXPECT_EQ(kt_uart_set_speed(&t, rate), 0);
        const speed_t want = i < 8 ? static_cast<speed_t>(speed_arr[i]) : B57600;
        EXPECT_EQ(cfgetispeed(&t), want) << rate;
        EXPECT_EQ(cfgetospeed(&t), want) << rate;
    }
    for (int rate : {0, 250000, 57601, -9600, 4000001}) {
        termios t = filled(0x5a);
        EXPECT_EQ(kt_uart_set_speed(&t, rate), 0);
        EXPECT_TRUE(same(t, filled(0x5a))) << rate;
    }
    EXPECT_EQ(kt_uart_set_speed(nullptr, 9600), 0);
}

TEST(UartSetters, RatesAboveTheTablesUpToFourMegabit) {
    const struct {
        int rate;
        speed_t code;
    } high[] = {{230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
                {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
                {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
                {4000000, B4000000}};
    for (const auto &h : high) {
        termios t = filled(0);
        EXPECT_EQ(kt_uart_set_speed(&t, h.rate), 0);
        EXPECT_EQ(cfgetispeed(&t), h.code) << h.rate;
        EXPECT_EQ(cfgetospeed(&t), h.code) << h.rate;
        // Only the speed bits change.
        termios want = filled(0);
        cfsetispeed(&want, h.code);
        cfsetospeed(&want, h.code);
        EXPECT_TRUE(same(t, want)) << h.rate;
    }
}

TEST(UartSetters, FlowControlModesTouchOnlyTheirBits) {
    const tcflag_t soft = IXON | IXOFF | IXANY;
    const struct {
        int mode;
        tcflag_t cflag, iflag;
    } cases[] = {{0, 0, 0}, {1, CRTSCTS, 0}, {2, 0, soft}};
    for (const auto &c : cases) {
        for (unsigned char start : {0x00, 0xff}) {
            termios t = filled(start);
            EXPECT_EQ(kt_uart_set_flowctrl(&t, c.mode), 0);
            termios want = filled(start);
            want.c_cflag = (want.c_cflag & ~CRTSCTS) | c.cflag;
            want.c_iflag = (want.c_iflag & ~soft) | c.iflag;
            EXPECT_TRUE(same(t, want)) << c.mode;
        }
    }
    for (int mode : {3, -1}) {
        termios t = filled(0xa5);
        EXPECT_EQ(kt_uart_set_flowctrl(&t, mode), 0);
        EXPECT_TRUE(same(t, filled(0xa5))) << mode;
    }
    EXPECT_EQ(kt_uart_set_flowctrl(nullptr, 1), 0);
}

TEST(UartSetters, DataBitsParityAndStopBits) {
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    for (int bits = 5; bits <= 8; ++bits) {
        termios t = filled(0xff);
        EXPECT_EQ(kt_uart_set_databits(&t, bits), 0);
        EXPECT_EQ(t.c_cflag, ~CSIZE | sizes[bits - 5]) << bits;
    }
    const tcflag_t check = INPCK | ISTRIP, par = PARENB | PARODD;
    const struct {
        int letter;
        tcflag_t cflag, iflag;
    } parities[] = {{'N', 0, 0},       {'n', 0, 0},          {'S', 0, 0},
                    {'s', 0, 0},       {'E', PARENB, check}, {'e', PARENB, check},
                    {'O', par, check}, {'o', par, check}};
    for (const auto &p : parities) {
        for (unsigned char start : {0x00, 0xff}) {
            termios t = filled(start);
            EXPECT_EQ(kt_uart_set_parity(&t, p.letter), 0);
            termios want = filled(start);
            want.c_cflag = (want.c_cflag & ~par) | p.cflag;  // CSTOPB stays as it was
            want.c_iflag = (want.c_iflag & ~check) | p.iflag;
            EXPECT_TRUE(same(t, want)) << char(p.letter);
        }
    }
    termios t = filled(0xff);
    EXPECT_EQ(kt_uart_set_stopbits(&t, 1), 0);
    EXPECT_EQ(t.c_cflag, ~tcflag_t{CSTOPB});
    EXPECT_EQ(kt_uart_set_stopbits(&t, 2), 0);
    EXPECT_EQ(t.c_cflag, ~tcflag_t{0});
}

TEST(UartSetters, RefusedValuesLeaveTheRecord) {
    for (int v : {4, 9, 0, -8}) {
        termios t = filled(0x33);
        EXPECT_EQ(kt_uart_set_databits(&t, v), -1);
        EXPECT_TRUE(same(t, filled(0x33))) << v;
    }
    for (int v : {int{'X'}, int{'M'}, 0, -1, 'N' + 256}) {
        termios t = filled(0x77);
        EXPECT_EQ(kt_uart_set_parity(&t, v), -1);
        EXPECT_TRUE(same(t, filled(0x77))) << v;
    }
    for (int v : {0, 3, -1}) {
        termios t = filled(0x11);
        EXPECT_EQ(kt_uart_set_stopbits(&t, v), -1);
        EXPECT_TRUE(same(t, filled(0x11))) << v;
    }
    EXPECT_EQ(kt_uart_set_databits(nullptr, 8), -1);
    EXPECT_EQ(kt_uart_set_parity(nullptr, 'N'), -1);
    EXPECT_EQ(kt_uart_set_stopbits(nullptr, 1), -1);
}
