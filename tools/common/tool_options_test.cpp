#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "rate_line.h"
#include "tool_options.h"

namespace {

using kttool::parse_in_range;
using kttool::parse_unsigned;

TEST(ToolOptions, WholeNumbersOnly) {
    EXPECT_EQ(parse_unsigned("0"), 0u);
    EXPECT_EQ(parse_unsigned("65535"), 65535u);
    EXPECT_EQ(parse_unsigned("18446744073709551615"), UINT64_MAX);
    for (const char *bad : {"", "-1", "-0", "+5", " 5", "5 ", "5x", "1.5", "0x10", "x",
                            "18446744073709551616", "99999999999999999999999"}) {
        EXPECT_FALSE(parse_unsigned(bad)) << '"' << bad << '"';
    }
}

TEST(ToolOptions, BaseZeroTakesHexAndOctal) {
    EXPECT_EQ(parse_unsigned("0x10", 0), 16u);
    EXPECT_EQ(parse_unsigned("010", 0), 8u);
    EXPECT_EQ(parse_unsigned("4294967295", 0), 0xffffffffu);
    EXPECT_FALSE(parse_unsigned("0x", 0));
    EXPECT_FALSE(parse_unsigned("09", 0));
    EXPECT_FALSE(parse_unsigned("-0x10", 0));
}

TEST(ToolOptions, RangeLimitsAreInclusive) {
    EXPECT_EQ(parse_in_range("1", 1, 100), 1u);
    EXPECT_EQ(parse_in_range("100", 1, 100), 100u);
    EXPECT_FALSE(parse_in_range("0", 1, 100));
    EXPECT_FALSE(parse_in_range("101", 1, 100));
    EXPECT_FALSE(parse_in_range("", 0, 100));
    EXPECT_EQ(parse_in_range("18446744073709551615", 0, UINT64_MAX), UINT64_MAX);
}

TEST(ToolOptions, BadOptionValueNamesTheOption) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(kttool::option_number("kt-x", "frames", "12a", 0, 1000));
    EXPECT_EQ(kttool::option_number("kt-x", "frames", "1000", 0, 1000), 1000u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kt-x: bad --frames 12a: give a whole number from 0 to 1000\n");
}

TEST(RateLine, RatesSinceThePreviousLine) {
    FILE *out = tmpfile();
    ASSERT_NE(out, nullptr);
    const auto start = kttool::RateLine::Clock::now();
    kttool::RateLine line("kt-x", out, false, start);
    EXPECT_FALSE(line.due(start));
    EXPECT_TRUE(line.due(start + std::chrono::seconds(1)));
    ASSERT_TRUE(line.begin(start + std::chrono::seconds(2), 100, 2'000'000));
    line.end();
    EXPECT_FALSE(line.begin(start + std::chrono::seconds(2), 100, 2'000'000));  // no time passed
    ASSERT_TRUE(line.begin(start + std::chrono::seconds(3), 400, 2'000'000));
    fprintf(line.out(), "  bad 0");
    line.end();
    rewind(out);
    char text[256] = {};
    const size_t n = fread(text, 1, sizeof text - 1, out);
    fclose(out);
    EXPECT_EQ(std::string(text, n),
              "kt-x:       50 frames/s    1.00 MB/s  frames 100\n"
              "kt-x:      300 frames/s    0.00 MB/s  frames 400  bad 0\n");
}

}  // namespace
