#include "kt_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

TEST(UtilCrc, IsStandardCrc32) {
    EXPECT_EQ(kt_crc("123456789", 9), 0xcbf43926u);
    EXPECT_EQ(kt_crc("", 0), 0u);
    EXPECT_EQ(kt_crc(nullptr, 5), 0u);
    // Only `length` bytes count, not the rest of the string.
    EXPECT_EQ(kt_crc("123456789abc", 9), 0xcbf43926u);
}

TEST(UtilBigEndian, ReversesInPlaceOnLittleEndian) {
    uint32_t word = 0x11223344;
    big_endian(&word, 4);
    unsigned char bytes[4];
    std::memcpy(bytes, &word, 4);
    // The first byte in memory is now the most significant one of the original value.
    EXPECT_EQ(bytes[0], 0x11);
    EXPECT_EQ(bytes[3], 0x44);

    unsigned char odd[3] = {1, 2, 3};
    big_endian(odd, 3);
    EXPECT_EQ(odd[0], 3);
    EXPECT_EQ(odd[2], 1);

    unsigned char one = 7;
    big_endian(&one, 1);
    EXPECT_EQ(one, 7);
    big_endian(nullptr, 4);  // no crash
}

TEST(UtilTime, StampsNeverGoBackwardsAndMillisecondsStayInRange) {
    kt_timestamp prev{};
    get_time_tamp(&prev);
    for (int i = 0; i < 20000; ++i) {
        kt_timestamp now{};
        get_time_tamp(&now);
        ASSERT_LT(now.msec, 1000);
        const uint64_t a = uint64_t{prev.sec} * 1000 + prev.msec;
        const uint64_t b = uint64_t{now.sec} * 1000 + now.msec;
        ASSERT_GE(b, a);
        prev = now;
    }
    // Readable as calendar time: within a day of the wall clock.
    const auto wall = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    EXPECT_NEAR(static_cast<double>(prev.sec), static_cast<double>(wall), 86400.0);
    get_time_tamp(nullptr);  // no crash
}

TEST(UtilSleep, BlocksAtLeastTheGivenTime) {
    const auto start = std::chrono::steady_clock::now();
    kt_sleep_ms(33);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(33));
    kt_sleep_ms(0);
    kt_sleep_ms(-5);
}
