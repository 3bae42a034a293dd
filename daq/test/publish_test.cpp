// The publish loop against the simulated stream engine and real ZeroMQ peers: topics and
// exact frame bytes, the acknowledgements awaited per frame, and the time-out line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include <zmq.h>

#include "frame_pattern.h"
#include "kt_daq.h"
#include "publish_harness.h"
#include "sim_block.h"
#include "sim_fixture.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using ktdaq_test::PublisherProcess;
using ktdaq_test::Received;
using ktdaq_test::Registration;
using ktdaq_test::Subscriber;
using ktdaq_test::timeout_line;

constexpr uint32_t kSlot = KT_SLOT_SIZE;
constexpr uint32_t kRing = 1024 * kSlot;
constexpr int kAll = KT_DAQ_ALL_FRAMES;

std::string topic_of(const ktsim::FrameFields &header) {
    return "frame://" + std::to_string(header.module_id) + ":" + std::to_string(header.channel_id);
}

// Checks each frame a subscriber receives: whole, under its own topic, the frame the
// engine wrote at that position, and later than the one before.
class FrameOrder {
  public:
    explicit FrameOrder(const ktsim::EngineConfig &config) : config_(config) {}

    void check(const Received &r) {
        const auto check = ktsim::check_frame(r.frame.data(), r.frame.size());
        ASSERT_TRUE(check.ok) << "frame after " << last_seq_ << ": " << check.error;
        ASSERT_EQ(r.parts, 2);
        const ktsim::FrameFields &got = check.fields;
        ASSERT_EQ(r.frame.size(), got.payload_len + KT_FRAME_OVERHEAD);
        ASSERT_EQ(r.topic, topic_of(got)) << "frame " << got.seq << " under another topic";
        const ktsim::FrameFields want = ktsim::engine_frame(config_, got.seq);
        ASSERT_EQ(topic_of(got), topic_of(want)) << "frame " << got.seq << " of another source";
        ASSERT_EQ(got.msg_id, want.msg_id) << "frame " << got.seq;
        ASSERT_EQ(got.payload_len, want.payload_len) << "frame " << got.seq;
        ASSERT_TRUE(frames_ == 0 || got.seq > last_seq_)
            << "frame " << got.seq << " after frame " << last_seq_;
        last_seq_ = got.seq;
        ++frames_;
    }

    uint64_t frames() const { return frames_; }
    uint64_t last_seq() const { return last_seq_; }

  private:
    const ktsim::EngineConfig &config_;
    uint64_t frames_ = 0;
    uint64_t last_seq_ = 0;
};

class PublishTest : public ktsim::SimDeviceTest {
  protected:
    // Starts the loop, connects the subscriber, and only then lets the engine write, so
    // that no frame is published before the subscription has arrived.
    void start(const std::vector<Registration> &registrations, Subscriber &sub,
               const ktsim::EngineConfig &config) {
        publisher_ =
            std::make_unique<PublisherProcess>(device_->path(), kRing, registrations, settings_);
        ASSERT_TRUE(sub.wait_connected()) << publisher_->output();
        start_engine(config);
    }

    // Receives the next frame, checks its bytes, and returns what its header says.
    ktsim::FrameFields next_frame(Subscriber &sub, const char *what) {
        Received r;
        EXPECT_TRUE(sub.receive(&r)) << "no " << what << "; loop printed: " << publisher_->output();
        const auto check = ktsim::check_frame(r.frame.data(), r.frame.size());
        EXPECT_TRUE(check.ok) << check.error;
        EXPECT_EQ(r.parts, 2);
        EXPECT_EQ(r.frame.size(), check.fields.payload_len + KT_FRAME_OVERHEAD);
        EXPECT_EQ(r.topic, topic_of(check.fields));
        return check.fields;
    }

    void TearDown() override {
        publisher_.reset();
        SimDeviceTest::TearDown();
    }

    // The source 1:1 with one registration, two frames; the first received and checked.
    void start_two_frames(Subscriber &sub) {
        ktsim::EngineConfig config;
        config.sources = {{1, 1}};
        config.frames = 2;
        start({{1, 1}}, sub, config);
        EXPECT_EQ(next_frame(sub, "first frame").msg_id, 0);
    }

