#include "publish_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "kt_daq.h"

namespace ktdaq_test {
namespace {

void write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0 && errno != EINTR) {
            return;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

// In the child: applies "add M C" / "del M C" lines from the parent while the loop runs.
void serve_commands(int cmd_fd, int reply_fd) {
    FILE *in = fdopen(cmd_fd, "r");
    char line[64];
    while (in != nullptr && fgets(line, sizeof line, in) != nullptr) {
        char verb[8] = {};
        int m = 0, c = 0;
        if (sscanf(line, "%7s %d %d", verb, &m, &c) == 3) {
            const int rc = strcmp(verb, "add") == 0 ? add_channel(m, c) : delete_channel(m, c);
            write_all(reply_fd, rc == 0 ? "0\n" : "-1\n");
        }
    }
}

[[noreturn]] void run_child(const char *device, uint32_t ring_bytes, const char *registrations,
                            int cmd_fd, int reply_fd) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Registrations as "M:C:+" (add) or "M:C:-" (remove), separated by commas.
    for (const char *p = registrations; *p != '\0';) {
        int m = 0, c = 0, n = 0;
        char op = 0;
        if (sscanf(p, "%d:%d:%c%n", &m, &c, &op, &n) != 3) {
            break;
        }
        if (op == '+') {
            add_channel(m, c);
        } else {
            delete_channel(m, c);
        }
        p += n;
        p += *p == ',' ? 1 : 0;
    }
    kt_daq *daq = kt_daq_create(device, ring_bytes);
    if (daq == nullptr) {
        fflush(stdout);
        _exit(3);
    }
    std::thread(serve_commands, cmd_fd, reply_fd).detach();
    kt_daq_run(daq);
    _exit(4);
}

constexpr char kChildFlag[] = "--kt-publisher-child";

// The loop runs in a fresh image of this program: a child merely forked from a process
// with threads (the subscriber's ZeroMQ threads) may find an allocator lock held for ever.
// The image takes this role before main() when started with kChildFlag.
__attribute__((constructor)) void run_as_publisher_child(int argc, char **argv, char **) {
    if (argc == 7 && strcmp(argv[1], kChildFlag) == 0) {
        run_child(argv[2], static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)), argv[4],
                  atoi(argv[5]), atoi(argv[6]));
    }
}

std::string own_program() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace

