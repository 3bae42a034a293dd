// I2C transfers through a real kernel: i2c-dev's I2C_RDWR path to the simulated adapter
// of testing/kernel/modules/kt_i2c_bus.c, which answers with an EEPROM at 0x50 (8-bit
// register pointer, wrapping at 256 bytes), a write-only device at 0x3c and nobody
// elsewhere. Runs only inside the emulated board, which sets KT_GUEST and KT_I2C_DEVICE.
#include <errno.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kt_i2c.h"

namespace {

constexpr unsigned kEeprom = 0x50;
constexpr unsigned kWriteOnly = 0x3c;
constexpr unsigned kNobody = 0x51;

class KernelI2c : public testing::Test {
  protected:
    void SetUp() override {
        const char *guest = std::getenv("KT_GUEST");
        const char *device = std::getenv("KT_I2C_DEVICE");
        ASSERT_TRUE(guest != nullptr && *guest != '\0')
            << "KT_GUEST is not set: this program runs inside the emulated board only "
               "(scripts/test-kernel)";
        ASSERT_TRUE(device != nullptr && *device != '\0')
            << "KT_I2C_DEVICE is not set: it names the simulated adapter's device, /dev/i2c-1";
        fd_ = kt_i2c_open(device);
        ASSERT_GT(fd_, 0) << "cannot open " << device << ": " << std::strerror(errno)
                          << " (are i2c-dev and kt_i2c_bus loaded?)";
    }
    void TearDown() override {
        if (fd_ > 0) {
            kt_i2c_close(fd_);
        }
    }

    // Stores `bytes` in the EEPROM from `reg` on: one write, pointer first.
    int store(uint8_t reg, std::vector<uint8_t> bytes) {
        bytes.insert(bytes.begin(), reg);
        return kt_i2c_write(fd_, kEeprom, bytes.data(), static_cast<int>(bytes.size()));
    }

    // One raw request of `count` read messages of one byte each from the EEPROM, the
    // first `first_len` bytes long: the library never builds more than two messages, so
    // the kernel's request limits are checked around it. The result or -errno.
    int raw_reads(unsigned count, uint16_t first_len) {
        std::vector<uint8_t> buf(first_len + count);
        std::vector<i2c_msg> msgs(count, i2c_msg{kEeprom, I2C_M_RD, 1, buf.data()});
        if (count > 0) {
            msgs[0].len = first_len;
        }
        i2c_rdwr_ioctl_data request{msgs.data(), count};
        errno = 0;
        const int rc = ioctl(fd_, I2C_RDWR, &request);
        return rc < 0 ? -errno : rc;
    }

    int fd_ = -1;
};

TEST_F(KernelI2c, EepromRoundTripsThroughItsRegisterPointer) {
    ASSERT_EQ(store(0x10, {0xde, 0xad, 0xbe, 0xef}), 1) << std::strerror(errno);
    const uint8_t reg10 = 0x10, reg11 = 0x11;
    uint8_t buf[4] = {};
    // 0x150 addresses 0x50: only the low bits reach the kernel.
    ASSERT_EQ(kt_i2c_rdwr(fd_, 0x150, &reg10, 1, buf, 4), 4) << std::strerror(errno);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef}));

    // A write of the pointer alone moves it; plain reads go on from it, request after
    // request.
    EXPECT_EQ(kt_i2c_write(fd_, kEeprom, &reg11, 1), 1);
    EXPECT_EQ(kt_i2c_read(fd_, kEeprom, buf, 2), 2);
    EXPECT_EQ(buf[0], 0xad);
    EXPECT_EQ(buf[1], 0xbe);
    EXPECT_EQ(kt_i2c_read(fd_, kEeprom, buf, 1), 1);
    EXPECT_EQ(buf[0], 0xef);

    // Writes and reads wrap from the last byte to the first.
    ASSERT_EQ(store(0xfe, {1, 2, 3, 4}), 1);
    const uint8_t regfe = 0xfe, reg00 = 0x00;
    EXPECT_EQ(kt_i2c_rdwr(fd_, kEeprom, &regfe, 1, buf, 4), 4);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(kt_i2c_rdwr(fd_, kEeprom, &reg00, 1, buf, 2), 2);
    EXPECT_EQ(buf[0], 3);
    EXPECT_EQ(buf[1], 4);

    // A write without bytes only probes the address; the pointer stays.
    ASSERT_EQ(store(0x20, {0x42}), 1);
    const uint8_t reg20 = 0x20;
    EXPECT_EQ(kt_i2c_write(fd_, kEeprom, &reg20, 1), 1);
    EXPECT_EQ(kt_i2c_write(fd_, kEeprom, buf, 0), 1);
    EXPECT_EQ(kt_i2c_read(fd_, kEeprom, buf, 1), 1);
    EXPECT_EQ(buf[0], 0x42) << "the probe moved the pointer";
}

