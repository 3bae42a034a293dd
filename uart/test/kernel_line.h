// Test helper for the emulated board's real serial port (KT_UART_DEVICE, run by
// scripts/test-kernel): the port opened through the library, and the line to the peer on
// the PC side, which sends back every byte it receives (testing/kernel/serial_peer.py).
#pragma once

#include <gtest/gtest.h>
#include <termios.h>

#include <cstddef>
#include <string>

// The port, opened with kt_uart_open in SetUp and closed in TearDown. Outside the board
// (KT_GUEST or KT_UART_DEVICE unset) SetUp fails with a message saying so.
class KernelPort : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // The attributes as the driver keeps them.
    termios attributes() const;
    // Bytes waiting in the input queue and in the output queue.
    int input_queued() const;
    int output_queued() const;

    int fd_ = -1;
};

// The port configured 115200 8N1 without flow control, with the line brought to a known
// place: nothing in flight, nothing waiting.
class KernelLine : public KernelPort {
  protected:
    void SetUp() override;

    // Sends a marker and drops everything that arrives up to its echo; the number of bytes
    // dropped before it, or -1 if the marker did not come back. The first call of the
    // program waits for the peer, which the emulator only connects once the board runs.
    long sync(std::string *dropped = nullptr);
    // Receives `count` bytes with kt_uart_recv_block, each call made once the port is
    // readable; fewer if the line stays quiet for seconds.
    std::string receive(std::size_t count);
};
