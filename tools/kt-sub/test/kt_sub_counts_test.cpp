// kt-sub against a publisher of the test's own that sends crafted frames: duplicates,
// reordered and skipped msg_ids, a frame under another source's topic, a sequence number
// going backwards, a corrupted frame; kt-sub must count each where it belongs and fail.
#include <gtest/gtest.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_pattern.h"
#include "kt_daq.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

struct Crafted {
    std::string topic;
    ktsim::FrameFields fields;
    bool corrupt = false;  // one payload byte flipped after the trailer was computed
};

Crafted frame(const char *topic, uint8_t module, uint8_t channel, uint16_t msg_id, uint64_t seq,
              bool corrupt = false) {
    return {topic, {module, channel, 0, msg_id, seq, 16}, corrupt};
}

// The publish mode's two endpoints, served by the test: an XPUB socket, which tells when
// kt-sub's subscription has arrived, and a REP socket answering every acknowledgement.
class CraftedPublisher {
  public:
    CraftedPublisher() : context_(zmq_ctx_new()) {
        pub_ = zmq_socket(context_, ZMQ_XPUB);
        rep_ = zmq_socket(context_, ZMQ_REP);
        const int linger = 0;
        zmq_setsockopt(pub_, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(rep_, ZMQ_LINGER, &linger, sizeof linger);
        bound_ =
            zmq_bind(pub_, KT_DAQ_PUB_ENDPOINT) == 0 && zmq_bind(rep_, KT_DAQ_ACK_ENDPOINT) == 0;
        replier_ = std::thread([this] { answer_acks(); });
    }
    ~CraftedPublisher() {
        stop_ = true;
        replier_.join();
        zmq_close(pub_);
        zmq_close(rep_);
        zmq_ctx_term(context_);
    }
    bool bound() const { return bound_; }

    // Waits until a subscription arrives; false after 10 s.
    bool wait_subscribed() {
        const int timeout = 10000;
        zmq_setsockopt(pub_, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        char message[64];
        const int n = zmq_recv(pub_, message, sizeof message, 0);
        return n > 0 && message[0] == 1;
    }

    void send(const Crafted &c) {
        std::vector<uint8_t> bytes(c.fields.payload_len + 20u);
        ktsim::write_frame(bytes.data(), c.fields);
        if (c.corrupt) {
            bytes[16] ^= 0x01;
        }
        zmq_send(pub_, c.topic.data(), c.topic.size(), ZMQ_SNDMORE);
        zmq_send(pub_, bytes.data(), bytes.size(), 0);
    }

    // Frames acknowledged, as a publisher with a wide window counts them: a request of the
    // digits of a count acknowledges that many, any other request one.
    int acks() const { return acks_; }
    // The requests' texts so far.
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // While held, requests are taken but not answered.
    void hold_replies(bool hold) { hold_ = hold; }

  private:
    void answer_acks() {
        bool unanswered = false;
        while (!stop_) {
            if (unanswered && !hold_) {
                zmq_send(rep_, "", 0, 0);
                unanswered = false;
            }
            zmq_pollitem_t item{rep_, 0, ZMQ_POLLIN, 0};
            if (unanswered || zmq_poll(&item, 1, 50) <= 0) {
                std::this_thread::sleep_for(unanswered ? 5ms : 0ms);
                continue;
            }
            char request[16];
            const int n = zmq_recv(rep_, request, sizeof request, 0);
            if (n >= 0) {
                const std::string text(request, static_cast<size_t>(std::min<int>(n, 16)));
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(text);
                }
                const bool counted = !text.empty() && text[0] != '0' &&
                                     text.find_first_not_of("0123456789") == std::string::npos;
                acks_ += counted ? std::stoi(text) : 1;  // before the reply, which lets kt-sub
                unanswered = true;                       // go on and finish
            }
        }
    }

    void *context_;
    void *pub_ = nullptr;
    void *rep_ = nullptr;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> acks_{0};
    std::atomic<bool> hold_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread replier_;
};

// Runs kt-sub with `args` until it has taken every crafted frame; its exit status, and in
// `*output` its summary (standard error).
int run_sub(const std::vector<Crafted> &frames, std::vector<std::string> args, std::string *output,
            std::vector<std::string> *requests = nullptr) {
    CraftedPublisher pub;
    EXPECT_TRUE(pub.bound()) << "endpoints in use";
    args.insert(args.end(), {"--quiet", "--count", std::to_string(frames.size())});
    kttest::Process sub(kttest::program(KT_SUB_PATH, args));
    EXPECT_TRUE(pub.wait_subscribed());
    for (const Crafted &c : frames) {
        pub.send(c);
    }
    const int status = sub.wait(20s);
    *output = sub.errors();
    EXPECT_EQ(pub.acks(), static_cast<int>(frames.size())) << *output;
    if (requests != nullptr) {
        *requests = pub.requests();
    }
    return status;
}

// Source 1:1 repeats a frame, swaps a pair, skips two and sends one under 1:2's topic;
// source 2:3 wraps its msg_id, then sends a frame whose sequence number is behind and a
// corrupted one. Only --verify sees those two.
const std::vector<Crafted> kMixed = {
    frame("frame://1:1", 1, 1, 0, 0),        frame("frame://1:1", 1, 1, 1, 1),
    frame("frame://1:1", 1, 1, 1, 1),        frame("frame://2:3", 2, 3, 65535, 2),
    frame("frame://1:1", 1, 1, 3, 4),        frame("frame://1:1", 1, 1, 2, 3),
    frame("frame://2:3", 2, 3, 0, 5),        frame("frame://1:1", 1, 1, 6, 8),
    frame("frame://1:2", 1, 1, 7, 9),        frame("frame://2:3", 2, 3, 1, 6),
    frame("frame://2:3", 2, 3, 2, 10, true),
};

TEST(SubscriberCounts, DisorderWrongTopicAndLossAreCountedPerSource) {
    std::string out;
    EXPECT_EQ(run_sub(kMixed, {}, &out), 1) << out;
    EXPECT_NE(out.find("kt-sub: 11 frames in"), std::string::npos) << out;
    EXPECT_NE(out.find("11 acknowledged, 0 without reply, 0 malformed"), std::string::npos) << out;
    EXPECT_NE(out.find("kt-sub: lost 2, out of order 2 (duplicates 1), wrong topic 1, bad 0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("frame://1:1  7 frames, lost 2, out of order 2 (duplicates 1), "
                       "wrong topic 1\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("frame://2:3  4 frames, lost 0, out of order 0 (duplicates 0), "
                       "wrong topic 0\n"),
              std::string::npos)
        << out;

    EXPECT_EQ(run_sub(kMixed, {"--verify"}, &out), 1) << out;
    EXPECT_NE(out.find("kt-sub: lost 2, out of order 3 (duplicates 1), wrong topic 1, bad 1\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("frame://2:3  4 frames, lost 0, out of order 1 (duplicates 0), "
                       "wrong topic 0\n"),
              std::string::npos)
        << out;
}

TEST(SubscriberCounts, LossAloneDoesNotFailButEachOtherFindingDoes) {
    // A restarted publisher skips frames: counted, and not a failure.
    const std::vector<Crafted> gap = {frame("frame://4:5", 4, 5, 0, 0),
                                      frame("frame://4:5", 4, 5, 1, 1),
                                      frame("frame://4:5", 4, 5, 5, 9)};
    std::string out;
    EXPECT_EQ(run_sub(gap, {"4:5", "--verify"}, &out), 0) << out;
    EXPECT_NE(out.find("kt-sub: lost 3, out of order 0 (duplicates 0), wrong topic 0, bad 0\n"),
              std::string::npos)
        << out;

    const std::vector<std::vector<Crafted>> failing = {
        {frame("frame://4:5", 4, 5, 0, 0), frame("frame://4:5", 4, 5, 0, 0)},
        {frame("frame://4:5", 4, 5, 0, 0), frame("frame://4:5", 4, 6, 1, 1)},
        {frame("frame://4:5", 4, 5, 0, 0), frame("frame://4:5", 4, 5, 1, 1, true)},
    };
    for (const auto &frames : failing) {
        EXPECT_EQ(run_sub(frames, {"all", "--verify"}, &out), 1) << out;
    }
}

// Frames 0..n-1 of source 1:1, in order.
std::vector<Crafted> in_order(int n) {
    std::vector<Crafted> frames;
    for (int i = 0; i < n; ++i) {
        frames.push_back(frame("frame://1:1", 1, 1, static_cast<uint16_t>(i), i));
    }
    return frames;
}

TEST(SubscriberAcks, OneEmptyRequestPerFrameUnlessCountedAcknowledgementsAreAskedFor) {
    std::string out;
    std::vector<std::string> requests;
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, std::vector<std::string>{"--ack-every", "1"}}) {
        EXPECT_EQ(run_sub(in_order(10), args, &out, &requests), 0) << out;
        EXPECT_EQ(requests, std::vector<std::string>(10, "")) << out;
        EXPECT_NE(out.find("10 acknowledged, 0 without reply"), std::string::npos) << out;
    }

    // One request per K frames and one for the rest at the end, frames counted alike.
    EXPECT_EQ(run_sub(in_order(10), {"--ack-every", "4"}, &out, &requests), 0) << out;
    EXPECT_EQ(requests, (std::vector<std::string>{"4", "4", "2"})) << out;
    EXPECT_NE(out.find("10 acknowledged, 0 without reply"), std::string::npos) << out;
    EXPECT_NE(out.find("acknowledging every 4"), std::string::npos) << out;
    EXPECT_EQ(run_sub(in_order(32), {"1:1", "--ack-every", "16"}, &out, &requests), 0) << out;
    EXPECT_EQ(requests, (std::vector<std::string>{"16", "16"})) << out;
}

