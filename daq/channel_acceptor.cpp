// Acceptor of a channel: keeps at most one TCP client and the record's conn_fd up to date.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace {

// How long the listener is left alone when the process has run out of descriptors or
// memory: clients wait in the backlog meanwhile.
constexpr int kBackoffMs = 100;

uint16_t port_of(kt_channel *channel) {
    return std::atomic_ref<uint16_t>(channel->port).load(std::memory_order_relaxed);
}

// Errors of accept that concern only the connection being taken: the peer gave up
// before it was accepted, or the call was interrupted. Nothing to end the process for.
bool transient_accept_error(int err) {
    return err == ECONNABORTED || err == EINTR || err == EAGAIN || err == EPROTO ||
           err == ENETDOWN || err == ENOPROTOOPT || err == EHOSTDOWN || err == ENONET ||
           err == EHOSTUNREACH || err == EOPNOTSUPP || err == ENETUNREACH;
}

// Errors of accept that say the process is short of descriptors or memory for now.
bool shortage_error(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

int64_t now_ms() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void set_listening(int epfd, int listen_fd, bool on) {
    epoll_event ev{};
    ev.events = on ? static_cast<uint32_t>(EPOLLIN) : 0u;
    ev.data.u64 = static_cast<uint64_t>(listen_fd);
    epoll_ctl(epfd, EPOLL_CTL_MOD, listen_fd, &ev);
}

}  // namespace

// Start routine of a channel's acceptor thread; `arg` is the channel record. Returns only
// when the record's owner stops it, after retiring its client.
extern "C" void *pthread_accept_conn(void *arg) {
    auto *channel = static_cast<kt_channel *>(arg);
    const int listen_fd = channel->listen_fd;
    const int stop_fd = ktdaq::channel_stop_fd(channel);
    const int epfd = ktdaq::channel_epoll_fd(channel);

    ktdaq::Client *client = nullptr;  // the client this acceptor owns
    int64_t resume_at = -1;           // while the listener rests: when to watch it again
    bool shortage_told = false;
    epoll_event events[10];
    for (;;) {
        int timeout = -1;
        if (resume_at >= 0) {
            const int64_t left = resume_at - now_ms();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        const int n = epoll_wait(epfd, events, 10, timeout);
        if (n < 0) {
            if (errno == EINTR) {
                continue;  // a signal for the application, not a failure
            }
            perror("start epoll_wait failed");
            exit(1);
        }
        if (resume_at >= 0 && now_ms() >= resume_at) {
            set_listening(epfd, listen_fd, true);
            resume_at = -1;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == static_cast<uint64_t>(stop_fd)) {
                if (client != nullptr) {
                    ktdaq::client_retire(channel, client);
                }
                return nullptr;
            }
            if (tag == static_cast<uint64_t>(listen_fd)) {
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                const int conn = accept(listen_fd, reinterpret_cast<sockaddr *>(&peer), &len);
                ktdaq::Client *taken =
                    conn >= 0 ? ktdaq::client_take(channel, conn, client) : nullptr;
                if (taken == nullptr) {
                    if (transient_accept_error(errno)) {
                        continue;
                    }
                    if (!shortage_error(errno)) {
                        perror("accept conn_sock failed");
                        exit(1);
                    }
                    // Out of descriptors or memory: leave the listener alone for a while
                    // instead of failing the same accept again and again; say so once.
                    if (!shortage_told) {
                        perror("accept conn_sock failed");
                        shortage_told = true;
                    }
                    set_listening(epfd, listen_fd, false);
                    resume_at = now_ms() + kBackoffMs;
                    continue;
                }
                shortage_told = false;
                client = taken;
                printf("port : %d, accept connect %s\n", port_of(channel),
                       inet_ntoa(peer.sin_addr));
            } else if (ktdaq::client_owns_event(client, tag) &&
                       (events[i].events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
                ktdaq::client_retire(channel, client);
                client = nullptr;
                printf("port : %d connection close\n", port_of(channel));
            }
        }
    }
}
