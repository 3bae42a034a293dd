#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

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
    uint64_t value = 7;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(kttool::option_number("kt-x", "frames", "12a", 0, 1000, &value));
    EXPECT_EQ(value, 7u);
    EXPECT_TRUE(kttool::option_number("kt-x", "frames", "1000", 0, 1000, &value));
    EXPECT_EQ(value, 1000u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kt-x: bad --frames 12a: give a whole number from 0 to 1000\n");
}

TEST(ToolOptions, SourcesAreModuleColonChannelOrAll) {
    int m = -1, c = -1;
    ASSERT_TRUE(kttool::parse_source("255:15", &m, &c));
    EXPECT_EQ(m, 255);
    EXPECT_EQ(c, 15);
    ASSERT_TRUE(kttool::parse_source("all", &m, &c));
    EXPECT_EQ(m, kttool::kAllSources);
    EXPECT_EQ(c, kttool::kAllSources);
    for (const char *bad : {"", ":", "1:", ":1", "256:0", "1:16", "1", "1:2:3", "1: 2", "-1:2",
                            "0001:2", "ALL", "1:2x"}) {
        EXPECT_FALSE(kttool::parse_source(bad, &m, &c)) << '"' << bad << '"';
    }
}

void no_usage(FILE *) {}

// parse_options over `words`; the exit status it returns, or -1 to go on, and the values
// taken (opt=value) in order.
std::pair<int, std::string> parse(std::vector<const char *> words) {
    words.insert(words.begin(), "kt-x");
    std::string taken;
    optind = 0;  // getopt_long starts afresh
    opterr = 0;
    const auto status = kttool::parse_options(
        {"kt-x", no_usage}, static_cast<int>(words.size()), const_cast<char **>(words.data()), "h",
        {kttool::valued("count", 'n')}, [&](int opt, const char *value) {
            taken += std::string(1, static_cast<char>(opt)) + "=" + value + " ";
            return std::string(value) != "bad";
        });
    return {status.value_or(-1), taken};
}

TEST(ToolOptions, HelpVersionAndErrorsEndTheParse) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse({"--count", "1", "--count", "2", "op"}),
              std::make_pair(-1, std::string("n=1 n=2 ")));
    EXPECT_EQ(parse({"--version", "--count", "1"}).first, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "kt-x " KT_VERSION "\n");
    EXPECT_EQ(parse({"-h"}).first, 0);
    EXPECT_EQ(parse({"--count", "bad", "--count", "1"}), std::make_pair(2, std::string("n=bad ")));
    EXPECT_EQ(parse({"--nosuch"}).first, 2);
    EXPECT_EQ(parse({"--count"}).first, 2);
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
