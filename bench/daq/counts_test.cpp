// Reading what perf, strace and callgrind print, and the arithmetic that turns two runs
// into instructions per frame.
#include <gtest/gtest.h>

#include <string>

#include "counts.h"

namespace ktbench {
namespace {

TEST(PerfCountsTest, ReadsTheCsvOfAnAttachedCount) {
    // What "perf stat -x, -D -1 --control ... -p PID" prints on standard error.
    const std::string text =
        "Events disabled\n"
        "Events enabled\n"
        "Events disabled\n"
        "201732,,raw_syscalls:sys_enter,299897648,100.00,,\n"
        "12,,syscalls:sys_enter_getpid,299897648,100.00,,\n"
        "<not counted>,,syscalls:sys_enter_futex,0,100.00,,\n"
        "<not supported>,,syscalls:sys_enter_poll,0,100.00,,\n"
        "5,,context-switches,299897648,100.00,,\n";
    const std::vector<NamedCount> counts = parse_perf_counts(text);
    ASSERT_EQ(counts.size(), 4u);
    EXPECT_EQ(count_of(counts, "all"), 201732);
    EXPECT_EQ(count_of(counts, "getpid"), 12);
    EXPECT_EQ(counts[2].name, "futex");
    EXPECT_EQ(counts[2].count, 0);
    EXPECT_EQ(count_of(counts, "context-switches"), 5);
    // Neither counted nor zero: absent, as a name never asked for.
    EXPECT_EQ(count_of(counts, "poll"), 0);
    EXPECT_TRUE(parse_perf_counts("perf: no such event\n,,\n").empty());
}

TEST(StraceSummaryTest, ReadsCallsWithAndWithoutErrors) {
    const std::string text =
        "strace: Process 4242 attached with 3 threads\n"
        "strace: Process 4242 detached\n"
        "% time     seconds  usecs/call     calls    errors syscall\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        " 40.00    0.004000           2      2000           poll\n"
        " 35.00    0.003500           1      3500       120 recvfrom\n"
        " 25.00    0.002500           0     12000           getpid\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        "100.00    0.010000           0     17500       120 total\n";
    const std::vector<NamedCount> counts = parse_strace_summary(text);
    ASSERT_EQ(counts.size(), 4u);
    EXPECT_EQ(count_of(counts, "poll"), 2000);
    EXPECT_EQ(count_of(counts, "recvfrom"), 3500);
    EXPECT_EQ(count_of(counts, "getpid"), 12000);
    EXPECT_EQ(count_of(counts, "all"), 17500);
    EXPECT_TRUE(parse_strace_summary("strace: attach: ptrace(PTRACE_SEIZE, 1): denied\n").empty());
}

TEST(CallgrindTest, TakesTheTotalOfTheOutputFile) {
    EXPECT_EQ(callgrind_total("version: 1\ncreator: callgrind\nevents: Ir\n"
                              "fn=main\n16 3\nsummary: 123456789012\n"),
              123456789012);
    EXPECT_EQ(callgrind_total("events: Ir\ntotals: 42\n"), 42);
    EXPECT_EQ(callgrind_total("events: Ir\nfn=main\n16 3\n"), -1);
}

TEST(CallgrindTest, StartUpCancelsBetweenTwoLengths) {
    // 3 million instructions of start-up and ending, 850 per frame.
    const int64_t fixed = 3000000;
    EXPECT_DOUBLE_EQ(per_frame_difference(fixed + 20000 * 850, 20000, fixed + 40000 * 850, 40000),
                     850);
    EXPECT_DOUBLE_EQ(per_frame_difference(100, 5, 100, 5), 0);
    EXPECT_DOUBLE_EQ(per_frame_difference(200, 10, 100, 5), 0);
}

}  // namespace
}  // namespace ktbench
