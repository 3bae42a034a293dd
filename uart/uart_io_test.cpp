// Receiving and sending through a configured pseudo-terminal.
#include <atomic>
#include <string>
#include <thread>

#include "kt_uart.h"
#include "kt_util.h"
#include "pty_pair.h"

namespace {

// The slave side opened as the application opens its port, configured raw.
class UartIo : public testing::Test {
  protected:
    void SetUp() override {
        fd_ = kt_uart_open(0, pty_.name().c_str());
        ASSERT_GE(fd_, 0);
        ASSERT_EQ(kt_uart_init(fd_, 115200, 0, 8, 1, 'N'), 0);
    }
    void TearDown() override {
        if (fd_ >= 0) {
            kt_uart_close(fd_);
        }
    }
    PtyPair pty_;
    int fd_ = -1;
};

}  // namespace

TEST_F(UartIo, ReceiveReturnsWaitingBytesOrMinusOneAtOnce) {
    char buf[32] = {};
    EXPECT_EQ(kt_uart_recv(fd_, buf, sizeof buf), -1);
    pty_.type("abc\r\n");
    // The master's bytes reach the slave's input queue asynchronously.
    int n = -1;
    for (int i = 0; i < 200 && n < 0; ++i) {
        n = kt_uart_recv(fd_, buf, sizeof buf);
        if (n < 0) {
            kt_sleep_ms(5);
        }
    }
    ASSERT_EQ(n, 5);
    EXPECT_EQ(std::string(buf, 5), "abc\r\n") << "raw mode must not translate CR";
    EXPECT_EQ(kt_uart_recv(fd_, buf, sizeof buf), -1);
}

TEST_F(UartIo, ReceiveTakesNoMoreThanAsked) {
    pty_.type("0123456789");
    char buf[8] = {};
    ASSERT_EQ(kt_uart_recv_block(fd_, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    ASSERT_EQ(kt_uart_recv_block(fd_, buf, 8), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
}

TEST_F(UartIo, BlockingReceiveWaitsForTheOtherEnd) {
    std::atomic<bool> sent{false};
    std::thread peer([&] {
        kt_sleep_ms(100);
        sent = true;
        pty_.type("late");
    });
    char buf[8] = {};
    const int n = kt_uart_recv_block(fd_, buf, sizeof buf);
    const bool was_sent = sent;
    peer.join();
    EXPECT_TRUE(was_sent) << "returned before anything was sent";
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buf, 4), "late");
}

TEST_F(UartIo, ReceiveRefusesWhatASelectSetCannotHold) {
    pty_.type("kept");
    char buf[8];
    errno = 0;
    EXPECT_EQ(kt_uart_recv(-1, buf, 8), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(kt_uart_recv(FD_SETSIZE, buf, 8), -1);
    EXPECT_EQ(kt_uart_recv_block(FD_SETSIZE + 4000, buf, 8), -1);
    EXPECT_EQ(kt_uart_recv_block(-5, buf, 8), -1);
    errno = 0;
    EXPECT_EQ(kt_uart_recv_block(fd_, buf, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    // The refused calls consumed nothing.
    ASSERT_EQ(kt_uart_recv_block(fd_, buf, 8), 4);
    EXPECT_EQ(std::string(buf, 4), "kept");
}

TEST_F(UartIo, SendDeliversExactlyTheBytes) {
    const std::string msg = "line one\nline two\r\n\x00\xff";
    ASSERT_EQ(kt_uart_send(fd_, msg.data(), static_cast<int>(msg.size())),
              static_cast<int>(msg.size()));
    std::string got;
    for (int i = 0; i < 200 && got.size() < msg.size(); ++i) {
        got += pty_.drain();
        if (got.size() < msg.size()) {
            kt_sleep_ms(5);
        }
    }
    EXPECT_EQ(got, msg) << "raw output must not turn LF into CR LF";
    EXPECT_EQ(kt_uart_send(fd_, "", 0), 0);
}

TEST_F(UartIo, SendReportsShortAndRefusedWrites) {
    // Far more than the line's buffers take at once: the non-blocking write stops short.
    const std::string flood(1 << 20, 'x');
    EXPECT_EQ(kt_uart_send(fd_, flood.data(), static_cast<int>(flood.size())), -1);
    const std::string arrived = pty_.drain();
    EXPECT_LT(arrived.size(), flood.size());
    EXPECT_EQ(arrived.find_first_not_of('x'), std::string::npos);

    errno = 0;
    EXPECT_EQ(kt_uart_send(fd_, "abc", -3), -1);
    EXPECT_EQ(errno, EINVAL);
    kt_sleep_ms(20);
    EXPECT_EQ(pty_.drain(), "");
    EXPECT_EQ(kt_uart_send(-1, "abc", 3), -1);
}
