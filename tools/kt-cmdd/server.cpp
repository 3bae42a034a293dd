#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands.h"

namespace ktcmdd {

namespace {

// Replies not yet taken by the socket; above this the connection is not read from until
// the client has taken its replies.
constexpr size_t kMaxPending = 256 * 1024;

// How long the listener is left alone after accept ran out of descriptors or memory. The
// pending client stays in the backlog and keeps the listener readable, so retrying at once
// would only spin.
constexpr std::chrono::milliseconds kAcceptBackoff{100};

bool out_of_resources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void close_fd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

struct Server::Connection {
    int fd = -1;
    std::string peer;
    kt_netword nw{};
    std::string pending;   // reply bytes that send() has not taken yet
    bool closing = false;  // close once pending is empty
    uint32_t events = 0;
    Clock::time_point last_active;            // last byte received or sent
    std::list<Connection *>::iterator place;  // its entry in by_activity_
};

Server::Server() = default;

Server::~Server() {
    for (auto &entry : connections_) {
        close(entry.first);
    }
    close_fd(listen_fd_);
    close_fd(epoll_fd_);
    close_fd(stop_fd_);
}

bool Server::open(const std::string &address, uint16_t port, std::string &error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + address;
        return false;
    }
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, SOMAXCONN) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                std::strerror(errno);
        return false;
    }
    port_ = ntohs(addr.sin_port);
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd_ < 0 || stop_fd_ < 0) {
        error = std::string("cannot create the event loop: ") + std::strerror(errno);
        return false;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listen_fd_;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev);
    ev.data.fd = stop_fd_;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &ev);
    return true;
}

void Server::stop() {
    const uint64_t one = 1;
    if (stop_fd_ >= 0) {
        [[maybe_unused]] const ssize_t n = write(stop_fd_, &one, sizeof one);
    }
}

int Server::run() {
    std::vector<epoll_event> events(64);
    for (;;) {
        const int n = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()),
                                 next_timeout(Clock::now()));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("epoll_wait");
            return 1;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stop_fd_) {
                return 0;
            }
            if (fd == listen_fd_) {
                accept_all();
                continue;
            }
            const auto it = connections_.find(fd);
            if (it == connections_.end()) {
                continue;  // closed earlier in this round
            }
            Connection &c = *it->second;
            if ((events[i].events & (EPOLLERR | EPOLLHUP)) != 0 &&
                (events[i].events & EPOLLIN) == 0) {
                close_connection(fd);
                continue;
            }
            if ((events[i].events & EPOLLOUT) != 0) {
                on_writable(c);
            }
            if (connections_.count(fd) != 0 && (events[i].events & EPOLLIN) != 0) {
                on_readable(c);
            }
        }
        on_timers(Clock::now());
    }
}

// Milliseconds until the next idle time-out or the end of an accept pause; -1: none due.
int Server::next_timeout(Clock::time_point now) const {
    Clock::time_point due = Clock::time_point::max();
    if (accept_paused_) {
        due = accept_resume_;
    }
    if (idle_timeout_.count() > 0 && !by_activity_.empty()) {
        due = std::min(due, by_activity_.front()->last_active + idle_timeout_);
    }
    if (due == Clock::time_point::max()) {
        return -1;
    }
    if (due <= now) {
        return 0;
    }
    // Rounded up, so the wait never ends just before the deadline and comes straight back.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

void Server::on_timers(Clock::time_point now) {
    if (accept_paused_ && now >= accept_resume_) {
        accept_paused_ = false;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = listen_fd_;
        if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &ev) != 0) {
            pause_accepting(errno);
        } else {
            accept_all();  // drains the backlog (episode over) or pauses again, unreported
        }
    }
    if (idle_timeout_.count() <= 0) {
        return;
    }
    while (!by_activity_.empty() && by_activity_.front()->last_active + idle_timeout_ <= now) {
        Connection &c = *by_activity_.front();
        if (verbose_) {
            std::printf("connection from %s timed out\n", c.peer.c_str());
        }
        close_connection(c.fd);
    }
}

// Marks activity on `c`: it moves to the end of the time-out order (no allocation).
void Server::touch(Connection &c) {
    c.last_active = Clock::now();
    by_activity_.splice(by_activity_.end(), by_activity_, c.place);
}

// Takes the listener out of the event set for a while; existing connections go on.
void Server::pause_accepting(int error) {
    if (!accept_failure_reported_) {
        std::fprintf(stderr, "kt-cmdd: cannot accept connections (%s); new clients wait\n",
                     std::strerror(error));
        accept_failure_reported_ = true;
    }
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, listen_fd_, nullptr);
    accept_paused_ = true;
    accept_resume_ = Clock::now() + kAcceptBackoff;
}

