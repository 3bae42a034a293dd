// The baseline publisher delivers what the loop must deliver: every frame of the ring,
// once, intact and in order, to a subscriber that keeps up, with and without
// acknowledgements. A baseline that dropped frames would make every ratio against it
// meaningless.
#include <gtest/gtest.h>
#include <zmq.h>

#include <cstring>
#include <memory>
#include <vector>

#include "frame_pattern.h"
#include "helper.h"
#include "kt_daq.h"
#include "plain_publisher.h"
#include "process.h"
#include "sim_fixture.h"

namespace ktbench {
namespace {

constexpr uint32_t kRing = 512 * KT_SLOT_SIZE;
constexpr uint64_t kFrames = 3000;

// The baseline publisher: DEVICE ACK.
KT_TEST_HELPER(plain_publisher) {
    if (argc != 2) {
        return 2;
    }
    run_plain_publisher(argv[0], kRing, strcmp(argv[1], "1") == 0);
}

class PlainPublisherTest : public ktsim::SimDeviceTest, public ::testing::WithParamInterface<bool> {
  protected:
    void TearDown() override {
        publisher_.reset();
        SimDeviceTest::TearDown();
    }
    std::unique_ptr<kttest::Process> publisher_;
};

TEST_P(PlainPublisherTest, DeliversEveryFrameOnceIntactInOrder) {
    const bool ack = GetParam();
    publisher_ = std::make_unique<kttest::Process>(
        kttest::helper("plain_publisher", {device_->path(), ack ? "1" : "0"}));
    void *context = zmq_ctx_new();
    void *sub = zmq_socket(context, ZMQ_SUB);
    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
    ASSERT_EQ(zmq_connect(sub, KT_DAQ_PUB_ENDPOINT), 0);
    void *req = zmq_socket(context, ZMQ_REQ);
    ASSERT_EQ(zmq_connect(req, KT_DAQ_ACK_ENDPOINT), 0);
    ktsim::EngineConfig config;
    config.payload_sizes = {64, 2028, 300};
    // The engine has no end: frames published before the subscription has reached the
    // publisher go to nobody.
    start_engine(config);

    // From the first delivered frame on, none may be missing.
    std::vector<uint8_t> frame(KT_SLOT_SIZE + 1);
    char topic[32];
    int64_t last = -1;
    uint64_t received = 0;
    while (received < kFrames) {
        zmq_pollitem_t item{sub, 0, ZMQ_POLLIN, 0};
        ASSERT_EQ(zmq_poll(&item, 1, 10000), 1) << "after frame " << last;
        const int topic_length = zmq_recv(sub, topic, sizeof topic - 1, 0);
        ASSERT_GT(topic_length, 0);
        topic[topic_length] = '\0';
        EXPECT_STREQ(topic, "frame://1:1");
        const int length = zmq_recv(sub, frame.data(), frame.size(), 0);
        ASSERT_GT(length, 0);
        const ktsim::FrameCheck check = ktsim::check_frame(frame.data(), length);
        ASSERT_TRUE(check.ok) << check.error;
        const auto seq = static_cast<int64_t>(check.fields.seq);
        if (last >= 0) {
            ASSERT_EQ(seq, last + 1);
        }
        last = seq;
        ++received;
        if (ack) {
            char reply[4];
            ASSERT_EQ(zmq_send(req, "", 0, 0), 0);
            ASSERT_EQ(zmq_recv(req, reply, sizeof reply, 0), 0);
        }
    }
    EXPECT_GT(received, 0u);
    const int linger = 0;
    zmq_setsockopt(sub, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(req, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(sub);
    zmq_close(req);
    zmq_ctx_term(context);
}

INSTANTIATE_TEST_SUITE_P(AcksOrNot, PlainPublisherTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Acked" : "NotAcked"; });

}  // namespace
}  // namespace ktbench
