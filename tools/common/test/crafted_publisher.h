// A publisher of the publish mode's two endpoints, served by a test, for the subscribers
// among the tools (kt-sub, kt-web): crafted frames out, every acknowledgement taken and
// recorded, its reply held back on request.
#pragma once

#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_pattern.h"
#include "kt_daq.h"

namespace ktsubscriber_test {

using namespace std::chrono_literals;

struct Crafted {
    std::string topic;
    ktsim::FrameFields fields;
    bool corrupt = false;  // one payload byte flipped after the trailer was computed
};

inline Crafted frame(const char *topic, uint8_t module, uint8_t channel, uint16_t msg_id,
                     uint64_t seq, bool corrupt = false) {
    return {topic, {module, channel, 0, msg_id, seq, 16}, corrupt};
}

// The publish mode's two endpoints, served by the test: an XPUB socket, which tells when
// a subscription has arrived, and a REP socket answering every acknowledgement.
class CraftedPublisher {
  public:
    CraftedPublisher() : context_(zmq_ctx_new()) {
        pub_ = zmq_socket(context_, ZMQ_XPUB);
        rep_ = zmq_socket(context_, ZMQ_REP);
        const int linger = 0;
        zmq_setsockopt(pub_, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(rep_, ZMQ_LINGER, &linger, sizeof linger);
        bound_ =
            zmq_bind(pub_, KT_DAQ_PUB_ENDPOINT) == 0 && zmq_bind(rep_, KT_DAQ_ACK_ENDPOINT) == 0;
        replier_ = std::thread([this] { answer_acks(); });
    }
    ~CraftedPublisher() {
        stop_ = true;
        replier_.join();
        zmq_close(pub_);
        zmq_close(rep_);
        zmq_ctx_term(context_);
    }
    bool bound() const { return bound_; }

    // Waits until a subscription arrives; false after 10 s.
    bool wait_subscribed() {
        const int timeout = 10000;
        zmq_setsockopt(pub_, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        char message[64];
        const int n = zmq_recv(pub_, message, sizeof message, 0);
        return n > 0 && message[0] == 1;
    }

    void send(const Crafted &c) {
        std::vector<uint8_t> bytes(c.fields.payload_len + 20u);
        ktsim::write_frame(bytes.data(), c.fields);
        if (c.corrupt) {
            bytes[16] ^= 0x01;
        }
        zmq_send(pub_, c.topic.data(), c.topic.size(), ZMQ_SNDMORE);
        zmq_send(pub_, bytes.data(), bytes.size(), 0);
    }

    // Frames acknowledged, as a publisher with a wide window counts them: a request of the
    // digits of a count acknowledges that many, any other request one.
    int acks() const { return acks_; }
    // The requests' texts so far.
    std::vector<std::string> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    // While held, requests are taken but not answered.
    void hold_replies(bool hold) { hold_ = hold; }

  private:
    void answer_acks() {
        bool unanswered = false;
        while (!stop_) {
            if (unanswered && !hold_) {
                zmq_send(rep_, "", 0, 0);
                unanswered = false;
            }
            zmq_pollitem_t item{rep_, 0, ZMQ_POLLIN, 0};
            if (unanswered || zmq_poll(&item, 1, 50) <= 0) {
                std::this_thread::sleep_for(unanswered ? 5ms : 0ms);
                continue;
            }
            char request[16];
            const int n = zmq_recv(rep_, request, sizeof request, 0);
            if (n >= 0) {
                const std::string text(request, static_cast<size_t>(std::min<int>(n, 16)));
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(text);
                }
                const bool counted = !text.empty() && text[0] != '0' &&
                                     text.find_first_not_of("0123456789") == std::string::npos;
                acks_ += counted ? std::stoi(text) : 1;  // before the reply, which lets kt-sub
                unanswered = true;                       // go on and finish
            }
        }
    }

    void *context_;
    void *pub_ = nullptr;
    void *rep_ = nullptr;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> acks_{0};
    std::atomic<bool> hold_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread replier_;
};

}  // namespace ktsubscriber_test