    void stopped_reader_costs_nothing() {
        ktsim::EngineConfig config;
        config.sources = {{1, 1}};
        config.payload_sizes = {2028};
        config.frames = 12000;  // far more than the stalled subscriber's buffers hold
        Subscriber stalled;     // connected, never reads
        Subscriber sub("frame://1:1");
        start({{1, 1}}, sub, config);
        ASSERT_TRUE(stalled.wait_connected());
        for (uint64_t seq = 0; seq < config.frames && !HasFailure(); ++seq) {
            ASSERT_EQ(next_frame(sub, "frame").seq, seq);
            ASSERT_TRUE(sub.ack());
        }
        EXPECT_EQ(publisher_->output(), "");
    }

    void full_ring_overwrites_nothing(uint64_t frames = 40000) {
        // With the ring full, the engine writes a slot again the moment it is handed back;
        // the frame in it must have left by then. Unacknowledged, the loop runs at full speed
        // and drops frames for a subscriber whose queue is still full, but never sends one
        // twice or another frame's bytes.
        ktsim::EngineConfig config;
        config.sources = {{1, 1}, {1, 2}, {2, 3}};
        config.payload_sizes = {2028, 1000, 64};
        config.frames = frames;
        Subscriber sub;
        publisher_ = std::make_unique<PublisherProcess>(device_->path(), 8 * kSlot,
                                                        std::vector<Registration>{}, settings_);
        ASSERT_TRUE(sub.wait_connected());
        start_engine(config);
        FrameOrder order(config);
        // Until the engine has written every frame and the loop has taken them all, and what
        // the loop sent has arrived; or until nothing came for 2 s.
        auto all_taken = [&] {
            return engine_->stats().frames_written == config.frames &&
                   device_->reg32(KT_AXIS_DATA_CNT) == 0;
        };
        Received r;
        for (int idle_ms = 0; idle_ms < 2000 && !HasFailure();) {
            if (sub.receive(&r, 100)) {
                order.check(r);
                idle_ms = 0;
            } else if (all_taken()) {
                break;
            } else {
                idle_ms += 100;
            }
        }
        EXPECT_GT(order.frames(), 0u);
        EXPECT_EQ(engine_->stats().frames_written, config.frames);
        EXPECT_EQ(device_->reg32(KT_AXIS_DATA_CNT), 0u) << "loop stopped taking frames";
    }

    void stalled_subscriber_resumes() {
        // One subscriber stops reading while the ring wraps hundreds of times at the pace of
        // another that acknowledges every frame; the slots of the frames queued for the
        // stalled one are written again meanwhile, under other sources.
        ktsim::EngineConfig config;
        // Five sources over 64 slots: a slot holds another source each time round. 1:12
        // shares the prefix of 1:2.
        config.sources = {{1, 1}, {1, 2}, {2, 3}, {1, 12}, {3, 3}};
        config.payload_sizes = {2028, 1000, 2028, 512};
        config.frames = 30000;
        constexpr uint64_t kStallFrom = 3000, kStallTo = 24000;
        Subscriber stalled("frame://1:2", true);
        Subscriber steady;
        publisher_ = std::make_unique<PublisherProcess>(
            device_->path(), 64 * kSlot, std::vector<Registration>{{kAll, kAll}}, settings_);
        ASSERT_TRUE(stalled.wait_connected());
        ASSERT_TRUE(steady.wait_connected());
        start_engine(config);
        FrameOrder steady_order(config), stalled_order(config);
        uint64_t before_stall = 0;
        Received r;
        for (uint64_t n = 0; n < config.frames && !HasFailure(); ++n) {
            ASSERT_TRUE(steady.receive(&r))
                << "frame " << n << "; loop printed: " << publisher_->output();
            steady_order.check(r);
            ASSERT_EQ(steady_order.last_seq(), n) << "frame lost to a subscriber that kept up";
            ASSERT_TRUE(steady.ack());
            if (n < kStallFrom || n >= kStallTo) {
                while (stalled.receive(&r, 0) && !HasFailure()) {
                    stalled_order.check(r);
                }
            }
            if (n + 1 == kStallFrom) {
                before_stall = stalled_order.frames();
            }
        }
        // Every frame is out: what the stalled one still gets is on its way already.
        while (stalled.receive(&r, 200) && !HasFailure()) {
            stalled_order.check(r);
        }
        EXPECT_GT(before_stall, 0u);
        EXPECT_GT(stalled_order.frames(), before_stall) << "nothing received after the stall";
        EXPECT_EQ(publisher_->output(), "");
    }

