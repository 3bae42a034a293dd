// Registering and unregistering subscribers: the table's layout, growth and counting
// rules, input outside the key range, and changes from many threads at once.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "kt_daq.h"

namespace {

// Set only while no other thread of the test runs.
volatile int g_fail_realloc = 0;

}  // namespace

namespace {

using ReallocFn = void *(*)(void *, size_t);
ReallocFn g_real_realloc = nullptr;

// Resolved once, before any thread runs.
__attribute__((constructor(101))) void find_real_realloc() {
    g_real_realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
}

}  // namespace

// Stands in front of the C library's realloc so a growth of the table can be made to fail.
// Not instrumented: threads call it while they start, before a thread checker knows them.
extern "C" __attribute__((no_sanitize_thread)) void *realloc(void *ptr, size_t size) {
    if (g_fail_realloc != 0) {
        return nullptr;
    }
    if (g_real_realloc == nullptr) {  // called before the constructors ran
        g_real_realloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    }
    return g_real_realloc(ptr, size);
}

namespace {

class SubscriberTable : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override { clear(); }
    static void clear() {
        pthread_mutex_lock(&mutex);
        free(g_channel_info.entries);
        g_channel_info = kt_channel_info{};
        pthread_mutex_unlock(&mutex);
    }
    static uint16_t count_of(uint16_t key) {
        for (unsigned i = 0; i < g_channel_info.used; ++i) {
            if (kt_entry_key(g_channel_info.entries[i]) == key) {
                return kt_entry_count(g_channel_info.entries[i]);
            }
        }
        return 0;
    }
};

TEST_F(SubscriberTable, EntriesHoldKeyAndCountInRegistrationOrder) {
    EXPECT_EQ(add_channel(3, 5), 0);
    EXPECT_EQ(add_channel(1, 2), 0);
    EXPECT_EQ(add_channel(3, 5), 0);
    ASSERT_EQ(g_channel_info.used, 2);
    EXPECT_EQ(g_channel_info.entries[0], 0x00020305u);
    EXPECT_EQ(g_channel_info.entries[1], 0x00010102u);
    EXPECT_EQ(g_channel_info.all_frames, 0);
}

TEST_F(SubscriberTable, GrowsByEightEntriesKeepingThem) {
    ASSERT_EQ(add_channel(0, 0), 0);
    EXPECT_EQ(g_channel_info.capacity, 8);
    for (int c = 1; c < 8; ++c) {
        ASSERT_EQ(add_channel(0, c), 0);
    }
    EXPECT_EQ(g_channel_info.capacity, 8);
    ASSERT_EQ(add_channel(9, 9), 0);  // the ninth key
    EXPECT_EQ(g_channel_info.capacity, 16);
    EXPECT_EQ(g_channel_info.used, 9);
    for (unsigned c = 0; c < 8; ++c) {
        EXPECT_EQ(g_channel_info.entries[c], kt_entry_make(static_cast<uint16_t>(c), 1));
    }
    EXPECT_EQ(g_channel_info.entries[8], kt_entry_make(0x0909, 1));
}

TEST_F(SubscriberTable, CountsNeverGoBelowZeroAndEntriesStay) {
    EXPECT_EQ(delete_channel(7, 7), 0);  // never registered
    EXPECT_EQ(g_channel_info.used, 0);
    EXPECT_EQ(g_channel_info.entries, nullptr);
    add_channel(1, 2);
    add_channel(1, 2);
    EXPECT_EQ(delete_channel(1, 2), 0);
    EXPECT_EQ(count_of(0x0102), 1);
    delete_channel(1, 2);
    EXPECT_EQ(delete_channel(1, 2), 0);
    ASSERT_EQ(g_channel_info.used, 1);
    EXPECT_EQ(g_channel_info.entries[0], 0x00000102u);
    add_channel(4, 4);
    add_channel(1, 2);  // raises the same entry again
    ASSERT_EQ(g_channel_info.used, 2);
    EXPECT_EQ(g_channel_info.entries[0], 0x00010102u);
}

