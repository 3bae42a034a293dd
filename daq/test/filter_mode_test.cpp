// The filter mode end to end: the loop in a child process against the simulated engine,
// configured over ZeroMQ, serving real TCP clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "frame_pattern.h"
#include "kt_records.h"

namespace {

using ktdaq_test::ChannelClient;
using ktdaq_test::configure;
using ktsim::EngineConfig;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRing = 256 * KT_SLOT_SIZE;

// The frame the engine wrote with this header, rebuilt from the sequence number.
Bytes original_of(const Bytes &received, const EngineConfig &config) {
    ktsim::FrameFields fields;
    fields.module_id = received[0];
    fields.channel_id = received[1] & 0x0f;
    fields.high_bits = received[1] >> 4;
    std::memcpy(&fields.msg_id, received.data() + 2, 2);
    std::memcpy(&fields.seq, received.data() + 4, 8);
    fields.payload_len = config.payload_sizes[fields.seq % config.payload_sizes.size()];
    Bytes frame(KT_SLOT_SIZE);
    ktsim::write_frame(frame.data(), fields);
    frame.resize(fields.payload_len + 20u);
    return frame;
}

// What the datalogger makes of a frame: the words whose first byte's low four bits are
// `wanted`, then the trailer.
Bytes reduced(const Bytes &frame, int wanted) {
    Bytes out(frame.begin(), frame.begin() + 16);
    uint16_t len = 0;
    std::memcpy(&len, frame.data() + 14, 2);
    Bytes padded(frame);
    padded.resize(frame.size() + 4);
    for (size_t off = 0; off < len; off += 4) {
        if ((padded[16 + off] & 0x0f) == wanted) {
            out.insert(out.end(), padded.begin() + 16 + off, padded.begin() + 20 + off);
        }
    }
    const uint16_t kept = static_cast<uint16_t>(out.size() - 16);
    std::memcpy(out.data() + 14, &kept, 2);
    out.insert(out.end(), frame.begin() + 16 + len, frame.begin() + 20 + len);
    return out;
}

uint64_t seq_of(const Bytes &frame) {
    uint64_t seq = 0;
    std::memcpy(&seq, frame.data() + 4, 8);
    return seq;
}

class FilterModeTest : public ktdaq_test::FilterLoopTest {
  protected:
    void start(const EngineConfig &config) {
        config_ = config;
        start_engine(config);
        start_loop(kRing);
    }
    // Small frames of 1:1 at `rate` frames/s, and the channel `name` on `port` for them.
    void start_small_frames(int rate, const std::string &name, uint16_t port) {
        EngineConfig config;
        config.sources = {{1, 1}};
        config.payload_sizes = {64};
        config.rate = rate;
        start(config);
        ASSERT_TRUE(
            configure("0=" + name + ";1=" + std::to_string(port) + ";2=1;3=1;5=kt_output_filter"));
    }
    // The source of the frame with this sequence number.
    std::pair<int, int> source_of(uint64_t seq) const {
        const auto &s = config_.sources[seq % config_.sources.size()];
        return {s.first, s.second};
    }
    EngineConfig config_;
};

// While it holds, the kernel keeps what a corked socket on the loopback interface holds
// back for 30 s instead of sending it after 200 ms: a frame that the loop leaves corked
// then never reaches its client within a test's wait. Changes the route of 127.0.0.1 in
// the test's own network namespace, and puts it back.
class SlowCorkRelease {
  public:
    SlowCorkRelease() { ok_ = route({"rto_min", "30s"}); }
    ~SlowCorkRelease() { route({}); }
    bool ok() const { return ok_; }
    const std::string &error() const { return error_; }

