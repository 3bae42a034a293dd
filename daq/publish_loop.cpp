// The publish loop: every frame of the ring goes out on the publisher socket, and the loop
// then waits for the acknowledgements of the frame's subscribers.
//
// Each frame is copied out of its slot into a message buffer of the loop's own, and the
// slot goes back to the engine at once. A frame that ZeroMQ still holds for a subscriber
// that has stopped reading can then never be overwritten by the engine: a subscriber
// receives whole frames of its topic or, when it lags, none, but never another frame's
// bytes; and a stalled subscriber holds no ring memory.
//
// As the application set it up (publish_options.cpp), a subscriber's queue holds one or
// more messages, and the loop awaits each frame's acknowledgements before it takes the
// next (one frame in flight) or keeps a window of frames in flight (ack_window.h).
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ack_window.h"
#include "frame_pool.h"
#include "kt_daq.h"
#include "kt_util.h"
#include "internal.h"

namespace {

using ktdaq::PublishCounters;

constexpr int64_t kMaxPeerMessage = 64 * 1024;
constexpr size_t kTopicSize = 16;  // "frame://255:15" and its NUL
// Buffers are allocated this many at a time, up to ktdaq::pool_buffers(depth) in all: a
// subscriber holds at most a full queue and what its connection is writing.
constexpr uint32_t kPoolChunk = 32;

// With the drop switched off, a send that finds a subscriber's queue full fails with
// EAGAIN instead of dropping the frame for that subscriber.
void set_dropping(void *publisher, bool drop) {
    const int nodrop = drop ? 0 : 1;
    zmq_setsockopt(publisher, ZMQ_XPUB_NODROP, &nodrop, sizeof nodrop);
}

// The publisher socket. A subscriber queue holds one message, and a frame sent while the
// queue still holds the previous one, which the I/O thread takes out within
// microseconds, would be lost to that subscriber although it keeps up (and, for a frame
// whose acknowledgement is awaited, cost a time-out). So a frame that finds a queue full
// waits a little for it to drain. Only a queue that stays full that long belongs to a
// subscriber that really lags; the frame is dropped for it, and while it lags, later
// frames are dropped for it at once. A subscriber that keeps up thus receives every frame
// at the pace of one frame in flight, and one that lags costs the others one short wait.
//
// Dropping is switched on only for those sends. A dropping send also parks the full queue
// until its I/O thread reports it drained, and a frame sent to a parked queue is lost
// silently however empty the queue is by then; that is why frames are not dropped while
// the queue may just be draining.
class Publisher {
  public:
    explicit Publisher(void *socket) : socket_(socket) {
        // How long a send waits for a full queue to drain. The socket sleeps on its I/O
        // thread's notices meanwhile.
        const int drain_wait = kDrainWaitMs;
        zmq_setsockopt(socket_, ZMQ_SNDTIMEO, &drain_wait, sizeof drain_wait);
        set_dropping(socket_, false);
    }

    // Sends the topic and then the frame message, which the socket takes over.
    void publish(const char *topic, size_t topic_length, zmq_msg_t *frame,
                 PublishCounters &counters) {
        const bool dropping = !send_topic(topic, topic_length);
        if (zmq_msg_send(frame, socket_, 0) < 0) {
            zmq_msg_close(frame);  // not taken over by the socket
        }
        if (dropping) {
            set_dropping(socket_, false);
            PublishCounters::bump(counters.dropped_for_lagging);
        }
        PublishCounters::bump(counters.published);
    }

  private:
    // Long enough that a subscriber which keeps up is not taken for lagging while a busy
    // machine keeps the I/O thread from running; a lagging one costs this once.
    static constexpr int kDrainWaitMs = 100;

