// The acknowledgements of a subscriber against a REP socket of the test: one empty request
// per frame, waited for, when every frame is acknowledged on its own; with a count K, the
// request texts, one request at most in flight while frames keep coming, the rest at the
// end, and a reply that never comes.
#include <gtest/gtest.h>
#include <zmq.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "acknowledger.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using kttool::Acknowledger;

constexpr int kReplyTimeoutMs = 2500;

// A publisher's acknowledgement endpoint on a port of its own; the test takes each request
// and answers it when it chooses.
class Peer {
  public:
    Peer() : context_(zmq_ctx_new()), rep_(zmq_socket(context_, ZMQ_REP)) {
        const int linger = 0, timeout = 10000;
        zmq_setsockopt(rep_, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(rep_, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        zmq_bind(rep_, "tcp://127.0.0.1:*");
        char endpoint[64];
        size_t size = sizeof endpoint;
        zmq_getsockopt(rep_, ZMQ_LAST_ENDPOINT, endpoint, &size);
        endpoint_ = endpoint;
    }
    ~Peer() {
        zmq_close(rep_);
        zmq_ctx_term(context_);
    }
    void *context() const { return context_; }
    const std::string &endpoint() const { return endpoint_; }

    // The next request's text (one part); "<none>" when none comes within 10 s.
    std::string take() {
        char text[64];
        const int n = zmq_recv(rep_, text, sizeof text, 0);
        return n < 0 ? "<none>" : std::string(text, static_cast<size_t>(n));
    }
    void answer() { zmq_send(rep_, "", 0, 0); }
    // Takes and answers `n` requests in a thread of its own, for the calls that wait.
    std::thread answer_in_background(int n, std::vector<std::string> *texts) {
        return std::thread([this, n, texts] {
            for (int i = 0; i < n; ++i) {
                texts->push_back(take());
                answer();
            }
        });
    }

  private:
    void *context_;
    void *rep_;
    std::string endpoint_;
};

// Waits for the reply of the request in flight and takes it.
bool take_reply(Acknowledger &acker) {
    return kttest::wait_until(
        [&] {
            acker.service(Acknowledger::Clock::now());
            return !acker.awaiting();
        },
        10s);
}

TEST(Acknowledger, EveryFrameOnItsOwnSendsAnEmptyRequestAndWaitsForItsReply) {
    Peer peer;
    Acknowledger acker(peer.context(), peer.endpoint(), {}, 1, kReplyTimeoutMs);
    std::vector<std::string> texts;
    std::thread replier = peer.answer_in_background(3, &texts);
    for (uint64_t i = 1; i <= 3; ++i) {
        acker.frame();
        EXPECT_EQ(acker.acked(), i);  // answered before frame() returned
        EXPECT_FALSE(acker.awaiting());
    }
    replier.join();
    EXPECT_EQ(texts, (std::vector<std::string>{"", "", ""}));
    acker.finish();
    EXPECT_EQ(acker.requests(), 3u);
    EXPECT_EQ(acker.failed(), 0u);
}

TEST(Acknowledger, CountedRequestsCarryKFramesOneInFlightAndTheRestAtTheEnd) {
    Peer peer;
    Acknowledger acker(peer.context(), peer.endpoint(), {}, 4, kReplyTimeoutMs);
    for (int i = 0; i < 3; ++i) {
        acker.frame();
    }
    EXPECT_EQ(acker.requests(), 0u);
    EXPECT_FALSE(acker.awaiting());
    acker.frame();
    EXPECT_TRUE(acker.awaiting());
    EXPECT_EQ(peer.take(), "4");

    // Frames go on coming while the reply is held back: counted, none sent. A REQ socket
    // would refuse a second request, which would show as failed.
    for (int i = 0; i < 9; ++i) {
        acker.frame();
        acker.service(Acknowledger::Clock::now());
    }
    EXPECT_EQ(acker.requests(), 1u);
    EXPECT_EQ(acker.pending(), 9u);
    EXPECT_EQ(acker.acked(), 0u);

    // Each reply lets out the next K at once, while K are due.
    peer.answer();
    ASSERT_TRUE(kttest::wait_until(
        [&] {
            acker.service(Acknowledger::Clock::now());
            return acker.acked() == 4;
        },
        10s));
    EXPECT_TRUE(acker.awaiting());
    EXPECT_EQ(peer.take(), "4");
    EXPECT_EQ(acker.pending(), 5u);
    peer.answer();
    ASSERT_TRUE(kttest::wait_until(
        [&] {
            acker.service(Acknowledger::Clock::now());
            return acker.acked() == 8;
        },
        10s));
    EXPECT_EQ(peer.take(), "4");
    EXPECT_EQ(acker.pending(), 1u);

    // The end waits for the reply in flight, then sends the one frame left.
    std::vector<std::string> texts;
    peer.answer();
    std::thread replier = peer.answer_in_background(1, &texts);
    acker.finish();
    replier.join();
    EXPECT_EQ(texts, (std::vector<std::string>{"1"}));
    EXPECT_EQ(acker.acked(), 13u);
    EXPECT_EQ(acker.failed(), 0u);
    EXPECT_EQ(acker.requests(), 4u);
    EXPECT_EQ(acker.pending(), 0u);
}

TEST(Acknowledger, TheEndSendsSeveralRequestsWhenMoreThanKAreLeft) {
    Peer peer;
    Acknowledger acker(peer.context(), peer.endpoint(), {}, 16, kReplyTimeoutMs);
    for (int i = 0; i < 16 + 16 + 16 + 5; ++i) {
        acker.frame();  // the first 16 go out, their reply held back
    }
    EXPECT_EQ(peer.take(), "16");
    EXPECT_EQ(acker.pending(), 37u);
    std::vector<std::string> texts;
    peer.answer();
    std::thread replier = peer.answer_in_background(3, &texts);
    acker.finish();
    replier.join();
    EXPECT_EQ(texts, (std::vector<std::string>{"16", "16", "5"}));
    EXPECT_EQ(acker.acked(), 53u);
    EXPECT_EQ(acker.requests(), 4u);
}

TEST(Acknowledger, AReplyThatNeverComesCostsItsFramesAndTheSocketIsMadeAnew) {
    Peer peer;
    constexpr int kShortTimeoutMs = 200;  // the test waits it out
    Acknowledger acker(peer.context(), peer.endpoint(), {}, 2, kShortTimeoutMs);
    acker.frame();
    acker.frame();
    EXPECT_EQ(peer.take(), "2");
    EXPECT_GT(acker.wait_ms(Acknowledger::Clock::now()), 0);
    ASSERT_TRUE(kttest::wait_until(
        [&] {
            acker.service(Acknowledger::Clock::now());
            return !acker.awaiting();
        },
        10s));
    EXPECT_EQ(acker.failed(), 2u);
    EXPECT_EQ(acker.acked(), 0u);
    EXPECT_EQ(acker.wait_ms(Acknowledger::Clock::now()), -1);
    // The late reply goes to the closed socket; the new one is heard.
    peer.answer();
    acker.frame();
    acker.frame();
    EXPECT_EQ(peer.take(), "2");
    peer.answer();
    ASSERT_TRUE(take_reply(acker));
    EXPECT_EQ(acker.acked(), 2u);
    EXPECT_EQ(acker.failed(), 2u);

    // At the end a publisher that does not answer costs one time-out, and what was left.
    acker.frame();
    acker.frame();
    acker.frame();
    EXPECT_EQ(peer.take(), "2");
    acker.finish();
    EXPECT_EQ(acker.acked(), 2u);
    EXPECT_EQ(acker.failed(), 5u);
    EXPECT_EQ(acker.pending(), 0u);
}

}  // namespace
