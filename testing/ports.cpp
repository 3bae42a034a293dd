#include "ports.h"

#include <cstdlib>

#include "tcp_table.h"

namespace kttest {

uint16_t endpoint_port(const std::string &endpoint) {
    const size_t colon = endpoint.rfind(':');
    if (endpoint.rfind("tcp://", 0) != 0 || colon == std::string::npos) {
        return 0;
    }
    const unsigned long port = strtoul(endpoint.c_str() + colon + 1, nullptr, 10);
    return port <= 65535 ? static_cast<uint16_t>(port) : 0;
}

namespace {

// TCP sockets of this network namespace in `state` whose local (or remote) port is
// `port`; -1 when the tables cannot be read.
int sockets(uint16_t port, bool local, unsigned state, const std::string &net = "/proc/net") {
    const auto all = kttool::tcp_sockets(net);
    if (!all) {
        return -1;
    }
    int n = 0;
    for (const kttool::TcpSocket &s : *all) {
        n += (local ? s.local_port : s.remote_port) == port && s.state == state ? 1 : 0;
    }
    return n;
}

}  // namespace

int connections_to(uint16_t port, const std::string &net) {
    return sockets(port, false, kttool::kTcpEstablished, net);
}

bool listening(uint16_t port) {
    return sockets(port, true, kttool::kTcpListen) > 0;
}

}  // namespace kttest
