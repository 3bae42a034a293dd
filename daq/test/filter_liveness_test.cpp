// The filter mode against peers that hold on to what they get: a client that never reads,
// idle connections that use up the descriptors, a configuration message far too long. The
// configuration server answers, the loop survives, and everything comes back.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <zmq.h>

#include "filter_fixture.h"
#include "frame_pattern.h"
#include "kt_daq.h"
#include "kt_records.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ktdaq_test::ChannelClient;
using ktdaq_test::configure;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kRing = 256 * KT_SLOT_SIZE;
// Far above what a configuration message takes when the server is free; a server that
// waits for a client does not answer at all.
constexpr int kReplyLimitMs = 3000;

std::string channel(const std::string &name, int port, int module) {
    return "0=" + name + ";1=" + std::to_string(port) + ";2=" + std::to_string(module) +
           ";3=1;5=kt_output_filter";
}

// Milliseconds until the configuration message was answered; -1 without an answer.
long timed_configure(const std::string &message) {
    const auto start = Clock::now();
    if (!configure(message, kReplyLimitMs)) {
        return -1;
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Whether the client receives no frame for a while: the loop is held up elsewhere.
bool starved(ChannelClient &client) {
    Bytes frame;
    for (int i = 0; i < 20000; ++i) {  // drain what was sent before the stall
        if (!client.next_frame(&frame, 1000)) {
            return true;
        }
    }
    return false;
}

// A plain TCP connection that sends nothing.
int idle_connection(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Peers of the configuration socket that complete their handshake and then stay, so that
// each holds one descriptor of the loop until it is closed (an idle TCP connection would
// be dropped after the handshake time).
class StayingPeers {
  public:
    explicit StayingPeers(int count) : context_(zmq_ctx_new()) {
        for (int i = 0; i < count; ++i) {
            void *peer = zmq_socket(context_, ZMQ_REQ);
            const int linger = 0;
            zmq_setsockopt(peer, ZMQ_LINGER, &linger, sizeof linger);
            zmq_connect(peer, KT_DAQ_CONFIG_ENDPOINT);
            peers_.push_back(peer);
        }
    }
    ~StayingPeers() { close(); }
    void close() {
        for (void *peer : peers_) {
            zmq_close(peer);
        }
        peers_.clear();
        if (context_ != nullptr) {
            zmq_ctx_term(context_);
            context_ = nullptr;
        }
    }

  private:
    void *context_;
    std::vector<void *> peers_;
};

class FilterLivenessTest : public ktdaq_test::FilterLoopTest {
  protected:
    void start(int fd_limit = 0) {
        ktsim::EngineConfig config;
        config.sources = {{1, 1}, {2, 1}};
        config.payload_sizes = {2028};
        config.rate = 20000;
        start_engine(config);
        start_loop(kRing, fd_limit);
    }
};

TEST_F(FilterLivenessTest, ClientThatNeverReadsNeitherWedgesConfigurationNorReplacement) {
    start();
    ASSERT_TRUE(configure(channel("stuck", 9700, 1)));
    ASSERT_TRUE(configure(channel("other", 9701, 2)));
    ASSERT_TRUE(configure(channel("spare", 9710, 3)));
    ASSERT_TRUE(loop_->wait_output("create channel : spare", 5000));
    const int fds = loop_->settled_descriptors();
    const int threads = loop_->threads();

    auto other = std::make_unique<ChannelClient>(9701);
    auto stuck = std::make_unique<ChannelClient>(9700, 5000, 4096);
    ASSERT_TRUE(loop_->wait_output("accept connect", 5000, 2));
    // The loop sends to the stuck client until its buffers are full and then waits in the
    // send: the other channel gets nothing more.
    ASSERT_TRUE(starved(*other)) << "the loop did not stall behind the client that never reads";

    // Replacing other channels, again and again, is answered while the loop waits.
    long slowest = 0;
    for (int round = 0; round < 10; ++round) {
        const long ms = timed_configure(channel("other", 9702 + round % 2, 2));
        ASSERT_GE(ms, 0) << "no reply to the replacement of another channel, round " << round;
        slowest = std::max(slowest, ms);
    }
    ASSERT_GE(timed_configure(channel("spare", 9711, 3)), 0) << "no reply for a third channel";
    ASSERT_GE(timed_configure(channel("new", 9712, 3)), 0) << "no reply to a new channel";
    EXPECT_TRUE(other->closed_by_peer(2000)) << "the replaced channel's client stays connected";

    // Replacing the stuck channel disconnects its client at once, which frees the loop.
    const long ms = timed_configure(channel("stuck", 9704, 1));
    ASSERT_GE(ms, 0) << "no reply to the replacement of the stuck channel";
    slowest = std::max(slowest, ms);
    EXPECT_TRUE(stuck->closed_by_peer(2000)) << "the stuck client stays connected";
    other = std::make_unique<ChannelClient>(9703);
    for (int n = 0; n < 100; ++n) {
        Bytes frame;
        ASSERT_TRUE(other->next_frame(&frame)) << "the acquisition did not resume, frame " << n;
        ASSERT_TRUE(ktsim::check_frame(frame.data(), frame.size()).ok);
        ASSERT_EQ(frame[0], 2);
    }
    printf("slowest configuration reply with a stuck client: %ld ms\n", slowest);

    // Back where it was: the channels that came and went left nothing behind.
    other.reset();
    stuck.reset();
    ASSERT_TRUE(loop_->wait_output("port : 9703 connection close", 5000));
    const int per_channel = 3;  // listening socket, acceptor's epoll and wake-up descriptors
    EXPECT_EQ(loop_->settled_descriptors(), fds + per_channel);  // the channel "new"
    EXPECT_EQ(loop_->threads(), threads + 1);                    // and its acceptor
    EXPECT_EQ(loop_->wait_exit(0), -1) << loop_->errors();
}

// The client the loop waits on holds up its own channel's sockets only: clients of other
// channels that come and go meanwhile are closed at once, not when the stuck send ends.
TEST_F(FilterLivenessTest, OtherChannelsClientsComeAndGoWhileOneIsStuck) {
    start();
    ASSERT_TRUE(configure(channel("stuck", 9750, 1)));
    ASSERT_TRUE(configure(channel("other", 9751, 2)));
    ASSERT_TRUE(loop_->wait_output("create channel : other", 5000));
    const int fds = loop_->settled_descriptors();

    auto stuck = std::make_unique<ChannelClient>(9750, 5000, 4096);
    auto other = std::make_unique<ChannelClient>(9751);
    ASSERT_TRUE(starved(*other));
    for (int n = 2; n <= 51; ++n) {
        other = std::make_unique<ChannelClient>(9751);  // replaces the one before
        ASSERT_TRUE(loop_->wait_output("port : 9751, accept connect", 5000, n));
    }
    other.reset();
    ASSERT_TRUE(loop_->wait_output("port : 9751 connection close", 5000));
    EXPECT_EQ(loop_->settled_descriptors(), fds + 1) << "only the stuck client may stay open";

    stuck.reset();  // the loop goes on, and its client's socket is closed
    ASSERT_TRUE(loop_->wait_output("port : 9750 connection close", 5000));
    EXPECT_EQ(loop_->settled_descriptors(), fds);
}

TEST_F(FilterLivenessTest, DescriptorsRunningOutPauseAcceptingInsteadOfEndingTheLoop) {
    start(64);
    ASSERT_TRUE(configure(channel("ch", 9720, 1)));
    ASSERT_TRUE(loop_->wait_output("create channel : ch", 5000));
    // The configuring peer's connection is closed in ZeroMQ's own time; a descriptor it
    // frees later would let the channel's accept through.
    loop_->settled_descriptors();
    // Peers of the configuration socket take every descriptor the loop has left.
    StayingPeers peers(80);
    // The configuration server takes them in its time, up to the limit.
    ASSERT_TRUE(kttest::wait_until([&] { return loop_->descriptors() >= 64; }, 5s))
        << loop_->descriptors() << " descriptors open";
    ASSERT_GE(loop_->settled_descriptors(), 64);
    const int client_fd = idle_connection(9720);
    ASSERT_GE(client_fd, 0);
    // ZeroMQ's I/O thread retries the configuration socket's failing accept on its own;
    // the loop's threads must not spin on the channel's listener.
    const long ticks = loop_->cpu_ticks(true);
    std::this_thread::sleep_for(2s);
    // Still running, not spinning on the listener, and said so once.
    ASSERT_EQ(loop_->wait_exit(0), -1) << loop_->errors();
    const long spent = loop_->cpu_ticks(true) - ticks;
    printf("processor time of the loop's threads in 2 s at the descriptor limit: %ld ticks\n",
           spent);
    EXPECT_LT(spent, 40) << "the loop spins while it cannot accept";
    const std::string errors = loop_->errors();
    EXPECT_NE(errors.find("accept conn_sock failed: Too many open files"), std::string::npos)
        << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;

    // With descriptors free again, clients are served.
    peers.close();
    close(client_fd);
    ChannelClient client(9720);
    ASSERT_TRUE(client.connected());
    Bytes frame;
    EXPECT_TRUE(client.next_frame(&frame, 5000)) << loop_->errors();
}

TEST_F(FilterLivenessTest, SilentConnectionToTheConfigurationSocketIsDropped) {
    start();
    ASSERT_TRUE(configure(channel("ch", 9740, 1)));
    const int fd = idle_connection(ktdaq_test::config_port());
    ASSERT_GE(fd, 0);
    // Never a ZeroMQ peer: after the greeting, the device closes it once its handshake time
    // has passed, not never.
    EXPECT_TRUE(kttest::wait_until(
        [&] {
            pollfd p{fd, POLLIN, 0};
            char bytes[64];
            return poll(&p, 1, 100) == 1 && recv(fd, bytes, sizeof bytes, 0) <= 0;
        },
        10s));
    close(fd);
}

TEST_F(FilterLivenessTest, HugeConfigurationMessageIsRefusedBeforeItIsStored) {
    start();
    ASSERT_TRUE(configure(channel("ch", 9730, 1)));
    ASSERT_TRUE(loop_->wait_output("create channel : ch", 5000));
    const long before = loop_->peak_rss_kib();
    configure(std::string(64u << 20, '0'), 2000);
    // The server still serves, and never held the message.
    ASSERT_TRUE(configure(channel("ch", 9731, 1)));
    ASSERT_TRUE(loop_->wait_output("create channel : ch, port = 9731", 5000));
    const long grown = loop_->peak_rss_kib() - before;
    printf("peak memory grew by %ld KiB for a 64 MiB message\n", grown);
    EXPECT_LT(grown, 16 * 1024) << "KiB of peak memory grew";
    EXPECT_EQ(loop_->wait_exit(0), -1) << loop_->errors();
}

}  // namespace
