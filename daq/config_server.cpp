// Channel configuration server of the filter mode: one configuration message per request
// on a ZeroMQ reply socket, an empty reply after each.
#include <zmq.h>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

#include "internal.h"
#include "kt_daq.h"

namespace {

constexpr char kEndpoint[] = KT_DAQ_CONFIG_ENDPOINT;
// A message up to this size is received and, beyond 1024 bytes, refused with a line; a
// peer that sends a longer one is disconnected before its message is stored, so no peer
// can make the server hold more than this per queued message.
constexpr int64_t kMaxPeerMessage = 4096;
// Messages queued per peer: the server takes one at a time anyway.
constexpr int kReceiveHighWaterMark = 4;
// A connection that has not introduced itself as a ZeroMQ peer by then is dropped, so
// idle connections cannot hold the process's descriptors for long.
constexpr int kHandshakeMs = 2000;

}  // namespace

// Start routine of the configuration server thread; `arg` is not read. Never returns
// while its socket works.
extern "C" void *pthread_config_channel(void *) {
    void *context = zmq_ctx_new();
    void *socket = context != nullptr ? zmq_socket(context, ZMQ_REP) : nullptr;
    if (socket != nullptr) {
        const int64_t max_message = kMaxPeerMessage;
        zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &max_message, sizeof max_message);
        const int hwm = kReceiveHighWaterMark;
        zmq_setsockopt(socket, ZMQ_RCVHWM, &hwm, sizeof hwm);
        const int handshake = kHandshakeMs;
        zmq_setsockopt(socket, ZMQ_HANDSHAKE_IVL, &handshake, sizeof handshake);
    }
    if (socket == nullptr || zmq_bind(socket, kEndpoint) != 0) {
        // Without its socket the server cannot serve; the dispatch loop goes on.
        printf("pthread_config_channel cannot bind %s: %s\n", kEndpoint, zmq_strerror(zmq_errno()));
        fflush(stdout);
        return nullptr;
    }
    char buffer[ktdaq::kMaxMessage + 1];
    for (;;) {
        zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, -1) < 0 || (item.revents & ZMQ_POLLIN) == 0) {
            continue;
        }
        const int received = zmq_recv(socket, buffer, ktdaq::kMaxMessage, 0);
        if (received < 0) {
            continue;  // nothing received, nothing to answer
        }
        const size_t length = static_cast<size_t>(received);
        // Only the first bytes are stored; a longer message is refused as a whole.
        buffer[length < ktdaq::kMaxMessage ? length : ktdaq::kMaxMessage] = '\0';
        ktdaq::kt_create_channel(buffer, length);
        zmq_send(socket, "", 0, 0);
    }
}
