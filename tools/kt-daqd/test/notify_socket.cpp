#include "notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace ktdaqd_test {

NotifySocket::NotifySocket(std::string path) : path_(std::move(path)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path) {
        throw std::runtime_error("notification socket path too long: " + path_);
    }
    memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const std::string reason = strerror(errno);
        if (fd_ >= 0) {
            close(fd_);
        }
        throw std::runtime_error("cannot bind " + path_ + ": " + reason);
    }
}

NotifySocket::~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
}

std::optional<std::string> NotifySocket::receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
        return std::nullopt;
    }
    char buffer[4096];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace ktdaqd_test