TEST_F(SubscriberTable, EveryFrameRegistrationIsAFlagNotAnEntry) {
    EXPECT_EQ(add_channel(255, 255), 0);
    EXPECT_EQ(add_channel(255, 255), 0);
    EXPECT_EQ(g_channel_info.all_frames, 1);
    EXPECT_EQ(g_channel_info.used, 0);
    EXPECT_EQ(delete_channel(255, 255), 0);
    EXPECT_EQ(g_channel_info.all_frames, 0);
    add_channel(255, 3);  // module 255 is an ordinary module otherwise
    add_channel(3, 255);
    EXPECT_EQ(count_of(0xff03), 1);
    EXPECT_EQ(count_of(0x03ff), 1);
    EXPECT_EQ(g_channel_info.all_frames, 0);
}

TEST_F(SubscriberTable, IdsOutsideTheKeyRangeChangeNothing) {
    add_channel(1, 1);
    // 0 * 256 + 257 would alias source 1:1 once cut to 16 bits.
    EXPECT_EQ(add_channel(0, 257), -1);
    EXPECT_EQ(add_channel(256, 0), -1);
    EXPECT_EQ(add_channel(-1, 255), -1);
    EXPECT_EQ(add_channel(1, -255), -1);
    EXPECT_EQ(delete_channel(0, 257), 0);
    EXPECT_EQ(delete_channel(-1, 1), 0);
    ASSERT_EQ(g_channel_info.used, 1);
    EXPECT_EQ(g_channel_info.entries[0], 0x00010101u);
    EXPECT_EQ(g_channel_info.all_frames, 0);
}

TEST_F(SubscriberTable, CountStopsAtItsSixteenBitLimit) {
    for (int i = 0; i < 65535; ++i) {
        ASSERT_EQ(add_channel(2, 2), 0);
    }
    EXPECT_EQ(add_channel(2, 2), -1);
    ASSERT_EQ(g_channel_info.used, 1);
    EXPECT_EQ(g_channel_info.entries[0], 0xffff0202u);
    delete_channel(2, 2);
    EXPECT_EQ(count_of(0x0202), 65534);
}

TEST_F(SubscriberTable, CapacityStopsAtItsSixteenBitLimit) {
    // A table just below the limit, filled with keys 0..65527.
    const unsigned n = 65528;
    auto *entries = static_cast<uint32_t *>(malloc(n * sizeof(uint32_t)));
    ASSERT_NE(entries, nullptr);
    for (unsigned k = 0; k < n; ++k) {
        entries[k] = kt_entry_make(static_cast<uint16_t>(k), 1);
    }
    g_channel_info.entries = entries;
    g_channel_info.capacity = n;
    g_channel_info.used = n;
    ASSERT_EQ(add_channel(255, 254), 0);  // key 0xfffe
    EXPECT_EQ(g_channel_info.capacity, 65535);
    EXPECT_EQ(g_channel_info.used, n + 1);
    EXPECT_EQ(g_channel_info.entries[n], kt_entry_make(0xfffe, 1));
    EXPECT_EQ(g_channel_info.entries[n - 1], kt_entry_make(0xfff7, 1));
}

TEST_F(SubscriberTable, FailedGrowthEmptiesTheTableButKeepsTheFlag) {
    for (int c = 0; c < 8; ++c) {
        add_channel(5, c);
    }
    add_channel(255, 255);
    g_fail_realloc = 1;
    const int rc = add_channel(6, 6);
    g_fail_realloc = 0;
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(g_channel_info.entries, nullptr);
    EXPECT_EQ(g_channel_info.used, 0);
    EXPECT_EQ(g_channel_info.capacity, 0);
    EXPECT_EQ(g_channel_info.all_frames, 1);
    EXPECT_EQ(add_channel(6, 6), 0);  // the table works again afterwards
    EXPECT_EQ(g_channel_info.entries[0], 0x00010606u);
}

TEST_F(SubscriberTable, ConcurrentChangesAreNeverLost) {
    // Each thread adds its own keys (growing the table under the others' feet) and
    // raises and lowers a key all threads share.
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kRounds; ++i) {
                add_channel(100, 1);
                add_channel(100, 1);
                add_channel(t + 1, i % 200);
                delete_channel(100, 1);
            }
        });
    }
    for (std::thread &th : threads) {
        th.join();
    }
    EXPECT_EQ(count_of(0x6401), kThreads * kRounds);
    EXPECT_EQ(g_channel_info.used, 1 + kThreads * 200);
    for (int t = 1; t <= kThreads; ++t) {
        EXPECT_EQ(count_of(static_cast<uint16_t>(t * 256 + 7)), kRounds / 200);
    }
}

}  // namespace
