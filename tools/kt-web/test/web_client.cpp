#include "web_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace ktweb_test {

namespace {

int connect_local(uint16_t port, int receive_buffer) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receive_buffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Reads up to the end of the response head; what came after it stays in `rest`.
std::optional<std::string> read_head(int fd, std::string *rest) {
    std::string data;
    char chunk[4096];
    for (;;) {
        const size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos) {
            *rest = data.substr(end + 4);
            return data.substr(0, end + 4);
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            return std::nullopt;
        }
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        data.append(chunk, static_cast<size_t>(n));
    }
}

}  // namespace

std::optional<std::string> http_get(uint16_t port, const std::string &path) {
    const int fd = connect_local(port, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string body;
    const auto head =
        send_all(fd, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            ? read_head(fd, &body)
            : std::nullopt;
    if (head && head->rfind("HTTP/1.1 200", 0) == 0) {
        char chunk[4096];
        ssize_t n;
        while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) {
            body.append(chunk, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (!head || head->rfind("HTTP/1.1 200", 0) != 0) {
        return std::nullopt;
    }
    return body;
}

WebSocketClient::WebSocketClient(uint16_t port, int receive_buffer) {
    fd_ = connect_local(port, receive_buffer);
    if (fd_ < 0) {
        return;
    }
    const auto head =
        send_all(fd_,
                 "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n\r\n")
            ? read_head(fd_, &buffered_)
            : std::nullopt;
    open_ = head && head->rfind("HTTP/1.1 101", 0) == 0;
}

WebSocketClient::~WebSocketClient() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool WebSocketClient::read_exact(void *out, size_t length, int timeout_ms) {
    auto *dest = static_cast<char *>(out);
    while (buffered_.size() < length) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0) {
            return false;
        }
        char chunk[65536];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        buffered_.append(chunk, static_cast<size_t>(n));
    }
    memcpy(dest, buffered_.data(), length);
    buffered_.erase(0, length);
    return true;
}

std::optional<std::string> WebSocketClient::receive(int timeout_ms) {
    for (;;) {
        uint8_t head[2];
        if (!open_ || !read_exact(head, 2, timeout_ms)) {
            return std::nullopt;
        }
        uint64_t length = head[1] & 0x7f;  // the server does not mask
        if (length == 126) {
            uint8_t ext[2];
            if (!read_exact(ext, 2, timeout_ms))
                return std::nullopt;
            length = uint64_t{ext[0]} << 8 | ext[1];
        } else if (length == 127) {
            uint8_t ext[8];
            if (!read_exact(ext, 8, timeout_ms))
                return std::nullopt;
            length = 0;
            for (const uint8_t b : ext)
                length = length << 8 | b;
        }
        std::string payload(length, '\0');
        if (!read_exact(payload.data(), length, timeout_ms)) {
            return std::nullopt;
        }
        if ((head[0] & 0x0f) == 0x1) {
            return payload;  // a text message; pings and others are skipped
        }
    }
}

}  // namespace ktweb_test
