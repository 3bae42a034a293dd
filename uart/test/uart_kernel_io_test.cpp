// Bytes through the library across the board's real UART; the peer on the PC side sends
// every byte back.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "kernel_line.h"
#include "kt_uart.h"
#include "kt_util.h"
#include "wait.h"

using namespace std::chrono_literals;

using UartKernelIo = KernelLine;

TEST_F(UartKernelIo, RawBytesBothWaysUnchanged) {
    const std::string msg("line\nnext\r\n\0\xff\x7f\x11\x13\x03", 15);
    ASSERT_EQ(kt_uart_send(fd_, msg.data(), 15), 15);
    EXPECT_EQ(receive(msg.size()), msg) << "no CR/LF translation, no flow control characters";
}

// The UART's FIFO holds 16 bytes; the driver's transmit buffer holds a page.
TEST_F(UartKernelIo, BlockFarLargerThanTheFifo) {
    std::string block(4000, '\0');
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>((i * 7 + i / 256) & 0xff);
    }
    ASSERT_EQ(kt_uart_send(fd_, block.data(), 4000), 4000);
    const std::string back = receive(block.size());
    ASSERT_EQ(back.size(), block.size());
    EXPECT_TRUE(back == block) << "first difference at "
                               << std::mismatch(back.begin(), back.end(), block.begin()).first -
                                      back.begin();
}

// The port is non-blocking, so a write the driver cannot take in whole stops short:
// kt_uart_send gives -1 and discards what was still queued, and the line goes on. The
// emulated UART sends at once, whatever the rate, so even 64 KiB would go through whole;
// suspended output (as after an XOFF) makes the transmit buffer fill as on a real line.
TEST_F(UartKernelIo, SendThatStopsShortFailsAndDiscardsTheRest) {
    ASSERT_EQ(tcflow(fd_, TCOOFF), 0);
    const std::string flood(1 << 16, 'x');
    EXPECT_EQ(kt_uart_send(fd_, flood.data(), 1 << 16), -1);
    EXPECT_EQ(output_queued(), 0) << "the unsent output was kept";
    ASSERT_EQ(tcflow(fd_, TCOON), 0);
    std::string dropped;
    EXPECT_EQ(sync(&dropped), 0) << dropped.size() << " bytes of the flood went out";

    ASSERT_EQ(kt_uart_send(fd_, "after", 5), 5);
    EXPECT_EQ(receive(5), "after");
}

TEST_F(UartKernelIo, ReceiveNeverWaitsAndBlockingReceiveDoes) {
    char buf[16] = {};
    EXPECT_EQ(kt_uart_recv(fd_, buf, sizeof buf), -1) << "nothing is on the line";

    ASSERT_EQ(kt_uart_send(fd_, "abc\r\n0123", 9), 9);
    ASSERT_TRUE(kttest::wait_until([&] { return input_queued() == 9; }, 5s)) << input_queued();
    EXPECT_EQ(kt_uart_recv(fd_, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "abc\r\n");
    EXPECT_EQ(kt_uart_recv(fd_, buf, sizeof buf), 4) << "returns what is there";
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(kt_uart_recv(fd_, buf, sizeof buf), -1);

    std::atomic<bool> sent{false};
    std::thread sender([&] {
        kt_sleep_ms(100);
        sent = true;
        kt_uart_send(fd_, "late", 4);
    });
    const int n = kt_uart_recv_block(fd_, buf, sizeof buf);
    EXPECT_TRUE(sent) << "returned before anything was sent";
    sender.join();
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, n) + receive(4 - n), "late");
}

// A failed configuration neither applies anything nor discards what has arrived; a
// successful one discards it.
TEST_F(UartKernelIo, InitFlushesInputOnlyWhenItSucceeds) {
    ASSERT_EQ(kt_uart_send(fd_, "pending", 7), 7);
    ASSERT_TRUE(kttest::wait_until([&] { return input_queued() == 7; }, 5s)) << input_queued();
    const termios before = attributes();
    const struct {
        int databits, stopbits, parity, result;
    } refused[] = {{9, 1, 'N', -4}, {4, 1, 'N', -4}, {8, 1, 'X', -5}, {8, 3, 'N', -6}};
    for (const auto &r : refused) {
        EXPECT_EQ(kt_uart_init(fd_, 9600, 0, r.databits, r.stopbits, r.parity), r.result);
        const termios now = attributes();
        EXPECT_EQ(std::memcmp(&now, &before, sizeof now), 0) << r.result;
        EXPECT_EQ(input_queued(), 7) << r.result;
    }
    ASSERT_EQ(kt_uart_init(fd_, 9600, 0, 8, 1, 'N'), 0);
    EXPECT_EQ(input_queued(), 0) << "pending input kept";
    char buf[8];
    EXPECT_EQ(kt_uart_recv(fd_, buf, sizeof buf), -1);
}

// With parity the library asks for input stripping: the eighth bit of what comes in is
// cleared, whatever the line carried.
TEST_F(UartKernelIo, ParityStripsTheEighthBitOfInput) {
    ASSERT_EQ(kt_uart_init(fd_, 115200, 0, 8, 1, 'E'), 0);
    ASSERT_EQ(kt_uart_send(fd_, "\xc1\x41\xff", 3), 3);
    EXPECT_EQ(receive(3), "\x41\x41\x7f");
    ASSERT_EQ(kt_uart_init(fd_, 115200, 0, 8, 1, 'N'), 0);
    ASSERT_EQ(kt_uart_send(fd_, "\xc1\x41\xff", 3), 3);
    EXPECT_EQ(receive(3), "\xc1\x41\xff");
}
