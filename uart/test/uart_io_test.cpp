// Receiving and sending through a pseudo-terminal opened and configured as a port.
#include <atomic>
#include <thread>

#include "kt_uart.h"
#include "kt_util.h"
#include "pty_pair.h"

class UartIo : public testing::Test {
  protected:
    void SetUp() override {
        fd_ = kt_uart_open(0, pty_.name.c_str());
        ASSERT_EQ(kt_uart_init(fd_, 115200, 0, 8, 1, 'N'), 0);
    }
    void TearDown() override { kt_uart_close(fd_); }
    PtyPair pty_;
    int fd_ = -1;
};

TEST_F(UartIo, ReceiveWithoutAndWithWaiting) {
    char buf[16] = {};
    EXPECT_EQ(kt_uart_recv(fd_, buf, sizeof buf), -1);  // nothing there: no wait
    pty_.type("abc\r\n0123");
    int n = -1;
    for (int i = 0; i < 400 && n < 0; ++i, kt_sleep_ms(n < 0 ? 5 : 0)) {
        n = kt_uart_recv(fd_, buf, 5);
    }
    EXPECT_EQ(std::string(buf, std::max(n, 0)), "abc\r\n") << "raw mode keeps CR";
    EXPECT_EQ(kt_uart_recv_block(fd_, buf, sizeof buf), 4);

    std::atomic<bool> sent{false};
    std::thread peer([&] {
        kt_sleep_ms(100);
        sent = true;
        pty_.type("late");
    });
    n = kt_uart_recv_block(fd_, buf, sizeof buf);
    EXPECT_TRUE(sent) << "returned before anything was sent";
    peer.join();
    EXPECT_EQ(std::string(buf, std::max(n, 0)), "late");
}

TEST_F(UartIo, ReceiveRefusesDescriptorsASelectSetCannotHold) {
    pty_.type("kept");
    char buf[8];
    for (int fd : {-1, -5, FD_SETSIZE, FD_SETSIZE + 4000}) {
        errno = 0;
        EXPECT_EQ(kt_uart_recv(fd, buf, 8), -1);
        EXPECT_EQ(kt_uart_recv_block(fd, buf, 8), -1);
        EXPECT_EQ(errno, EBADF);
    }
    EXPECT_EQ(kt_uart_recv_block(fd_, buf, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(kt_uart_recv_block(fd_, buf, 8), 4) << "a refused call consumed input";
}

TEST_F(UartIo, SendDeliversExactlyTheBytesOrReportsFailure) {
    const std::string msg("line\nnext\r\n\0\xff", 13);
    ASSERT_EQ(kt_uart_send(fd_, msg.data(), 13), 13);
    std::string got;
    for (int i = 0; i < 400 && got.size() < msg.size(); ++i, kt_sleep_ms(5)) {
        got += pty_.drain();
    }
    EXPECT_EQ(got, msg) << "raw output keeps LF";

    // Far more than the line buffers take at once: the non-blocking write stops short.
    const std::string flood(1 << 20, 'x');
    EXPECT_EQ(kt_uart_send(fd_, flood.data(), 1 << 20), -1);
    pty_.drain();
    EXPECT_EQ(kt_uart_send(fd_, "abc", -3), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(kt_uart_send(-1, "abc", 3), -1);
    kt_sleep_ms(20);
    EXPECT_EQ(pty_.drain(), "");
}
