// The publish loop: every frame of the ring goes out on the publisher socket without a
// copy, and the loop then waits for the acknowledgements of the frame's subscribers.
#include <zmq.h>

#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>

#include "kt_daq.h"
#include "kt_util.h"
#include "subscriber_table.h"

namespace {

constexpr int kSendHighWaterMark = 1;
constexpr size_t kTopicSize = 16;  // "frame://255:15" and its NUL

// The ring owns the frame memory; ZeroMQ has nothing to free.
void release_nothing(void *, void *) {}

// Called by ZeroMQ once nothing of it needs the frame any more. The ring owns the memory,
// so nothing is freed: the slot's flag only records that its frame has left.
void frame_released(void *, void *flag) {
    __atomic_store_n(static_cast<uint8_t *>(flag), 1, __ATOMIC_RELEASE);
}

int64_t now_us();

// Keeps a slot from going back to the engine while ZeroMQ's I/O thread may still read the
// frame in it: once handed back, the slot may be written again at once (the engine is
// right behind the reader whenever the ring is full), and the frame would leave with
// another frame's bytes in it. The I/O thread lets go of a frame as soon as it has taken
// it out of a subscriber's queue; frames dropped for every subscriber are let go at once.
class SlotRelease {
  public:
    explicit SlotRelease(const kt_axis *axis)
        : slots_((axis->up_mem_size + KT_SLOT_SIZE - 1) / KT_SLOT_SIZE),
          flags_(static_cast<uint8_t *>(calloc(slots_ == 0 ? 1 : slots_, 1))) {}

    // The flag that the frame's message sets once ZeroMQ has done with it; null when
    // there is none to be had (the frame is then sent with a release that does nothing).
    uint8_t *flag_for(const kt_axis *axis, const kt_frame *frame) {
        const auto offset =
            reinterpret_cast<const uint8_t *>(frame) - static_cast<const uint8_t *>(axis->mem);
        const auto index = static_cast<uint32_t>(offset / KT_SLOT_SIZE);
        if (flags_ == nullptr || offset < 0 || index >= slots_) {
            return nullptr;
        }
        __atomic_store_n(&flags_[index], 0, __ATOMIC_RELAXED);
        return &flags_[index];
    }

    // Waits, up to a bound, until the frame has left.
    void wait(const uint8_t *flag) const {
        if (flag == nullptr || __atomic_load_n(flag, __ATOMIC_ACQUIRE) != 0) {
            return;
        }
        const int64_t deadline = now_us() + kReleaseWaitUs;
        while (__atomic_load_n(flag, __ATOMIC_ACQUIRE) == 0 && now_us() < deadline) {
            sched_yield();
        }
    }

  private:
    // Only a subscriber that stalls with the frame in its queue keeps it this long.
    static constexpr int64_t kReleaseWaitUs = 100000;
    uint32_t slots_;
    uint8_t *flags_;  // one per slot; kept for the life of the loop, which never ends
};

// Lets the publisher socket take in the notices its I/O thread has queued for it, above
// all that a subscriber's queue has drained. A sending thread otherwise takes them in
// only about once a millisecond, and a frame sent before that finds the queue of a
// subscriber that has kept up still full.
void take_in_pipe_notices(void *publisher) {
    int events = 0;
    size_t size = sizeof events;
    zmq_getsockopt(publisher, ZMQ_EVENTS, &events, &size);
}

// With the drop switched off, a send that finds a subscriber's queue full fails with
// EAGAIN instead of dropping the frame for that subscriber.
void set_dropping(void *publisher, bool drop) {
    const int nodrop = drop ? 0 : 1;
    zmq_setsockopt(publisher, ZMQ_XPUB_NODROP, &nodrop, sizeof nodrop);
}

int64_t now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The publisher socket. A subscriber queue holds one message, and a frame sent while the
// queue still holds the previous one, which the I/O thread takes out within
// microseconds, would be lost to that subscriber. For a frame whose acknowledgement is
// awaited that loss costs a time-out although the subscriber keeps up; so while any
// subscriber is registered, a frame that finds a queue full waits a little for it to
// drain. Only a queue that stays full that long belongs to a subscriber that really lags;
// the frame is dropped for it, and while it lags, later frames are dropped for it at once.
// With no subscriber registered nothing waits: frames go out at the ring's pace and are
// dropped for every queue that is still full, as the high-water mark says.
//
// Dropping is switched on only for those sends. A dropping send also parks the full queue
// until its I/O thread reports it drained, and a frame sent to a parked queue is lost
// silently however empty the queue is by then; that is why frames are not dropped while
// an awaited frame may follow.
class Publisher {
  public:
    explicit Publisher(void *socket) : socket_(socket) { set_dropping(socket_, false); }