  private:
    bool route(const kttest::Args &metrics) {
        kttest::Args command{"ip",     "route", "replace", "local", "127.0.0.1",
                             "dev",    "lo",    "table",   "local", "proto",
                             "kernel", "scope", "host",    "src",   "127.0.0.1"};
        command.insert(command.end(), metrics.begin(), metrics.end());
        const kttest::Result r = kttest::run(command);
        error_ = r.err;
        return r.status == 0;
    }
    bool ok_ = false;
    std::string error_;
};

// Every frame the engine writes that the channel takes and sends (a payload), in order.
std::vector<uint64_t> expected_seqs(const EngineConfig &config, int module, int channel) {
    std::vector<uint64_t> seqs;
    for (uint64_t s = 0; s < config.frames; ++s) {
        const ktsim::FrameFields f = ktsim::engine_frame(config, s);
        if ((module == 255 || (f.module_id == module && f.channel_id == channel)) &&
            f.payload_len != 0) {
            seqs.push_back(s);
        }
    }
    return seqs;
}

// Reads the frames of `seqs` from `client` in their order and compares them with what
// the engine wrote; the first difference, or "".
std::string receive_all(ChannelClient &client, const EngineConfig &config,
                        const std::vector<uint64_t> &seqs) {
    for (size_t n = 0; n < seqs.size(); ++n) {
        Bytes frame;
        if (!client.next_frame(&frame)) {
            return "frame " + std::to_string(n) + " of " + std::to_string(seqs.size()) + " (seq " +
                   std::to_string(seqs[n]) + ") never came";
        }
        Bytes expected(KT_SLOT_SIZE);
        ktsim::write_engine_frame(expected.data(), config, seqs[n]);
        expected.resize(ktsim::engine_frame(config, seqs[n]).payload_len + 20u);
        if (frame != expected) {
            return "frame " + std::to_string(n) + ": seq " + std::to_string(seq_of(frame)) +
                   " where " + std::to_string(seqs[n]) + " was due, or other bytes";
        }
    }
    return "";
}

class FilterCorkTest : public FilterModeTest {
  protected:
    // The loop with `channels` channels on ports 9800 on, the even ones taking every
    // frame, the odd ones 1:1, each with its client; the engine then writes `frames`
    // frames of 1:1 and 2:1 in turn as fast as the ring takes them, and stops.
    void serve(int channels, uint64_t frames) {
        ASSERT_TRUE(slow_release_.ok()) << slow_release_.error();
        start_loop(kRing);
        for (int i = 0; i < channels; ++i) {
            const std::string sources = i % 2 == 0 ? "2=255;3=255" : "2=1;3=1";
            ASSERT_TRUE(configure("0=c" + std::to_string(i) + ";1=" + std::to_string(9800 + i) +
                                  ";" + sources + ";5=kt_output_filter"));
            clients_.push_back(std::make_unique<ChannelClient>(static_cast<uint16_t>(9800 + i)));
        }
        ASSERT_TRUE(loop_->wait_output("accept connect", 5000, channels)) << loop_->output();
        config_.sources = {{1, 1}, {2, 1}};
        config_.payload_sizes = {64, 2028, 300, 7, 1500, 0};
        config_.frames = frames;
        config_.rate = 0;
        start_engine(config_);
    }
    // Each client receives, side by side, all that its channel takes.
    void expect_everything_delivered() {
        std::vector<std::string> errors(clients_.size());
        std::vector<std::thread> readers;
        for (size_t i = 0; i < clients_.size(); ++i) {
            readers.emplace_back([&, i] {
                const auto seqs =
                    i % 2 == 0 ? expected_seqs(config_, 255, 255) : expected_seqs(config_, 1, 1);
                errors[i] = receive_all(*clients_[i], config_, seqs);
            });
        }
        for (std::thread &t : readers) {
            t.join();
        }
        for (size_t i = 0; i < errors.size(); ++i) {
            EXPECT_EQ(errors[i], "") << "client of c" << i;
        }
    }
    SlowCorkRelease slow_release_;
    std::vector<std::unique_ptr<ChannelClient>> clients_;
};

// Batches of up to 100 frames to eight clients: each gets exactly the bytes of its frames
// in ring order, and the last batch before the ring runs empty arrives without a frame
// after it to push it out.
TEST_F(FilterCorkTest, BatchesReachEveryClientWholeInOrderAndTheLastOneAtOnce) {
    serve(8, 3000);
    expect_everything_delivered();
}

// One frame, then nothing: the client receives it.
TEST_F(FilterCorkTest, OneFrameThenAnIdleRingReachesTheClient) {
    serve(2, 1);
    expect_everything_delivered();
}

TEST_F(FilterModeTest, WorkedExampleDeliversReducedFramesOfItsSourcesOnly) {
    EngineConfig config;
    config.sources = {{2, 1}, {2, 3}, {2, 4}, {5, 3}};
    config.payload_sizes = {64, 200, 2028, 6, 0};
    config.high_bits = true;
    config.rate = 20000;
    start(config);
    ASSERT_TRUE(
        configure("0=ch1;1=9000;2=2;3=1,3;4=3;5=kt_R507_datalogger_filter,kt_output_filter"))
        << loop_->output() << loop_->errors();
    ASSERT_TRUE(
        loop_->wait_output("create channel : ch1, port = 9000, sub_filters : 2:1, 2:3\n", 5000))
        << loop_->output() << loop_->errors();
    ChannelClient client(9000);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(loop_->wait_output("port : 9000, accept connect 127.0.0.1\n", 5000));

    uint64_t previous = 0;
    for (int n = 0; n < 300; ++n) {
        Bytes frame;
        ASSERT_TRUE(client.next_frame(&frame)) << "after " << n << " frames";
        const uint64_t seq = seq_of(frame);
        const auto [module, channel] = source_of(seq);
        ASSERT_EQ(module, 2);
        ASSERT_TRUE(channel == 1 || channel == 3) << "channel " << channel;
        ASSERT_EQ(frame, reduced(original_of(frame, config), 3)) << "frame " << seq;
        ASSERT_GT(frame[14] | frame[15], 0) << "an empty frame was sent";
        if (n > 0) {
            // Every frame of the channel's sources in between reduced to nothing.
            ASSERT_GT(seq, previous);
            for (uint64_t s = previous + 1; s < seq; ++s) {
                const auto [m, c] = source_of(s);
                if (m != 2 || (c != 1 && c != 3)) {
                    continue;
                }
                Bytes skipped(KT_SLOT_SIZE);
                const ktsim::FrameFields fields = ktsim::engine_frame(config, s);
                ktsim::write_frame(skipped.data(), fields);
                skipped.resize(fields.payload_len + 20u);
                uint16_t kept = 0;
                const Bytes r = reduced(skipped, 3);
                std::memcpy(&kept, r.data() + 14, 2);
                ASSERT_EQ(kept, 0) << "frame " << s << " was lost";
            }
        }
        previous = seq;
    }
}

TEST_F(FilterModeTest, EveryFrameChannelAndSlotOrderSurviveReplacement) {
    EngineConfig config;
    config.sources = {{2, 1}, {7, 9}};
    config.payload_sizes = {400, 2028};
    config.rate = 20000;
    start(config);
    // Slot 0 takes every frame and reduces it in place for the channels behind it.
    ASSERT_TRUE(configure("0=all;1=9101;2=255;3=255;4=3;5=kt_R507_datalogger_filter"));
    ASSERT_TRUE(configure("0=x;1=9102;2=2;3=1;5=kt_output_filter"));
    ASSERT_TRUE(configure("0=every;1=9104;2=255;3=255;5=kt_output_filter"));
    // Slot 0 filters only once it has a client. A frame whose scan began before that may
    // still reach x unreduced, so x's frames count from the first one written after it.
    ChannelClient all(9101);
    ASSERT_TRUE(loop_->wait_output("port : 9101, accept connect", 5000));
    const uint64_t first_reduced = engine_->stats().frames_written;
    ChannelClient x(9102);
    ASSERT_TRUE(loop_->wait_output("accept connect", 5000, 2));
    auto expect_reduced = [&](ChannelClient &client, int frames) {
        for (int n = 0; n < frames; ++n) {
            Bytes frame;
            ASSERT_TRUE(client.next_frame(&frame));
            if (seq_of(frame) < first_reduced) {
                --n;
                continue;
            }
            ASSERT_EQ(frame[0], 2);
            ASSERT_EQ(frame, reduced(original_of(frame, config), 3));
        }
    };
    expect_reduced(x, 50);

    // The every-frame channel in slot 2 sees every source, already reduced by slot 0.
    ChannelClient every(9104);
    ASSERT_TRUE(loop_->wait_output("accept connect", 5000, 3));
    bool saw_other_module = false;
    for (int n = 0; n < 100; ++n) {
        Bytes frame;
        ASSERT_TRUE(every.next_frame(&frame));
        ASSERT_EQ(frame, reduced(original_of(frame, config), 3));
        saw_other_module |= frame[0] == 7;
    }
    EXPECT_TRUE(saw_other_module);

    // Replaced under the same name, the channel keeps slot 0: x still gets reduced frames.
    ASSERT_TRUE(configure("0=all;1=9103;2=255;3=255;4=3;5=kt_R507_datalogger_filter"));
    ASSERT_TRUE(loop_->wait_output("create channel : all, port = 9103", 5000));
    EXPECT_TRUE(all.closed_by_peer(5000)) << "the replaced channel's client stays connected";
    ChannelClient all2(9103);
    ASSERT_TRUE(loop_->wait_output("accept connect", 5000, 4));
    ChannelClient x_again(9102);  // replaces x's client
    ASSERT_TRUE(x.closed_by_peer(5000));
    expect_reduced(x_again, 50);
}

TEST_F(FilterModeTest, ChainOfSixteenRunsToItsEnd) {
    EngineConfig config;
    config.sources = {{4, 2}};
    config.payload_sizes = {1000};
    config.rate = 10000;
    start(config);
    std::string names;
    for (int i = 0; i < 15; ++i) {
        names += "kt_R507_datalogger_filter,";
    }
    // The 16th filter sends; a 17th name is never looked up, so it cannot end the process.
    ASSERT_TRUE(configure("0=long;1=9200;2=4;3=2;4=2;5=" + names + "kt_output_filter,nosuch"));
    ChannelClient client(9200);
    for (int n = 0; n < 20; ++n) {
        Bytes frame;
        ASSERT_TRUE(client.next_frame(&frame)) << loop_->errors();
        ASSERT_EQ(frame, reduced(original_of(frame, config), 2));
    }
    EXPECT_EQ(loop_->wait_exit(0), -1);
}

TEST_F(FilterModeTest, UnknownFilterEndsTheProcessWithTheLoaderText) {
    EngineConfig config;
    config.rate = 1000;
    start(config);
    configure("0=bad;1=9300;3=1;5=kt_output_filter,nosuch_filter", 1000);
    EXPECT_EQ(loop_->wait_exit(10000), 1);
    EXPECT_NE(loop_->errors().find("nosuch_filter"), std::string::npos) << loop_->errors();
}

// dlsym on the plug-in also finds what its libraries define; none of that is a filter.
TEST_F(FilterModeTest, NameOutsideThePluginIsRefusedAsUnknown) {
    EngineConfig config;
    config.rate = 1000;
    for (const std::string name : {"free", "abort", "stdout"}) {
        SCOPED_TRACE(name);
        start(config);
        configure("0=bad;1=9310;2=1;3=1;5=kt_output_filter," + name, 1000);
        EXPECT_EQ(loop_->wait_exit(10000), 1);
        EXPECT_NE(loop_->errors().find("undefined symbol: " + name + "\n"), std::string::npos)
            << loop_->errors();
        EXPECT_EQ(loop_->output().find("create channel"), std::string::npos);
        loop_.reset();
        engine_.reset();
    }
}

TEST_F(FilterModeTest, FailedMessagesLeaveServingChannelsAsTheyWere) {
    start_small_frames(10000, "ch1", 9400);
    ChannelClient client(9400);
    ASSERT_TRUE(loop_->wait_output("port : 9400, accept connect", 5000));

    // Same name, same port: the new socket cannot bind while the old one listens.
    ASSERT_TRUE(configure("0=ch1;1=9400;2=1;3=5;5=kt_output_filter"));
    // Another name on a taken port.
    ASSERT_TRUE(configure("0=ch2;1=9400;2=1;3=1;5=kt_output_filter"));
    ASSERT_TRUE(configure("1=9401;2=1;3=1"));        // no name
    ASSERT_TRUE(configure(std::string(1100, 'x')));  // longer than 1024 bytes
    EXPECT_TRUE(loop_->wait_output("kt_create_channel no channel name\n", 5000));
    EXPECT_TRUE(loop_->wait_output("kt_create_channel message too long\n", 5000));
    const std::string errors = loop_->errors();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
    EXPECT_NE(errors.find("bind: Address already in use"), std::string::npos) << errors;
    EXPECT_EQ(loop_->output().find("create channel : ch2"), std::string::npos) << loop_->output();

    for (int n = 0; n < 20; ++n) {
        Bytes frame;
        ASSERT_TRUE(client.next_frame(&frame));
        EXPECT_TRUE(ktsim::check_frame(frame.data(), frame.size()).ok);
    }
    client.close_now();
    EXPECT_TRUE(loop_->wait_output("port : 9400 connection close\n", 5000));
}

TEST_F(FilterModeTest, NoRoomForA129thChannel) {
    EngineConfig config;
    config.rate = 1000;
    start(config);
    for (int i = 0; i < 128; ++i) {
        ASSERT_TRUE(configure("0=c" + std::to_string(i) + ";2=3"));
    }
    ASSERT_TRUE(configure("0=extra;2=3"));
    EXPECT_TRUE(loop_->wait_output("kt_create_channel no free channel slot\n", 5000));
    // A known name still finds its slot.
    ASSERT_TRUE(configure("0=c5;1=9500;2=3;3=1"));
    EXPECT_TRUE(loop_->wait_output("create channel : c5, port = 9500, sub_filters : 3:1\n", 5000));
}

TEST_F(FilterModeTest, ReplacingChannelsReleasesSocketsAndThreads) {
    start_small_frames(5000, "ch", 9600);
    ASSERT_TRUE(loop_->wait_output("create channel : ch,", 5000));
    const int fds = loop_->settled_descriptors();
    const int threads = loop_->threads();
    for (int round = 0; round < 30; ++round) {
        const std::string port = std::to_string(9601 + round % 2);
        // Repeated keys, a failing key 3 and clients that come and go.
        ASSERT_TRUE(configure("0=x;0=ch;3=1;1=" + port + ";2=1;3=1;4=a;4=b;5=kt_output_filter"));
        ChannelClient client(static_cast<uint16_t>(9601 + round % 2));
        // The port of the channel in service: the bind fails, nothing changes.
        ASSERT_TRUE(configure("0=ch;1=" + port + ";2=1;3=1"));
    }
    ASSERT_TRUE(loop_->wait_output("create channel : ch,", 5000, 31));
    // The last client's close is handled by its acceptor in its own time.
    EXPECT_EQ(loop_->settled_descriptors(), fds);
    EXPECT_EQ(loop_->threads(), threads);
}

}  // namespace
