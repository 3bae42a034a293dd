// Word-wise register copies: the bytes each length moves and the bytes it must not touch.
#include <algorithm>
#include <cstring>

#include "mapped_file.h"

static Bytes counting(size_t n, unsigned char first) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<unsigned char>(first + i);
    }
    return v;
}

TEST(FpgaCopy, ReadFillsExactlyLenBytesOfAnUnalignedBuffer) {
    MappedFile file;
    file.put(0, counting(16, 0x10));
    for (int len = -3; len <= 13; ++len) {
        unsigned char raw[24];
        std::memset(raw, 0xaa, sizeof raw);
        ASSERT_EQ(kt_fpga_read(file.at(0), raw + 1, len), 0);
        Bytes want(24, 0xaa);
        for (int i = 0; i < len; ++i) {
            want[1 + i] = static_cast<unsigned char>(0x10 + i);
        }
        EXPECT_EQ(Bytes(raw, raw + 24), want) << "len " << len;
    }
}

TEST(FpgaCopy, WriteStoresLenBytesAndZeroesTheFourthOfAThreeByteTail) {
    const Bytes src = counting(16, 0x40);
    for (int len = -1; len <= 13; ++len) {
        MappedFile file;
        unsigned char raw[20];
        std::memcpy(raw + 3, src.data(), src.size());  // unaligned source
        ASSERT_EQ(kt_fpga_write(file.at(8), raw + 3, len), 0);
        Bytes want(32, 0xee);
        std::copy(src.begin(), src.begin() + std::max(len, 0), want.begin() + 8);
        if (len % 4 == 3) {
            want[8 + len] = 0;
        }
        EXPECT_EQ(file.get(0, 32), want) << "len " << len;
    }
    MappedFile file;
    const unsigned char three[] = {0xa1, 0xb2, 0xc3};
    kt_fpga_write(file.at(0), three, 3);
    uint32_t word;
    std::memcpy(&word, file.get(0, 4).data(), 4);
    EXPECT_EQ(word, 0x00c3b2a1u);
}

TEST(FpgaCopy, NullPointersAreRefusedWithoutAccess) {
    MappedFile file;
    unsigned char buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(kt_fpga_read(file.at(0), nullptr, 4), -1);
    EXPECT_EQ(kt_fpga_read(nullptr, buf, 4), -1);
    EXPECT_EQ(kt_fpga_write(file.at(0), nullptr, 4), -1);
    EXPECT_EQ(kt_fpga_write(nullptr, buf, 4), -1);
    EXPECT_EQ(kt_fpga_write(nullptr, nullptr, 0), 0);
    EXPECT_EQ(file.get(0, 4), Bytes(4, 0xee));
    EXPECT_EQ(buf[0], 1);
}
