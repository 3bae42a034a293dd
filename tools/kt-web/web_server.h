// kt-web's HTTP side: the page's files, /api/status, and the live feed on the WebSocket
// /ws. Each browser gets the newest feed message only: one that reads slowly skips
// messages and holds at most one, so it never slows the others or the acquisition.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "source_book.h"
#include "status_json.h"

struct mg_context;
struct mg_connection;

namespace ktweb {

struct ServerConfig {
    std::string listen = "127.0.0.1:8080";  // civetweb's listening_ports
    std::string www;                        // the page's folder
    double feed_hz = 5;
    size_t max_clients = 8;
};

class WebServer {
  public:
    WebServer(const ServerConfig &config, const Origin &origin, SourceBook *book);
    ~WebServer();
    WebServer(const WebServer &) = delete;
    WebServer &operator=(const WebServer &) = delete;

    // Starts listening; false, with `error` set, when it cannot.
    bool start(std::string *error);
    // The port listened on (the one chosen when 0 was asked for).
    int port() const;

    // Feed clients connected now.
    size_t clients() const;

    // civetweb's callbacks.
    int handle_status(mg_connection *conn);
    int accept_client();
    void add_client(mg_connection *conn);
    void remove_client(const mg_connection *conn);

  private:
    struct Client;
    void broadcast_loop();
    std::string status_json();

    const ServerConfig config_;
    const Origin origin_;
    SourceBook *book_;
    mg_context *context_ = nullptr;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::set<std::shared_ptr<Client>> clients_;
    size_t accepting_ = 0;  // connections accepted, not yet ready
    std::thread broadcaster_;
};

}  // namespace ktweb
