// Word-wise register copies: the bytes each length moves and the bytes it must not touch.
#include <cstring>

#include "mapped_file.h"

namespace {

std::vector<unsigned char> counting(size_t n, unsigned char first) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<unsigned char>(first + i);
    }
    return v;
}

}  // namespace

TEST(FpgaRead, EachLengthFillsExactlyThatManyBytes) {
    MappedFile file(4096);
    file.put_file_bytes(0, counting(16, 0x10));
    for (int len = 0; len <= 13; ++len) {
        // An odd destination address: the buffer needs no alignment.
        unsigned char raw[24];
        std::memset(raw, 0xaa, sizeof raw);
        unsigned char *buf = raw + 1;
        ASSERT_EQ(kt_fpga_read(file.at(0), buf, len), 0) << len;
        for (int i = 0; i < len; ++i) {
            EXPECT_EQ(buf[i], 0x10 + i) << "len " << len << " byte " << i;
        }
        for (int i = len; i < 20; ++i) {
            EXPECT_EQ(buf[i], 0xaa) << "len " << len << " wrote byte " << i;
        }
        EXPECT_EQ(raw[0], 0xaa);
    }
}

TEST(FpgaRead, NothingHappensForEmptyOrBadRequests) {
    MappedFile file(4096);
    unsigned char buf[8];
    std::memset(buf, 0xaa, sizeof buf);
    EXPECT_EQ(kt_fpga_read(file.at(0), buf, 0), 0);
    EXPECT_EQ(kt_fpga_read(file.at(0), buf, -7), 0);
    EXPECT_EQ(kt_fpga_read(nullptr, nullptr, 0), 0);
    for (unsigned char b : buf) {
        EXPECT_EQ(b, 0xaa);
    }
    EXPECT_EQ(kt_fpga_read(file.at(0), nullptr, 4), -1);
    EXPECT_EQ(kt_fpga_read(nullptr, buf, 4), -1);
}

TEST(FpgaWrite, EachLengthStoresItsBytesAndZeroesAfterAThreeByteTail) {
    for (int len = 0; len <= 13; ++len) {
        MappedFile file(4096);
        const auto src = counting(16, 0x40);
        unsigned char raw[20];
        std::memcpy(raw + 3, src.data(), src.size());  // odd source address
        ASSERT_EQ(kt_fpga_write(file.at(8), raw + 3, len), 0);
        const auto got = file.file_bytes(0, 32);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(got[i], 0xee) << "len " << len << " wrote below the register";
        }
        for (int i = 0; i < len; ++i) {
            EXPECT_EQ(got[8 + i], 0x40 + i) << "len " << len << " byte " << i;
        }
        // A three-byte tail is one 32-bit store whose fourth byte is 0.
        int end = len;
        if (len % 4 == 3) {
            EXPECT_EQ(got[8 + len], 0x00) << "len " << len;
            ++end;
        }
        for (int i = 8 + end; i < 32; ++i) {
            EXPECT_EQ(got[i], 0xee) << "len " << len << " wrote byte " << i - 8;
        }
    }
}

TEST(FpgaWrite, DocumentedExamples) {
    MappedFile file(4096);
    const unsigned char three[] = {0xa1, 0xb2, 0xc3};
    ASSERT_EQ(kt_fpga_write(file.at(0), three, 3), 0);
    uint32_t word = 0;
    std::memcpy(&word, file.file_bytes(0, 4).data(), 4);
    EXPECT_EQ(word, 0x00c3b2a1u);

    const unsigned char six[] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(kt_fpga_write(file.at(16), six, 6), 0);
    EXPECT_EQ(file.file_bytes(16, 8), (std::vector<unsigned char>{1, 2, 3, 4, 5, 6, 0xee, 0xee}));
}

TEST(FpgaWrite, NothingHappensForEmptyOrBadRequests) {
    MappedFile file(4096);
    const unsigned char src[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(kt_fpga_write(file.at(0), src, 0), 0);
    EXPECT_EQ(kt_fpga_write(file.at(0), src, -1), 0);
    EXPECT_EQ(kt_fpga_write(file.at(0), nullptr, 4), -1);
    EXPECT_EQ(kt_fpga_write(nullptr, src, 4), -1);
    EXPECT_EQ(file.file_bytes(0, 8), std::vector<unsigned char>(8, 0xee));
}

TEST(FpgaCopy, WriteThenReadRoundTripsAWholeBlock) {
    MappedFile file(4096);
    const auto src = counting(4096, 7);
    ASSERT_EQ(kt_fpga_write(file.at(0), src.data(), 4095), 0);
    std::vector<unsigned char> back(4095);
    ASSERT_EQ(kt_fpga_read(file.at(0), back.data(), 4095), 0);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), src.begin()));
    EXPECT_EQ(file.file_bytes(4095, 1)[0], 0);
}
