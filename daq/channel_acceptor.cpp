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

#include "channel_record.h"
#include "channel_sync.h"

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

// A client socket and what it takes to close it later.
struct Client {
    ktdaq::RetireNode retire;  // first member: the node's address is the client's
    int fd;
    uint32_t serial;  // tells this client's events from those of an earlier one
};

// Event data of a client: its serial above its descriptor, which may be a closed
// client's number again. The listener and the stop descriptor have serial 0.
uint64_t tag_of(const Client &client) {
    return static_cast<uint64_t>(client.serial) << 32 | static_cast<uint32_t>(client.fd);
}

void release_client(ktdaq::RetireNode *node) noexcept {
    auto *client = reinterpret_cast<Client *>(node);
    close(client->fd);
    free(client);
}

// Ends a client connection for good: disconnects it at once, so that a send blocked on it
// returns, and has it closed once the dispatch thread cannot still be sending on it.
void retire_client(kt_channel *channel, int epfd, Client *client) {
    int expected = client->fd;
    ktdaq::conn_of(channel).compare_exchange_strong(expected, -1, std::memory_order_seq_cst);
    epoll_ctl(epfd, EPOLL_CTL_DEL, client->fd, nullptr);
    shutdown(client->fd, SHUT_RDWR);
    ktdaq::retire(&client->retire, channel);
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

    Client *client = nullptr;  // the client this acceptor owns
    uint32_t serial = 0;
    int64_t resume_at = -1;  // while the listener rests: when to watch it again
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
                    retire_client(channel, epfd, client);
                }
                return nullptr;
            }
            if (tag == static_cast<uint64_t>(listen_fd)) {
                sockaddr_in peer{};
                socklen_t len = sizeof peer;
                const int conn = accept(listen_fd, reinterpret_cast<sockaddr *>(&peer), &len);
                auto *taken = conn >= 0 ? static_cast<Client *>(malloc(sizeof(Client))) : nullptr;
                if (conn >= 0 && taken == nullptr) {
                    close(conn);
                    errno = ENOMEM;
                }
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
                taken->retire.release = release_client;
                taken->fd = conn;
                taken->serial = ++serial != 0 ? serial : ++serial;
                epoll_event ev{};
                ev.events = EPOLLRDHUP | EPOLLERR;
                ev.data.u64 = tag_of(*taken);
                if (epoll_ctl(epfd, EPOLL_CTL_ADD, conn, &ev) != 0) {
                    perror("epll_ctl:conn_sock register failed");
                    exit(1);
                }
                Client *previous = client;
                client = taken;
                ktdaq::conn_of(channel).store(conn, std::memory_order_seq_cst);
                if (previous != nullptr) {
                    retire_client(channel, epfd, previous);  // the latest client replaces it
                }
                printf("port : %d, accept connect %s\n", port_of(channel),
                       inet_ntoa(peer.sin_addr));
            } else if (client != nullptr && tag == tag_of(*client) &&
                       (events[i].events & (EPOLLRDHUP | EPOLLERR | EPOLLHUP))) {
                retire_client(channel, epfd, client);
                client = nullptr;
                printf("port : %d connection close\n", port_of(channel));
            }
        }
    }
}