TEST(SubscriberAcks, FramesKeepComingWhileACountedAcknowledgementAwaitsItsReply) {
    CraftedPublisher pub;
    ASSERT_TRUE(pub.bound()) << "endpoints in use";
    pub.hold_replies(true);
    kttest::Process sub(
        kttest::program(KT_SUB_PATH, {"--ack-every", "4", "--count", "40", "--quiet", "--dump"}));
    ASSERT_TRUE(pub.wait_subscribed());
    for (const Crafted &c : in_order(40)) {
        pub.send(c);
    }
    // A dumped frame takes about 250 bytes and standard output goes out 4096 at a time: a
    // subscriber that waited for the reply after its first four frames would show none.
    ASSERT_TRUE(sub.wait_output("frame://", 10s, 12)) << sub.errors();
    EXPECT_EQ(pub.requests(), std::vector<std::string>{"4"});
    pub.hold_replies(false);
    ASSERT_EQ(sub.wait(20s), 0) << sub.errors();
    EXPECT_EQ(pub.requests(), std::vector<std::string>(10, "4"));
    EXPECT_EQ(pub.acks(), 40);
    EXPECT_NE(sub.errors().find("40 acknowledged, 0 without reply"), std::string::npos)
        << sub.errors();
}

TEST(SubscriberAcks, ACountOutsideItsRangeIsAUsageError) {
    for (const char *bad : {"0", "1025", "-4", "4x", ""}) {
        const kttest::Result r =
            kttest::run(kttest::program(KT_SUB_PATH, {"--ack-every", bad}), 10s);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find(std::string("kt-sub: bad --ack-every ") + bad +
                             ": give a whole number from 1 to 1024\n"),
                  std::string::npos)
            << r.err;
    }
    const kttest::Result both =
        kttest::run(kttest::program(KT_SUB_PATH, {"--no-ack", "--ack-every", "8"}), 10s);
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("--ack-every and --no-ack exclude each other"), std::string::npos)
        << both.err;
}

}  // namespace
