// The benchmark's own measurements: heap allocations counted through the allocator
// definitions of the program (this test program links them too), across threads, forked
// children and ZeroMQ; CPU time and context switches of a process summed over its
// threads.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include "alloc_count.h"
#include "proc_cpu.h"

namespace ktbench {
namespace {

class AllocCountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        counts_ = create_alloc_counts(&fd_);
        ASSERT_NE(counts_, nullptr);
    }
    void TearDown() override {
        count_allocations_into(nullptr);
        close(fd_);
    }
    uint64_t allocations() const { return read_alloc_counts(counts_).allocations; }

    AllocCounts *counts_ = nullptr;
    int fd_ = -1;
};

// Keeps the compiler from removing an allocation whose result is unused.
void *volatile g_sink;

template <class T>
T *keep(T *p) {
    g_sink = p;
    return p;
}

TEST_F(AllocCountTest, CountsEveryAllocatorOnlyWhileSwitchedOn) {
    free(keep(malloc(16)));
    EXPECT_EQ(allocations(), 0u);

    count_allocations_into(counts_);
    void *a = keep(malloc(16));
    void *b = keep(calloc(4, 8));
    a = keep(realloc(a, 4096));
    void *c = nullptr;
    const int aligned = posix_memalign(&c, 64, 100);
    keep(c);
    void *d = keep(aligned_alloc(128, 256));
    int *object = keep(new int[100]);
    const uint64_t allocated = allocations();
    free(a);
    free(b);
    free(c);
    free(d);
    free(nullptr);
    delete[] object;
    const uint64_t freed = read_alloc_counts(counts_).frees;
    count_allocations_into(nullptr);
    free(keep(malloc(16)));

    ASSERT_EQ(aligned, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % 64, 0u);
    EXPECT_EQ(allocated, 6u);
    EXPECT_EQ(freed, 5u);
    EXPECT_EQ(allocations(), 6u);
}

TEST_F(AllocCountTest, CountsOtherThreadsAndForkedChildren) {
    std::atomic<int> stage{0};
    std::thread thread([&] {
        stage.wait(0);
        for (int i = 0; i < 10; ++i) {
            free(keep(malloc(32)));
        }
        stage = 2;
        stage.notify_one();
    });
    count_allocations_into(counts_);
    stage = 1;
    stage.notify_one();
    stage.wait(1);
    const uint64_t by_thread = allocations();
    count_allocations_into(nullptr);
    thread.join();

    count_allocations_into(counts_);
    const pid_t pid = fork();
    if (pid == 0) {
        for (int i = 0; i < 20; ++i) {
            keep(malloc(32));
        }
        _exit(0);
    }
    count_allocations_into(nullptr);
    ASSERT_GE(pid, 0);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(by_thread, 10u);
    EXPECT_EQ(allocations() - by_thread, 20u);
}

TEST_F(AllocCountTest, SeesZeroMQCopyingMessagesLongerThanItsInlineSize) {
    void *context = zmq_ctx_new();
    void *pub = zmq_socket(context, ZMQ_PUB);
    char data[200] = {};
    count_allocations_into(counts_);
    // A message of a few bytes lives inside zmq_msg_t; a long one takes one allocation.
    const uint64_t before_short = allocations();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(zmq_send(pub, data, 8, 0), 8);
    }
    const uint64_t short_allocations = allocations() - before_short;
    const uint64_t before_long = allocations();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(zmq_send(pub, data, sizeof data, 0), static_cast<int>(sizeof data));
    }
    const uint64_t long_allocations = allocations() - before_long;
    count_allocations_into(nullptr);
    zmq_close(pub);
    zmq_ctx_term(context);
    // ZeroMQ's own threads may allocate now and then while this runs.
    EXPECT_LT(short_allocations, 10u);
    EXPECT_GE(long_allocations, 100u);
    EXPECT_LT(long_allocations, 110u);
}

int64_t thread_cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

TEST(ProcessCpuTest, AddsUpTheThreadsOfAProcess) {
    const int64_t before = process_cpu_ns(getpid());
    ASSERT_GE(before, 0);
    std::atomic<int64_t> burned{0};
    std::atomic<bool> done{false};
    std::thread burner([&] {
        volatile uint64_t x = 0;
        while (thread_cpu_ns() < 100000000) {
            x = x + 1;
        }
        burned = thread_cpu_ns();
        // Stays alive until measured: only threads alive are counted.
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (burned == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int64_t after = process_cpu_ns(getpid());
    done = true;
    burner.join();
    // Within two clock ticks, for the fallback on utime and stime.
    EXPECT_GE(after - before, burned - 2 * (1000000000 / sysconf(_SC_CLK_TCK)));
}

TEST(ProcessCpuTest, AProcessThatIsGoneCannotBeRead) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    EXPECT_EQ(process_cpu_ns(pid), -1);
    EXPECT_EQ(process_context_switches(pid), -1);
}

// Each sleep of a thread takes it off the processor at least once: the switch is a
// voluntary one, or one counted as involuntary when the thread was preempted on its way
// into the sleep. Counted while the thread is alive.
TEST(ProcessSwitchesTest, CountsTheSleepsOfAnotherThread) {
    constexpr int kSleeps = 100;
    const int64_t before = process_context_switches(getpid());
    ASSERT_GE(before, 0);
    std::atomic<bool> slept{false};
    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        for (int i = 0; i < kSleeps; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        slept = true;
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (!slept) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int64_t after = process_context_switches(getpid());
    done = true;
    sleeper.join();
    EXPECT_GE(after - before, kSleeps);
}

}  // namespace
}  // namespace ktbench
