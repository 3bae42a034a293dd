#include "namespaces.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_device.h"

namespace ktsim {
namespace {

std::string error(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool write_file(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string bring_loopback_up() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return error("socket");
    }
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string why;
    if (ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
        why = error("read loopback flags");
    } else {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        if (ioctl(s, SIOCSIFFLAGS, &ifr) != 0) {
            why = error("bring loopback up");
        }
    }
    close(s);
    return why;
}

}  // namespace

std::string enter_private_namespaces() {
    if (namespace_problem().empty()) {
        return {};
    }
    char outer[64] = {};
    if (readlink("/proc/self/ns/mnt", outer, sizeof outer - 1) <= 0) {
        return error("read mount namespace");
    }
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    int flags = CLONE_NEWNS | CLONE_NEWNET;
    if (uid != 0) {
        flags |= CLONE_NEWUSER;
    }
    if (unshare(flags) != 0) {
        return error(
            "unshare (an emulated or multi-threaded program cannot create namespaces "
            "itself; start it through sim/ns-run)");
    }
    if (uid != 0) {
        if (!write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return error("map user to root in the new user namespace");
        }
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return error("make mounts private");
    }
    std::string why = bring_loopback_up();
    if (!why.empty()) {
        return why;
    }
    setenv("KT_SIM_OUTER_MNTNS", outer, 1);
    setenv("KT_SIM_NAMESPACE", "1", 1);
    return {};
}

}  // namespace ktsim
