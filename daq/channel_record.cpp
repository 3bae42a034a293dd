#include "channel_record.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

extern "C" void *pthread_accept_conn(void *arg);

namespace ktdaq {
namespace {

// The shared record, followed by what only this library needs. Filters see the record
// alone.
struct Record {
    kt_channel channel;
    int stop_fd;      // eventfd that tells the acceptor to stop
    bool has_thread;  // accept_thread holds a joinable thread
};

Record *record_of(kt_channel *channel) {
    return reinterpret_cast<Record *>(channel);
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
    return &r->channel;
}

bool channel_start_acceptor(kt_channel *channel) noexcept {
    Record *r = record_of(channel);
    r->stop_fd = eventfd(0, EFD_CLOEXEC);
    if (r->stop_fd < 0) {
        return false;
    }
    // Kept joinable: a replaced channel's acceptor is stopped and joined before its
    // record is freed.
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, pthread_accept_conn, channel) != 0) {
        close(r->stop_fd);
        r->stop_fd = -1;
        return false;
    }
    channel->accept_thread = thread;
    r->has_thread = true;
    return true;
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
    if (r->stop_fd >= 0) {
        close(r->stop_fd);
        r->stop_fd = -1;
    }
    if (channel->listen_fd >= 0) {
        close(channel->listen_fd);
        channel->listen_fd = -1;
    }
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

}  // namespace ktdaq
