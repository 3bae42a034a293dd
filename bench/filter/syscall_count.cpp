#include "syscall_count.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "wait.h"

namespace ktbench {
namespace {

constexpr auto kPerfTimeout = std::chrono::seconds(10);
constexpr const char kEvent[] = "raw_syscalls:sys_enter";

}  // namespace

SyscallCount::SyscallCount(pid_t pid) {
    const std::string control = dir_.file("control"), ack = dir_.file("ack");
    if (mkfifo(control.c_str(), 0600) != 0 || mkfifo(ack.c_str(), 0600) != 0) {
        error_ = std::string("mkfifo: ") + strerror(errno);
        return;
    }
    // The ack side first, so that perf's opening it for writing never waits.
    ack_ = open(ack.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    perf_ = std::make_unique<kttest::Process>(
        kttest::Args{"perf", "stat", "-e", kEvent, "-x", ",", "-o", dir_.file("out"), "-D", "-1",
                     "--control", "fifo:" + control + "," + ack, "-p", std::to_string(pid)});
    // perf opens the control FIFO for reading once it is attached.
    const bool attached = kttest::wait_until(
        [&] {
            control_ = open(control.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            return control_ >= 0 || perf_->wait(std::chrono::milliseconds(0)) != -1;
        },
        std::chrono::duration_cast<std::chrono::milliseconds>(kPerfTimeout));
    if (!attached || control_ < 0) {
        error_ = "perf did not start: " + perf_->errors();
    }
}

SyscallCount::~SyscallCount() {
    if (control_ >= 0) {
        close(control_);
    }
    if (ack_ >= 0) {
        close(ack_);
    }
}

bool SyscallCount::command(const char *text) {
    if (control_ < 0) {
        return false;
    }
    if (write(control_, text, strlen(text)) != static_cast<ssize_t>(strlen(text))) {
        error_ = std::string("perf control: ") + strerror(errno);
        return false;
    }
    // perf answers "ack\n" once the command took effect.
    char answer[8];
    size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + kPerfTimeout;
    while (got < 4) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{ack_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) < 0) {
            error_ = "no answer from perf to " + std::string(text, strcspn(text, "\n"));
            return false;
        }
        const ssize_t n = read(ack_, answer + got, 4 - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        }
    }
    return true;
}

bool SyscallCount::start() {
    return command("enable\n");
}

bool SyscallCount::stop() {
    return command("disable\n");
}

int64_t SyscallCount::finish() {
    if (perf_ == nullptr || control_ < 0) {
        return -1;
    }
    // perf prints its counts when interrupted.
    perf_->stop(SIGINT, std::chrono::duration_cast<std::chrono::milliseconds>(kPerfTimeout));
    std::ifstream out(dir_.file("out"));
    std::string line;
    while (std::getline(out, line)) {
        if (line.find(kEvent) == std::string::npos) {
            continue;
        }
        // "<count>,,raw_syscalls:sys_enter,..."; "<not counted>" when there were none.
        if (line.rfind("<not counted>", 0) == 0) {
            return 0;
        }
        return strtoll(line.c_str(), nullptr, 10);
    }
    error_ = "no count from perf: " + perf_->errors();
    return -1;
}

}  // namespace ktbench
