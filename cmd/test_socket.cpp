#include "test_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace ktcmd_test {

Fd &Fd::operator=(Fd &&other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

Fd::~Fd() {
    reset();
}

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

TcpPair make_tcp_pair(bool nonblocking) {
    Fd listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener.get() < 0 || bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    TcpPair pair;
    pair.peer = Fd(socket(AF_INET, SOCK_STREAM, 0));
    if (connect(pair.peer.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("cannot connect over the loopback interface");
    }
    pair.local = Fd(accept(listener.get(), nullptr, nullptr));
    if (pair.local.get() < 0) {
        throw std::runtime_error("accept failed");
    }
    // Small writes go out at once, so each one arrives as a receive of its own.
    const int one = 1;
    setsockopt(pair.peer.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (nonblocking) {
        fcntl(pair.local.get(), F_SETFL, fcntl(pair.local.get(), F_GETFL) | O_NONBLOCK);
    }
    return pair;
}

void write_all(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("send failed");
        }
        done += static_cast<size_t>(n);
    }
}

std::string read_exactly(int fd, size_t count) {
    std::string out;
    char buf[4096];
    while (out.size() < count) {
        const size_t want = std::min(sizeof buf, count - out.size());
        const ssize_t n = recv(fd, buf, want, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace ktcmd_test
