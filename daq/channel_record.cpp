#include "channel_record.h"

#include <pthread.h>
#include <stdio.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "channel_sync.h"

extern "C" void *pthread_accept_conn(void *arg);

namespace ktdaq {
namespace {

// The shared record, followed by what only this library needs. Filters see the record
// alone.
struct Record {
    kt_channel channel;
    int stop_fd;      // eventfd that tells the acceptor to stop
    int epoll_fd;     // what the acceptor waits on
    bool has_thread;  // accept_thread holds a joinable thread
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

}  // namespace ktdaq
