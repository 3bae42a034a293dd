#include "peer_namespace.h"

#include <unistd.h>

#include <chrono>

#include "ports.h"
#include "wait.h"

namespace kttest {

namespace {

std::string net_namespace(pid_t pid) {
    char link[64] = {};
    const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
    return readlink(path.c_str(), link, sizeof link - 1) > 0 ? link : "";
}

}  // namespace

PeerNamespace::PeerNamespace(const std::string &local, const std::string &remote) {
    holder_ = std::make_unique<Process>(Args{"unshare", "--net", "sleep", "3600"});
    const std::string own = net_namespace(getpid());
    const pid_t pid = holder_->pid();
    if (!wait_until([&] { return net_namespace(pid) != own || !holder_->running(); },
                    std::chrono::seconds(10)) ||
        net_namespace(pid).empty()) {
        error_ = "no namespace: " + holder_->errors();
        return;
    }
    const std::string peer = std::to_string(pid);
    const std::vector<Args> steps = {
        {"ip", "link", "add", "ktpeer0", "type", "veth", "peer", "name", "ktpeer1", "netns", peer},
        {"ip", "addr", "add", local + "/24", "dev", "ktpeer0"},
        {"ip", "link", "set", "ktpeer0", "up"},
        in({"ip", "link", "set", "lo", "up"}),
        in({"ip", "addr", "add", remote + "/24", "dev", "ktpeer1"}),
        in({"ip", "link", "set", "ktpeer1", "up"}),
    };
    for (const Args &step : steps) {
        const Result r = run(step);
        if (r.status != 0) {
            error_ = step[0] + " " + step[1] + " " + step[2] + " failed: " + r.err;
            return;
        }
    }
}

int PeerNamespace::connections_to(uint16_t port) const {
    return kttest::connections_to(port, "/proc/" + std::to_string(holder_->pid()) + "/net");
}

Args PeerNamespace::in(const Args &command) const {
    Args args{"nsenter", "--target", std::to_string(holder_->pid()), "--net", "--"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

}  // namespace kttest