    std::unique_ptr<PublisherProcess> publisher_;
    ktdaq_test::PublishSettings settings_;
};

TEST_F(PublishTest, EveryFrameGoesOutUnderItsTopicWithItsExactBytes) {
    ktsim::EngineConfig config;
    config.sources = {{1, 1}, {12, 7}, {2, 3}, {1, 10}, {255, 15}};
    config.payload_sizes = {0, 64, 2028, 333};
    config.high_bits = true;  // byte 1 with upper bits set still names channel 0..15
    config.frames = 400;
    Subscriber sub;
    start({{kAll, kAll}}, sub, config);
    std::map<std::string, int> next_msg_id;
    for (uint64_t seq = 0; seq < config.frames && !HasFailure(); ++seq) {
        const ktsim::FrameFields header = next_frame(sub, "frame");
        EXPECT_EQ(header.seq, seq) << "frame lost or out of order";
        EXPECT_EQ(header.msg_id, next_msg_id[topic_of(header)]++);
        ASSERT_TRUE(sub.ack());
    }
    EXPECT_EQ(publisher_->output(), "");
}

TEST_F(PublishTest, TenThousandAcknowledgedFramesArriveWithoutLossOrTimeOut) {
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.payload_sizes = {64, 512, 2028};
    config.frames = 10000;
    Subscriber sub("frame://1:1");
    start({{1, 1}}, sub, config);
    for (uint64_t seq = 0; seq < config.frames && !HasFailure(); ++seq) {
        ASSERT_EQ(next_frame(sub, "frame").seq, seq) << "frame lost to a subscriber that kept up";
        ASSERT_TRUE(sub.ack());
    }
    EXPECT_EQ(publisher_->output().find("time out"), std::string::npos) << publisher_->output();
}

TEST_F(PublishTest, AwaitedFramesAmongPrefixAlikeOnesReachTheirSubscriber) {
    // frame://1:1 also receives 1:10 and 1:11, which go out back to back unawaited; the
    // awaited 1:1 frame after them must still find room in the subscriber's queue.
    ktsim::EngineConfig config;
    config.sources = {{1, 10}, {1, 11}, {1, 1}};
    config.frames = 6000;
    Subscriber sub("frame://1:1");
    start({{1, 1}}, sub, config);
    int next_msg_id = 0;
    while (next_msg_id < 2000 && !HasFailure()) {
        const ktsim::FrameFields header = next_frame(sub, "frame");
        if (header.channel_id != 1) {
            continue;  // a prefix-alike topic: neither awaited nor acknowledged
        }
        ASSERT_EQ(header.msg_id, next_msg_id++) << "awaited frame lost";
        ASSERT_TRUE(sub.ack());
    }
    EXPECT_EQ(publisher_->output(), "");
}

TEST_F(PublishTest, SubscriberThatStopsReadingCostsTheOthersNoFrame) {
    stopped_reader_costs_nothing();
}

TEST_F(PublishTest, FullRingNeverOverwritesAFrameStillOnItsWay) {
    full_ring_overwrites_nothing();
}

TEST_F(PublishTest, StalledSubscriberResumesWithWholeFramesOfItsOwnTopicInOrder) {
    stalled_subscriber_resumes();
}

TEST_F(PublishTest, FramesOfSourcesWithoutSubscribersAreNotWaitedFor) {
    // The every-frame flag set twice is cleared by one unregistration; 1:20 names no
    // channel a frame can carry.
    const std::vector<Registration> regs = {{kAll, kAll}, {kAll, kAll}, {kAll, kAll, false},
                                            {1, 20},      {3, 4},       {3, 4, false}};
    ktsim::EngineConfig config;
    config.sources = {{1, 4}, {3, 4}};
    config.frames = 3000;
    Subscriber sub;  // receives, never acknowledges
    start(regs, sub, config);
    ASSERT_TRUE(engine_->wait_written(config.frames, 20s));
    EXPECT_TRUE(kttest::wait_until([&] { return device_->reg32(KT_AXIS_DATA_CNT) == 0; }, 20s))
        << "loop stopped taking frames";
    Received r;
    EXPECT_TRUE(sub.receive(&r, 0));
    EXPECT_EQ(publisher_->output(), "");
}

