// The simulated engine behaves as the reader library expects of the hardware: readers that
// poll as the acquisition loops do get every frame once, intact and in order.
#include <gtest/gtest.h>

#include <time.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "frame_pattern.h"
#include "kt_axis.h"
#include "sim_block.h"
#include "sim_fixture.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using ktsim::EngineConfig;
using ktsim::SimDeviceTest;

constexpr uint32_t kSlot = KT_AXIS_SLOT_SIZE;

// Checks each frame taken: intact, exactly the next one the engine wrote, with msg_id
// counting the frames of each distinct source, and (given the configuration) the very
// header its position promises.
struct FrameLedger {
    explicit FrameLedger(const EngineConfig *c = nullptr) : config(c) {}
    const EngineConfig *config;
    uint64_t next_seq = 0;
    uint64_t taken = 0;
    std::map<std::pair<int, int>, uint16_t> next_msg_id;
    void take(const void *slot) {
        const auto check = ktsim::check_frame(static_cast<const uint8_t *>(slot), kSlot);
        ASSERT_TRUE(check.ok) << "frame " << taken << ": " << check.error;
        const ktsim::FrameFields &got = check.fields;
        ASSERT_EQ(got.seq, next_seq) << "slot taken twice or out of order";
        uint16_t &expected_msg_id = next_msg_id[{got.module_id, got.channel_id}];
        ASSERT_EQ(got.msg_id, expected_msg_id++)
            << "frame " << got.seq << " of " << int{got.module_id} << ":" << int{got.channel_id};
        if (config != nullptr) {
            const ktsim::FrameFields want = ktsim::engine_frame(*config, got.seq);
            ASSERT_EQ(got.module_id, want.module_id) << "frame " << got.seq;
            ASSERT_EQ(got.channel_id, want.channel_id) << "frame " << got.seq;
            ASSERT_EQ(got.high_bits, want.high_bits) << "frame " << got.seq;
            ASSERT_EQ(got.msg_id, want.msg_id) << "frame " << got.seq;
            ASSERT_EQ(got.payload_len, want.payload_len) << "frame " << got.seq;
        }
        ++next_seq;
        ++taken;
    }
};

// Waits for data; false if none came within a while.
bool wait_data(kt_axis *axis, uint32_t *count) {
    return kttest::wait_until([&] { return (*count = kt_get_data_cnt(axis)) != 0; }, 10s);
}

TEST_F(SimDeviceTest, OneFrameAtATimeReaderGetsEveryFrameOnce) {
    EngineConfig config;
    config.sources = {{1, 1}, {2, 3}, {12, 7}, {2, 3}};  // 2:3 twice: one msg_id counter
    config.payload_sizes = {0, 64, 2028, 333, 5};
    config.high_bits = true;
    config.frames = 20000;
    start_engine(config);
    // A small ring wraps often and fills up whenever the reader falls behind.
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 8 * kSlot);
    ASSERT_NE(axis, nullptr);
    FrameLedger ledger{&config};
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
    config.sources = {{5, 5}, {6, 6}, {5, 5}};  // 5:5's msg_id wraps past 65535
    config.payload_sizes = {100, 2000};
    config.frames = 100000;
    ktsim::Engine &engine = start_engine(config);
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 64 * kSlot);
    ASSERT_NE(axis, nullptr);
    FrameLedger ledger{&config};
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
    std::this_thread::sleep_for(50ms);  // time for an eighth frame that must not come
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

