#include "filter_harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "kt_daq.h"

namespace ktdaq_test {
namespace {

using Clock = std::chrono::steady_clock;

// Reads what is there now; false at the end of the stream.
bool read_available(int fd, std::string *into) {
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
        into->append(buf, static_cast<size_t>(n));
    }
    return n > 0 || (n < 0 && errno == EINTR);
}

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

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

FilterProcess::FilterProcess(const std::string &device, uint32_t ring_bytes, int fd_limit) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        close(err[0]);
        close(err[1]);
        // A stream that the parent has written to ignores a later change of its
        // buffering; a fresh one is line-buffered from the start, so each line the loop
        // prints reaches the parent at once.
        FILE *out_stream = fdopen(STDOUT_FILENO, "w");
        if (out_stream != nullptr) {
            setvbuf(out_stream, nullptr, _IOLBF, 0);
            stdout = out_stream;
        }
        if (fd_limit > 0) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(fd_limit);
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        kt_daq *daq = kt_daq_create(device.c_str(), ring_bytes);
        if (daq == nullptr) {
            fflush(stdout);
            _exit(3);
        }
        kt_daqex_run(daq);
        _exit(4);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    drain_ = std::thread(&FilterProcess::drain_loop, this);
}

FilterProcess::~FilterProcess() {
    stop();
}

void FilterProcess::drain_loop() {
    bool open[2] = {true, true};
    while (!stop_drain_ && (open[0] || open[1])) {
        pollfd p[2] = {{open[0] ? out_fd_ : -1, POLLIN, 0}, {open[1] ? err_fd_ : -1, POLLIN, 0}};
        if (poll(p, 2, 20) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                std::string chunk;
                open[i] = read_available(p[i].fd, &chunk);
                std::lock_guard<std::mutex> lock(mutex_);
                (i == 0 ? output_ : errors_) += chunk;
            }
        }
    }
}

std::string FilterProcess::output() {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

std::string FilterProcess::errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

bool FilterProcess::wait_output(const std::string &text, int timeout_ms, int times) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (occurrences(output(), text) < static_cast<size_t>(times)) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int FilterProcess::wait_exit(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // last words
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (Clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    stop_drain_ = true;
    if (drain_.joinable()) {
        drain_.join();
    }
    if (out_fd_ >= 0) {
        close(out_fd_);
        out_fd_ = -1;
    }
    if (err_fd_ >= 0) {
        close(err_fd_);
        err_fd_ = -1;
    }
}

bool configure(const std::string &message, int timeout_ms) {
    // A context of its own, so that no ZeroMQ thread outlives the call (the loop is started
    // by fork); made and ended one thread at a time, as a library below ZeroMQ races when
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
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    // The channel's port opens when its configuration is handled; retry until then.
    while (Clock::now() < deadline) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receive_buffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        }
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
            return;
        }
        close(fd_);
        fd_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ChannelClient::~ChannelClient() {
    close_now();
}

void ChannelClient::close_now() {
    if (fd_ >= 0) {
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
    if (fd_ < 0 || !fill(16, timeout_ms)) {
        return false;
    }
    uint16_t payload_len = 0;
    std::memcpy(&payload_len, buffer_.data() + 14, 2);
    const size_t length = payload_len + 20u;
    if (!fill(length, timeout_ms)) {
        return false;
    }
    frame->assign(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(length));
    return true;
}

bool ChannelClient::closed_by_peer(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!eof_ && Clock::now() < deadline) {
        buffer_.clear();
        fill(SIZE_MAX, 20);
    }
    return eof_;
}

}  // namespace ktdaq_test
