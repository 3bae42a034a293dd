#include "stats_link.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <thread>

namespace ktdaq_test {
namespace {

// The child's numbers of the two descriptors.
constexpr int kRequestFd = 5, kReplyFd = 6;

bool write_all(int fd, const void *data, size_t size) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void close_fd(int &fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

void serve_stats() {
    if (fcntl(kRequestFd, F_GETFD) < 0 || fcntl(kReplyFd, F_GETFD) < 0) {
        return;
    }
    std::thread([] {
        char request = 0;
        while (::read(kRequestFd, &request, 1) == 1) {
            kt_daq_stats stats{};
            kt_daq_get_stats(&stats, sizeof stats);
            if (!write_all(kReplyFd, &stats, sizeof stats)) {
                return;
            }
        }
    }).detach();
}

StatsLink::StatsLink() {
    if (pipe2(request_, O_CLOEXEC) != 0 || pipe2(reply_, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
}

StatsLink::~StatsLink() {
    for (int *fd : {&request_[0], &request_[1], &reply_[0], &reply_[1]}) {
        close_fd(*fd);
    }
}

std::vector<std::pair<int, int>> StatsLink::child_fds() const {
    return {{request_[0], kRequestFd}, {reply_[1], kReplyFd}};
}

void StatsLink::started() {
    close_fd(request_[0]);
    close_fd(reply_[1]);
}

bool StatsLink::read(kt_daq_stats *out, int timeout_ms) {
    if (!write_all(request_[1], "?", 1)) {
        return false;
    }
    auto *bytes = reinterpret_cast<uint8_t *>(out);
    size_t got = 0;
    while (got < sizeof *out) {
        pollfd p{reply_[0], POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            return false;
        }
        const ssize_t n = ::read(reply_[0], bytes + got, sizeof *out - got);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace ktdaq_test
