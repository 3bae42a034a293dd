#include "service_notify.h"

#include <dirent.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "kt_daq.h"
#include "tcp_table.h"

namespace ktdaqd {

namespace {

using namespace std::chrono_literals;

// How often the socket table is read while the endpoints are not listening yet.
constexpr auto kPollInterval = 10ms;

// The inodes of the TCP sockets of this network namespace that listen on `port`.
std::vector<unsigned long> listening_inodes(uint16_t port) {
    std::vector<unsigned long> inodes;
    for (const kttool::TcpSocket &s :
         kttool::tcp_sockets().value_or(std::vector<kttool::TcpSocket>{})) {
        if (s.local_port == port && s.state == kttool::kTcpListen) {
            inodes.push_back(s.inode);
        }
    }
    return inodes;
}

// Whether one of this process's descriptors is the socket with one of `inodes`.
bool owns_socket(const std::vector<unsigned long> &inodes) {
    if (inodes.empty()) {
        return false;
    }
    DIR *fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return false;
    }
    bool found = false;
    char path[sizeof "/proc/self/fd/" + sizeof(dirent::d_name)], target[64];
    while (!found) {
        const dirent *entry = readdir(fds);
        if (entry == nullptr) {
            break;
        }
        snprintf(path, sizeof path, "/proc/self/fd/%s", entry->d_name);
        const ssize_t n = readlink(path, target, sizeof target - 1);
        unsigned long inode = 0;
        if (n > 0) {
            target[n] = '\0';
            found = sscanf(target, "socket:[%lu]", &inode) == 1 &&
                    std::find(inodes.begin(), inodes.end(), inode) != inodes.end();
        }
    }
    closedir(fds);
    return found;
}

// The port of an endpoint "tcp://HOST:PORT".
uint16_t endpoint_port(const char *endpoint) {
    return static_cast<uint16_t>(std::strtoul(std::strrchr(endpoint, ':') + 1, nullptr, 10));
}

// "HOST:PORT" of an endpoint "tcp://HOST:PORT".
const char *host_port(const char *endpoint) {
    return endpoint + std::strlen("tcp://");
}

void wait_and_notify(std::vector<uint16_t> ports, std::string status,
                     std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        ports.erase(std::remove_if(ports.begin(), ports.end(), process_listens), ports.end());
        if (ports.empty()) {
            sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    std::string missing;
    for (const uint16_t port : ports) {
        missing += " " + std::to_string(port);
    }
    const double seconds = std::chrono::duration<double>(timeout).count();
    sd_notifyf(0, "STATUS=not listening after %.1f s on port(s)%s", seconds, missing.c_str());
    fprintf(stderr, "kt-daqd: not listening after %.1f s on port(s)%s\n", seconds, missing.c_str());
}

}  // namespace

bool process_listens(uint16_t port) {
    return owns_socket(listening_inodes(port));
}

void notify_ready_when_listening(std::vector<uint16_t> ports, std::string status,
                                 std::chrono::milliseconds timeout) {
    const char *socket = getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
        return;  // not started by a service manager that waits for readiness
    }
    std::thread(wait_and_notify, std::move(ports), std::move(status), timeout).detach();
}

void notify_ready_when_listening(bool filter_mode, const char *device) {
    const std::string dev(device);
    if (filter_mode) {
        notify_ready_when_listening({endpoint_port(KT_DAQ_CONFIG_ENDPOINT)},
                                    "filter mode on " + dev + ", channel configurations on " +
                                        host_port(KT_DAQ_CONFIG_ENDPOINT));
        return;
    }
    notify_ready_when_listening(
        {endpoint_port(KT_DAQ_PUB_ENDPOINT), endpoint_port(KT_DAQ_ACK_ENDPOINT)},
        "publishing the frames of " + dev + " on " + host_port(KT_DAQ_PUB_ENDPOINT) +
            ", acknowledgements on " + host_port(KT_DAQ_ACK_ENDPOINT));
}

}  // namespace ktdaqd
