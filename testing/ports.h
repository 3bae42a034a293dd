// Test support: the TCP side of endpoints, for tests that watch connections from outside
// the programs that make them.
#pragma once

#include <cstdint>
#include <string>

namespace kttest {

// The port of an endpoint "tcp://HOST:PORT"; 0 when it names none.
uint16_t endpoint_port(const std::string &endpoint);

// How many TCP connections of this network namespace (or that of the process whose
// /proc/PID/net is `net`) are established to `port`, counted on the connecting side.
int connections_to(uint16_t port, const std::string &net = "/proc/net");

// Whether a TCP socket of this network namespace listens on `port`.
bool listening(uint16_t port);

}  // namespace kttest
