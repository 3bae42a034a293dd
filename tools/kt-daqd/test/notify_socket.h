// Test support: the listening side of the service manager's notification protocol, a unix
// datagram socket whose path goes to the notifying process as NOTIFY_SOCKET.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace ktdaqd_test {

class NotifySocket {
  public:
    // Binds a socket at `path`; throws std::runtime_error when it cannot.
    explicit NotifySocket(std::string path);
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    // "NOTIFY_SOCKET=<path>", for a child's environment.
    std::string env() const { return "NOTIFY_SOCKET=" + path_; }
    // The next message, or nothing when none has come within `timeout`.
    std::optional<std::string> receive(std::chrono::milliseconds timeout);

  private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace ktdaqd_test
