#include "ack_window.h"

#include <zmq.h>

#include <cstdio>
#include <ctime>

#include "kt_daq.h"

namespace ktdaq {
namespace {

constexpr int64_t kNsPerMs = 1000000;

int64_t now_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

}  // namespace

uint32_t request_credit(const void *data, size_t size, bool single_part, uint32_t window) noexcept {
    const auto *text = static_cast<const char *>(data);
    // KT_DAQ_ACK_WINDOW_MAX has four digits.
    if (!single_part || size == 0 || size > 4 || text[0] == '0') {
        return 1;
    }
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 1;
        }
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    return value <= window ? value : 1;
}

AckWindow::AckWindow(void *ack_socket, uint32_t size, PublishCounters &counters) noexcept
    : socket_(ack_socket), size_(size), counters_(counters) {
    // One publish loop runs in a process, and it never ends.
    static Entry storage[KT_DAQ_ACK_WINDOW_MAX];
    entries_ = storage;
}

void AckWindow::add(const char *topic, size_t topic_length, unsigned msg_id,
                    unsigned acks) noexcept {
    Entry &e = entries_[(head_ + count_) % size_];
    e.deadline_ns = now_ns() + int64_t{KT_DAQ_ACK_TIMEOUT_MS} * kNsPerMs;
    e.msg_id = msg_id;
    e.awaited = acks;
    e.received = 0;
    e.topic_length =
        static_cast<uint8_t>(topic_length < sizeof e.topic ? topic_length : sizeof e.topic);
    for (size_t i = 0; i < e.topic_length; ++i) {
        e.topic[i] = topic[i];
    }
    ++count_;
}

void AckWindow::settle(uint32_t credit) noexcept {
    while (credit > 0 && count_ > 0) {
        Entry &e = oldest();
        const uint32_t used = credit < e.awaited - e.received ? credit : e.awaited - e.received;
        e.received += used;
        credit -= used;
        PublishCounters::add(counters_.acknowledged, used);
        if (e.received == e.awaited) {
            head_ = (head_ + 1) % size_;
            --count_;
        }
    }
}

void AckWindow::set_receive_timeout(int ms) noexcept {
    if (ms != receive_timeout_) {
        zmq_setsockopt(socket_, ZMQ_RCVTIMEO, &ms, sizeof ms);
        receive_timeout_ = ms;
    }
}

bool AckWindow::receive(int flags) noexcept {
    zmq_msg_t message;
    zmq_msg_init(&message);
    int rc = 0;
    bool single = true;
    uint32_t credit = 0;
    do {
        do {
            rc = zmq_msg_recv(&message, socket_, flags);
        } while (rc < 0 && zmq_errno() == EINTR);
        if (rc >= 0 && credit == 0) {
            // The first part decides, once the request turns out to have no other.
            single = !zmq_msg_more(&message);
            credit = request_credit(zmq_msg_data(&message), zmq_msg_size(&message), single, size_);
        }
        // The further parts of a request that has arrived are there already.
        flags = 0;
    } while (rc >= 0 && zmq_msg_more(&message));
    zmq_msg_close(&message);
    if (rc < 0 && credit == 0) {
        return false;
    }
    // Settled before the reply, so that a peer that has its reply sees the frames settled.
    settle(credit == 0 ? 1 : credit);
    zmq_send(socket_, "", 0, 0);
    return true;
}

void AckWindow::report_due(int64_t now) noexcept {
    while (count_ > 0 && oldest().deadline_ns <= now) {
        Entry &e = oldest();
        for (uint32_t i = e.received; i < e.awaited; ++i) {
            PublishCounters::bump(counters_.ack_timeouts);
            printf("%.*s msg[id] : %d time out ;i = %d, channel_count = %d\n",
                   static_cast<int>(e.topic_length), e.topic, static_cast<int>(e.msg_id),
                   static_cast<int>(i), static_cast<int>(e.awaited));
        }
        head_ = (head_ + 1) % size_;
        --count_;
    }
}

void AckWindow::expire_due() noexcept {
    if (count_ == 0 || now_ns() < oldest().deadline_ns) {
        return;
    }
    // Requests that came while the loop was busy count before anything is called late;
    // at most one window's worth, so that a flood of requests cannot hold the loop.
    for (uint32_t n = 0; n < size_ && count_ > 0 && receive(ZMQ_DONTWAIT); ++n) {
    }
    report_due(now_ns());
}

void AckWindow::wait(int max_ms) noexcept {
    if (count_ == 0) {
        return;
    }
    const int64_t left_ns = oldest().deadline_ns - now_ns();
    if (left_ns <= 0) {
        expire_due();
        return;
    }
    // Rounded up, so that the wait does not end just before the frame is due.
    int64_t ms = (left_ns + kNsPerMs - 1) / kNsPerMs;
    if (max_ms >= 0 && ms > max_ms) {
        ms = max_ms;
    }
    set_receive_timeout(static_cast<int>(ms));
    if (!receive(0)) {
        report_due(now_ns());
    }
}

}  // namespace ktdaq
