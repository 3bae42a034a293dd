// Loopback TCP connections for the tests.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace ktcmd_test {

// Owns one descriptor.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd &&o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd; }
    void reset() {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
    }
};

// A client socket connected to 127.0.0.1:`port`, without Nagle delay and with a receive
// time-out, so that a missing reply fails the test instead of hanging it.
inline Fd connect_loopback(uint16_t port) {
    Fd s(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("cannot connect over the loopback interface");
    }
    const int one = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const timeval tv{30, 0};
    setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return s;
}

// A connected pair: `peer` is the client, `local` the accepted side.
struct TcpPair {
    Fd local, peer;
};

inline TcpPair make_tcp_pair(bool nonblocking) {
    Fd listener(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
        listen(listener.get(), 1) != 0 ||
        getsockname(listener.get(), reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    TcpPair pair;
    pair.peer = connect_loopback(ntohs(addr.sin_port));
    pair.local = Fd(accept(listener.get(), nullptr, nullptr));
    if (nonblocking) {
        fcntl(pair.local.get(), F_SETFL, fcntl(pair.local.get(), F_GETFL) | O_NONBLOCK);
    }
    return pair;
}

inline bool write_all(int fd, const std::string &bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until `count` bytes have arrived or the connection ends.
inline std::string read_exactly(int fd, size_t count) {
    std::string out;
    char buf[4096];
    while (out.size() < count) {
        const ssize_t n = recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

}  // namespace ktcmd_test
