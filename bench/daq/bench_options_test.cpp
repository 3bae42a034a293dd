// The command line of daq_bench and the median and range of its figures.
#include <gtest/gtest.h>

#include <vector>

#include "bench_options.h"
#include "spread.h"

namespace ktbench {
namespace {

bool parse(std::vector<const char *> args, Options *options, std::string *error) {
    return parse_options(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(BenchOptionsTest, TakesEveryOption) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--reps", "3", "--window", "0.5", "--warmup", "0", "--payloads",
                       "1,512,2028", "--other-lib", "/tmp/old"},
                      &o, &error))
        << error;
    EXPECT_EQ(o.repetitions, 3);
    EXPECT_DOUBLE_EQ(o.window_s, 0.5);
    EXPECT_DOUBLE_EQ(o.warmup_s, 0.0);
    EXPECT_EQ(o.payloads, (std::vector<uint16_t>{1, 512, 2028}));
    EXPECT_EQ(o.other_lib, "/tmp/old");
}

TEST(BenchOptionsTest, RefusesWhatCannotRun) {
    for (const std::vector<const char *> &args :
         std::vector<std::vector<const char *>>{{"--reps", "0"},
                                                {"--reps", "2.5"},
                                                {"--window", "0"},
                                                {"--window", "x"},
                                                {"--warmup", "-1"},
                                                {"--payloads", "0"},
                                                {"--payloads", "2029"},
                                                {"--payloads", "64,"},
                                                {"--payloads", "64;512"},
                                                {"--other-lib", ""},
                                                {"--reps"},
                                                {"--speed", "1"}}) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse(args, &o, &error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(SpreadTest, MedianAndRangeOfOddAndEvenCounts) {
    const Spread odd = spread_of({5, 1, 9, 3, 7});
    EXPECT_DOUBLE_EQ(odd.median, 5);
    EXPECT_DOUBLE_EQ(odd.min, 1);
    EXPECT_DOUBLE_EQ(odd.max, 9);
    EXPECT_DOUBLE_EQ(spread_of({4, 1, 2, 10}).median, 3);
    EXPECT_EQ(format_spread(spread_of({2.5, 1.25, 4}), 2), "2.50 [1.25-4.00]");
    EXPECT_EQ(format_spread(spread_of({}), 0), "-");
}

}  // namespace
}  // namespace ktbench
