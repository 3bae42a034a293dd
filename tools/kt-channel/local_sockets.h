// The listening TCP sockets of this machine's network namespace, read from the kernel's
// socket tables: how kt-channel sees what the device opened without connecting to it.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace ktchannel {

// The inode numbers of the sockets that listen on `port` (IPv4 and IPv6); nothing when
// the tables cannot be read.
std::optional<std::set<unsigned long>> listening_sockets(uint16_t port);

// Whether `host` names this machine: a loopback address or one of its interfaces'.
bool is_local_host(const std::string &host);

}  // namespace ktchannel
