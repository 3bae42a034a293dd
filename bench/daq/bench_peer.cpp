#include "bench_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <thread>

#include "kt_daq.h"
#include "kt_records.h"
#include "wait.h"

namespace ktbench {
namespace {

// Longer than the publisher's own wait for an acknowledgement.
constexpr auto kReplyTimeout = std::chrono::milliseconds(KT_DAQ_ACK_TIMEOUT_MS + 1000);
constexpr int kPollMs = 10;

}  // namespace

Peer::Peer(uint32_t ack_every) : ack_every_(ack_every), ack_text_(std::to_string(ack_every)) {
    context_ = zmq_ctx_new();
    sub_ = zmq_socket(context_, ZMQ_SUB);
    zmq_socket_monitor(sub_, "inproc://bench-monitor", ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
    monitor_ = zmq_socket(context_, ZMQ_PAIR);
    zmq_connect(monitor_, "inproc://bench-monitor");
    zmq_setsockopt(sub_, ZMQ_SUBSCRIBE, "", 0);
    zmq_connect(sub_, KT_DAQ_PUB_ENDPOINT);
    if (ack_every_ > 0) {
        req_ = zmq_socket(context_, ZMQ_REQ);
        zmq_connect(req_, KT_DAQ_ACK_ENDPOINT);
    }
}

Peer::~Peer() {
    zmq_socket_monitor(sub_, nullptr, 0);
    const int linger = 0;
    for (void *s : {sub_, req_, monitor_}) {
        if (s != nullptr) {
            zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof linger);
            zmq_close(s);
        }
    }
    zmq_ctx_term(context_);
}

bool Peer::wait_connected(std::chrono::milliseconds timeout) {
    zmq_pollitem_t item{monitor_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, static_cast<long>(timeout.count())) != 1) {
        return false;
    }
    zmq_msg_t m;
    zmq_msg_init(&m);
    while (zmq_msg_recv(&m, monitor_, 0) >= 0 && zmq_msg_more(&m)) {
    }
    zmq_msg_close(&m);
    // The subscription travels after the handshake; frames sent before it arrives are
    // dropped by the publisher.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
}

uint64_t Peer::run_until(Clock::time_point until) {
    uint64_t frames = 0;
    zmq_msg_t part;
    zmq_msg_init(&part);
    while (!stalled_ && Clock::now() < until) {
        zmq_pollitem_t items[2] = {{sub_, 0, ZMQ_POLLIN, 0}, {req_, 0, ZMQ_POLLIN, 0}};
        const int ready = zmq_poll(items, in_flight_ ? 2 : 1, kPollMs);
        if (ready > 0 && (items[1].revents & ZMQ_POLLIN) != 0) {
            char reply[4];
            zmq_recv(req_, reply, sizeof reply, 0);
            in_flight_ = false;
        }
        if (ready > 0 && (items[0].revents & ZMQ_POLLIN) != 0) {
            // Every frame waiting, without waiting for more.
            while (zmq_msg_recv(&part, sub_, ZMQ_DONTWAIT) >= 0) {
                while (zmq_msg_more(&part)) {
                    zmq_msg_recv(&part, sub_, 0);
                }
                ++frames;
                ++owed_;
            }
        }
        if (ack_every_ > 0 && !in_flight_ && owed_ >= ack_every_) {
            zmq_send(req_, ack_text_.data(), ack_text_.size(), 0);
            owed_ -= ack_every_;
            in_flight_ = true;
            sent_at_ = Clock::now();
        }
        stalled_ = in_flight_ && Clock::now() - sent_at_ > kReplyTimeout;
    }
    zmq_msg_close(&part);
    return frames;
}

size_t FrameSplitter::whole_frame_at(size_t at) const {
    const size_t header = offsetof(kt_frame, payload);
    if (pending_.size() - at < header) {
        return 0;
    }
    const size_t length = kt_frame_length(reinterpret_cast<const kt_frame *>(&pending_[at]));
    return pending_.size() - at < length ? 0 : length;
}

StreamPeer::~StreamPeer() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool StreamPeer::wait_connected(std::chrono::milliseconds timeout) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return kttest::wait_until(
        [&] {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                return true;
            }
            close(fd_);
            fd_ = -1;
            return false;
        },
        timeout);
}

uint64_t StreamPeer::run_until(Clock::time_point until) {
    uint64_t frames = 0;
    alignas(8) static thread_local uint8_t buffer[256 * 1024];
    while (!stalled_ && Clock::now() < until) {
        pollfd item{fd_, POLLIN, 0};
        if (poll(&item, 1, kPollMs) != 1) {
            continue;
        }
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            stalled_ = true;
            break;
        }
        splitter_.take(buffer, static_cast<size_t>(n), [&](const uint8_t *, size_t) { ++frames; });
    }
    return frames;
}

}  // namespace ktbench
