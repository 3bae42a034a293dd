#include "plain_publisher.h"

#include <poll.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "kt_daq.h"
#include "ring_reader.h"

namespace ktbench {
namespace {

// Sends one part once every subscriber queue has room. With ZMQ_XPUB_NODROP a full queue
// makes the send fail with EAGAIN instead of dropping the frame. Room comes back with the
// I/O thread's "queue drained" notice, a command to the socket: ZMQ_EVENTS takes in the
// commands waiting, and when the send still fails, the wait is a poll() on the socket's
// ZMQ_FD, which becomes readable when a new command arrives. ZMQ_EVENTS cannot tell
// whether there is room: a PUB socket always reports ZMQ_POLLOUT.
bool send_when_room(void *socket, const void *data, size_t length, int flags) {
    auto try_send = [&] { return zmq_send(socket, data, length, flags | ZMQ_DONTWAIT) >= 0; };
    auto full = [] { return zmq_errno() == EAGAIN || zmq_errno() == EINTR; };
    if (try_send()) {
        return true;
    }
    int fd = -1;
    size_t size = sizeof fd;
    zmq_getsockopt(socket, ZMQ_FD, &fd, &size);
    while (full()) {
        int events = 0;
        size = sizeof events;
        zmq_getsockopt(socket, ZMQ_EVENTS, &events, &size);
        if (try_send()) {
            return true;
        }
        if (!full()) {
            break;
        }
        pollfd item{fd, POLLIN, 0};
        // Bounded only so that a lost wake-up cannot stop the baseline for good.
        poll(&item, 1, 100);
    }
    return false;
}

// One acknowledgement of any number of parts, answered with an empty message.
void answer_ack(void *rep) {
    zmq_msg_t message;
    zmq_msg_init(&message);
    int rc = 0;
    do {
        rc = zmq_msg_recv(&message, rep, 0);
    } while ((rc >= 0 && zmq_msg_more(&message)) || (rc < 0 && zmq_errno() == EINTR));
    zmq_msg_close(&message);
    if (rc >= 0) {
        zmq_send(rep, "", 0, 0);
    }
}

}  // namespace

void run_plain_publisher(const char *path, uint32_t ring_bytes, bool ack) {
    void *context = zmq_ctx_new();
    void *pub = zmq_socket(context, ZMQ_PUB);
    const int hwm = 1;
    zmq_setsockopt(pub, ZMQ_SNDHWM, &hwm, sizeof hwm);
    const int nodrop = 1;
    zmq_setsockopt(pub, ZMQ_XPUB_NODROP, &nodrop, sizeof nodrop);
    if (zmq_bind(pub, KT_DAQ_PUB_ENDPOINT) != 0) {
        _Exit(1);
    }
    void *rep = nullptr;
    if (ack) {
        rep = zmq_socket(context, ZMQ_REP);
        const int timeout = KT_DAQ_ACK_TIMEOUT_MS;
        zmq_setsockopt(rep, ZMQ_RCVTIMEO, &timeout, sizeof timeout);
        if (zmq_bind(rep, KT_DAQ_ACK_ENDPOINT) != 0) {
            _Exit(1);
        }
    }
    kt_axis *axis = open_ring(path, ring_bytes);
    if (axis == nullptr) {
        _Exit(1);
    }
    for (;;) {
        kt_frame *frame = take_frame(axis);
        if (!kt_frame_fits_slot(frame)) {
            kt_axis_read_done(axis);
            continue;
        }
        char topic[16];
        const int topic_length =
            snprintf(topic, sizeof topic, "frame://%d:%d", static_cast<int>(frame->module_id),
                     static_cast<int>(frame->channel_id));
        send_when_room(pub, topic, static_cast<size_t>(topic_length), ZMQ_SNDMORE);
        send_when_room(pub, frame, kt_frame_length(frame), 0);
        // zmq_send has copied the frame: the slot can go back at once.
        kt_axis_read_done(axis);
        if (ack) {
            answer_ack(rep);
        }
    }
}

}  // namespace ktbench
