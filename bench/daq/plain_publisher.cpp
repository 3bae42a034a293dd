#include "plain_publisher.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <zmq.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// The topic of a frame as the loop names it; its length.
int frame_topic(const kt_frame *frame, char (&topic)[16]) {
    return snprintf(topic, sizeof topic, "frame://%d:%d", static_cast<int>(frame->module_id),
                    static_cast<int>(frame->channel_id));
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
        const int topic_length = frame_topic(frame, topic);
        send_when_room(pub, topic, static_cast<size_t>(topic_length), ZMQ_SNDMORE);
        send_when_room(pub, frame, kt_frame_length(frame), 0);
        // zmq_send has copied the frame: the slot can go back at once.
        kt_axis_read_done(axis);
        if (ack) {
            answer_ack(rep);
        }
    }
}

void run_deep_publisher(const char *path, uint32_t ring_bytes, int queue_depth) {
    void *context = zmq_ctx_new();
    void *pub = zmq_socket(context, ZMQ_PUB);
    zmq_setsockopt(pub, ZMQ_SNDHWM, &queue_depth, sizeof queue_depth);
    if (zmq_bind(pub, KT_DAQ_PUB_ENDPOINT) != 0) {
        _Exit(1);
    }
    kt_axis *axis = open_ring(path, ring_bytes);
    if (axis == nullptr) {
        _Exit(1);
    }
    for (;;) {
        kt_frame *frame = take_frame(axis);
        if (kt_frame_fits_slot(frame)) {
            char topic[16];
            const int topic_length = frame_topic(frame, topic);
            zmq_send(pub, topic, static_cast<size_t>(topic_length), ZMQ_SNDMORE);
            zmq_send(pub, frame, kt_frame_length(frame), 0);
        }
        kt_axis_read_done(axis);
    }
}

void run_stream_floor(const char *path, uint32_t ring_bytes, uint16_t port) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0) {
        _Exit(1);
    }
    kt_axis *axis = open_ring(path, ring_bytes);
    if (axis == nullptr) {
        _Exit(1);
    }
    const int client = accept(listener, nullptr, nullptr);
    // Each frame its own segment, as a frame that is due goes out at once.
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    alignas(8) static uint8_t copy[KT_SLOT_SIZE];
    for (;;) {
        const kt_frame *frame = take_frame(axis);
        const uint32_t length = kt_frame_fits_slot(frame) ? kt_frame_length(frame) : 0;
        memcpy(copy, frame, length);
        kt_axis_read_done(axis);
        // One send per frame; a short one (the socket's buffer full) sends the rest.
        for (uint32_t sent = 0; sent < length;) {
            const ssize_t n = send(client, copy + sent, length - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EINTR) {
                _Exit(0);
            }
            sent += n > 0 ? static_cast<uint32_t>(n) : 0;
        }
    }
}

}  // namespace ktbench
