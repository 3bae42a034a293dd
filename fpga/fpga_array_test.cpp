// Array transfers through one port register: element widths, alignment refusals and
// their lines, and widths that make no sense.
#include <climits>
#include <cstring>

#include "mapped_file.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const char kRead8or16[] = "logic error, when the addr offset is %d, the bitwide should be 8 or 16";
const char kRead8[] = "logic error, when the addr offset is 3, the bitwide should be 8";
const char kWrite8or16[] =
    "logic error, when the addr offset is %d, the bitwide should be 8 bit or 16 bit";
const char kWrite8[] = "logic error, when the addr offset is 3, the bitwide should be 8 bit";

std::string with_offset(const char *fmt, int offset) {
    char line[128];
    std::snprintf(line, sizeof line, fmt, offset);
    return line;
}

struct Refusal {
    int offset;
    int bitwide;
    std::string read_line;
    std::string write_line;
};

}  // namespace

TEST(FpgaArray, ReadsTheSamePortIntoConsecutiveElements) {
    MappedFile file(4096);
    file.put_file_bytes(0, {0x01, 0x02, 0x03, 0x04});
    unsigned char buf[12];
    std::memset(buf, 0xaa, sizeof buf);
    EXPECT_EQ(kt_fpga_read_array(file.at(0), buf, 10, 32), 10);
    const unsigned char want[12] = {1, 2, 3, 4, 1, 2, 3, 4, 0xaa, 0xaa, 0xaa, 0xaa};
    EXPECT_EQ(0, std::memcmp(buf, want, sizeof want));

    std::memset(buf, 0xaa, sizeof buf);
    EXPECT_EQ(kt_fpga_read_array(file.at(2), buf, 5, 16), 5);
    const unsigned char want16[6] = {3, 4, 3, 4, 0xaa, 0xaa};
    EXPECT_EQ(0, std::memcmp(buf, want16, sizeof want16));

    std::memset(buf, 0xaa, sizeof buf);
    EXPECT_EQ(kt_fpga_read_array(file.at(3), buf, 3, 8), 3);
    EXPECT_EQ(0, std::memcmp(buf, "\x04\x04\x04\xaa", 4));

    // Widths between the byte multiples count whole bytes: 12 bits move one byte each.
    std::memset(buf, 0xaa, sizeof buf);
    EXPECT_EQ(kt_fpga_read_array(file.at(1), buf, 2, 12), 2);
    EXPECT_EQ(0, std::memcmp(buf, "\x02\x02\xaa", 3));
}

TEST(FpgaArray, WritesLeaveTheLastElementInThePortAndTouchNothingElse) {
    MappedFile file(4096);
    const unsigned char src[8] = {0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x42};
    EXPECT_EQ(kt_fpga_write_array(file.at(6), src, 7, 16), 7);
    EXPECT_EQ(file.file_bytes(4, 4), (std::vector<unsigned char>{0xee, 0xee, 0x31, 0x32}));

    EXPECT_EQ(kt_fpga_write_array(file.at(16), src, 8, 32), 8);
    EXPECT_EQ(file.file_bytes(16, 8),
              (std::vector<unsigned char>{0x31, 0x32, 0x41, 0x42, 0xee, 0xee, 0xee, 0xee}));

    // A 24-bit element at offset 1 fills the three upper bytes of the word.
    EXPECT_EQ(kt_fpga_write_array(file.at(33), src, 3, 24), 3);
    EXPECT_EQ(file.file_bytes(32, 5), (std::vector<unsigned char>{0xee, 0x11, 0x12, 0x21, 0xee}));
}

TEST(FpgaArray, RefusesElementsThatStraddleAWordWithTheirLine) {
    MappedFile file(4096);
    const std::vector<Refusal> cases = {
        {3, 16, kRead8, kWrite8},
        {3, 32, kRead8, kWrite8},
        {2, 32, with_offset(kRead8or16, 2), with_offset(kWrite8or16, 2)},
        {2, 24, with_offset(kRead8or16, 2), with_offset(kWrite8or16, 2)},
        {1, 32, with_offset(kRead8or16, 1), with_offset(kWrite8or16, 1)},
        {0, 64, "", ""},
        {0, 40, "", ""},
    };
    for (const auto &c : cases) {
        unsigned char buf[16];
        std::memset(buf, 0xaa, sizeof buf);
        CaptureStdout();
        EXPECT_EQ(kt_fpga_read_array(file.at(8 + c.offset), buf, 16, c.bitwide), -1);
        EXPECT_EQ(GetCapturedStdout(), c.read_line) << c.offset << "/" << c.bitwide;
        for (unsigned char b : buf) {
            ASSERT_EQ(b, 0xaa) << "read something on refusal";
        }

        CaptureStdout();
        EXPECT_EQ(kt_fpga_write_array(file.at(8 + c.offset), buf, 16, c.bitwide), -1);
        EXPECT_EQ(GetCapturedStdout(), c.write_line) << c.offset << "/" << c.bitwide;
        EXPECT_EQ(file.file_bytes(8, 4), std::vector<unsigned char>(4, 0xee));
    }
}

TEST(FpgaArray, WidthsBelowOneByteAreRefusedSilently) {
    MappedFile file(4096);
    unsigned char buf[8];
    std::memset(buf, 0xaa, sizeof buf);
    for (int bitwide : {7, 1, 0, -1, -8, -32, INT_MIN}) {
        CaptureStdout();
        EXPECT_EQ(kt_fpga_read_array(file.at(0), buf, 8, bitwide), -1) << bitwide;
        EXPECT_EQ(kt_fpga_write_array(file.at(0), buf, 8, bitwide), -1) << bitwide;
        EXPECT_EQ(GetCapturedStdout(), "") << bitwide;
    }
    EXPECT_EQ(buf[0], 0xaa);
    EXPECT_EQ(file.file_bytes(0, 8), std::vector<unsigned char>(8, 0xee));
}

TEST(FpgaArray, EmptyOrNegativeLengthsMoveNothingAndEchoTheLength) {
    MappedFile file(4096);
    unsigned char buf[4] = {0xaa, 0xaa, 0xaa, 0xaa};
    EXPECT_EQ(kt_fpga_read_array(file.at(0), buf, 0, 32), 0);
    EXPECT_EQ(kt_fpga_read_array(file.at(0), buf, 3, 32), 3);  // less than one element
    EXPECT_EQ(kt_fpga_write_array(file.at(0), buf, -4, 8), -4);
    EXPECT_EQ(buf[0], 0xaa);
    EXPECT_EQ(file.file_bytes(0, 4), std::vector<unsigned char>(4, 0xee));
    // Null buffers are refused once there is an element to move.
    EXPECT_EQ(kt_fpga_read_array(file.at(0), nullptr, 4, 32), -1);
    EXPECT_EQ(kt_fpga_write_array(file.at(0), nullptr, 4, 32), -1);
}
