// Receive buffer of a command connection: receiving, cutting CR LF lines, sending.
#include "kt_cmd.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Usable size of the data area, whatever the caller left in `capacity`.
int32_t usable(const kt_netword &nw) {
    return std::min<int32_t>(nw.capacity, KT_NETWORD_SIZE);
}

void terminate_at_fill(kt_netword &nw) {
    if (nw.fill >= 0 && nw.fill < KT_NETWORD_SIZE) {
        nw.data[nw.fill] = '\0';
    }
}

}  // namespace

void kt_netword_init(kt_netword *nw) noexcept {
    if (nw == nullptr) {
        return;
    }
    std::memset(nw, 0, sizeof *nw);
    nw->capacity = KT_NETWORD_SIZE;
}

int kt_recv(int fd, kt_netword *nw) noexcept {
    if (nw == nullptr) {
        return -1;
    }
    // A full buffer holds a line too long to ever complete: it is discarded and the new
    // bytes land at the start. The discard takes effect only when the receive did not fail,
    // so that a closed or failed connection leaves the buffer as it was. A pending line
    // goes with the discarded bytes, which keeps `consumed` within `fill`.
    const bool full = nw->fill < 0 || usable(*nw) - nw->fill <= 0;
    const int32_t start = full ? 0 : nw->fill;
    const auto room = static_cast<uint16_t>(usable(*nw) - start);
    ssize_t got = recv(fd, nw->data + start, room, 0);
    if (got == 0) {
        return -1;
    }
    if (got < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        got = 0;
    }
    if (full) {
        nw->fill = 0;
        nw->consumed = 0;
    }
    nw->fill += static_cast<int32_t>(got);
    return 0;
}

int kt_cmd_is_complete(const char *buf, int32_t count, int32_t *counter) noexcept {
    if (buf == nullptr || counter == nullptr || count <= 1) {
        return 0;
    }
    const char *end = buf + count - 1;  // last position where a CR can start a pair
    for (const char *p = buf; p < end; ++p) {
        p = static_cast<const char *>(std::memchr(p, '\r', static_cast<size_t>(end - p)));
        if (p == nullptr) {
            return 0;
        }
        if (p[1] == '\n') {
            *counter += static_cast<int32_t>(p - buf) + 2;
            return 1;
        }
    }
    return 0;
}

int kt_get_complete_cmd(kt_netword *nw) noexcept {
    if (nw == nullptr) {
        return -1;
    }
    if (nw->fill < 0 || nw->fill > usable(*nw)) {
        nw->fill = 0;
    }
    // Drop the line handed out last and move what follows it to the start.
    if (nw->consumed > 0) {
        const int32_t drop = std::min(nw->consumed, nw->fill);
        std::memmove(nw->data, nw->data + drop, static_cast<size_t>(nw->fill - drop));
        nw->fill -= drop;
        terminate_at_fill(*nw);
    }
    nw->consumed = 0;

    // Skip empty lines: whole CR LF pairs at the very start, all in one move.
    int32_t skip = 0;
    while (nw->fill - skip >= 2 && nw->data[skip] == '\r' && nw->data[skip + 1] == '\n') {
        skip += 2;
    }
    if (skip > 0) {
        std::memmove(nw->data, nw->data + skip, static_cast<size_t>(nw->fill - skip));
        nw->fill -= skip;
        terminate_at_fill(*nw);
    }

    if (nw->fill <= 0) {
        return -1;
    }
    int32_t length = 0;
    if (kt_cmd_is_complete(nw->data, nw->fill, &length) != 1) {
        return -1;
    }
    nw->data[length - 2] = '\0';  // over the CR; the LF stays until the next call
    nw->consumed = length;
    return 0;
}

int kt_send(int fd, const char *buf, int len) noexcept {
    if (buf == nullptr || len < 0) {
        return -1;
    }
    // MSG_NOSIGNAL: a client that has gone away must not kill the server with SIGPIPE.
    const ssize_t sent = send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (sent < 0) {
        return -1;
    }
    return static_cast<int>(sent);
}
