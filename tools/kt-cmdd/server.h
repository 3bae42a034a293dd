// The example command server: one thread, epoll, many connections, each with its own
// receive buffer, served in the library's calling order.
#ifndef KT_CMDD_SERVER_H
#define KT_CMDD_SERVER_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "kt_cmd.h"

namespace cmdd {

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

  private:
    struct Connection;

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
    std::map<int, std::unique_ptr<Connection>> connections_;
};

}  // namespace cmdd

#endif  // KT_CMDD_SERVER_H