    // Sends the topic part once every subscriber queue has room; after the wait, or at
    // once while a subscriber lags, switches dropping on, sends, and returns false.
    bool send_topic(const char *topic, size_t length) {
        if (lagging_) {
            if (try_send(topic, length)) {
                lagging_ = false;
                return true;
            }
        } else {
            int rc = 0;
            do {
                rc = zmq_send(socket_, topic, length, ZMQ_SNDMORE);
            } while (rc < 0 && zmq_errno() == EINTR);
            if (rc >= 0) {
                return true;
            }
            lagging_ = zmq_errno() == EAGAIN;
        }
        set_dropping(socket_, true);
        zmq_send(socket_, topic, length, ZMQ_SNDMORE | ZMQ_DONTWAIT);
        return false;
    }

    // Tries to send without waiting. A queue found full may only look full: the socket
    // takes in its I/O thread's queue-drained notices by itself only about once a
    // millisecond, so it takes them in and tries once more before it gives up.
    bool try_send(const char *topic, size_t length) {
        if (zmq_send(socket_, topic, length, ZMQ_SNDMORE | ZMQ_DONTWAIT) >= 0) {
            return true;
        }
        if (zmq_errno() != EAGAIN) {
            return false;
        }
        int events = 0;
        size_t size = sizeof events;
        zmq_getsockopt(socket_, ZMQ_EVENTS, &events, &size);
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

void await_acks(void *ack_socket, const char *topic, unsigned msg_id, unsigned count,
                PublishCounters &counters) {
    for (unsigned i = 0; i < count; ++i) {
        if (receive_ack(ack_socket)) {
            PublishCounters::bump(counters.acknowledged);
            zmq_send(ack_socket, "", 0, 0);
        } else {
            PublishCounters::bump(counters.ack_timeouts);
            printf("%s msg[id] : %d time out ;i = %d, channel_count = %d\n", topic,
                   static_cast<int>(msg_id), static_cast<int>(i), static_cast<int>(count));
        }
    }
}

// Copies the frame into a buffer of the pool and sets up its message, which gives the
// buffer back once ZeroMQ has done with it. Returns the copy, or null when the frame would
// run past its slot, no buffer is free or the message cannot be set up; the frame is then
// not published.
const kt_frame *copy_frame(ktdaq::FramePool &pool, const kt_frame *frame, zmq_msg_t *message) {
    if (frame == nullptr) {
        return nullptr;
    }
    const uint32_t length = kt_frame_length(frame);
    if (length > KT_SLOT_SIZE) {
        return nullptr;
    }
    uint8_t *buffer = pool.take();
    if (buffer == nullptr) {
        return nullptr;
    }
    memcpy(buffer, frame, length);
    if (zmq_msg_init_data(message, buffer, length, ktdaq::FramePool::release, &pool) != 0) {
        ktdaq::FramePool::release(buffer, &pool);
        return nullptr;
    }
    return reinterpret_cast<const kt_frame *>(buffer);
}

// The loop's message buffers; never freed, since ZeroMQ's I/O threads may still hold some
// while the process ends.
constinit ktdaq::FramePool g_pool(kPoolChunk, ktdaq::kPoolMinBuffers);

// A frame taken from the ring, copied and ready to publish.
struct Taken {
    zmq_msg_t message;
    char topic[kTopicSize];
    size_t topic_length;
    unsigned msg_id;
    unsigned acks;  // acknowledgements awaited
};

// Waits until the ring holds frames, calling `idle` instead of sleeping while it is empty
// (it gets the poll interval), and takes the next frame. False when it is not published
// (counted as skipped); its slot has been handed back either way.
template <typename Idle>
bool take_frame(kt_axis *axis, ktdaq::FramePool &pool, PublishCounters &counters, Idle idle,
                Taken *out) {
    uint32_t count = 0;
    while ((count = kt_get_data_cnt(axis)) == 0) {
        idle(KT_DAQ_POLL_MS);
    }
    const kt_frame *copy =
        copy_frame(pool, static_cast<const kt_frame *>(kt_axis_read_frame(axis, nullptr, count)),
                   &out->message);
    // The engine may write the slot again at once. A skipped frame's slot goes back
    // too, or the next pass would take a slot the engine has not written yet.
    kt_axis_read_done(axis);
    PublishCounters::bump(counters.taken);
    if (copy == nullptr) {
        PublishCounters::bump(counters.skipped);
        return false;
    }
    // Topic and acknowledgements come from the copy: the bytes that are sent.
    const int length =
        snprintf(out->topic, sizeof out->topic, "frame://%d:%d", static_cast<int>(copy->module_id),
                 static_cast<int>(copy->channel_id));
    out->topic_length = static_cast<size_t>(length);
    out->msg_id = copy->msg_id;
    out->acks = ktdaq::acks_awaited(kt_frame_source_key(copy));
    return true;
}

// One frame in flight: each frame's acknowledgements are awaited before the next frame
// is taken, each for up to the socket's receive time-out.
[[noreturn]] void run_in_step(kt_axis *axis, Publisher &publisher, void *ack_socket,
                              PublishCounters &counters) {
    auto sleep = [](int ms) { kt_sleep_ms(ms); };
    for (;;) {
        Taken f;
        if (!take_frame(axis, g_pool, counters, sleep, &f)) {
            continue;
        }
        publisher.publish(f.topic, f.topic_length, &f.message, counters);
        await_acks(ack_socket, f.topic, f.msg_id, f.acks, counters);
    }
}

// Up to the window's size of frames in flight: the loop waits for acknowledgements only
// when the window is full, while the ring is empty, or once the oldest frame is due.
[[noreturn]] void run_windowed(kt_axis *axis, Publisher &publisher, ktdaq::AckWindow &window,
                               PublishCounters &counters) {
    auto idle = [&window](int ms) {
        if (window.empty()) {
            kt_sleep_ms(ms);
        } else {
            window.wait(ms);
        }
    };
    for (;;) {
        while (window.full()) {
            window.wait(-1);
        }
        window.expire_due();
        Taken f;
        if (!take_frame(axis, g_pool, counters, idle, &f)) {
            continue;
        }
        publisher.publish(f.topic, f.topic_length, &f.message, counters);
        if (f.acks > 0) {
            window.add(f.topic, f.topic_length, f.msg_id, f.acks);
        }
    }
}

}  // namespace

void kt_daq_run(kt_daq *daq) noexcept {
    if (daq == nullptr || daq->axis == nullptr) {
        return;
    }
    const ktdaq::PublishOptions options = ktdaq::take_publish_options();
    PublishCounters &counters = ktdaq::publish_counters;

    void *context = zmq_ctx_new();
    void *publisher = zmq_socket(context, ZMQ_PUB);
    // Room in each queue for the window's frames at least: a subscriber that keeps up
    // acknowledges what it has received, so it may have a window's frames still to read.
    const int hwm = static_cast<int>(options.queue_depth > options.ack_window ? options.queue_depth
                                                                              : options.ack_window);
    zmq_setsockopt(publisher, ZMQ_SNDHWM, &hwm, sizeof hwm);
    g_pool.set_limit(ktdaq::pool_buffers(static_cast<uint32_t>(hwm)));
    // Peers send only subscriptions and acknowledgements, whose content is ignored: one
    // that sends more than this in a message is disconnected rather than buffered.
    const int64_t max_message = kMaxPeerMessage;
    zmq_setsockopt(publisher, ZMQ_MAXMSGSIZE, &max_message, sizeof max_message);
    zmq_bind(publisher, KT_DAQ_PUB_ENDPOINT);
    void *ack_socket = zmq_socket(context, ZMQ_REP);
    zmq_setsockopt(ack_socket, ZMQ_MAXMSGSIZE, &max_message, sizeof max_message);
    zmq_bind(ack_socket, KT_DAQ_ACK_ENDPOINT);
    const int timeout = KT_DAQ_ACK_TIMEOUT_MS;
    zmq_setsockopt(ack_socket, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
    zmq_setsockopt(ack_socket, ZMQ_SNDTIMEO, &timeout, sizeof timeout);
    Publisher publisher_queue(publisher);
    if (options.ack_window <= 1) {
        run_in_step(daq->axis, publisher_queue, ack_socket, counters);
    }
    ktdaq::AckWindow window(ack_socket, options.ack_window, counters);
    run_windowed(daq->axis, publisher_queue, window, counters);
}