PublisherProcess::PublisherProcess(const std::string &device, uint32_t ring_bytes,
                                   const std::vector<Registration> &registrations) {
    int out[2], cmd[2], reply[2];
    if (pipe(out) != 0 || pipe(cmd) != 0 || pipe(reply) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string regs;
    for (const Registration &r : registrations) {
        regs += std::to_string(r.module_id) + ":" + std::to_string(r.channel_id) +
                (r.add ? ":+," : ":-,");
    }
    // Everything the child needs is made before the fork; after it, only exec.
    std::vector<std::string> args;
#ifdef KT_TEST_EMULATOR
    args.push_back(KT_TEST_EMULATOR);
#endif
    args.insert(args.end(), {own_program(), kChildFlag, device, std::to_string(ring_bytes), regs,
                             std::to_string(cmd[0]), std::to_string(reply[1])});
    std::vector<char *> argv;
    for (std::string &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    fflush(stdout);
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        close(cmd[1]);
        close(reply[0]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(cmd[0]);
    close(reply[1]);
    out_fd_ = out[0];
    cmd_fd_ = cmd[1];
    reply_fd_ = reply[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
}

PublisherProcess::~PublisherProcess() {
    stop();
}

bool PublisherProcess::command(const std::string &line) {
    write_all(cmd_fd_, line + "\n");
    pollfd p{reply_fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) {
        return false;
    }
    char reply[8] = {};
    return read(reply_fd_, reply, sizeof reply - 1) > 0 && reply[0] == '0';
}

const std::string &PublisherProcess::output() {
    char buf[4096];
    ssize_t n = 0;
    while (out_fd_ >= 0 && (n = read(out_fd_, buf, sizeof buf)) > 0) {
        output_.append(buf, static_cast<size_t>(n));
    }
    return output_;
}

bool PublisherProcess::wait_output(const std::string &text, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (output().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void PublisherProcess::stop() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        output();
    }
    for (int *fd : {&out_fd_, &cmd_fd_, &reply_fd_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

Subscriber::Subscriber(const std::string &prefix, bool small_buffers) {
    context_ = zmq_ctx_new();
    sub_ = zmq_socket(context_, ZMQ_SUB);
    if (small_buffers) {
        const int hwm = 1, kernel_buffer = 4096;
        zmq_setsockopt(sub_, ZMQ_RCVHWM, &hwm, sizeof hwm);
        zmq_setsockopt(sub_, ZMQ_RCVBUF, &kernel_buffer, sizeof kernel_buffer);
    }
    zmq_socket_monitor(sub_, "inproc://sub-monitor", ZMQ_EVENT_HANDSHAKE_SUCCEEDED);
    monitor_ = zmq_socket(context_, ZMQ_PAIR);
    zmq_connect(monitor_, "inproc://sub-monitor");
    zmq_setsockopt(sub_, ZMQ_SUBSCRIBE, prefix.data(), prefix.size());
    zmq_connect(sub_, KT_DAQ_PUB_ENDPOINT);
    req_ = zmq_socket(context_, ZMQ_REQ);
    zmq_connect(req_, KT_DAQ_ACK_ENDPOINT);
}

Subscriber::~Subscriber() {
    zmq_socket_monitor(sub_, nullptr, 0);
    const int linger = 0;
    for (void *s : {sub_, req_, monitor_}) {
        zmq_setsockopt(s, ZMQ_LINGER, &linger, sizeof linger);
        zmq_close(s);
    }
    zmq_ctx_term(context_);
}

bool Subscriber::wait_connected(int timeout_ms) {
    zmq_pollitem_t item{monitor_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeout_ms) != 1) {
        return false;
    }
    zmq_msg_t event;
    zmq_msg_init(&event);
    int rc = 0;
    do {
        rc = zmq_msg_recv(&event, monitor_, 0);
    } while (rc >= 0 && zmq_msg_more(&event));
    zmq_msg_close(&event);
    // The subscription follows the handshake on the same connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return rc >= 0;
}

bool Subscriber::receive(Received *out, int timeout_ms) {
    zmq_pollitem_t item{sub_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeout_ms) != 1) {
        return false;
    }
    out->parts = 0;
    out->topic.clear();
    out->frame.clear();
    zmq_msg_t part;
    zmq_msg_init(&part);
    bool more = true;
    while (more) {
        if (zmq_msg_recv(&part, sub_, 0) < 0) {
            zmq_msg_close(&part);
            return false;
        }
        const auto *data = static_cast<const uint8_t *>(zmq_msg_data(&part));
        if (out->parts == 0) {
            out->topic.assign(reinterpret_cast<const char *>(data), zmq_msg_size(&part));
        } else {
            out->frame.assign(data, data + zmq_msg_size(&part));
        }
        ++out->parts;
        more = zmq_msg_more(&part) != 0;
    }
    zmq_msg_close(&part);
    return true;
}

bool Subscriber::ack(int parts, int timeout_ms) {
    for (int i = 0; i < parts; ++i) {
        if (zmq_send(req_, "ack", 3, i + 1 < parts ? ZMQ_SNDMORE : 0) < 0) {
            return false;
        }
    }
    zmq_pollitem_t item{req_, 0, ZMQ_POLLIN, 0};
    if (zmq_poll(&item, 1, timeout_ms) != 1) {
        return false;
    }
    char reply[8];
    return zmq_recv(req_, reply, sizeof reply, 0) == 0;
}

std::string timeout_line(const std::string &topic, int msg_id, int i, int count) {
    char line[128];
    snprintf(line, sizeof line, "%s msg[id] : %d time out ;i = %d, channel_count = %d\n",
             topic.c_str(), msg_id, i, count);
    return line;
}

}  // namespace ktdaq_test
