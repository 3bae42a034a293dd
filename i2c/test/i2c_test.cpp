// I2C transfers against the adapter stand-in: the messages each call builds, what it
// returns, and the calls it refuses without a request.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "i2c_bus_standin.h"
#include "kt_i2c.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// A real descriptor (on /dev/null) that the stand-in serves as the adapter, with an
// EEPROM-like slave at 0x50 holding i ^ 0xa5 at address i, and one at 0x00.
class I2cBus : public testing::Test {
  protected:
    void SetUp() override {
        fd_ = kt_i2c_open("/dev/null");
        ASSERT_GT(fd_, 0);
        kti2c_test::bus() = kti2c_test::Bus{};
        kti2c_test::bus().fd = fd_;
        kti2c_test::bus().slaves[0x00];
        for (int i = 0; i < 256; ++i) {
            kti2c_test::bus().slaves[0x50].memory.at(i) = static_cast<uint8_t>(i ^ 0xa5);
        }
    }
    void TearDown() override {
        kti2c_test::bus().fd = -1;
        kt_i2c_close(fd_);
    }
    const std::vector<std::vector<kti2c_test::Message>> &requests() {
        return kti2c_test::bus().requests;
    }
    int fd_ = -1;
};

TEST_F(I2cBus, EachCallIsOneRequestWithTheDocumentedMessages) {
    const uint8_t data[] = {0x10, 0xde, 0xad};
    EXPECT_EQ(kt_i2c_write(fd_, 0x150, data, 3), 1) << "the message count, not bytes";
    uint8_t buf[5] = {};
    EXPECT_EQ(kt_i2c_read(fd_, 0xff50, buf, 4), 4);
    const uint8_t reg[] = {0x40};
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, reg, 1, buf, 3), 3);

    ASSERT_EQ(requests().size(), 3u);
    const auto &w = requests()[0], &r = requests()[1], &rw = requests()[2];
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].addr, 0x50);
    EXPECT_EQ(w[0].flags, 0);
    EXPECT_EQ(w[0].len, 3);
    EXPECT_EQ(w[0].buf, data);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].addr, 0x50);
    EXPECT_EQ(r[0].flags, I2C_M_RD);
    EXPECT_EQ(r[0].len, 4);
    ASSERT_EQ(rw.size(), 2u);
    EXPECT_EQ(rw[0].flags, 0);
    EXPECT_EQ(rw[0].bytes, std::vector<uint8_t>{0x40});
    EXPECT_EQ(rw[1].addr, 0x50);
    EXPECT_EQ(rw[1].flags, I2C_M_RD);
    EXPECT_EQ(rw[1].len, 3);
    EXPECT_EQ(rw[1].buf, buf);
    // The slave saw the write and the reads continued from where it pointed.
    EXPECT_EQ(kti2c_test::bus().slaves[0x50].memory[0x10], 0xde);
    EXPECT_EQ(buf[0], 0x40 ^ 0xa5);
    EXPECT_EQ(buf[2], 0x42 ^ 0xa5);
    EXPECT_EQ(buf[3], 0x15 ^ 0xa5) << "the combined read went past its length";
}

TEST_F(I2cBus, AddressZeroIsRefusedOnlyByTheCombinedTransfer) {
    uint8_t byte = 0;
    EXPECT_EQ(kt_i2c_write(fd_, 0, &byte, 1), 1);
    EXPECT_EQ(kt_i2c_read(fd_, 0, &byte, 1), 1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0, &byte, 1, &byte, 1), -1);
    EXPECT_EQ(requests().size(), 2u);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x100, &byte, 1, &byte, 1), 1) << "refused by value";
    EXPECT_EQ(requests().back()[0].addr, 0);
}

