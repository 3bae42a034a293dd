#include "frame_watch.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "acknowledger.h"
#include "kt_daq.h"
#include "kt_records.h"

namespace ktweb {

namespace {

constexpr int kPollMs = 200;
// The publisher answers an acknowledgement at once; one unanswered this long went to a
// publisher that is gone.
constexpr int kReplyTimeoutMs = 2500;

// Options of every socket to the engine: no lingering, back soon after a restart, IPv6
// addresses allowed, the relay's keys when it asks for them.
void *make_socket(void *context, int type, const std::optional<kttool::CurveClient> &keys) {
    void *socket = zmq_socket(context, type);
    const int linger = 0, reconnect_ms = 100, ipv6 = 1;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(socket, ZMQ_RECONNECT_IVL, &reconnect_ms, sizeof reconnect_ms);
    zmq_setsockopt(socket, ZMQ_IPV6, &ipv6, sizeof ipv6);
    if (keys) {
        kttool::secure_client(socket, *keys);
    }
    return socket;
}

// The events of a socket monitor that change whether the subscriber is connected: 1
// connected, 0 disconnected, -1 none.
int connection_event(void *monitor) {
    int state = -1;
    zmq_msg_t part;
    zmq_msg_init(&part);
    while (zmq_msg_recv(&part, monitor, ZMQ_DONTWAIT) >= 0) {
        uint16_t event = 0;
        if (zmq_msg_size(&part) >= 6 && zmq_msg_more(&part)) {
            memcpy(&event, zmq_msg_data(&part), sizeof event);
            if (event == ZMQ_EVENT_HANDSHAKE_SUCCEEDED) {
                state = 1;
            } else if (event == ZMQ_EVENT_DISCONNECTED) {
                state = 0;
            }
        }
        zmq_msg_recv(&part, monitor, 0);  // the endpoint, the event's second part
    }
    zmq_msg_close(&part);
    return state;
}

}  // namespace

FrameWatch::FrameWatch(const WatchConfig &config, SourceBook *book) : config_(config), book_(book) {
    thread_ = std::thread([this] { config_.tap_port != 0 ? run_tap() : run_publish(); });
}

FrameWatch::~FrameWatch() {
    stop_ = true;
    thread_.join();
}

std::string FrameWatch::where() const {
    return kttool::tcp_endpoint(config_.host, config_.tap_port != 0
                                                  ? config_.tap_port
                                                  : kttool::endpoint_port(KT_DAQ_PUB_ENDPOINT));
}

void FrameWatch::run_publish() {
    void *context = zmq_ctx_new();
    void *sub = make_socket(context, ZMQ_SUB, config_.keys);
    // The monitor tells when the publisher is there: before the connection is made.
    zmq_socket_monitor(sub, "inproc://kt-web-monitor",
                       ZMQ_EVENT_HANDSHAKE_SUCCEEDED | ZMQ_EVENT_DISCONNECTED);
    void *monitor = zmq_socket(context, ZMQ_PAIR);
    zmq_connect(monitor, "inproc://kt-web-monitor");
    zmq_setsockopt(sub, ZMQ_SUBSCRIBE, "frame://", 8);
    zmq_connect(sub, where().c_str());
    const std::string ack_endpoint =
        kttool::tcp_endpoint(config_.host, kttool::endpoint_port(KT_DAQ_ACK_ENDPOINT));
    std::optional<kttool::Acknowledger> acker;
    if (config_.ack) {
        acker.emplace(context, ack_endpoint, config_.keys, config_.ack_every, kReplyTimeoutMs);
    }

    zmq_msg_t part;
    zmq_msg_init(&part);
    while (!stop_) {
        // A counted acknowledgement's reply is polled for beside the frames.
        const bool awaiting = acker && acker->awaiting();
        zmq_pollitem_t items[3] = {{sub, 0, ZMQ_POLLIN, 0},
                                   {monitor, 0, ZMQ_POLLIN, 0},
                                   {awaiting ? acker->socket() : nullptr, 0, ZMQ_POLLIN, 0}};
        const int wait_ms =
            awaiting ? std::min(kPollMs, acker->wait_ms(kttool::Acknowledger::Clock::now()))
                     : kPollMs;
        const int ready = zmq_poll(items, awaiting ? 3 : 2, wait_ms);
        if (awaiting) {
            acker->service(kttool::Acknowledger::Clock::now());
        }
        if (ready <= 0) {
            continue;
        }
        if (items[1].revents & ZMQ_POLLIN) {
            const int state = connection_event(monitor);
            if (state >= 0) {
                book_->set_connected(state == 1);
            }
        }
        if (!(items[0].revents & ZMQ_POLLIN)) {
            continue;
        }
        // Topic, then the frame; anything else is no frame.
        int parts = 0;
        bool more = true, whole = false;
        while (more && zmq_msg_recv(&part, sub, 0) >= 0) {
            more = zmq_msg_more(&part) != 0;
            if (++parts == 2 && !more) {
                const auto *data = static_cast<const uint8_t *>(zmq_msg_data(&part));
                const size_t size = zmq_msg_size(&part);
                if (size >= KT_FRAME_OVERHEAD &&
                    size == frame_header(data).payload_len + KT_FRAME_OVERHEAD) {
                    book_->take(data, size, Clock::now());
                    whole = true;
                }
            }
        }
        if (!whole) {
            book_->take_malformed();
        }
        if (acker) {
            acker->frame();
        }
    }
    zmq_msg_close(&part);
    if (acker) {
        acker->finish();  // the frames since the last counted acknowledgement
        acker.reset();
    }
    zmq_socket_monitor(sub, nullptr, 0);
    zmq_close(monitor);
    zmq_close(sub);
    zmq_ctx_term(context);
}

void FrameWatch::run_tap() {
    std::vector<uint8_t> buffer(65536);
    while (!stop_) {
        addrinfo hints{}, *found = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        const std::string port = std::to_string(config_.tap_port);
        int fd = -1;
        if (getaddrinfo(config_.host.c_str(), port.c_str(), &hints, &found) == 0) {
            fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) != 0) {
                close(fd);
                fd = -1;
            }
            freeaddrinfo(found);
        }
        if (fd < 0) {
            book_->set_connected(false);
            for (int i = 0; i < 5 && !stop_; ++i) {
                poll(nullptr, 0, kPollMs);  // try again in a second
            }
            continue;
        }
        book_->set_connected(true);
        size_t filled = 0;
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kPollMs) <= 0) {
                continue;
            }
            const ssize_t n = recv(fd, buffer.data() + filled, buffer.size() - filled, 0);
            if (n <= 0) {
                break;
            }
            filled += static_cast<size_t>(n);
            const auto now = Clock::now();
            size_t used = 0;
            while (filled - used >= KT_FRAME_HEADER_SIZE) {
                const size_t length =
                    frame_header(buffer.data() + used).payload_len + KT_FRAME_OVERHEAD;
                if (filled - used < length) {
                    break;
                }
                book_->take(buffer.data() + used, length, now);
                used += length;
            }
            memmove(buffer.data(), buffer.data() + used, filled - used);
            filled -= used;
        }
        close(fd);
        book_->set_connected(false);
    }
}

}  // namespace ktweb
