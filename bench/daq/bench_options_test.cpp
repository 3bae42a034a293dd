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

TEST(BenchOptionsTest, TakesTheDimensionsAndCounts) {
    Options o;
    std::string error;
    ASSERT_TRUE(
        parse({"--depths", "1,1024", "--windows", "1,8,64", "--ack-every", "8", "--syscalls",
               "strace", "--instructions", "100,300", "--passes", "instructions"},
              &o, &error))
        << error;
    EXPECT_EQ(o.depths, (std::vector<uint32_t>{1, 1024}));
    EXPECT_EQ(o.windows, (std::vector<uint32_t>{1, 8, 64}));
    EXPECT_EQ(o.ack_every, 8u);
    EXPECT_EQ(o.syscalls, SyscallTool::kStrace);
    EXPECT_EQ(o.instruction_frames[0], 100u);
    EXPECT_EQ(o.instruction_frames[1], 300u);
    EXPECT_FALSE(o.table);
    EXPECT_TRUE(o.instructions);

    Options d;
    ASSERT_TRUE(parse({"--instructions", "0,0", "--passes", "instructions,table"}, &d, &error))
        << error;
    EXPECT_EQ(d.instruction_frames[1], 0u);
    EXPECT_TRUE(d.table && d.instructions);
    // Without options: the rows the figures are quoted for.
    EXPECT_EQ(d.depths, (std::vector<uint32_t>{1, 16, 64, 256}));
    EXPECT_EQ(d.windows, (std::vector<uint32_t>{1, 64}));
    EXPECT_EQ(d.ack_every, 16u);
    EXPECT_EQ(d.syscalls, SyscallTool::kAuto);
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
                                                {"--depths", "0"},
                                                {"--depths", "1025"},
                                                {"--windows", "1,0"},
                                                {"--ack-every", "0"},
                                                // More than a window holds: never sent.
                                                {"--windows", "8", "--ack-every", "16"},
                                                {"--ack-every", "65", "--windows", "64"},
                                                {"--syscalls", "ltrace"},
                                                {"--instructions", "20000"},
                                                {"--instructions", "40000,20000"},
                                                {"--instructions", "0,100"},
                                                {"--passes", ""},
                                                {"--passes", "table,table"},
                                                {"--passes", "table,graphs"},
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
