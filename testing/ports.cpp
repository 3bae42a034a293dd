#include "ports.h"

#include <cstdio>
#include <cstdlib>

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

// IPv4 TCP sockets of this network namespace in `state` whose local (or remote) port is
// `port`; -1 when the table cannot be read.
int sockets(uint16_t port, bool local, unsigned state) {
    FILE *table = fopen("/proc/net/tcp", "r");
    if (table == nullptr) {
        return -1;
    }
    // "sl local_address rem_address st ...": addresses as hex IP:PORT, the state in hex.
    char line[512];
    int n = 0;
    while (fgets(line, sizeof line, table) != nullptr) {
        unsigned local_port = 0, remote_port = 0, st = 0;
        if (sscanf(line, " %*u: %*x:%x %*x:%x %x", &local_port, &remote_port, &st) == 3 &&
            (local ? local_port : remote_port) == port && st == state) {
            ++n;
        }
    }
    fclose(table);
    return n;
}

constexpr unsigned kEstablished = 0x01, kListen = 0x0a;

}  // namespace

int connections_to(uint16_t port) {
    return sockets(port, false, kEstablished);
}

bool listening(uint16_t port) {
    return sockets(port, true, kListen) > 0;
}

}  // namespace kttest