TEST_F(KernelI2c, NakedAndEmptyAddressesFailWithEnxio) {
    uint8_t bytes[2] = {0x01, 0x02};
    EXPECT_EQ(kt_i2c_write(fd_, kWriteOnly, bytes, 2), 1) << std::strerror(errno);
    errno = 0;
    EXPECT_EQ(kt_i2c_read(fd_, kWriteOnly, bytes, 2), -1);
    EXPECT_EQ(errno, ENXIO);
    // The write half is acknowledged, the read NAKed: the combined transfer fails and the
    // kernel hands back no read data.
    uint8_t rbuf[2] = {0x77, 0x77};
    errno = 0;
    EXPECT_EQ(kt_i2c_rdwr(fd_, kWriteOnly, bytes, 1, rbuf, 2), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(rbuf[0], 0x77);

    // Nobody at 0x51, nor at 0 (which only the combined transfer refuses by itself).
    for (unsigned addr : {kNobody, 0u}) {
        SCOPED_TRACE(addr);
        errno = 0;
        EXPECT_EQ(kt_i2c_write(fd_, addr, bytes, 2), -1);
        EXPECT_EQ(errno, ENXIO);
        errno = 0;
        EXPECT_EQ(kt_i2c_write(fd_, addr, bytes, 0), -1) << "a probe found a device";
        EXPECT_EQ(errno, ENXIO);
        errno = 0;
        EXPECT_EQ(kt_i2c_read(fd_, addr, rbuf, 2), -1);
        EXPECT_EQ(errno, ENXIO);
    }
    errno = 0;
    EXPECT_EQ(kt_i2c_rdwr(fd_, kNobody, bytes, 1, rbuf, 2), -1);
    EXPECT_EQ(errno, ENXIO);
}

TEST_F(KernelI2c, MessagesUpToTheKernelsLengthLimitPassLongerOnesAreRefused) {
    // 8192 bytes in each direction, wrapping around the EEPROM 32 times.
    std::vector<uint8_t> big(8192);
    for (std::size_t i = 1; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>((i - 1) ^ 0x5a);
    }
    big[0] = 0x00;  // the pointer
    ASSERT_EQ(kt_i2c_write(fd_, kEeprom, big.data(), 8192), 1) << std::strerror(errno);
    std::vector<uint8_t> back(8192);
    const uint8_t reg00 = 0x00;
    ASSERT_EQ(kt_i2c_rdwr(fd_, kEeprom, &reg00, 1, back.data(), 8192), 8192)
        << std::strerror(errno);
    int wrong = 0;
    for (std::size_t i = 0; i < 8192; ++i) {
        wrong += back[i] != static_cast<uint8_t>(i ^ 0x5a);
    }
    EXPECT_EQ(wrong, 0);

    // One byte more, or a length whose low 16 bits i2c-dev would take, is refused with
    // the kernel's EINVAL.
    for (int len : {8193, 65535, 65536 + 4}) {
        SCOPED_TRACE(len);
        std::vector<uint8_t> buf(static_cast<std::size_t>(len));
        errno = 0;
        EXPECT_EQ(kt_i2c_write(fd_, kEeprom, buf.data(), len), -1);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(kt_i2c_read(fd_, kEeprom, buf.data(), len), -1);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_EQ(kt_i2c_rdwr(fd_, kEeprom, &reg00, 1, buf.data(), len), -1);
        EXPECT_EQ(errno, EINVAL);
    }
}

// The kernel's own limits, which the library's length check and the host tests' adapter
// stand-in follow: up to 8192 bytes in a message, 1 to I2C_RDWR_IOCTL_MAX_MSGS (42)
// messages in a request; beyond them EINVAL.
TEST_F(KernelI2c, KernelLimitsOfOneRequest) {
    EXPECT_EQ(raw_reads(1, 8192), 1);
    EXPECT_EQ(raw_reads(1, 8193), -EINVAL);
    EXPECT_EQ(raw_reads(2, 8193), -EINVAL);
    EXPECT_EQ(raw_reads(42, 1), 42);
    EXPECT_EQ(raw_reads(43, 1), -EINVAL);
    EXPECT_EQ(raw_reads(0, 1), -EINVAL);
}

}  // namespace
