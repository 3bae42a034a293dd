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

int connections_to(uint16_t port) {
    FILE *table = fopen("/proc/net/tcp", "r");
    if (table == nullptr) {
        return -1;
    }
    // "sl local_address rem_address st ...": addresses as hex IP:PORT, state 01 established.
    char line[512];
    int n = 0;
    while (fgets(line, sizeof line, table) != nullptr) {
        unsigned remote_port = 0, state = 0;
        if (sscanf(line, " %*u: %*x:%*x %*x:%x %x", &remote_port, &state) == 2 &&
            remote_port == port && state == 1) {
            ++n;
        }
    }
    fclose(table);
    return n;
}

}  // namespace kttest
