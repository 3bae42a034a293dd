#include "local_sockets.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "tcp_table.h"

namespace ktchannel {
namespace {

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
    const auto sockets = kttool::tcp_sockets();
    if (!sockets) {
        return std::nullopt;
    }
    std::set<unsigned long> inodes;
    for (const kttool::TcpSocket &s : *sockets) {
        if (s.local_port == port && s.state == kttool::kTcpListen) {
            inodes.insert(s.inode);
        }
    }
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
