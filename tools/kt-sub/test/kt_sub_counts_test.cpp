// kt-sub against a publisher of the test's own that sends crafted frames: duplicates,
// reordered and skipped msg_ids, a frame under another source's topic, a sequence number
// going backwards, a corrupted frame; kt-sub must count each where it belongs and fail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crafted_publisher.h"
#include "process.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;

using ktsubscriber_test::Crafted;
using ktsubscriber_test::CraftedPublisher;
using ktsubscriber_test::frame;

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
    // The first request may still be on its way; no second can come before its reply.
    ASSERT_TRUE(kttest::wait_until([&] { return !pub.requests().empty(); }, 10s));
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
