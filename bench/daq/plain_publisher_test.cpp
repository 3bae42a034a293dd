// The baseline publisher delivers what the loop must deliver: every frame of the ring,
// once, intact and in order, to a subscriber that keeps up, with and without
// acknowledgements. A baseline that dropped frames would make every ratio against it
// meaningless. The deep-queue baseline may drop, but what it delivers is intact and in
// order; the stream floor delivers every frame of the ring as one byte stream.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bench_peer.h"
#include "frame_pattern.h"
#include "helper.h"
#include "kt_daq.h"
#include "plain_publisher.h"
#include "process.h"
#include "sim_fixture.h"
#include "wait.h"

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

// The deep-queue baseline: DEVICE QUEUE_DEPTH.
KT_TEST_HELPER(deep_publisher) {
    if (argc != 2) {
        return 2;
    }
    run_deep_publisher(argv[0], kRing, atoi(argv[1]));
}

// The stream floor: DEVICE.
KT_TEST_HELPER(stream_floor) {
    if (argc != 1) {
        return 2;
    }
    run_stream_floor(argv[0], kRing, kStreamFloorPort);
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

class OtherBaselineTest : public ktsim::SimDeviceTest {
  protected:
    void TearDown() override {
        publisher_.reset();
        SimDeviceTest::TearDown();
    }
    std::unique_ptr<kttest::Process> publisher_;
};

TEST_F(OtherBaselineTest, DeepQueueDeliversIntactFramesInOrder) {
    publisher_ = std::make_unique<kttest::Process>(
        kttest::helper("deep_publisher", {device_->path(), "1000"}));
    void *context = zmq_ctx_new();
    void *sub = zmq_socket(context, ZMQ_SUB);
    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "", 0);
    ASSERT_EQ(zmq_connect(sub, KT_DAQ_PUB_ENDPOINT), 0);
    ktsim::EngineConfig config;
    config.payload_sizes = {2028, 64, 700};
    start_engine(config);

    // Frames that find a queue full are dropped: later ones only come later.
    std::vector<uint8_t> frame(KT_SLOT_SIZE + 1);
    char topic[32];
    int64_t last = -1;
    for (uint64_t received = 0; received < kFrames; ++received) {
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
        ASSERT_GT(static_cast<int64_t>(check.fields.seq), last);
        last = static_cast<int64_t>(check.fields.seq);
    }
    const int linger = 0;
    zmq_setsockopt(sub, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(sub);
    zmq_ctx_term(context);
}

TEST_F(OtherBaselineTest, StreamFloorSendsEveryFrameOnceIntactInOrder) {
    publisher_ =
        std::make_unique<kttest::Process>(kttest::helper("stream_floor", {device_->path()}));
    ktsim::EngineConfig config;
    config.payload_sizes = {64, 2028, 1, 300};
    config.frames = kFrames;
    // The floor takes frames only once its one client is there: none is lost before.
    start_engine(config);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kStreamFloorPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int fd = -1;
    ASSERT_TRUE(kttest::wait_until(
        [&] {
            fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                return true;
            }
            close(fd);
            return false;
        },
        std::chrono::milliseconds(10000)));
    FrameSplitter splitter;
    uint64_t next = 0;
    std::vector<uint8_t> buffer(64 * 1024);
    while (next < kFrames) {
        const ssize_t n = read(fd, buffer.data(), buffer.size());
        ASSERT_GT(n, 0) << "after frame " << next;
        splitter.take(buffer.data(), static_cast<size_t>(n), [&](const uint8_t *f, size_t length) {
            const ktsim::FrameCheck check = ktsim::check_frame(f, length);
            ASSERT_TRUE(check.ok) << check.error;
            ASSERT_EQ(check.fields.seq, next);
            ++next;
        });
    }
    EXPECT_EQ(next, kFrames);
    EXPECT_EQ(splitter.pending(), 0u);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(AcksOrNot, PlainPublisherTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Acked" : "NotAcked"; });

}  // namespace
}  // namespace ktbench
