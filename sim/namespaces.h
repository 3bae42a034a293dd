// Private mount and network namespaces for a program that runs the simulated device.
#pragma once

#include <string>

namespace ktsim {

// Moves the calling, still single-threaded process into mount and network namespaces of
// its own (through a user namespace when not root), makes its mounts private and brings
// the loopback interface up. Does nothing when already inside them. Returns an empty
// string on success, else the reason.
std::string enter_private_namespaces();

}  // namespace ktsim