TEST_F(PublishTest, AwaitsOneAcknowledgementPerRemainingSubscriberOfTheSource) {
    ktsim::EngineConfig config;
    config.sources = {{1, 2}, {3, 4}};
    config.frames = 201;  // the last frame is of 1:2
    Subscriber sub("frame://1:2");
    start({{1, 2}, {1, 2}, {1, 2, false}}, sub, config);

    // Until the acknowledgement comes, the loop holds on to the next frame.
    EXPECT_EQ(next_frame(sub, "first frame").msg_id, 0);
    Received early;
    EXPECT_FALSE(sub.receive(&early, 300)) << "next frame published before the acknowledgement";
    ASSERT_TRUE(sub.ack());
    for (int msg_id = 1; msg_id < 100 && !HasFailure(); ++msg_id) {
        ASSERT_EQ(next_frame(sub, "frame").msg_id, msg_id);
        ASSERT_TRUE(sub.ack());
    }
    EXPECT_EQ(publisher_->output(), "");
    // The last one stays unacknowledged: exactly one acknowledgement was awaited.
    EXPECT_EQ(next_frame(sub, "last frame").msg_id, 100);
    ASSERT_TRUE(publisher_->wait_output("time out", 5000));
    ASSERT_TRUE(publisher_->sync());
    EXPECT_EQ(publisher_->output(), timeout_line("frame://1:2", 100, 0, 1));
}

TEST_F(PublishTest, EveryFrameSubscriberAddsOneAcknowledgementToEachFrame) {
    ktsim::EngineConfig config;
    config.sources = {{1, 2}, {3, 4}, {1, 2}};
    config.frames = 3;
    Subscriber sub;
    start({{kAll, kAll}, {1, 2}}, sub, config);
    // 1:2 awaits two; only one comes, so the second times out.
    EXPECT_EQ(topic_of(next_frame(sub, "frame of 1:2")), "frame://1:2");
    ASSERT_TRUE(sub.ack());
    ASSERT_TRUE(publisher_->wait_output("time out", 5000));
    EXPECT_EQ(publisher_->output(), timeout_line("frame://1:2", 0, 1, 2));
    // 3:4 awaits one.
    EXPECT_EQ(topic_of(next_frame(sub, "frame of 3:4")), "frame://3:4");
    ASSERT_TRUE(sub.ack());
    // 1:2 again awaits two, and both come.
    EXPECT_EQ(topic_of(next_frame(sub, "second frame of 1:2")), "frame://1:2");
    ASSERT_TRUE(sub.ack());
    ASSERT_TRUE(sub.ack());
    ASSERT_TRUE(publisher_->sync());
    EXPECT_EQ(publisher_->output(), timeout_line("frame://1:2", 0, 1, 2));
}