void Server::accept_all() {
    for (;;) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (out_of_resources(error)) {
                pause_accepting(error);
            } else if (error == EAGAIN || error == EWOULDBLOCK) {
                accept_failure_reported_ = false;  // backlog drained: any episode is over
            }
            return;  // any other error concerns that one client only
        }
        std::string peer =
            std::string(inet_ntoa(addr.sin_addr)) + ":" + std::to_string(ntohs(addr.sin_port));
        // Beyond the cap a client is accepted and closed at once: it learns straight away
        // that it is not served, rather than waiting in the backlog with no answer.
        if (connections_.size() >= max_connections_) {
            close(fd);
            if (verbose_) {
                std::printf("connection from %s refused: %zu connections open\n", peer.c_str(),
                            connections_.size());
                std::fflush(stdout);
            }
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->peer = std::move(peer);
        kt_netword_init(&c->nw);
        c->events = EPOLLIN;
        epoll_event ev{};
        ev.events = c->events;
        ev.data.fd = fd;
        if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        if (verbose_) {
            std::printf("connection from %s\n", c->peer.c_str());
            std::fflush(stdout);
        }
        c->last_active = Clock::now();
        c->place = by_activity_.insert(by_activity_.end(), c.get());
        connections_.emplace(fd, std::move(c));
    }
}

void Server::on_readable(Connection &c) {
    touch(c);
    if (kt_recv(c.fd, &c.nw) != 0) {
        // Peer done sending (or gone): replies still owed go out before the close.
        c.closing = true;
        flush(c);
        return;
    }
    while (!c.closing && kt_get_complete_cmd(&c.nw) == 0) {
        serve_line(c);
    }
    flush(c);
}

// One line: decode, run unless the line is already faulty, build, send, release.
void Server::serve_line(Connection &c) {
    kt_cmd cmd = kt_cmd_decode(c.nw.data);
    Outcome outcome;
    if (cmd.code == 0) {
        outcome = run_command(cmd);
    }
    if (kt_cmd_call_result(&cmd, outcome.result.c_str(), static_cast<int>(outcome.result.size())) !=
        0) {
        std::fprintf(stderr, "%s: no memory for a reply\n", c.peer.c_str());
        return;
    }
    if (cmd.reply_len != 0 && cmd.reply_len != KT_REPLY_LEN_NOMEM) {
        queue_reply(c, cmd.reply, cmd.reply_len);
    }
    kt_cmd_destroy_result(&cmd);
    if (outcome.close_after) {
        c.closing = true;
    }
}

void Server::queue_reply(Connection &c, const char *data, size_t len) {
    if (c.pending.empty()) {
        const int sent = kt_send(c.fd, data, static_cast<int>(len));
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            c.closing = true;  // the peer is gone; drop what it cannot take
            c.pending.clear();
            return;
        }
        const size_t taken = sent > 0 ? static_cast<size_t>(sent) : 0;
        data += taken;
        len -= taken;
    }
    c.pending.append(data, len);
}

void Server::on_writable(Connection &c) {
    flush(c);
}

// Sends what is pending, then closes or adjusts the events to watch. A peer that takes
// its replies is active even while it sends nothing.
void Server::flush(Connection &c) {
    const size_t before = c.pending.size();
    while (!c.pending.empty()) {
        const int sent = kt_send(c.fd, c.pending.data(), static_cast<int>(c.pending.size()));
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            c.pending.clear();
            c.closing = true;
            break;
        }
        c.pending.erase(0, static_cast<size_t>(sent));
    }
    if (c.pending.size() < before) {
        touch(c);
    }
    if (c.closing && c.pending.empty()) {
        close_connection(c.fd);
        return;
    }
    update_events(c);
}

void Server::update_events(Connection &c) {
    uint32_t want = 0;
    if (!c.closing && c.pending.size() < kMaxPending) {
        want |= EPOLLIN;
    }
    if (!c.pending.empty()) {
        want |= EPOLLOUT;
    }
    if (want != c.events) {
        epoll_event ev{};
        ev.events = want;
        ev.data.fd = c.fd;
        epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, c.fd, &ev);
        c.events = want;
    }
}

void Server::close_connection(int fd) {
    const auto it = connections_.find(fd);
    if (it == connections_.end()) {
        return;
    }
    if (verbose_) {
        std::printf("connection from %s closed\n", it->second->peer.c_str());
        std::fflush(stdout);
    }
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    by_activity_.erase(it->second->place);
    connections_.erase(it);
}

}  // namespace ktcmdd
