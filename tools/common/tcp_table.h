// The TCP sockets of this process's network namespace as the kernel's tables list them:
// how the tools see what listens or is connected without connecting to it themselves.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kttool {

// Socket states as the tables write them.
constexpr unsigned kTcpEstablished = 0x01;
constexpr unsigned kTcpListen = 0x0a;

struct TcpSocket {
    uint16_t local_port;
    uint16_t remote_port;
    unsigned state;
    unsigned long inode;
};

// The IPv4 and IPv6 sockets (`net`/tcp and tcp6; /proc/PID/net for the namespace of
// process PID); nothing when the IPv4 table cannot be read.
std::optional<std::vector<TcpSocket>> tcp_sockets(const std::string &net = "/proc/net");

}  // namespace kttool
