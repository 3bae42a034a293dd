#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "commands.h"

namespace cmdd {

namespace {

// Replies not yet taken by the socket; above this the connection is not read from until
// the client has taken its replies.
constexpr size_t kMaxPending = 256 * 1024;

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
        const int n = epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), -1);
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
    }
}

void Server::accept_all() {
    for (;;) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        const int fd = accept4(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;  // EAGAIN: all taken; other errors concern that one client only
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->peer =
            std::string(inet_ntoa(addr.sin_addr)) + ":" + std::to_string(ntohs(addr.sin_port));
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
        connections_.emplace(fd, std::move(c));
    }
}

void Server::on_readable(Connection &c) {
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

// Sends what is pending, then closes or adjusts the events to watch.
void Server::flush(Connection &c) {
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
    connections_.erase(it);
}

}  // namespace cmdd
