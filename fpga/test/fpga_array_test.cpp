// Array transfers through one port register: element widths, alignment refusals with
// their lines, and widths that make no sense.
#include <climits>
#include <cstring>

#include "mapped_file.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(FpgaArray, ReadsThePortIntoConsecutiveElements) {
    MappedFile file;
    file.put(0, {1, 2, 3, 4});
    const struct {
        int offset, len, bitwide;
        Bytes want;
    } cases[] = {{0, 10, 32, {1, 2, 3, 4, 1, 2, 3, 4, 0xaa, 0xaa}},
                 {2, 5, 16, {3, 4, 3, 4, 0xaa}},
                 {3, 3, 8, {4, 4, 4, 0xaa}},
                 {1, 2, 12, {2, 2, 0xaa}},  // 12 bits move one whole byte
                 {1, 3, 24, {2, 3, 4, 0xaa}},
                 {0, 3, 32, {0xaa}},  // less than one element
                 {0, -4, 8, {0xaa}}};
    for (const auto &c : cases) {
        Bytes buf(c.want.size(), 0xaa);
        EXPECT_EQ(kt_fpga_read_array(file.at(c.offset), buf.data(), c.len, c.bitwide), c.len);
        EXPECT_EQ(buf, c.want) << c.offset << "/" << c.bitwide;
    }
}

TEST(FpgaArray, WritesLeaveTheLastElementInThePortAndTouchNothingElse) {
    MappedFile file;
    const unsigned char src[8] = {0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x42};
    EXPECT_EQ(kt_fpga_write_array(file.at(6), src, 7, 16), 7);
    EXPECT_EQ(file.get(4, 4), (Bytes{0xee, 0xee, 0x31, 0x32}));
    EXPECT_EQ(kt_fpga_write_array(file.at(16), src, 8, 32), 8);
    EXPECT_EQ(file.get(16, 6), (Bytes{0x31, 0x32, 0x41, 0x42, 0xee, 0xee}));
    EXPECT_EQ(kt_fpga_write_array(file.at(33), src, 3, 24), 3);
    EXPECT_EQ(file.get(32, 5), (Bytes{0xee, 0x11, 0x12, 0x21, 0xee}));
    EXPECT_EQ(kt_fpga_write_array(file.at(40), src, -2, 8), -2);
    EXPECT_EQ(file.get(40, 1)[0], 0xee);
}

TEST(FpgaArray, RefusesStraddlingElementsBadWidthsAndNullBuffers) {
    MappedFile file;
    const std::string r = "logic error, when the addr offset is ", w = r;
    const struct {
        int offset, bitwide;
        std::string read_line, write_line;
    } cases[] = {{3, 16, r + "3, the bitwide should be 8", w + "3, the bitwide should be 8 bit"},
                 {3, 32, r + "3, the bitwide should be 8", w + "3, the bitwide should be 8 bit"},
                 {2, 32, r + "2, the bitwide should be 8 or 16",
                  w + "2, the bitwide should be 8 bit or 16 bit"},
                 {1, 32, r + "1, the bitwide should be 8 or 16",
                  w + "1, the bitwide should be 8 bit or 16 bit"},
                 {2, 24, r + "2, the bitwide should be 8 or 16",
                  w + "2, the bitwide should be 8 bit or 16 bit"},
                 {0, 64, "", ""},
                 {0, 40, "", ""},
                 {0, 7, "", ""},
                 {0, 0, "", ""},
                 {0, -8, "", ""},
                 {1, INT_MIN, "", ""}};
    for (const auto &c : cases) {
        unsigned char buf[16];
        std::memset(buf, 0xaa, sizeof buf);
        CaptureStdout();
        EXPECT_EQ(kt_fpga_read_array(file.at(8 + c.offset), buf, 16, c.bitwide), -1);
        EXPECT_EQ(GetCapturedStdout(), c.read_line) << c.offset << "/" << c.bitwide;
        EXPECT_EQ(Bytes(buf, buf + 16), Bytes(16, 0xaa));
        CaptureStdout();
        EXPECT_EQ(kt_fpga_write_array(file.at(8 + c.offset), buf, 16, c.bitwide), -1);
        EXPECT_EQ(GetCapturedStdout(), c.write_line) << c.offset << "/" << c.bitwide;
        EXPECT_EQ(file.get(8, 4), Bytes(4, 0xee));
    }
    EXPECT_EQ(kt_fpga_read_array(file.at(0), nullptr, 4, 32), -1);
    EXPECT_EQ(kt_fpga_write_array(file.at(0), nullptr, 4, 32), -1);
}
