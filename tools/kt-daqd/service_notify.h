// kt-daqd under a service manager: tells it that the daemon is ready once its endpoints
// listen. Without NOTIFY_SOCKET in the environment nothing happens.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ktdaqd {

// How long the endpoints may take to listen before the daemon reports that they do not.
inline constexpr std::chrono::milliseconds kReadyTimeout{20000};

// Whether a TCP socket of this process listens on `port` (IPv4, in the process's network
// namespace). A socket of another process on the same port does not count.
bool process_listens(uint16_t port);

// When NOTIFY_SOCKET is set, starts a detached thread that waits until this process
// listens on every one of `ports`, then sends READY=1 with STATUS=`status`. If they do not
// all listen within `timeout`, it sends only a STATUS= line naming those missing and
// prints it on standard error; the service manager's start time-out then fails the unit.
void notify_ready_when_listening(std::vector<uint16_t> ports, std::string status,
                                 std::chrono::milliseconds timeout = kReadyTimeout);

// The same for the main loop kt-daqd is about to enter on `device`: the publisher and the
// acknowledgement endpoint in the publish mode, the configuration endpoint in the filter
// mode.
void notify_ready_when_listening(bool filter_mode, const char *device);

}  // namespace ktdaqd
