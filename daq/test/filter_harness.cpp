#include "filter_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <mutex>
#include <thread>

#include "helper.h"
#include "kt_daq.h"
#include "ports.h"
#include "wait.h"

namespace ktdaq_test {
namespace {

using Clock = std::chrono::steady_clock;

int count_entries(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (const dirent *e = readdir(d)) {
        n += e->d_name[0] != '.' ? 1 : 0;
    }
    closedir(d);
    return n;
}

}  // namespace

// The filter loop: DEVICE RING_BYTES FD_LIMIT; a FD_LIMIT other than 0 is the soft limit
// of open descriptors.
KT_TEST_HELPER(filter_loop) {
    if (argc != 3) {
        return 2;
    }
    const rlim_t fd_limit = strtoul(argv[2], nullptr, 10);
    if (fd_limit > 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = fd_limit;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    kt_daq *daq = kt_daq_create(argv[0], static_cast<uint32_t>(strtoul(argv[1], nullptr, 10)));
    if (daq == nullptr) {
        return 3;
    }
    serve_stats();
    kt_daqex_run(daq);
    return 4;
}

namespace {

kttest::ProcessOptions child_options(const StatsLink &stats, const std::vector<std::string> &env) {
    kttest::ProcessOptions options;
    options.fds = stats.child_fds();
    options.env = env;
    return options;
}

}  // namespace

FilterProcess::FilterProcess(const std::string &device, uint32_t ring_bytes, int fd_limit,
                             const std::vector<std::string> &env)
    : process_(kttest::helper("filter_loop",
                              {device, std::to_string(ring_bytes), std::to_string(fd_limit)}),
               child_options(stats_, env)),
      pid_(process_.pid()) {
    stats_.started();
}

FilterProcess::~FilterProcess() {
    stop();
}

std::string FilterProcess::output() const {
    return process_.output();
}

std::string FilterProcess::errors() const {
    return process_.errors();
}

bool FilterProcess::wait_output(const std::string &text, int timeout_ms, int times) {
    return process_.wait_output(text, std::chrono::milliseconds(timeout_ms), times);
}

int FilterProcess::wait_exit(int timeout_ms) {
    return process_.wait(std::chrono::milliseconds(timeout_ms));
}

int FilterProcess::descriptors() const {
    return count_entries("/proc/" + std::to_string(pid_) + "/fd");
}

int FilterProcess::settled_descriptors() const {
    int previous = descriptors();
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int now = descriptors();
        if (now == previous) {
            return now;
        }
        previous = now;
    }
    return previous;
}

long FilterProcess::peak_rss_kib() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

namespace {

// utime + stime of one /proc stat file; -1 when it cannot be read.
long ticks_of(const std::string &stat_path) {
    std::ifstream stat(stat_path);
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which may hold blanks: state is field 3, utime 14.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i >= 14) {
            ticks += std::stol(field);
        }
    }
    return ticks;
}

}  // namespace

long FilterProcess::cpu_ticks(bool own_threads_only) const {
    const std::string proc = "/proc/" + std::to_string(pid_);
    if (!own_threads_only) {
        return ticks_of(proc + "/stat");
    }
    long ticks = 0;
    DIR *d = opendir((proc + "/task").c_str());
    if (d == nullptr) {
        return -1;
    }
    while (const dirent *e = readdir(d)) {
        const std::string task = proc + "/task/" + e->d_name;
        std::ifstream comm(task + "/comm");
        std::string name;
        if (e->d_name[0] != '.' && std::getline(comm, name) && name.rfind("ZMQbg", 0) != 0) {
            ticks += std::max(0L, ticks_of(task + "/stat"));
        }
    }
    closedir(d);
    return ticks;
}

int FilterProcess::threads() const {
    return count_entries("/proc/" + std::to_string(pid_) + "/task");
}

void FilterProcess::stop() {
    process_.kill();
}

uint16_t config_port() {
    return kttest::endpoint_port(KT_DAQ_CONFIG_ENDPOINT);
}

bool configure(const std::string &message, int timeout_ms) {
    // A context of its own, so that no ZeroMQ thread outlives the call; made and ended one
    // thread at a time, as a library below ZeroMQ races when
    // contexts are made and ended by several threads at once.
    static std::mutex context_mutex;
    void *context = nullptr;
    {
        std::lock_guard<std::mutex> lock(context_mutex);
        context = zmq_ctx_new();
    }
    void *req = zmq_socket(context, ZMQ_REQ);
    const int linger = 0;
    zmq_setsockopt(req, ZMQ_LINGER, &linger, sizeof linger);
    zmq_setsockopt(req, ZMQ_RCVTIMEO, &timeout_ms, sizeof timeout_ms);
    bool ok = zmq_connect(req, KT_DAQ_CONFIG_ENDPOINT) == 0 &&
              zmq_send(req, message.data(), message.size(), 0) == static_cast<int>(message.size());
    char reply[16];
    ok = ok && zmq_recv(req, reply, sizeof reply, 0) == 0;
    zmq_close(req);
    std::lock_guard<std::mutex> lock(context_mutex);
    zmq_ctx_term(context);
    return ok;
}

ChannelClient::ChannelClient(uint16_t port, int timeout_ms, int receive_buffer) {
    // The channel's port opens when its configuration is handled; retry until then.
    kttest::wait_until(
        [&] {
            fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (receive_buffer > 0) {
                setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
            }
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
                return true;
            }
            close(fd_);
            fd_ = -1;
            return false;
        },
        std::chrono::milliseconds(timeout_ms));
}

ChannelClient::~ChannelClient() {
    close_now();
}

void ChannelClient::close_now() {
    if (fd_ >= 0) {
        // The connection ends even where a forked process (the simulated engine, started
        // after this client) still holds a copy of the descriptor.
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        fd_ = -1;
    }
}

bool ChannelClient::fill(size_t want, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (buffer_.size() < want && !eof_) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        uint8_t buf[65536];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            eof_ = true;
            break;
        }
        buffer_.insert(buffer_.end(), buf, buf + n);
    }
    return buffer_.size() >= want;
}

bool ChannelClient::next_frame(std::vector<uint8_t> *frame, int timeout_ms) {
    if (fd_ < 0 || !fill(sizeof(kt_frame), timeout_ms)) {
        return false;
    }
    uint16_t payload_len = 0;
    std::memcpy(&payload_len, buffer_.data() + offsetof(kt_frame, payload_len), 2);
    const size_t length = payload_len + KT_FRAME_OVERHEAD;
    if (!fill(length, timeout_ms)) {
        return false;
    }
    frame->assign(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
    return true;
}

bool ChannelClient::closed_by_peer(int timeout_ms) {
    return kttest::wait_until(
        [&] {
            buffer_.clear();
            fill(SIZE_MAX, 20);
            return eof_;
        },
        std::chrono::milliseconds(timeout_ms));
}

}  // namespace ktdaq_test
