#include "publish_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "helper.h"
#include "kt_daq.h"
#include "process.h"

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

// Descriptors of the child that carry commands from the parent and replies back.
constexpr int kCommandFd = 3, kReplyFd = 4;
// The line that sync() has the child print; output() leaves it out.
constexpr char kMark[] = "-- mark --\n";

// In the child: applies "add M C" / "del M C" lines from the parent while the loop runs,
// and prints the mark on "mark".
void serve_commands() {
    FILE *in = fdopen(kCommandFd, "r");
    char line[64];
    while (in != nullptr && fgets(line, sizeof line, in) != nullptr) {
        char verb[8] = {};
        int m = 0, c = 0;
        if (strcmp(line, "mark\n") == 0) {
            // Behind every line the loop has printed so far.
            fputs(kMark, stdout);
            fflush(stdout);
            write_all(kReplyFd, "0\n");
        } else if (sscanf(line, "%7s %d %d", verb, &m, &c) == 3) {
            if (strcmp(verb, "options") == 0) {
                errno = 0;
                const int rc =
                    kt_daq_set_publish_options(static_cast<uint32_t>(m), static_cast<uint32_t>(c));
                write_all(kReplyFd, std::to_string(rc) + " " + std::to_string(errno) + "\n");
                continue;
            }
            const int rc = strcmp(verb, "add") == 0 ? add_channel(m, c) : delete_channel(m, c);
            write_all(kReplyFd, rc == 0 ? "0\n" : "-1\n");
        }
    }
}

}  // namespace

// The publish loop: DEVICE RING_BYTES REGISTRATIONS DEPTH:WINDOW, the registrations as
// "M:C:+" (add) or "M:C:-" (remove), separated by commas; options 1:1 are not set.
KT_TEST_HELPER(publisher) {
    unsigned depth = 0, window = 0;
    if (argc != 4 || sscanf(argv[3], "%u:%u", &depth, &window) != 2) {
        return 2;
    }
    if ((depth != 1 || window != 1) && kt_daq_set_publish_options(depth, window) != 0) {
        return 5;
    }
    for (const char *p = argv[2]; *p != '\0';) {
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
    kt_daq *daq = kt_daq_create(argv[0], static_cast<uint32_t>(strtoul(argv[1], nullptr, 10)));
    if (daq == nullptr) {
        return 3;
    }
    std::thread(serve_commands).detach();
    serve_stats();
    kt_daq_run(daq);
    return 4;
}

PublisherProcess::PublisherProcess(const std::string &device, uint32_t ring_bytes,
                                   const std::vector<Registration> &registrations,
                                   const PublishSettings &settings) {
    int cmd[2], reply[2];
    if (pipe2(cmd, O_CLOEXEC) != 0 || pipe2(reply, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::string regs;
    for (const Registration &r : registrations) {
        regs += std::to_string(r.module_id) + ":" + std::to_string(r.channel_id) +
                (r.add ? ":+," : ":-,");
    }
    kttest::ProcessOptions options;
    options.fds = {{cmd[0], kCommandFd}, {reply[1], kReplyFd}};
    for (const auto &fd : stats_.child_fds()) {
        options.fds.push_back(fd);
    }
    process_ = std::make_unique<kttest::Process>(
        kttest::helper("publisher", {device, std::to_string(ring_bytes), regs,
                                     std::to_string(settings.queue_depth) + ":" +
                                         std::to_string(settings.ack_window)}),
        options);
    stats_.started();
    close(cmd[0]);
    close(reply[1]);
    cmd_fd_ = cmd[1];
    reply_fd_ = reply[0];
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

std::pair<int, int> PublisherProcess::set_options(uint32_t queue_depth, uint32_t ack_window) {
    write_all(cmd_fd_,
              "options " + std::to_string(queue_depth) + " " + std::to_string(ack_window) + "\n");
    pollfd p{reply_fd_, POLLIN, 0};
    char reply[32] = {};
    int rc = -9, error = -9;
    if (poll(&p, 1, 5000) == 1 && read(reply_fd_, reply, sizeof reply - 1) > 0) {
        sscanf(reply, "%d %d", &rc, &error);
    }
    return {rc, error};
}

std::string PublisherProcess::output() const {
    std::string text = process_ != nullptr ? process_->output() : std::string();
    for (size_t at = text.find(kMark); at != std::string::npos; at = text.find(kMark, at)) {
        text.erase(at, sizeof kMark - 1);
    }
    return text;
}

bool PublisherProcess::wait_output(const std::string &text, int timeout_ms) {
    return process_->wait_output(text, std::chrono::milliseconds(timeout_ms));
}

bool PublisherProcess::sync() {
    ++marks_;
    return command("mark") && process_->wait_output(kMark, std::chrono::seconds(5), marks_);
}

void PublisherProcess::stop() {
    if (process_ != nullptr) {
        process_->kill();
    }
    for (int *fd : {&cmd_fd_, &reply_fd_}) {
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
    return await_reply(timeout_ms);
}

bool Subscriber::ack_text(const std::string &text, int timeout_ms) {
    return zmq_send(req_, text.data(), text.size(), 0) >= 0 && await_reply(timeout_ms);
}

bool Subscriber::await_reply(int timeout_ms) {
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
