#include "web_server.h"

#include <civetweb.h>

#include <chrono>
#include <cstring>

namespace ktweb {

// One browser of the feed: a thread of its own writes it the newest message, so a browser
// that reads slowly holds up nobody else.
struct WebServer::Client {
    mg_connection *conn;
    std::mutex mutex;
    std::condition_variable wake;
    std::string pending;
    bool has_pending = false, closed = false;
    std::thread writer;

    explicit Client(mg_connection *c) : conn(c) {
        writer = std::thread([this] {
            std::string message;
            for (;;) {
                {
                    std::unique_lock lock(mutex);
                    wake.wait(lock, [this] { return has_pending || closed; });
                    if (closed) {
                        return;
                    }
                    message.swap(pending);
                    has_pending = false;
                }
                if (mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, message.data(),
                                       message.size()) <= 0) {
                    return;  // the connection is going; its close handler ends us
                }
            }
        });
    }
    // Replaces a message the browser has not taken yet.
    void offer(const std::string &message) {
        {
            const std::lock_guard lock(mutex);
            pending = message;
            has_pending = true;
        }
        wake.notify_one();
    }
    void close() {
        {
            const std::lock_guard lock(mutex);
            closed = true;
        }
        wake.notify_one();
        writer.join();
    }
};

namespace {

WebServer *server_of(const mg_connection *conn) {
    return static_cast<WebServer *>(mg_get_user_data(mg_get_context(conn)));
}

int status_handler(mg_connection *conn, void *) {
    return server_of(conn)->handle_status(conn);
}

int ws_connect(const mg_connection *conn, void *) {
    return server_of(conn)->accept_client();
}

void ws_ready(mg_connection *conn, void *) {
    server_of(conn)->add_client(conn);
}

int ws_data(mg_connection *, int, char *, size_t, void *) {
    return 1;  // the feed is one-way; what a browser sends is ignored
}

void ws_close(const mg_connection *conn, void *) {
    server_of(conn)->remove_client(conn);
}

int log_message(const mg_connection *, const char *) {
    return 1;  // civetweb's own messages stay out of the tool's output
}

}  // namespace

WebServer::WebServer(const ServerConfig &config, const Origin &origin, SourceBook *book)
    : config_(config), origin_(origin), book_(book) {}

WebServer::~WebServer() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (broadcaster_.joinable()) {
        broadcaster_.join();
    }
    if (context_ != nullptr) {
        mg_stop(context_);  // closes the feed connections through their close handler
    }
}

bool WebServer::start(std::string *error) {
    mg_init_library(0);
    const std::string threads = std::to_string(config_.max_clients + 4);
    const char *options[] = {"listening_ports",
                             config_.listen.c_str(),
                             "document_root",
                             config_.www.c_str(),
                             "num_threads",
                             threads.c_str(),
                             "enable_directory_listing",
                             "no",
                             "request_timeout_ms",
                             "10000",
                             "websocket_timeout_ms",
                             "3600000",
                             nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = log_message;
    context_ = mg_start(&callbacks, this, options);
    if (context_ == nullptr) {
        *error = "cannot listen on " + config_.listen + " (in use, or not an address here)";
        return false;
    }
    mg_set_request_handler(context_, "/api/status$", status_handler, nullptr);
    mg_set_websocket_handler(context_, "/ws$", ws_connect, ws_ready, ws_data, ws_close, nullptr);
    broadcaster_ = std::thread([this] { broadcast_loop(); });
    return true;
}

int WebServer::port() const {
    mg_server_port ports[4];
    const int n = mg_get_server_ports(context_, 4, ports);
    return n > 0 ? ports[0].port : 0;
}

size_t WebServer::clients() const {
    const std::lock_guard lock(mutex_);
    return clients_.size();
}

std::string WebServer::status_json() {
    return to_json(book_->view(Clock::now()), origin_, book_->format(), false);
}

int WebServer::handle_status(mg_connection *conn) {
    const std::string body = status_json();
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nCache-Control: no-store\r\n"
              "Content-Length: %zu\r\nConnection: close\r\n\r\n",
              body.size());
    mg_write(conn, body.data(), body.size());
    return 200;
}

int WebServer::accept_client() {
    const std::lock_guard lock(mutex_);
    if (clients_.size() + accepting_ >= config_.max_clients) {
        return 1;  // refused: every feed place is taken
    }
    ++accepting_;
    return 0;
}

void WebServer::add_client(mg_connection *conn) {
    auto client = std::make_shared<Client>(conn);
    mg_set_user_connection_data(conn, client.get());
    // The first message at once, so a new page shows the numbers without waiting.
    client->offer(to_json(book_->view(Clock::now()), origin_, book_->format(), true));
    const std::lock_guard lock(mutex_);
    --accepting_;
    clients_.insert(std::move(client));
}

void WebServer::remove_client(const mg_connection *conn) {
    auto *raw = static_cast<Client *>(mg_get_user_connection_data(conn));
    std::shared_ptr<Client> client;
    {
        const std::lock_guard lock(mutex_);
        if (raw == nullptr) {
            if (accepting_ > 0) {
                --accepting_;  // closed before it was ready
            }
            return;
        }
        for (const auto &c : clients_) {
            if (c.get() == raw) {
                client = c;
            }
        }
        clients_.erase(client);
    }
    if (client) {
        client->close();
    }
}

void WebServer::broadcast_loop() {
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / config_.feed_hz));
    auto next = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        next += period;
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) {
            break;
        }
        if (clients_.empty()) {
            continue;
        }
        const auto clients = clients_;
        lock.unlock();
        // One message for every browser, made once.
        const std::string message =
            to_json(book_->view(Clock::now()), origin_, book_->format(), true);
        for (const auto &client : clients) {
            client->offer(message);
        }
        lock.lock();
    }
}

}  // namespace ktweb
