// The example command server: one thread, epoll, many connections, each with its own
// receive buffer, served in the library's calling order.
#ifndef KT_CMDD_SERVER_H
#define KT_CMDD_SERVER_H

#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "kt_cmd.h"

namespace ktcmdd {

class Server {
  public:
    Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;
    ~Server();

    // Listens on `address`:`port` (port 0: any free port). False with a message in
    // `error` when that fails.
    bool open(const std::string &address, uint16_t port, std::string &error);

    // The port actually listened on.
    uint16_t port() const { return port_; }

    // Serves until stop() is called; returns 0, or 1 when epoll fails.
    int run();

    // Makes run() return; callable from another thread or a signal handler.
    void stop();

    // Print a line per opened and closed connection.
    void set_verbose(bool verbose) { verbose_ = verbose; }

    // A connection that has received nothing and sent nothing for this long is closed;
    // zero keeps connections however long they idle.
    void set_idle_timeout(std::chrono::milliseconds timeout) { idle_timeout_ = timeout; }

    // Most connections served at once; a client beyond them is accepted and closed at once.
    void set_max_connections(size_t count) { max_connections_ = count; }

    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{60'000};
    static constexpr size_t kDefaultMaxConnections = 256;

  private:
    using Clock = std::chrono::steady_clock;
    struct Connection;

    int next_timeout(Clock::time_point now) const;
    void on_timers(Clock::time_point now);
    void touch(Connection &c);
    void pause_accepting(int error);
    void accept_all();
    void on_readable(Connection &c);
    void on_writable(Connection &c);
    void serve_line(Connection &c);
    void queue_reply(Connection &c, const char *data, size_t len);
    void flush(Connection &c);
    void update_events(Connection &c);
    void close_connection(int fd);

    int listen_fd_ = -1;
    int epoll_fd_ = -1;
    int stop_fd_ = -1;
    uint16_t port_ = 0;
    bool verbose_ = false;
    std::chrono::milliseconds idle_timeout_ = kDefaultIdleTimeout;
    size_t max_connections_ = kDefaultMaxConnections;
    std::map<int, std::unique_ptr<Connection>> connections_;
    // The connections by their last activity, least recent first: the first one is the
    // next to time out.
    std::list<Connection *> by_activity_;
    // Set while the listener is out of the event set after accept ran out of descriptors
    // or memory. Reported once per episode, which ends when the backlog is drained.
    bool accept_paused_ = false;
    bool accept_failure_reported_ = false;
    Clock::time_point accept_resume_{};
};

}  // namespace ktcmdd

#endif  // KT_CMDD_SERVER_H
