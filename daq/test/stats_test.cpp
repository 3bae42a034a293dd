// The engine's statistics: the size rule of the record, and the counters against the
// real loops on the simulated instrument.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <vector>

#include "filter_fixture.h"
#include "frame_pattern.h"
#include "kt_daq.h"
#include "publish_harness.h"
#include "sim_fixture.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using ktdaq_test::ChannelClient;
using ktdaq_test::configure;
using ktdaq_test::PublisherProcess;
using ktdaq_test::Received;
using ktdaq_test::Subscriber;

constexpr uint32_t kRing = 256 * KT_SLOT_SIZE;

TEST(StatsRecordTest, FillsTheCallersPrefixOnlyAndRefusesTooSmallARecord) {
    constexpr size_t kSize = sizeof(kt_daq_stats);
    std::vector<unsigned char> buffer(kSize + 64, 0xab);
    auto *stats = reinterpret_cast<kt_daq_stats *>(buffer.data());

    // An older caller's shorter record: its prefix is filled, nothing behind it.
    const size_t old_size = offsetof(kt_daq_stats, published);
    ASSERT_EQ(kt_daq_get_stats(stats, old_size), 0);
    EXPECT_EQ(stats->size, kSize);
    EXPECT_EQ(stats->channels, static_cast<uint32_t>(KT_MAX_CHANNELS));
    EXPECT_EQ(stats->frames_taken, 0u);
    for (size_t i = old_size; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0xab) << "byte " << i << " behind the caller's record was written";
    }

    // A newer caller's longer record: only what the library knows is filled.
    ASSERT_EQ(kt_daq_get_stats(stats, buffer.size()), 0);
    EXPECT_EQ(stats->config_refused, 0u);
    EXPECT_EQ(stats->channel[KT_MAX_CHANNELS - 1].port, 0u);
    for (size_t i = kSize; i < buffer.size(); ++i) {
        ASSERT_EQ(buffer[i], 0xab) << "byte " << i << " past the library's record was written";
    }

    // Just the size field: the caller learns the library's size.
    uint32_t size_only = 0;
    ASSERT_EQ(kt_daq_get_stats(reinterpret_cast<kt_daq_stats *>(&size_only), 4), 0);
    EXPECT_EQ(size_only, kSize);

    errno = 0;
    EXPECT_EQ(kt_daq_get_stats(nullptr, kSize), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(kt_daq_get_stats(stats, sizeof stats->size - 1), -1);
    EXPECT_EQ(errno, EINVAL);
}

class PublishStatsTest : public ktsim::SimDeviceTest {
  protected:
    void TearDown() override {
        publisher_.reset();
        SimDeviceTest::TearDown();
    }
    std::unique_ptr<PublisherProcess> publisher_;
};

TEST_F(PublishStatsTest, CountsTakenPublishedAcknowledgedAndTimedOutFrames) {
    constexpr int kFrames = 40;
    Subscriber sub("frame://1:1");
    publisher_ = std::make_unique<PublisherProcess>(device_->path(), kRing,
                                                    std::vector<ktdaq_test::Registration>{{1, 1}});
    ASSERT_TRUE(sub.wait_connected());
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.frames = kFrames;
    start_engine(config);
    // Every frame but the last acknowledged; the last one costs a time-out.
    for (int n = 0; n < kFrames; ++n) {
        Received r;
        ASSERT_TRUE(sub.receive(&r)) << "frame " << n;
        if (n + 1 < kFrames) {
            ASSERT_TRUE(sub.ack());
        }
    }
    ASSERT_TRUE(publisher_->wait_output("time out", 5000));

    kt_daq_stats stats{};
    ASSERT_TRUE(publisher_->stats(&stats));
    EXPECT_EQ(stats.size, sizeof stats);
    EXPECT_EQ(stats.frames_taken, static_cast<uint64_t>(kFrames));
    EXPECT_EQ(stats.published, static_cast<uint64_t>(kFrames));
    EXPECT_EQ(stats.acknowledged, static_cast<uint64_t>(kFrames - 1));
    EXPECT_EQ(stats.ack_timeouts, 1u);
    EXPECT_EQ(stats.dropped_for_lagging, 0u);
    EXPECT_EQ(stats.skipped, 0u);
    // The filter mode's counters stay at 0.
    EXPECT_EQ(stats.batches, 0u);
    EXPECT_EQ(stats.frames_dispatched, 0u);
    EXPECT_EQ(stats.channel[0].frames, 0u);
}

