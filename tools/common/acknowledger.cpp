#include "acknowledger.h"

#include <zmq.h>

#include <algorithm>
#include <charconv>

namespace kttool {

Acknowledger::Acknowledger(void *context, std::string endpoint,
                           const std::optional<CurveClient> &keys, uint32_t every,
                           int reply_timeout_ms)
    : context_(context),
      endpoint_(std::move(endpoint)),
      keys_(keys),
      every_(std::clamp<uint32_t>(every, 1, kAckEveryMax)),
      reply_timeout_ms_(reply_timeout_ms) {
    open();
}

Acknowledger::~Acknowledger() {
    close();
}

void Acknowledger::open() {
    req_ = zmq_socket(context_, ZMQ_REQ);
    const int timeout = reply_timeout_ms_, linger = 0, ipv6 = 1;
    zmq_setsockopt(req_, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    zmq_setsockopt(req_, ZMQ_SNDTIMEO, &timeout, sizeof timeout);
    zmq_setsockopt(req_, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(req_, ZMQ_IPV6, &ipv6, sizeof ipv6);
    if (keys_) {
        secure_client(req_, *keys_);
    }
    zmq_connect(req_, endpoint_.c_str());
}

void Acknowledger::close() {
    if (req_ != nullptr) {
        zmq_close(req_);
        req_ = nullptr;
    }
}

void Acknowledger::reopen() {
    close();
    open();
}

void Acknowledger::frame() {
    if (every_ == 1) {
        // The publisher of window 1 waits for this one before it publishes the next frame.
        ++requests_;
        char reply[16];
        if (zmq_send(req_, "", 0, 0) == 0 && zmq_recv(req_, reply, sizeof reply, 0) >= 0) {
            ++acked_;
        } else {
            ++failed_;
            reopen();
        }
        return;
    }
    ++pending_;
    send_due();
}

void Acknowledger::send_due() {
    if (in_flight_ == 0 && pending_ >= every_) {
        send(every_);
    }
}

void Acknowledger::send(uint32_t count) {
    char text[16];
    const auto end = std::to_chars(text, text + sizeof text, count).ptr;
    pending_ -= count;
    ++requests_;
    // A connected REQ socket queues the request at once; it cannot have one in flight here.
    if (zmq_send(req_, text, static_cast<size_t>(end - text), ZMQ_DONTWAIT) < 0) {
        failed_ += count;
        reopen();
        return;
    }
    in_flight_ = count;
    deadline_ = Clock::now() + std::chrono::milliseconds(reply_timeout_ms_);
}

int Acknowledger::wait_ms(Clock::time_point now) const {
    if (in_flight_ == 0) {
        return -1;
    }
    if (now >= deadline_) {
        return 0;
    }
    // Rounded up, so that a poll of that long ends past the deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - now);
    return static_cast<int>(left.count());
}

void Acknowledger::service(Clock::time_point now) {
    if (in_flight_ != 0) {
        char reply[16];
        if (zmq_recv(req_, reply, sizeof reply, ZMQ_DONTWAIT) >= 0) {
            acked_ += in_flight_;
            in_flight_ = 0;
        } else if (now >= deadline_) {
            failed_ += in_flight_;
            in_flight_ = 0;
            reopen();
        }
    }
    send_due();
}

bool Acknowledger::wait_reply(int timeout_ms) {
    zmq_pollitem_t item{req_, 0, ZMQ_POLLIN, 0};
    char reply[16];
    if (zmq_poll(&item, 1, timeout_ms) == 1 &&
        zmq_recv(req_, reply, sizeof reply, ZMQ_DONTWAIT) >= 0) {
        acked_ += in_flight_;
        in_flight_ = 0;
        return true;
    }
    failed_ += in_flight_;
    in_flight_ = 0;
    reopen();
    return false;
}

void Acknowledger::finish() {
    bool answered = in_flight_ == 0 || wait_reply(wait_ms(Clock::now()));
    while (answered && pending_ > 0) {
        send(static_cast<uint32_t>(std::min<uint64_t>(pending_, every_)));
        answered = in_flight_ != 0 && wait_reply(reply_timeout_ms_);
    }
    // What a publisher that does not answer would not take either.
    failed_ += pending_;
    pending_ = 0;
}

}  // namespace kttool
