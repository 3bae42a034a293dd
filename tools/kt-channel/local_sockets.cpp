#include "local_sockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace ktchannel {
namespace {

constexpr unsigned kListen = 0x0a;  // TCP_LISTEN in the tables

bool read_table(const char *path, uint16_t port, std::set<unsigned long> *inodes) {
    FILE *table = fopen(path, "re");
    if (table == nullptr) {
        return false;
    }
    // "sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode": addresses
    // as hex IP:PORT, the state in hex.
    char line[512];
    while (fgets(line, sizeof line, table) != nullptr) {
        unsigned local_port = 0, state = 0;
        unsigned long inode = 0;
        if (sscanf(line,
                   " %*u: %*[0-9A-Fa-f]:%x %*[0-9A-Fa-f]:%*x %x %*x:%*x %*x:%*x %*x %*u %*u %lu",
                   &local_port, &state, &inode) == 3 &&
            local_port == port && state == kListen) {
            inodes->insert(inode);
        }
    }
    fclose(table);
    return true;
}

bool same_address(const sockaddr *a, const sockaddr *b) {
    if (a == nullptr || b == nullptr || a->sa_family != b->sa_family) {
        return false;
    }
    if (a->sa_family == AF_INET) {
        return reinterpret_cast<const sockaddr_in *>(a)->sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in *>(b)->sin_addr.s_addr;
    }
    return a->sa_family == AF_INET6 &&
           memcmp(&reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr,
                  &reinterpret_cast<const sockaddr_in6 *>(b)->sin6_addr, sizeof(in6_addr)) == 0;
}

bool is_loopback(const sockaddr *a) {
    if (a->sa_family == AF_INET) {
        return (ntohl(reinterpret_cast<const sockaddr_in *>(a)->sin_addr.s_addr) >> 24) == 127;
    }
    return a->sa_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr);
}

}  // namespace

std::optional<std::set<unsigned long>> listening_sockets(uint16_t port) {
    std::set<unsigned long> inodes;
    if (!read_table("/proc/net/tcp", port, &inodes)) {
        return std::nullopt;
    }
    read_table("/proc/net/tcp6", port, &inodes);  // absent without IPv6
    return inodes;
}

bool is_local_host(const std::string &host) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    ifaddrs *interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        interfaces = nullptr;
    }
    bool local = false;
    for (const addrinfo *a = found; a != nullptr && !local; a = a->ai_next) {
        local = is_loopback(a->ai_addr);
        for (const ifaddrs *i = interfaces; i != nullptr && !local; i = i->ifa_next) {
            local = same_address(a->ai_addr, i->ifa_addr);
        }
    }
    if (interfaces != nullptr) {
        freeifaddrs(interfaces);
    }
    freeaddrinfo(found);
    return local;
}

}  // namespace ktchannel
