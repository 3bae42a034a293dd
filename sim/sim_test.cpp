// The simulated engine behaves as the reader library expects of the hardware: readers that
// poll as the acquisition loops do get every frame once, intact and in order.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "frame_pattern.h"
#include "kt_axis.h"
#include "sim_block.h"
#include "sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using ktsim::EngineConfig;
using ktsim::SimDeviceTest;

constexpr uint32_t kSlot = 2048;

// Checks each frame taken: intact, and exactly the next one the engine wrote.
struct FrameLedger {
    uint64_t next_seq = 0;
    uint64_t taken = 0;
    void take(const void *slot) {
        const auto check = ktsim::check_frame(static_cast<const uint8_t *>(slot), kSlot);
        ASSERT_TRUE(check.ok) << "frame " << taken << ": " << check.error;
        ASSERT_EQ(check.fields.seq, next_seq) << "slot taken twice or out of order";
        ++next_seq;
        ++taken;
    }
};

// Waits for data as the loops do; false if none came within a while.
bool wait_data(kt_axis *axis, uint32_t *count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while ((*count = kt_get_data_cnt(axis)) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

TEST_F(SimDeviceTest, OneFrameAtATimeReaderGetsEveryFrameOnce) {
    EngineConfig config;
    config.sources = {{1, 1}, {2, 3}, {12, 7}};
    config.payload_sizes = {0, 64, 2028, 333};
    config.high_bits = true;
    config.frames = 20000;
    start_engine(config);
    // A small ring wraps often and fills up whenever the reader falls behind.
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 8 * kSlot);
    ASSERT_NE(axis, nullptr);
    FrameLedger ledger;
    while (ledger.taken < config.frames) {
        uint32_t count = 0;
        ASSERT_TRUE(wait_data(axis, &count)) << "no data after " << ledger.taken << " frames";
        ledger.take(kt_axis_read_frame(axis, nullptr, count));
        kt_axis_read_done(axis);
        if (testing::Test::HasFatalFailure()) {
            break;
        }
    }
    EXPECT_EQ(ledger.taken, config.frames);
    EXPECT_EQ(kt_get_data_cnt(axis), 0u);
    kt_axis_exit(axis);
}

TEST_F(SimDeviceTest, BatchReaderGetsEveryFrameOnce) {
    EngineConfig config;
    config.payload_sizes = {100, 2000};
    config.frames = 30000;
    ktsim::Engine &engine = start_engine(config);
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 64 * kSlot);
    ASSERT_NE(axis, nullptr);
    FrameLedger ledger;
    while (ledger.taken < config.frames && !testing::Test::HasFatalFailure()) {
        uint32_t count = 0;
        ASSERT_TRUE(wait_data(axis, &count));
        // Up to 100 slots while the running offset stays below the count, one hand-back.
        for (uint32_t offset = 0, n = 0; offset < count && n < 100; offset += kSlot, ++n) {
            ledger.take(kt_axis_read_frame(axis, nullptr, count));
        }
        kt_axis_read_done(axis);
    }
    EXPECT_EQ(ledger.taken, config.frames);
    EXPECT_EQ(engine.stats().frames_written, config.frames);
    kt_axis_exit(axis);
}

TEST_F(SimDeviceTest, DataCountFollowsWritesAndHandBacks) {
    EngineConfig config;
    config.frames = 100;
    ktsim::Engine &engine = start_engine(config);
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 8 * kSlot);
    ASSERT_NE(axis, nullptr);

    // The ring holds at most 7 frames: one slot stays free, and nothing is overwritten.
    ASSERT_TRUE(engine.wait_written(7, 10s));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(engine.stats().frames_written, 7u);
    EXPECT_EQ(kt_get_data_cnt(axis), 7 * kSlot);
    EXPECT_GE(engine.stats().frames_held_back, 1u);

    // Slots taken but not handed back still count; the hand-back frees them at once.
    FrameLedger ledger;
    ledger.take(kt_axis_read_frame(axis, nullptr, 1));
    ledger.take(kt_axis_read_frame(axis, nullptr, 1));
    EXPECT_EQ(kt_get_data_cnt(axis), 7 * kSlot);
    kt_axis_read_done(axis);
    EXPECT_LE(kt_get_data_cnt(axis), 7 * kSlot);
    ASSERT_TRUE(engine.wait_written(9, 10s));
    EXPECT_EQ(kt_get_data_cnt(axis), 7 * kSlot);
    kt_axis_exit(axis);
}

TEST_F(SimDeviceTest, NewRingSetUpRestartsTheEngine) {
    EngineConfig config;
    config.frames = 0;
    config.rate = 20000;
    ktsim::Engine &engine = start_engine(config);
    kt_axis *first = kt_axis_init(device_->path().c_str(), 16 * kSlot);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(engine.wait_written(15, 10s));  // 16 slots, one kept free
    kt_axis_exit(first);

    // A reader that sets the ring up again starts from an empty ring at its base.
    kt_axis *second = kt_axis_init(device_->path().c_str(), 32 * kSlot);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(engine.stats().restarts, 2u);
    uint32_t count = 0;
    ASSERT_TRUE(wait_data(second, &count));
    const auto check = ktsim::check_frame(
        static_cast<const uint8_t *>(kt_axis_read_frame(second, nullptr, count)), kSlot);
    EXPECT_TRUE(check.ok) << check.error;
    EXPECT_EQ(check.fields.seq, 15u);  // the old ring's frames are gone
    kt_axis_exit(second);
}

TEST(SimNamespace, RefusesToMountOutsideAPrivateNamespace) {
    const char *saved = getenv("KT_SIM_NAMESPACE");
    ASSERT_NE(saved, nullptr) << "test must run through sim/ns-run";
    const std::string keep = saved;
    unsetenv("KT_SIM_NAMESPACE");
    EXPECT_NE(ktsim::namespace_problem().find("sim/ns-run"), std::string::npos);
    EXPECT_THROW(ktsim::Device{}, std::runtime_error);
    setenv("KT_SIM_NAMESPACE", keep.c_str(), 1);
    EXPECT_EQ(ktsim::namespace_problem(), "");
}

TEST(SimFrames, CheckCatchesCorruptionAndUnwrittenSlots) {
    uint8_t slot[kSlot] = {};
    EXPECT_FALSE(ktsim::check_frame(slot, kSlot).ok);  // never written
    ktsim::FrameFields fields;
    fields.module_id = 4;
    fields.channel_id = 9;
    fields.seq = 77;
    fields.payload_len = 2028;
    ktsim::write_frame(slot, fields);
    const auto good = ktsim::check_frame(slot, kSlot);
    ASSERT_TRUE(good.ok) << good.error;
    EXPECT_EQ(good.fields.seq, 77u);
    EXPECT_EQ(good.fields.channel_id, 9);
    slot[100] ^= 1;
    EXPECT_FALSE(ktsim::check_frame(slot, kSlot).ok);
    slot[100] ^= 1;
    slot[kSlot - 1] ^= 1;  // trailer
    EXPECT_FALSE(ktsim::check_frame(slot, kSlot).ok);
    EXPECT_FALSE(ktsim::check_frame(slot, kSlot - 1).ok);  // frame longer than what was given
}

}  // namespace
