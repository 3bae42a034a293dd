// The publish loop's message buffers: handed out at most once at a time, given back from
// any thread, limited in number.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "frame_pool.h"
#include "internal.h"
#include "kt_daq.h"

namespace {

using ktdaq::FramePool;

TEST(FramePoolTest, HandsOutDistinctAlignedBuffersUpToItsLimit) {
    FramePool pool(4, 10);
    std::set<uint8_t *> out;
    for (int i = 0; i < 10; ++i) {
        uint8_t *b = pool.take();
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
        memset(b, 0xa5, FramePool::kBufferSize);  // the whole buffer is usable
        out.insert(b);
    }
    EXPECT_EQ(out.size(), 10u);
    EXPECT_EQ(pool.allocated(), 10u);
    EXPECT_EQ(pool.take(), nullptr) << "more buffers than the limit";
    uint8_t *back = *out.begin();
    FramePool::release(back, &pool);
    EXPECT_EQ(pool.take(), back);
    EXPECT_EQ(pool.allocated(), 10u);
    for (uint8_t *b : out) {
        FramePool::release(b, &pool);
    }
    pool.free_all();
}

// The owner takes buffers and marks each with a serial number; other threads check the
// mark and give the buffer back. A buffer handed out twice at once would carry a later
// mark by the time its first holder looks.
TEST(FramePoolTest, BuffersGivenBackFromOtherThreadsAreNeverHandedOutTwice) {
    constexpr uint32_t kLimit = 24;
    constexpr uint64_t kRounds = 200000;
    FramePool pool(8, kLimit);
    std::mutex m;
    std::condition_variable cv;
    std::deque<std::pair<uint8_t *, uint64_t>> queue;
    bool done = false;
    std::atomic<uint64_t> mismatches{0};
    std::vector<std::thread> holders;
    for (int t = 0; t < 3; ++t) {
        holders.emplace_back([&] {
            for (;;) {
                std::unique_lock lock(m);
                cv.wait(lock, [&] { return done || !queue.empty(); });
                if (queue.empty()) {
                    return;
                }
                auto [buffer, serial] = queue.front();
                queue.pop_front();
                lock.unlock();
                uint64_t mark = 0;
                memcpy(&mark, buffer + FramePool::kBufferSize - sizeof mark, sizeof mark);
                if (mark != serial) {
                    mismatches.fetch_add(1);
                }
                FramePool::release(buffer, &pool);
            }
        });
    }
    uint64_t exhausted = 0;
    for (uint64_t serial = 1; serial <= kRounds; ++serial) {
        uint8_t *buffer = nullptr;
        while ((buffer = pool.take()) == nullptr) {
            ++exhausted;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        memcpy(buffer + FramePool::kBufferSize - sizeof serial, &serial, sizeof serial);
        {
            std::lock_guard lock(m);
            queue.emplace_back(buffer, serial);
        }
        cv.notify_one();
    }
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_all();
    for (auto &t : holders) {
        t.join();
    }
    EXPECT_EQ(mismatches.load(), 0u);
    EXPECT_LE(pool.allocated(), kLimit);
    // Every buffer is back: all of them can be taken again, each once.
    std::set<uint8_t *> all;
    for (uint32_t i = 0; i < pool.allocated(); ++i) {
        all.insert(pool.take());
    }
    EXPECT_EQ(all.size(), pool.allocated());
    EXPECT_EQ(all.count(nullptr), 0u);
    for (uint8_t *b : all) {
        FramePool::release(b, &pool);
    }
    pool.free_all();
    RecordProperty("exhausted", static_cast<int>(exhausted));
}

// The publish loop's buffers follow its queue depth: a full queue for each of the
// subscribers they are sized for, never fewer than at depth 1, never more than the most.
TEST(FramePoolTest, PublishBuffersFollowTheQueueDepthWithinTheirBounds) {
    EXPECT_EQ(ktdaq::pool_buffers(1), ktdaq::kPoolMinBuffers);
    EXPECT_EQ(ktdaq::pool_buffers(64), ktdaq::kPoolMinBuffers);
    EXPECT_EQ(ktdaq::pool_buffers(256), 256u * KT_DAQ_POOL_SUBSCRIBERS);
    EXPECT_EQ(ktdaq::pool_buffers(KT_DAQ_QUEUE_DEPTH_MAX), uint32_t{KT_DAQ_POOL_MAX});
    EXPECT_LE(uint64_t{KT_DAQ_POOL_MAX} * FramePool::kBufferSize, 32ull << 20);
    // Raised after buffers are out, the limit lets the pool grow on.
    FramePool pool(4, 4);
    std::vector<uint8_t *> out;
    for (int i = 0; i < 4; ++i) {
        out.push_back(pool.take());
    }
    EXPECT_EQ(pool.take(), nullptr);
    pool.set_limit(6);
    EXPECT_NE(pool.take(), nullptr);
    EXPECT_NE(pool.take(), nullptr);
    EXPECT_EQ(pool.take(), nullptr);
    EXPECT_EQ(pool.allocated(), 6u);
    pool.free_all();
}

}  // namespace
