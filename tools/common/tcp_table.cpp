#include "tcp_table.h"

#include <cstdio>

namespace kttool {
namespace {

bool read_table(const char *path, std::vector<TcpSocket> *sockets) {
    FILE *table = fopen(path, "re");
    if (table == nullptr) {
        return false;
    }
    // "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode": addresses
    // as hex IP:PORT, the state in hex.
    char line[512];
    while (fgets(line, sizeof line, table) != nullptr) {
        unsigned local_port = 0, remote_port = 0, state = 0;
        unsigned long inode = 0;
        if (sscanf(line,
                   " %*u: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                   &local_port, &remote_port, &state, &inode) == 4) {
            sockets->push_back({static_cast<uint16_t>(local_port),
                                static_cast<uint16_t>(remote_port), state, inode});
        }
    }
    fclose(table);
    return true;
}

}  // namespace

std::optional<std::vector<TcpSocket>> tcp_sockets(const std::string &net) {
    std::vector<TcpSocket> sockets;
    if (!read_table((net + "/tcp").c_str(), &sockets)) {
        return std::nullopt;
    }
    read_table((net + "/tcp6").c_str(), &sockets);  // absent without IPv6
    return sockets;
}

}  // namespace kttool
