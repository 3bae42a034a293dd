#include "bench_peer.h"

#include <zmq.h>

#include <thread>

#include "kt_daq.h"

namespace ktbench {
namespace {

// Longer than the publisher's own wait for an acknowledgement.
constexpr int kReplyTimeoutMs = KT_DAQ_ACK_TIMEOUT_MS + 1000;

}  // namespace

Peer::Peer(bool ack) : ack_(ack) {
    context_ = zmq_ctx_new();
    sub_ = zmq_socket(context_, ZMQ_SUB);
    zmq_socket_monitor(sub_, "inproc://bench-monitor", ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
    monitor_ = zmq_socket(context_, ZMQ_PAIR);
    zmq_connect(monitor_, "inproc://bench-monitor");
    zmq_setsockopt(sub_, ZMQ_SUBSCRIBE, "", 0);
    zmq_connect(sub_, KT_DAQ_PUB_ENDPOINT);
    if (ack_) {
        req_ = zmq_socket(context_, ZMQ_REQ);
        zmq_setsockopt(req_, ZMQ_RCVTIMEO, &kReplyTimeoutMs, sizeof kReplyTimeoutMs);
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

bool Peer::wait_connected() {
    zmq_pollitem_t item{monitor_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, 10000) != 1) {
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
        zmq_pollitem_t item{sub_, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, 10) != 1) {
            continue;
        }
        do {
            zmq_msg_recv(&part, sub_, 0);
        } while (zmq_msg_more(&part));
        ++frames;
        if (ack_) {
            char reply[4];
            zmq_send(req_, "", 0, 0);
            stalled_ = zmq_recv(req_, reply, sizeof reply, 0) < 0;
        }
    }
    zmq_msg_close(&part);
    return frames;
}

}  // namespace ktbench
