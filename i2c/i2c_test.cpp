// I2C transfers against the adapter stand-in: the messages each call builds, what it
// returns, and the calls it refuses without a request.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <unistd.h>

#include <cstring>

#include "i2c_bus_standin.h"
#include "kt_i2c.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const char kArgumentLine[] = "fd <= 0 || slave_addr < 0 || data == KTNull\n";

// A real descriptor (on /dev/null) that the stand-in serves as the adapter, with an
// EEPROM-like slave at 0x50 and one at 0x00 (the general call address).
class I2cBus : public testing::Test {
  protected:
    void SetUp() override {
        fd_ = kt_i2c_open("/dev/null");
        ASSERT_GT(fd_, 0);
        standin::bus() = standin::Bus{};
        standin::bus().fd = fd_;
        standin::bus().slaves[0x50];
        standin::bus().slaves[0x00];
        for (int i = 0; i < 256; ++i) {
            standin::bus().slaves[0x50].memory[i] = static_cast<std::uint8_t>(i ^ 0xa5);
        }
    }
    void TearDown() override {
        standin::bus().fd = -1;
        kt_i2c_close(fd_);
    }
    const std::vector<std::vector<standin::Message>> &requests() const {
        return standin::bus().requests;
    }
    standin::Slave &eeprom() { return standin::bus().slaves[0x50]; }
    int fd_ = -1;
};

}  // namespace

TEST_F(I2cBus, WriteSendsOneMessageAndReturnsTheMessageCount) {
    const std::uint8_t data[] = {0x10, 0xde, 0xad};
    EXPECT_EQ(kt_i2c_write(fd_, 0x50, data, 3), 1);
    ASSERT_EQ(requests().size(), 1u);
    ASSERT_EQ(requests()[0].size(), 1u);
    const auto &m = requests()[0][0];
    EXPECT_EQ(m.addr, 0x50);
    EXPECT_EQ(m.flags, 0);
    EXPECT_EQ(m.len, 3);
    EXPECT_EQ(m.buf, data) << "the caller's buffer goes out as is";
    EXPECT_EQ(eeprom().memory[0x10], 0xde);
    EXPECT_EQ(eeprom().memory[0x11], 0xad);
}

TEST_F(I2cBus, AddressesKeepTheirLowEightBitsUnshifted) {
    const std::uint8_t reg = 0;
    EXPECT_EQ(kt_i2c_write(fd_, 0x150, &reg, 1), 1);
    std::uint8_t byte = 0;
    EXPECT_EQ(kt_i2c_read(fd_, 0xff50, &byte, 1), 1);
    ASSERT_EQ(requests().size(), 2u);
    EXPECT_EQ(requests()[0][0].addr, 0x50);
    EXPECT_EQ(requests()[1][0].addr, 0x50);
    // Address 0 goes out for plain writes and reads.
    EXPECT_EQ(kt_i2c_write(fd_, 0, &reg, 1), 1);
    EXPECT_EQ(kt_i2c_read(fd_, 0x100, &byte, 1), 1);
    EXPECT_EQ(requests()[3][0].addr, 0);
}

TEST_F(I2cBus, ReadFillsTheCallersBufferAndReturnsItsLength) {
    const std::uint8_t reg = 0x20;
    ASSERT_EQ(kt_i2c_write(fd_, 0x50, &reg, 1), 1);
    std::uint8_t buf[5] = {};
    EXPECT_EQ(kt_i2c_read(fd_, 0x50, buf, 4), 4);
    const auto &m = requests().back()[0];
    EXPECT_EQ(m.flags, I2C_M_RD);
    EXPECT_EQ(m.len, 4);
    EXPECT_EQ(m.buf, buf);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(buf[i], (0x20 + i) ^ 0xa5) << i;
    }
    EXPECT_EQ(buf[4], 0);
}

TEST_F(I2cBus, WriteThenReadIsOneCombinedTransfer) {
    const std::uint8_t reg[] = {0x40};
    std::uint8_t buf[3] = {};
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, reg, 1, buf, 3), 3);
    ASSERT_EQ(requests().size(), 1u);
    const auto &msgs = requests()[0];
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].addr, 0x50);
    EXPECT_EQ(msgs[0].flags, 0);
    EXPECT_EQ(msgs[0].len, 1);
    EXPECT_EQ(msgs[0].bytes, std::vector<std::uint8_t>{0x40});
    EXPECT_EQ(msgs[1].addr, 0x50);
    EXPECT_EQ(msgs[1].flags, I2C_M_RD);
    EXPECT_EQ(msgs[1].len, 3);
    EXPECT_EQ(msgs[1].buf, buf);
    EXPECT_EQ(buf[0], 0x40 ^ 0xa5);
    EXPECT_EQ(buf[2], 0x42 ^ 0xa5);
}

