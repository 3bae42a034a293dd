// Test support: a minimal HTTP and WebSocket client over a plain socket, to talk to kt-web
// as a browser would (GET, the WebSocket handshake, reading the server's text messages).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ktweb_test {

// The body of GET `path` (status 200 only); nothing on any failure.
std::optional<std::string> http_get(uint16_t port, const std::string &path);

// A WebSocket connection to /ws; `receive_buffer` > 0 shrinks the socket's receive buffer
// first (a browser that reads slowly).
class WebSocketClient {
  public:
    WebSocketClient(uint16_t port, int receive_buffer = 0);
    ~WebSocketClient();
    WebSocketClient(const WebSocketClient &) = delete;
    WebSocketClient &operator=(const WebSocketClient &) = delete;

    // Whether the server switched protocols.
    bool open() const { return open_; }
    // The next text message, within `timeout_ms`.
    std::optional<std::string> receive(int timeout_ms);

  private:
    bool read_exact(void *out, size_t length, int timeout_ms);
    int fd_ = -1;
    bool open_ = false;
    std::string buffered_;
};

}  // namespace ktweb_test
