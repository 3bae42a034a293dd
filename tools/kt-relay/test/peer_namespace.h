// Test support: a second network namespace joined to the test's own by a veth pair, so
// that traffic between a program in it and one in the test's namespace crosses an
// interface that is not the loopback. Needs ip and nsenter, and the right to make
// namespaces (root, or root in the test's user namespace).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "process.h"

namespace kttest {

class PeerNamespace {
  public:
    // The test's side of the link gets `local`, the peer's side `remote` (IPv4, /24).
    PeerNamespace(const std::string &local, const std::string &remote);

    // Whether the namespace and the link are up; else `error()` says why.
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }

    // `command` run in the peer namespace.
    Args in(const Args &command) const;
    // How many connections of the peer namespace are established to `port`.
    int connections_to(uint16_t port) const;

  private:
    std::unique_ptr<Process> holder_;  // keeps the namespace alive
    std::string error_;
};

}  // namespace kttest