double cpu_seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// A full ring that nobody reads leaves the engine asleep: it wakes about a hundred times a
// second to look at the registers (well below 1 % of a core, even emulated), where yielding
// or polling took 20 to 60 %. The bound of 10 % tells the two apart with room to spare for
// sanitizers, emulation and a busy machine, which only lower what the engine gets.
TEST_F(SimDeviceTest, EngineSleepsOnAFullRingAndWakesOnAHandBack) {
    EngineConfig config;
    ktsim::Engine &engine = start_engine(config);
    kt_axis *axis = kt_axis_init(device_->path().c_str(), 8 * kSlot);
    ASSERT_NE(axis, nullptr);
    ASSERT_TRUE(engine.wait_written(7, 10s));
    clockid_t clock{};
    ASSERT_EQ(clock_getcpuclockid(engine.pid(), &clock), 0);
    const double cpu_before = cpu_seconds(clock);
    const auto wall_before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    const double cpu = cpu_seconds(clock) - cpu_before;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    EXPECT_LT(cpu / wall, 0.10) << cpu << " s of CPU in " << wall << " s";
    EXPECT_EQ(engine.stats().frames_written, 7u);

    FrameLedger ledger{&config};
    ledger.take(kt_axis_read_frame(axis, nullptr, kt_get_data_cnt(axis)));
    kt_axis_read_done(axis);
    EXPECT_TRUE(engine.wait_written(8, 10s));
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

// Writes `fields`' header in front of `frame`'s payload, as a publisher that sends a ring
// slot under the wrong frame would, with a trailer that matches the mix.
std::vector<uint8_t> with_header_of(const ktsim::FrameFields &header, std::vector<uint8_t> frame) {
    std::vector<uint8_t> other(kSlot);
    ktsim::write_frame(other.data(), header);
    std::memcpy(frame.data(), other.data(), 16);
    const size_t covered = 16u + header.payload_len;
    const auto crc = static_cast<uint32_t>(crc32(0, frame.data(), static_cast<uInt>(covered)));
    std::memcpy(frame.data() + covered, &crc, 4);
    return frame;
}

TEST(SimFrames, PayloadBelongsToEveryIdentifyingHeaderField) {
    const ktsim::FrameFields base{4, 9, 0, 300, 77, 64};
    std::vector<uint8_t> frame(kSlot);
    ktsim::write_frame(frame.data(), base);
    ASSERT_TRUE(ktsim::check_frame(frame.data(), frame.size()).ok);

    std::vector<ktsim::FrameFields> others(5, base);
    others[0].module_id = 5;
    others[1].channel_id = 8;
    others[2].msg_id = 301;
    others[3].seq = 78;
    others[4].payload_len = 60;
    for (const ktsim::FrameFields &other : others) {
        const auto mixed = with_header_of(other, frame);
        const auto check = ktsim::check_frame(mixed.data(), mixed.size());
        EXPECT_FALSE(check.ok) << other.module_id << ":" << other.channel_id << " msg_id "
                               << other.msg_id << " seq " << other.seq << " length "
                               << other.payload_len;
        EXPECT_NE(check.error.find("payload is not that of"), std::string::npos) << check.error;
    }

    // The upper bits of the channel byte are not the frame's identity.
    ktsim::FrameFields high = base;
    high.high_bits = 0xa;
    const auto same = with_header_of(high, frame);
    const auto check = ktsim::check_frame(same.data(), same.size());
    EXPECT_TRUE(check.ok) << check.error;
    EXPECT_EQ(check.fields.high_bits, 0xa);
}

TEST(SimFrames, TrailerIsTheStandardCrc32OfHeaderAndPayload) {
    // The check value of the standard CRC-32, so the library below is the right one.
    const char digits[] = "123456789";
    ASSERT_EQ(crc32(0, reinterpret_cast<const Bytef *>(digits), 9), 0xcbf43926u);
    for (uint16_t length : {0, 1, 7, 2028}) {
        std::vector<uint8_t> frame(length + 20u);
        ktsim::write_frame(frame.data(), {1, 2, 3, 4, 5, length});
        uint32_t trailer = 0;
        std::memcpy(&trailer, frame.data() + 16 + length, 4);
        EXPECT_EQ(trailer, crc32(0, frame.data(), 16u + length)) << "payload " << length;
    }
}

}  // namespace