TEST_F(I2cBus, FailedRequestsGiveMinusOneWithTheCause) {
    uint8_t buf[2] = {};
    errno = 0;
    EXPECT_EQ(kt_i2c_write(fd_, 0x51, buf, 1), -1);  // nobody answers at 0x51
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(kt_i2c_read(fd_, 0x51, buf, 2), -1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x51, buf, 1, buf, 2), -1);
    EXPECT_EQ(requests().size(), 3u);
    // No adapter behind the descriptor: the kernel refuses (ENOTTY; the ARM suite's
    // user-mode emulator answers requests it does not know with ENOSYS).
    const int other = open("/dev/zero", O_RDWR);
    errno = 0;
    EXPECT_EQ(kt_i2c_write(other, 0x50, buf, 1), -1);
    EXPECT_TRUE(errno == ENOTTY || errno == ENOSYS) << errno;
    EXPECT_EQ(kt_i2c_rdwr(other, 0x50, buf, 1, buf, 2), -1);
    close(other);
}

TEST_F(I2cBus, BadArgumentsMakeNoRequestAndOnlyWritePrints) {
    uint8_t buf[2] = {1, 2};
    for (int fd : {0, -1, fd_}) {
        CaptureStdout();
        EXPECT_EQ(kt_i2c_write(fd, 0x50, fd == fd_ ? nullptr : buf, 2), -1);
        EXPECT_EQ(GetCapturedStdout(), "fd <= 0 || slave_addr < 0 || data == KTNull\n");
    }
    CaptureStdout();
    EXPECT_EQ(kt_i2c_read(fd_, 0x50, nullptr, 2), -1);
    EXPECT_EQ(kt_i2c_read(0, 0x50, buf, 2), -1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, nullptr, 1, buf, 2), -1);
    EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, buf, 1, nullptr, 2), -1);
    // Lengths that i2c-dev refuses, among them ones the 16-bit message field would cut
    // down to a length it takes (65540 to 4).
    std::vector<uint8_t> big(65540);
    for (int len : {-1, 8193, 65535, 65540, -65536}) {
        EXPECT_EQ(kt_i2c_write(fd_, 0x50, big.data(), len), -1);
        EXPECT_EQ(kt_i2c_read(fd_, 0x50, big.data(), len), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, big.data(), 1, big.data(), len), -1);
        EXPECT_EQ(kt_i2c_rdwr(fd_, 0x50, big.data(), len, big.data(), 1), -1);
    }
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(kt_i2c_read(fd_, 0x50, big.data(), 8192), 8192);
    EXPECT_EQ(requests().back()[0].len, 8192);
}

// The stand-in refuses what i2c-dev refuses, before any slave sees a message (the guest
// test checks the same requests on the kernel).
TEST_F(I2cBus, StandInKeepsTheKernelsLimits) {
    std::vector<uint8_t> byte(43);
    std::vector<i2c_msg> msgs(43, i2c_msg{0x50, I2C_M_RD, 1, byte.data()});
    auto request = [&](unsigned count, uint16_t len) {
        msgs[0].len = len;
        i2c_rdwr_ioctl_data data{msgs.data(), count};
        errno = 0;
        const int rc = ioctl(fd_, I2C_RDWR, &data);
        return rc < 0 ? -errno : rc;
    };
    EXPECT_EQ(request(42, 1), 42);
    EXPECT_EQ(kti2c_test::bus().slaves[0x50].pointer, 42u);
    EXPECT_EQ(request(43, 1), -EINVAL);
    EXPECT_EQ(request(0, 1), -EINVAL);
    std::vector<uint8_t> big(8193);
    msgs[0].buf = big.data();
    EXPECT_EQ(request(1, 8193), -EINVAL);
    EXPECT_EQ(request(2, 8193), -EINVAL);
    EXPECT_EQ(kti2c_test::bus().slaves[0x50].pointer, 42u) << "a refused request reached the slave";
    EXPECT_EQ(request(1, 8192), 1);
}

TEST(I2cDevice, OpenAndClose) {
    EXPECT_EQ(kt_i2c_open("/nonexistent/i2c-9"), -1);
    EXPECT_EQ(kt_i2c_open(nullptr), -1);
    const int fd = kt_i2c_open("/dev/null");
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
    EXPECT_EQ(kt_i2c_close(fd), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor still open";
    EXPECT_EQ(kt_i2c_close(0), -1);
    EXPECT_NE(fcntl(0, F_GETFD), -1) << "standard input was closed";
    EXPECT_EQ(kt_i2c_close(-1), -1);
}
