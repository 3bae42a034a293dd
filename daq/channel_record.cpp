// A channel record's life and its client's: allocation, the acceptor's descriptors and
// thread, the client hand-over, and release once the dispatch thread cannot reach them.
#include "internal.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace ktdaq {
namespace {

// The shared record, followed by what only this library needs. Filters see the record
// alone.
struct Record {
    kt_channel channel;
    int stop_fd;             // eventfd that tells the acceptor to stop
    int epoll_fd;            // what the acceptor waits on
    bool has_thread;         // accept_thread holds a joinable thread
    uint32_t client_serial;  // of the latest client taken
    RetireNode retire;
};

Record *record_of(kt_channel *channel) {
    return reinterpret_cast<Record *>(channel);
}

void close_fd(int *fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

bool add_to_epoll(int epfd, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint64_t>(fd);  // as the acceptor tells its events apart
    return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void release_record(RetireNode *node) noexcept {
    auto *r = reinterpret_cast<Record *>(reinterpret_cast<char *>(node) - offsetof(Record, retire));
    channel_free(&r->channel);
}

}  // namespace

// A client socket and what it takes to close it later.
struct Client {
    RetireNode retire;  // first member: the node's address is the client's
    int fd;
    uint32_t serial;  // tells this client's events from those of an earlier one
};

namespace {

// Event data of a client: its serial above its descriptor, which may be a closed
// client's number again. The listener and the stop descriptor have serial 0.
uint64_t event_data_of(const Client &client) {
    return static_cast<uint64_t>(client.serial) << 32 | static_cast<uint32_t>(client.fd);
}

void release_client(RetireNode *node) noexcept {
    auto *client = reinterpret_cast<Client *>(node);
    close(client->fd);
    free(client);
}

}  // namespace

kt_channel *channel_new() noexcept {
    auto *r = static_cast<Record *>(calloc(1, sizeof(Record)));
    if (r == nullptr) {
        return nullptr;
    }
    r->channel.listen_fd = -1;
    r->channel.conn_fd = -1;
    r->stop_fd = -1;
    r->epoll_fd = -1;
    r->retire.release = release_record;
    return &r->channel;
}

bool channel_start_acceptor(kt_channel *channel) noexcept {
    Record *r = record_of(channel);
    // The acceptor's descriptors are made here, so that running out of them fails this
    // channel only, instead of ending the process from the acceptor.
    r->epoll_fd = epoll_create(10);
    if (r->epoll_fd < 0) {
        perror("pthread_accept_conn epoll_create failed");
        return false;
    }
    r->stop_fd = eventfd(0, EFD_CLOEXEC);
    if (r->stop_fd < 0) {
        perror("eventfd");
        close_fd(&r->epoll_fd);
        return false;
    }
    if (!add_to_epoll(r->epoll_fd, channel->listen_fd) || !add_to_epoll(r->epoll_fd, r->stop_fd)) {
        perror("epll_ctl:listen_socket register failed");
        close_fd(&r->stop_fd);
        close_fd(&r->epoll_fd);
        return false;
    }
    // Kept joinable: a replaced channel's acceptor is stopped and joined before its
    // record is released.
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, pthread_accept_conn, channel) != 0) {
        fputs("pthread_create failed\n", stderr);
        close_fd(&r->stop_fd);
        close_fd(&r->epoll_fd);
        return false;
    }
    channel->accept_thread = thread;
    r->has_thread = true;
    return true;
}

int channel_epoll_fd(kt_channel *channel) noexcept {
    return record_of(channel)->epoll_fd;
}

int channel_stop_fd(kt_channel *channel) noexcept {
    return record_of(channel)->stop_fd;
}

void channel_close(kt_channel *channel) noexcept {
    Record *r = record_of(channel);
    if (r->has_thread) {
        const uint64_t one = 1;
        (void)!write(r->stop_fd, &one, sizeof one);
        pthread_join(channel->accept_thread, nullptr);
        r->has_thread = false;
        channel->accept_thread = 0;
    }
    close_fd(&r->stop_fd);
    close_fd(&r->epoll_fd);
    close_fd(&channel->listen_fd);
}

void channel_free(kt_channel *channel) noexcept {
    if (channel == nullptr) {
        return;
    }
    channel_close(channel);
    free(channel->name);
    free(channel->sub_filters);
    free(channel->param);
    free(record_of(channel));
}

void channel_retire(kt_channel *channel) noexcept {
    channel_close(channel);
    retire(&record_of(channel)->retire, channel);
}

Client *client_take(kt_channel *channel, int fd, Client *previous) noexcept {
    Record *r = record_of(channel);
    auto *client = static_cast<Client *>(malloc(sizeof(Client)));
    if (client == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    client->retire.release = release_client;
    client->fd = fd;
    client->serial = ++r->client_serial != 0 ? r->client_serial : ++r->client_serial;
    epoll_event ev{};
    ev.events = EPOLLRDHUP | EPOLLERR;
    ev.data.u64 = event_data_of(*client);
    if (epoll_ctl(r->epoll_fd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        perror("epll_ctl:conn_sock register failed");
        exit(1);
    }
    conn_of(channel).store(fd, std::memory_order_seq_cst);
    bump_shared(filter_counters.client_connects);
    if (previous != nullptr) {
        client_retire(channel, previous);  // the latest client replaces the one before
    }
    return client;
}

bool client_owns_event(const Client *client, uint64_t event_data) noexcept {
    return client != nullptr && event_data == event_data_of(*client);
}

void client_retire(kt_channel *channel, Client *client) noexcept {
    int expected = client->fd;
    conn_of(channel).compare_exchange_strong(expected, -1, std::memory_order_seq_cst);
    epoll_ctl(record_of(channel)->epoll_fd, EPOLL_CTL_DEL, client->fd, nullptr);
    shutdown(client->fd, SHUT_RDWR);
    bump_shared(filter_counters.client_disconnects);
    retire(&client->retire, channel);
}

}  // namespace ktdaq