TEST_F(I2cBus, FailedRequestsGiveMinusOneWithTheCause) {
    const std::uint8_t reg = 0;
    std::uint8_t buf[2];
    errno = 0;
    EXPECT_EQ(kt_i2c_write(fd_, 0x51, &reg, 1), -1);  // nobody answers at 0x51
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(kt_i2c_read(fd_, 0x51, buf, 2), -1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x51, &reg, 1, buf, 2), -1);
    EXPECT_EQ(requests().size(), 3u);

    // A descriptor that is no adapter: the kernel refuses the request (ENOTTY; the
    // user-mode emulator of the ARM suite answers requests it does not know with ENOSYS).
    const int other = open("/dev/zero", O_RDWR);
    ASSERT_GT(other, 0);
    errno = 0;
    EXPECT_EQ(kt_i2c_write(other, 0x50, &reg, 1), -1);
    EXPECT_TRUE(errno == ENOTTY || errno == ENOSYS) << errno;
    EXPECT_EQ(kt_i2c_rdwr(other, 0x50, &reg, 1, buf, 2), -1);
    close(other);
}

TEST_F(I2cBus, WriteRefusalsPrintTheArgumentLine) {
    const std::uint8_t data[2] = {1, 2};
    for (int fd : {0, -1}) {
        CaptureStdout();
        EXPECT_EQ(kt_i2c_write(fd, 0x50, data, 2), -1);
        EXPECT_EQ(GetCapturedStdout(), kArgumentLine);
    }
    CaptureStdout();
    EXPECT_EQ(kt_i2c_write(fd_, 0x50, nullptr, 2), -1);
    EXPECT_EQ(GetCapturedStdout(), kArgumentLine);
    EXPECT_TRUE(requests().empty());
}

TEST_F(I2cBus, ReadAndCombinedRefusalsAreSilent) {
    const std::uint8_t reg = 0;
    std::uint8_t buf[2] = {0x77, 0x77};
    CaptureStdout();
    EXPECT_EQ(kt_i2c_read(fd_, 0x50, nullptr, 2), -1);
    EXPECT_EQ(kt_i2c_read(0, 0x50, buf, 2), -1);
    EXPECT_EQ(kt_i2c_read(-3, 0x50, buf, 2), -1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0, &reg, 1, buf, 2), -1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, nullptr, 1, buf, 2), -1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, &reg, 1, nullptr, 2), -1);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(requests().empty());
    // Address 0 is refused by value, not by its low bits: 0x100 goes out to 0x00.
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x100, &reg, 1, buf, 2), 2);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0][0].addr, 0);
}

TEST_F(I2cBus, LengthsOutsideTheMessageFieldAreRefused) {
    std::vector<std::uint8_t> big(65536);
    const std::uint8_t reg = 0;
    for (int len : {-1, 65536, 65537, -65536}) {
        errno = 0;
        EXPECT_EQ(kt_i2c_read(fd_, 0x50, big.data(), len), -1) << len;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(kt_i2c_write(fd_, 0x50, big.data(), len), -1) << len;
        EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, &reg, 1, big.data(), len), -1) << len;
        EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, big.data(), len, big.data(), 1), -1) << len;
    }
    EXPECT_TRUE(requests().empty());
    // The largest length the field holds goes through whole.
    EXPECT_EQ(kt_i2c_read(fd_, 0x50, big.data(), 65535), 65535);
    EXPECT_EQ(requests().back()[0].len, 65535);
    EXPECT_EQ(kt_i2c_read(fd_, 0x50, big.data(), 0), 0);
}

TEST(I2cDevice, OpenAndClose) {
    EXPECT_EQ(kt_i2c_open("/nonexistent/i2c-9"), -1);
    EXPECT_EQ(kt_i2c_open(nullptr), -1);
    const int fd = kt_i2c_open("/dev/null");
    ASSERT_GT(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_EQ(kt_i2c_close(fd), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor still open";
    // 0 and negative descriptors are refused; standard input stays open.
    EXPECT_EQ(kt_i2c_close(0), -1);
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    EXPECT_EQ(kt_i2c_close(-1), -1);
}
