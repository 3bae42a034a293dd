// Acceptor of a channel: keeps at most one TCP client and the record's conn_fd up to date.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "channel_record.h"
#include "channel_sync.h"

namespace {

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

// Ends a client connection for good: disconnects it at once, so that a send blocked on it
// returns, then closes it once no scan of the dispatch thread can still be sending on it.
void retire_client(kt_channel *channel, int fd) {
    int expected = fd;
    ktdaq::conn_of(channel).compare_exchange_strong(expected, -1, std::memory_order_seq_cst);
    shutdown(fd, SHUT_RDWR);
    ktdaq::wait_for_scans();
    close(fd);
}

void add_or_exit(int epfd, int fd, uint32_t events, const char *what) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        perror(what);
        exit(1);
    }
}

}  // namespace

// Start routine of a channel's acceptor thread; `arg` is the channel record. Returns only
// when the record's owner stops it, after closing its client and its epoll instance.
extern "C" void *pthread_accept_conn(void *arg) {
    auto *channel = static_cast<kt_channel *>(arg);
    const int listen_fd = channel->listen_fd;
    const int stop_fd = ktdaq::channel_stop_fd(channel);
    const int epfd = epoll_create(10);
    if (epfd < 0) {
        perror("pthread_accept_conn epoll_create failed");
        exit(1);
    }
    add_or_exit(epfd, listen_fd, EPOLLIN, "epll_ctl:listen_socket register failed");
    add_or_exit(epfd, stop_fd, EPOLLIN, "epll_ctl:listen_socket register failed");

    int client = -1;  // the client this acceptor owns and will close
    epoll_event events[10];
    for (;;) {
        const int n = epoll_wait(epfd, events, 10, -1);
        if (n < 0) {
            if (errno == EINTR) {
                continue;  // a signal for the application, not a failure
            }
            perror("start epoll_wait failed");
            exit(1);
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stop_fd) {
                if (client >= 0) {
                    retire_client(channel, client);
                }
                close(epfd);
                return nullptr;
            }
            if (fd == listen_fd) {
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                const int conn = accept(listen_fd, reinterpret_cast<sockaddr *>(&peer), &len);
                if (conn < 0) {
                    if (transient_accept_error(errno)) {
                        continue;
                    }
                    perror("accept conn_sock failed");
                    exit(1);
                }
                add_or_exit(epfd, conn, EPOLLRDHUP | EPOLLERR,
                            "epll_ctl:conn_sock register failed");
                const int previous = client;
                client = conn;
                ktdaq::conn_of(channel).store(conn, std::memory_order_seq_cst);
                if (previous >= 0) {
                    // The latest client replaces the one before.
                    shutdown(previous, SHUT_RDWR);
                    ktdaq::wait_for_scans();
                    close(previous);
                }
                printf("port : %d, accept connect %s\n", port_of(channel),
                       inet_ntoa(peer.sin_addr));
            } else if (fd == client && (events[i].events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
                retire_client(channel, client);
                client = -1;
                printf("port : %d connection close\n", port_of(channel));
            }
        }
    }
}
