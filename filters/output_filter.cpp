// Output filter: delivers a frame to the channel's TCP client.
#include <sys/socket.h>

#include <atomic>
#include <cstdio>

#include "kt_filters.h"

int kt_output_filter(kt_channel *channel, kt_frame *frame) noexcept {
    if (frame == nullptr || channel == nullptr) {
        puts("output_filter parameters invalid!");
        return -1;
    }
    if (frame->payload_len == 0) {
        return 0;
    }
    if (!kt_frame_fits_slot(frame)) {
        return -1;  // would read past the 2048-byte buffer
    }
    // conn_fd is shared with the engine's threads, which read and write it sequentially
    // consistent; so does the filter.
    std::atomic_ref<int> conn(channel->conn_fd);
    const int fd = conn.load(std::memory_order_seq_cst);
    if (fd < 0) {
        return -1;  // the client has just gone: nothing to send to, nothing to report
    }
    // No SIGPIPE from a client that went away: the send fails instead.
    if (send(fd, frame, kt_frame_length(frame), MSG_NOSIGNAL) >= 0) {
        return 0;
    }
    perror("send");
    // The channel's acceptor owns the socket and closes it once no thread can still be
    // sending on it; here it is only disconnected, so its number is never reused while
    // in use.
    shutdown(fd, SHUT_RDWR);
    int expected = fd;
    conn.compare_exchange_strong(expected, -1, std::memory_order_seq_cst);
    return -1;
}
