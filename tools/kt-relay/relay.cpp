#include "relay.h"

#include <zmq.h>

#include <cerrno>
#include <cstdio>

#include "kt_daq.h"
#include "remote_access.h"

namespace ktrelay {

namespace {

constexpr size_t kZ85KeyLength = 40;
// At most this many messages are moved from one socket before the others get their turn.
constexpr int kBurst = 256;

void *make_socket(void *context, int type) {
    void *socket = zmq_socket(context, type);
    const int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    return socket;
}

// Connects to an engine endpoint. Back quickly when the engine is restarted, and queue no
// request while it is not connected: a late acknowledgement would count for another frame.
void *engine_socket(void *context, int type, const char *endpoint) {
    void *socket = make_socket(context, type);
    const int reconnect_ms = 20, immediate = 1;
    zmq_setsockopt(socket, ZMQ_RECONNECT_IVL, &reconnect_ms, sizeof reconnect_ms);
    zmq_setsockopt(socket, ZMQ_IMMEDIATE, &immediate, sizeof immediate);
    zmq_connect(socket, endpoint);
    return socket;
}

// Moves the waiting messages, each whole, from `from` to `to`; counts those sent in
// `sent` and those `to` could not take in `dropped`.
void forward(void *from, void *to, uint64_t *sent, uint64_t *dropped) {
    zmq_msg_t part;
    zmq_msg_init(&part);
    for (int n = 0; n < kBurst; ++n) {
        if (zmq_msg_recv(&part, from, ZMQ_DONTWAIT) < 0) {
            break;
        }
        bool delivering = true;
        for (;;) {
            // The parts of a message arrive together: once the first is here, so are all.
            const bool more = zmq_msg_more(&part) != 0;
            if (delivering &&
                zmq_msg_send(&part, to, ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0)) < 0) {
                delivering = false;  // only a first part is ever refused
            }
            if (!more || zmq_msg_recv(&part, from, 0) < 0) {
                break;
            }
        }
        ++*(delivering ? sent : dropped);
    }
    zmq_msg_close(&part);
}

}  // namespace

Relay::Relay(const Config &config) : config_(config), context_(zmq_ctx_new()) {}

Relay::~Relay() {
    for (void *socket : {upstream_frames_, frames_, requests_, upstream_requests_}) {
        if (socket != nullptr) {
            zmq_close(socket);
        }
    }
    check_.reset();
    zmq_ctx_term(context_);
}

bool Relay::bind(void *socket, const std::string &endpoint) {
    const int ipv6 = config_.bind.find(':') != std::string::npos ? 1 : 0;
    zmq_setsockopt(socket, ZMQ_IPV6, &ipv6, sizeof ipv6);
    if (config_.server_secret) {
        const int server = 1;
        zmq_setsockopt(socket, ZMQ_CURVE_SERVER, &server, sizeof server);
        zmq_setsockopt(socket, ZMQ_CURVE_SECRETKEY, config_.server_secret->c_str(), kZ85KeyLength);
    }
    if (zmq_bind(socket, endpoint.c_str()) != 0) {
        fprintf(stderr, "kt-relay: cannot listen on %s: %s\n", endpoint.c_str(),
                zmq_strerror(errno));
        return false;
    }
    return true;
}

bool Relay::open() {
    if (config_.server_secret) {
        // Before the sockets that ask it are bound.
        check_.emplace(context_, config_.clients);
    }
    const char *request_endpoint =
        config_.mode == Mode::kPublish ? KT_DAQ_ACK_ENDPOINT : KT_DAQ_CONFIG_ENDPOINT;
    requests_endpoint_ =
        kttool::tcp_endpoint(config_.bind, kttool::endpoint_port(request_endpoint));
    requests_ = make_socket(context_, ZMQ_ROUTER);
    if (!bind(requests_, requests_endpoint_)) {
        return false;
    }
    upstream_requests_ = engine_socket(context_, ZMQ_DEALER, request_endpoint);
    if (config_.mode == Mode::kPublish) {
        frames_endpoint_ =
            kttool::tcp_endpoint(config_.bind, kttool::endpoint_port(KT_DAQ_PUB_ENDPOINT));
        frames_ = make_socket(context_, ZMQ_XPUB);
        if (!bind(frames_, frames_endpoint_)) {
            return false;
        }
        upstream_frames_ = engine_socket(context_, ZMQ_XSUB, KT_DAQ_PUB_ENDPOINT);
    }
    return true;
}

void Relay::poll(long timeout_ms) {
    zmq_pollitem_t items[5];
    int n = 0;
    items[n++] = {requests_, 0, ZMQ_POLLIN, 0};
    items[n++] = {upstream_requests_, 0, ZMQ_POLLIN, 0};
    if (frames_ != nullptr) {
        items[n++] = {upstream_frames_, 0, ZMQ_POLLIN, 0};
        items[n++] = {frames_, 0, ZMQ_POLLIN, 0};
    }
    if (check_) {
        items[n++] = {check_->socket(), 0, ZMQ_POLLIN, 0};
    }
    if (zmq_poll(items, n, timeout_ms) <= 0) {
        return;
    }
    uint64_t lost = 0;
    if (items[0].revents & ZMQ_POLLIN) {
        forward(requests_, upstream_requests_, &counts_.requests, &counts_.unsent);
    }
    if (items[1].revents & ZMQ_POLLIN) {
        forward(upstream_requests_, requests_, &counts_.replies, &lost);
    }
    if (frames_ != nullptr) {
        if (items[2].revents & ZMQ_POLLIN) {
            forward(upstream_frames_, frames_, &counts_.frames, &lost);
        }
        if (items[3].revents & ZMQ_POLLIN) {
            forward(frames_, upstream_frames_, &counts_.subscriptions, &lost);
        }
    }
    if (check_ && (items[n - 1].revents & ZMQ_POLLIN)) {
        check_->answer();
    }
}

Counts Relay::counts() const {
    Counts counts = counts_;
    if (check_) {
        counts.allowed = check_->allowed();
        counts.refused = check_->refused();
    }
    return counts;
}

std::string Relay::describe() const {
    std::string text;
    if (config_.mode == Mode::kPublish) {
        text = std::string("frames of ") + KT_DAQ_PUB_ENDPOINT + " on " + frames_endpoint_ +
               ", acknowledgements to " + KT_DAQ_ACK_ENDPOINT + " from " + requests_endpoint_;
    } else {
        text = std::string("channel configuration to ") + KT_DAQ_CONFIG_ENDPOINT + " from " +
               requests_endpoint_;
    }
    if (config_.server_secret) {
        text += ", CurveZMQ clients with one of " + std::to_string(config_.clients.size()) +
                " key" + (config_.clients.size() == 1 ? "" : "s");
    } else {
        text += ", open to every client";
    }
    return text;
}

}  // namespace ktrelay