TEST_F(PublishTest, TwoSubscribersWithOneAcknowledgingCostOneTimeOut) {
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.frames = 1;
    Subscriber sub("frame://1:1");
    start({{1, 1}, {1, 1}}, sub, config);
    EXPECT_EQ(next_frame(sub, "frame").msg_id, 0);
    const auto acked = std::chrono::steady_clock::now();
    ASSERT_TRUE(sub.ack());
    ASSERT_TRUE(publisher_->wait_output("\n", 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - acked, 1900ms);
    EXPECT_EQ(publisher_->output(), "frame://1:1 msg[id] : 0 time out ;i = 1, channel_count = 2\n");
}

TEST_F(PublishTest, SubscribersChangedWhileRunningCountFromTheNextFrame) {
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.rate = 200;
    Subscriber sub("frame://1:1");
    start({}, sub, config);
    Received r;
    ASSERT_TRUE(sub.receive(&r));
    ASSERT_TRUE(publisher_->command("add 1 1"));
    ASSERT_TRUE(publisher_->wait_output("time out ;i = 0, channel_count = 1\n", 5000));
    ASSERT_TRUE(publisher_->command("del 1 1"));
    // The frame after the one that timed out may have been published before the change
    // and still time out; from the one after it, frames flow without acknowledgements.
    int timed_out = -1;
    ASSERT_EQ(sscanf(publisher_->output().c_str(), "frame://1:1 msg[id] : %d", &timed_out), 1)
        << publisher_->output();
    int msg_id = -1;
    while (msg_id < timed_out + 2 && !HasFailure()) {
        msg_id = next_frame(sub, "frame after the change").msg_id;
    }
    ASSERT_TRUE(publisher_->sync());
    const std::string settled = publisher_->output();
    for (int i = 0; i < 20 && !HasFailure(); ++i) {
        ASSERT_TRUE(sub.receive(&r, 1000));
    }
    ASSERT_TRUE(publisher_->sync());
    EXPECT_EQ(publisher_->output(), settled);
}

TEST_F(PublishTest, AcknowledgementOfSeveralPartsCountsOnce) {
    Subscriber sub;
    start_two_frames(sub);
    ASSERT_TRUE(sub.ack(3));
    EXPECT_EQ(next_frame(sub, "second frame").msg_id, 1);
    EXPECT_TRUE(sub.ack(1, 1000)) << "second frame's acknowledgement not awaited";
    ASSERT_TRUE(publisher_->sync());
    EXPECT_EQ(publisher_->output(), "");
}

TEST_F(PublishTest, OversizedAcknowledgementIsRefusedAndCountsForNothing) {
    Subscriber sub;
    start_two_frames(sub);
    {
        // A peer that sends 1 MiB is cut off before the loop would take it as an
        // acknowledgement.
        void *context = zmq_ctx_new();
        void *req = zmq_socket(context, ZMQ_REQ);
        zmq_connect(req, KT_DAQ_ACK_ENDPOINT);
        std::vector<char> big(1 << 20, 'x');
        EXPECT_EQ(zmq_send(req, big.data(), big.size(), 0), static_cast<int>(big.size()));
        ASSERT_TRUE(publisher_->wait_output("time out", 5000));
        const int linger = 0;
        zmq_setsockopt(req, ZMQ_LINGER, &linger, sizeof linger);
        zmq_close(req);
        zmq_ctx_term(context);
    }
    EXPECT_EQ(publisher_->output(), timeout_line("frame://1:1", 0, 0, 1));
    EXPECT_EQ(next_frame(sub, "second frame").msg_id, 1);
    ASSERT_TRUE(sub.ack());
    ASSERT_TRUE(publisher_->sync());
    EXPECT_EQ(publisher_->output(), timeout_line("frame://1:1", 0, 0, 1));
}

// The rules that hold at the specified setting hold with a deeper queue and with a window
// of frames in flight: a subscriber that keeps up gets every frame, a stalled one costs
// the others nothing and never gets another frame's bytes, a full ring overwrites nothing.
class PublishOptionsTest : public PublishTest,
                           public testing::WithParamInterface<ktdaq_test::PublishSettings> {
  protected:
    void SetUp() override {
        PublishTest::SetUp();
        settings_ = GetParam();
    }
};

TEST_P(PublishOptionsTest, SubscriberThatStopsReadingCostsTheOthersNoFrame) {
    stopped_reader_costs_nothing();
}

TEST_P(PublishOptionsTest, FullRingNeverOverwritesAFrameStillOnItsWay) {
    // A deep queue takes the whole ring faster than the engine refills it, and then the
    // loop polls the empty ring only every 33 ms: eight slots per poll. Fewer frames keep
    // the test short; the ring still wraps hundreds of times.
    full_ring_overwrites_nothing(3000);
}

TEST_P(PublishOptionsTest, StalledSubscriberResumesWithWholeFramesOfItsOwnTopicInOrder) {
    stalled_subscriber_resumes();
}

INSTANTIATE_TEST_SUITE_P(Deep, PublishOptionsTest,
                         testing::Values(ktdaq_test::PublishSettings{16, 1},
                                         ktdaq_test::PublishSettings{64, 1},
                                         ktdaq_test::PublishSettings{1024, 1},
                                         ktdaq_test::PublishSettings{64, 64},
                                         ktdaq_test::PublishSettings{1, 16}),
                         [](const testing::TestParamInfo<ktdaq_test::PublishSettings> &info) {
                             return "depth" + std::to_string(info.param.queue_depth) + "_window" +
                                    std::to_string(info.param.ack_window);
                         });

// A window of frames in flight: published ahead of their acknowledgements, settled oldest
// first by requests that count one or, given as a number, that many.
class AckWindowTest : public PublishTest {
  protected:
    // Receives `n` frames in ring order from `seq` on; false at the first that is missing.
    bool receive_run(Subscriber &sub, uint64_t seq, uint64_t n) {
        for (uint64_t i = 0; i < n; ++i) {
            if (next_frame(sub, "frame in the window").seq != seq + i) {
                return false;
            }
        }
        return !HasFailure();
    }

    // Proves that no frame comes now: nothing arrives within a quarter of a second, far
    // longer than a frame already sent takes on loopback.
    void expect_nothing_more(Subscriber &sub, const char *why) {
        Received r;
        EXPECT_FALSE(sub.receive(&r, 250)) << why;
    }

    uint64_t acknowledged() {
        kt_daq_stats stats{};
        EXPECT_TRUE(publisher_->stats(&stats));
        return stats.acknowledged;
    }
};

TEST_F(AckWindowTest, PublishesAWindowAheadAndACountedRequestSettlesThatMany) {
    settings_ = {64, 8};
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.frames = 2000;
    Subscriber sub("frame://1:1");
    start({{1, 1}}, sub, config);
    ASSERT_TRUE(receive_run(sub, 0, 8)) << "the window's frames went out before any request";
    expect_nothing_more(sub, "a ninth frame went out with eight unacknowledged");
    ASSERT_TRUE(sub.ack_text("3"));
    ASSERT_TRUE(receive_run(sub, 8, 3));
    expect_nothing_more(sub, "a count of 3 let more than three frames go");
    EXPECT_EQ(acknowledged(), 3u);
    // The rest at the pace of one request of 4 per 4 frames, two requests in flight.
    uint64_t seq = 11;
    while (seq < config.frames && !HasFailure()) {
        const uint64_t n = std::min<uint64_t>(4, config.frames - seq);
        ASSERT_TRUE(sub.ack_text(std::to_string(n)));
        ASSERT_TRUE(receive_run(sub, seq, n));
        seq += n;
    }
    // The last eight frames wait for theirs.
    ASSERT_TRUE(sub.ack_text("8"));
    EXPECT_TRUE(kttest::wait_until([&] { return acknowledged() == config.frames; }, 5s))
        << acknowledged();
    EXPECT_EQ(publisher_->output(), "");
}

TEST_F(AckWindowTest, AnyOtherRequestCountsAsOne) {
    // Counts beyond the window, with a sign, a leading zero, blanks, other characters, of
    // several parts, empty: each one acknowledgement, as at the specified setting.
    settings_ = {1, 8};
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.frames = 100;
    Subscriber sub("frame://1:1");
    start({{1, 1}}, sub, config);
    ASSERT_TRUE(receive_run(sub, 0, 8));
    uint64_t seq = 8;
    for (const char *text : {"9", "+2", "02", " 2", "2 ", "0", "", "ack", "12345", "1024"}) {
        ASSERT_TRUE(sub.ack_text(text)) << "'" << text << "'";
        EXPECT_TRUE(receive_run(sub, seq++, 1)) << "'" << text << "'";
    }
    ASSERT_TRUE(sub.ack(2));  // two parts of "ack"
    EXPECT_TRUE(receive_run(sub, seq++, 1));
    ASSERT_TRUE(sub.ack_text("8"));
    EXPECT_TRUE(receive_run(sub, seq, 8));
    // A request taken for more than one would have let more frames go.
    expect_nothing_more(sub, "a request counted for more than one");
    EXPECT_EQ(acknowledged(), 19u);
    EXPECT_EQ(publisher_->output(), "");
}

TEST_F(AckWindowTest, FramesMissingAcknowledgementsTimeOutTogether) {
    // One subscriber registered twice: each frame awaits two acknowledgements. A count of
    // 3 settles the first frame and half the second, oldest first; the rest of the window
    // times out 2 s after it went out, all at once rather than 2 s per missing one.
    settings_ = {1, 4};
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.frames = 4;
    Subscriber sub("frame://1:1");
    start({{1, 1}, {1, 1}}, sub, config);
    ASSERT_TRUE(receive_run(sub, 0, 4));
    ASSERT_TRUE(sub.ack_text("3"));
    const auto acked = std::chrono::steady_clock::now();
    ASSERT_TRUE(publisher_->wait_output(timeout_line("frame://1:1", 3, 1, 2), 5000))
        << publisher_->output();
    // Five time-outs one after another would take 10 s.
    EXPECT_LT(std::chrono::steady_clock::now() - acked, 4s);
    ASSERT_TRUE(publisher_->sync());
    EXPECT_EQ(publisher_->output(),
              timeout_line("frame://1:1", 1, 1, 2) + timeout_line("frame://1:1", 2, 0, 2) +
                  timeout_line("frame://1:1", 2, 1, 2) + timeout_line("frame://1:1", 3, 0, 2) +
                  timeout_line("frame://1:1", 3, 1, 2));
    kt_daq_stats stats{};
    ASSERT_TRUE(publisher_->stats(&stats));
    EXPECT_EQ(stats.ack_timeouts, 5u);
    EXPECT_EQ(stats.acknowledged, 3u);
}

TEST_F(AckWindowTest, OptionsAreCheckedAndFixedOnceTheLoopRuns) {
    Subscriber sub;
    start({}, sub, ktsim::EngineConfig{});
    using Result = std::pair<int, int>;
    for (auto [depth, window] : {std::pair<uint32_t, uint32_t>{0, 1},
                                 {1025, 1},
                                 {1, 0},
                                 {1, 1025},
                                 {UINT32_MAX, UINT32_MAX}}) {
        EXPECT_EQ(publisher_->set_options(depth, window), Result(-1, EINVAL))
            << depth << " " << window;
    }
    EXPECT_EQ(publisher_->set_options(1024, 1024), Result(-1, EBUSY));
    EXPECT_EQ(publisher_->set_options(1, 1), Result(-1, EBUSY));
}

// Frames written by the test itself into the ring, where the simulated engine cannot go:
// a payload_len that would run past the slot.
class HandWrittenRingTest : public PublishTest {
  protected:
    void SetUp() override {
        PublishTest::SetUp();
        publisher_ = std::make_unique<PublisherProcess>(device_->path(), 64 * kSlot,
                                                        std::vector<Registration>{{kAll, kAll}});
        ASSERT_TRUE(kttest::wait_until(
            [&] {
                return device_->reg32(KT_AXIS_RING_BASE) == device_->mem_phys() &&
                       (device_->reg8(KT_AXIS_CTRL) & 1) != 0;
            },
            10s))
            << "ring never set up";
        // Lets the hand-back accounting follow the read pointer as for the engine.
        ktsim::Block *b = ktsim::block_of(device_->regs());
        ktsim::at(b->seen_rd_ptr).store(device_->mem_phys());
        ktsim::at(b->ring_base).store(device_->mem_phys());
        ktsim::at(b->ring_slots).store(64);
    }

    void write(uint32_t slot, const ktsim::FrameFields &frame, uint16_t header_payload_len) {
        uint8_t *p = device_->mem() + slot * kSlot;
        ktsim::write_frame(p, frame);
        memcpy(p + 14, &header_payload_len, 2);
    }
    void publish_written(uint32_t slots) {
        ktsim::reg32(device_->regs(), KT_AXIS_DATA_CNT).fetch_add(slots * kSlot);
    }
};

TEST_F(HandWrittenRingTest, FrameRunningPastItsSlotIsDroppedAndItsSlotHandedBack) {
    Subscriber sub;
    ASSERT_TRUE(sub.wait_connected());
    write(0, {1, 1, 0, 0, 0, 64}, 64);
    write(1, {1, 1, 0, 1, 1, 16}, 2029);
    publish_written(2);
    EXPECT_EQ(next_frame(sub, "good frame").seq, 0u);
    ASSERT_TRUE(sub.ack());
    EXPECT_TRUE(kttest::wait_until([&] { return device_->reg32(KT_AXIS_DATA_CNT) == 0; }, 5s))
        << "slot of the dropped frame kept";
    Received stray;
    EXPECT_FALSE(sub.receive(&stray, 300)) << "published " << stray.topic;
    write(2, {2, 3, 0, 0, 2, 2028}, 2028);
    publish_written(1);
    EXPECT_EQ(next_frame(sub, "frame after the dropped one").seq, 2u);
    ASSERT_TRUE(sub.ack());
    EXPECT_EQ(publisher_->output(), "");
}

}  // namespace