    // Sends the topic and then the frame's own bytes in the ring. False when the frame
    // message cannot be set up; then nothing is sent.
    bool publish(const char *topic, size_t topic_length, kt_frame *frame, bool wait_for_room,
                 uint8_t *release_flag) {
        zmq_msg_t message;
        if (zmq_msg_init_data(&message, frame, kt_frame_length(frame),
                              release_flag != nullptr ? frame_released : release_nothing,
                              release_flag) != 0) {
            return false;
        }
        const bool dropping = !send_topic(topic, topic_length, wait_for_room);
        if (zmq_msg_send(&message, socket_, 0) < 0) {
            zmq_msg_close(&message);  // not taken over by the socket
        }
        if (dropping) {
            set_dropping(socket_, false);
        }
        return true;
    }

  private:
    static constexpr int64_t kDrainWaitUs = 5000;

    // Sends the topic part once every subscriber queue has room, waiting for that only
    // when asked to; otherwise, after the wait, or at once while a subscriber lags,
    // switches dropping on, sends, and returns false.
    bool send_topic(const char *topic, size_t length, bool wait_for_room) {
        take_in_pipe_notices(socket_);
        if (try_send(topic, length)) {
            lagging_ = false;
            return true;
        }
        if (zmq_errno() == EAGAIN && wait_for_room && !lagging_) {
            const int64_t deadline = now_us() + kDrainWaitUs;
            do {
                sched_yield();
                take_in_pipe_notices(socket_);
                if (try_send(topic, length)) {
                    return true;
                }
            } while (zmq_errno() == EAGAIN && now_us() < deadline);
            lagging_ = true;
        }
        set_dropping(socket_, true);
        zmq_send(socket_, topic, length, ZMQ_SNDMORE);
        return false;
    }

    bool try_send(const char *topic, size_t length) {
        return zmq_send(socket_, topic, length, ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0;
    }

    void *socket_;
    bool lagging_ = false;
};

// Receives one acknowledgement; its content is ignored, and a request of several parts
// counts once. False when none came within the socket's receive time-out.
bool receive_ack(void *ack_socket) {
    zmq_msg_t message;
    zmq_msg_init(&message);
    int rc = 0;
    do {
        do {
            rc = zmq_msg_recv(&message, ack_socket, 0);
        } while (rc < 0 && zmq_errno() == EINTR);
    } while (rc >= 0 && zmq_msg_more(&message));
    zmq_msg_close(&message);
    return rc >= 0;
}

void await_acks(void *ack_socket, const char *topic, unsigned msg_id, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        if (receive_ack(ack_socket)) {
            zmq_send(ack_socket, "", 0, 0);
        } else {
            printf("%s msg[id] : %d time out ;i = %d, channel_count = %d\n", topic,
                   static_cast<int>(msg_id), static_cast<int>(i), static_cast<int>(count));
        }
    }
}

}  // namespace

void kt_daq_run(kt_daq *daq) noexcept {
    if (daq == nullptr || daq->axis == nullptr) {
        return;
    }
    kt_axis *axis = daq->axis;

    void *context = zmq_ctx_new();
    void *publisher = zmq_socket(context, ZMQ_PUB);
    const int hwm = kSendHighWaterMark;
    zmq_setsockopt(publisher, ZMQ_SNDHWM, &hwm, sizeof hwm);
    zmq_bind(publisher, KT_DAQ_PUB_ENDPOINT);
    void *ack_socket = zmq_socket(context, ZMQ_REP);
    zmq_bind(ack_socket, KT_DAQ_ACK_ENDPOINT);
    const int timeout = KT_DAQ_ACK_TIMEOUT_MS;
    zmq_setsockopt(ack_socket, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    zmq_setsockopt(ack_socket, ZMQ_SNDTIMEO, &timeout, sizeof timeout);
    Publisher publisher_queue(publisher);
    SlotRelease slot_release(axis);

    for (;;) {
        uint32_t count = 0;
        while ((count = kt_get_data_cnt(axis)) == 0) {
            kt_sleep_ms(KT_DAQ_POLL_MS);
        }
        auto *frame = static_cast<kt_frame *>(kt_axis_read_frame(axis, nullptr, count));
        // A frame that would run past its slot is not published. Its slot goes back at
        // once: kept, it would still count as waiting data, and the next pass would take
        // a slot the engine has not written yet.
        if (!kt_frame_fits_slot(frame)) {
            kt_axis_read_done(axis);
            continue;
        }
        // What the acknowledgements need is read before the slot goes back to the engine.
        char topic[kTopicSize];
        const int topic_length =
            snprintf(topic, sizeof topic, "frame://%d:%d", static_cast<int>(frame->module_id),
                     static_cast<int>(frame->channel_id));
        const uint16_t source_key = kt_frame_source_key(frame);
        const unsigned msg_id = frame->msg_id;
        const ktdaq::Awaited awaited = ktdaq::acks_awaited(source_key);
        uint8_t *release_flag = slot_release.flag_for(axis, frame);
        const bool sent = publisher_queue.publish(topic, static_cast<size_t>(topic_length), frame,
                                                  awaited.any_source, release_flag);
        if (sent) {
            slot_release.wait(release_flag);
        }
        kt_axis_read_done(axis);
        if (!sent) {
            continue;
        }
        await_acks(ack_socket, topic, msg_id, awaited.acks);
    }
}