class FilterStatsTest : public ktdaq_test::FilterLoopTest {};

TEST_F(FilterStatsTest, CountsBatchesFramesPerChannelClientsAndConfigurations) {
    start_loop(kRing);
    ASSERT_TRUE(configure("0=ch1;1=9800;2=1;3=1;5=kt_output_filter"));
    ASSERT_TRUE(configure("0=ch2;1=9801;2=2;3=1;5=kt_output_filter"));
    ASSERT_TRUE(configure("1=9802;2=1;3=1"));        // no name: refused
    ASSERT_TRUE(configure(std::string(1100, 'x')));  // too long: refused
    ChannelClient one(9800), two(9801);
    ASSERT_TRUE(loop_->wait_output("accept connect", 5000, 2)) << loop_->output();

    // Only now the frames: every one of them reaches a channel with a client.
    constexpr uint64_t kFrames = 300;
    ktsim::EngineConfig config;
    config.sources = {{1, 1}, {2, 1}};
    config.frames = kFrames;
    start_engine(config);
    std::vector<uint8_t> frame;
    for (uint64_t n = 0; n < kFrames / 2; ++n) {
        ASSERT_TRUE(one.next_frame(&frame)) << "frame " << n << " of ch1";
        ASSERT_TRUE(two.next_frame(&frame)) << "frame " << n << " of ch2";
    }
    kt_daq_stats stats{};
    ASSERT_TRUE(kttest::wait_until(
        [&] {
            // The last batch is counted after its last frame has been dispatched.
            return loop_->stats(&stats) && stats.frames_dispatched == kFrames &&
                   stats.batches >= kFrames / 100;
        },
        5s))
        << stats.frames_dispatched << " frames dispatched in " << stats.batches << " batches";
    EXPECT_EQ(stats.frames_taken, kFrames);
    EXPECT_LE(stats.batches, kFrames);
    EXPECT_EQ(stats.channel[0].frames, kFrames / 2);
    EXPECT_EQ(stats.channel[0].port, 9800);
    EXPECT_EQ(stats.channel[1].frames, kFrames / 2);
    EXPECT_EQ(stats.channel[1].port, 9801);
    EXPECT_EQ(stats.channel[2].port, 0);
    EXPECT_EQ(stats.client_connects, 2u);
    EXPECT_EQ(stats.client_disconnects, 0u);
    EXPECT_EQ(stats.config_accepted, 2u);
    EXPECT_EQ(stats.config_refused, 2u);
    EXPECT_EQ(stats.published, 0u);

    // A client that leaves, and a channel replaced with its client: two disconnects; the
    // slot's count lives on under the new port.
    two.close_now();
    ASSERT_TRUE(loop_->wait_output("port : 9801 connection close\n", 5000)) << loop_->output();
    ASSERT_TRUE(configure("0=ch1;1=9803;2=1;3=1;5=kt_output_filter"));
    ASSERT_TRUE(loop_->stats(&stats));
    EXPECT_EQ(stats.config_accepted, 3u);
    EXPECT_EQ(stats.channel[0].port, 9803);
    EXPECT_EQ(stats.channel[0].frames, kFrames / 2);
    EXPECT_TRUE(kttest::wait_until(
        [&] { return loop_->stats(&stats) && stats.client_disconnects == 2; }, 5s))
        << stats.client_disconnects;
    EXPECT_EQ(stats.client_connects, 2u);
}

}  // namespace
