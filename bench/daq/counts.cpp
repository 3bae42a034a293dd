#include "counts.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "process.h"

namespace ktbench {
namespace {

using std::chrono::milliseconds;

constexpr char kAllTracepoint[] = "raw_syscalls:sys_enter";
constexpr char kNamedPrefix[] = "syscalls:sys_enter_";
// The descriptors perf gets for its control commands and its answers.
constexpr int kPerfControlFd = 3;
constexpr int kPerfAckFd = 4;
constexpr milliseconds kToolTimeout{10000};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> split(const std::string &line, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, separator)) {
        fields.push_back(field);
    }
    return fields;
}

std::vector<std::string> words(const std::string &line) {
    std::vector<std::string> result;
    std::istringstream in(line);
    for (std::string w; in >> w;) {
        result.push_back(w);
    }
    return result;
}

bool whole_number(const std::string &text, double *value) {
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-') {
        return false;
    }
    *value = static_cast<double>(v);
    return true;
}

// Whether the kernel has the tracepoint of entering system call `name`.
bool has_tracepoint(const std::string &name) {
    struct stat st {};
    for (const char *root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
        if (stat((std::string(root) + "/events/syscalls").c_str(), &st) == 0) {
            return stat((std::string(root) + "/events/syscalls/sys_enter_" + name).c_str(), &st) ==
                   0;
        }
    }
    // Tracing not mounted where it can be seen: perf reports what it cannot count.
    return true;
}

// Whether `command` runs and ends with status 0.
bool runs(const kttest::Args &command) {
    try {
        kttest::Process process(command);
        return process.wait(kToolTimeout) == 0;
    } catch (const std::exception &) {
        return false;
    }
}

}  // namespace

std::vector<NamedCount> parse_perf_counts(const std::string &text) {
    std::vector<NamedCount> counts;
    for (const std::string &line : lines_of(text)) {
        const std::vector<std::string> fields = split(line, ',');
        if (fields.size() < 3 || fields[2].empty()) {
            continue;
        }
        double count = 0;
        if (fields[0] == "<not supported>" ||
            (fields[0] != "<not counted>" && !whole_number(fields[0], &count))) {
            continue;
        }
        std::string name = fields[2];
        if (name == kAllTracepoint) {
            name = "all";
        } else if (name.rfind(kNamedPrefix, 0) == 0) {
            name.erase(0, strlen(kNamedPrefix));
        }
        counts.push_back({name, count});
    }
    return counts;
}

std::vector<NamedCount> parse_strace_summary(const std::string &text) {
    std::vector<NamedCount> counts;
    bool in_table = false;
    for (const std::string &line : lines_of(text)) {
        if (line.rfind("% time", 0) == 0) {
            in_table = true;
            continue;
        }
        if (!in_table || line.rfind("---", 0) == 0) {
            continue;
        }
        // % time, seconds, usecs/call, calls, [errors,] syscall
        const std::vector<std::string> w = words(line);
        double calls = 0;
        if (w.size() < 5 || w.size() > 6 || !whole_number(w[3], &calls)) {
            in_table = false;
            continue;
        }
        counts.push_back({w.back() == "total" ? "all" : w.back(), calls});
        if (w.back() == "total") {
            in_table = false;
        }
    }
    return counts;
}

double count_of(const std::vector<NamedCount> &counts, const std::string &name) {
    for (const NamedCount &c : counts) {
        if (c.name == name) {
            return c.count;
        }
    }
    return 0;
}

SyscallTool resolve_syscall_tool(SyscallTool wanted) {
    if (wanted != SyscallTool::kAuto) {
        return wanted;
    }
    if (runs({"perf", "stat", "-x,", "-e", kAllTracepoint, "true"})) {
        return SyscallTool::kPerf;
    }
    if (runs({"strace", "-c", "-o", "/dev/null", "true"})) {
        return SyscallTool::kStrace;
    }
    return SyscallTool::kOff;
}

const char *tool_name(SyscallTool tool) {
    switch (tool) {
        case SyscallTool::kPerf:
            return "perf";
        case SyscallTool::kStrace:
            return "strace";
        case SyscallTool::kAuto:
            return "auto";
        case SyscallTool::kOff:
            break;
    }
    return "off";
}

SyscallCounter::SyscallCounter(SyscallTool tool, pid_t pid, const std::vector<std::string> &names)
    : tool_(tool), pid_(pid) {
    kttest::Args command;
    kttest::ProcessOptions options;
    const std::string target = std::to_string(pid);
    if (tool_ == SyscallTool::kPerf) {
        if (pipe2(control_, O_CLOEXEC) != 0 || pipe2(ack_, O_CLOEXEC) != 0) {
            problem_ = "no pipes for perf";
            return;
        }
        options.fds = {{control_[0], kPerfControlFd}, {ack_[1], kPerfAckFd}};
        command = {"perf",
                   "stat",
                   "-x,",
                   "-D",
                   "-1",
                   "--control",
                   "fd:" + std::to_string(kPerfControlFd) + "," + std::to_string(kPerfAckFd),
                   "-e",
                   kAllTracepoint};
        for (const std::string &name : names) {
            if (has_tracepoint(name)) {
                command.insert(command.end(), {"-e", kNamedPrefix + name});
            }
        }
        command.insert(command.end(), {"-p", target});
    } else if (tool_ == SyscallTool::kStrace) {
        command = {"strace", "-c", "-f", "-p", target};
    } else {
        problem_ = "no tool counts system calls";
        return;
    }
    try {
        process_ = std::make_unique<kttest::Process>(command, options);
    } catch (const std::exception &e) {
        problem_ = std::string(command[0]) + ": " + e.what();
    }
}

SyscallCounter::~SyscallCounter() {
    process_.reset();
    for (int fd : {control_[0], control_[1], ack_[0], ack_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

// Sends a control command and waits for perf's answer.
bool SyscallCounter::perf_command(const char *command) {
    const std::string line = std::string(command) + "\n";
    if (write(control_[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        return false;
    }
    pollfd item{ack_[0], POLLIN, 0};
    char answer[16] = {};
    return poll(&item, 1, static_cast<int>(kToolTimeout.count())) == 1 &&
           read(ack_[0], answer, sizeof answer - 1) > 0 && strncmp(answer, "ack", 3) == 0;
}

bool SyscallCounter::begin() {
    if (process_ == nullptr) {
        return false;
    }
    bool ok = false;
    if (tool_ == SyscallTool::kPerf) {
        // Printed once perf has attached with its counters off.
        ok = process_->wait_errors("Events disabled", kToolTimeout) && perf_command("enable");
    } else {
        ok = process_->wait_errors(" attached", kToolTimeout);
    }
    if (!ok) {
        problem_ = std::string(tool_name(tool_)) + " did not start counting: " + process_->errors();
    }
    return ok;
}

bool SyscallCounter::end() {
    if (process_ == nullptr) {
        return false;
    }
    if (tool_ == SyscallTool::kPerf && !perf_command("disable")) {
        problem_ = "perf did not stop counting";
        return false;
    }
    // Both print their counts when interrupted; strace detaches then.
    process_->stop(SIGINT, kToolTimeout);
    const std::string text = process_->errors();
    counts_ = tool_ == SyscallTool::kPerf ? parse_perf_counts(text) : parse_strace_summary(text);
    if (counts_.empty()) {
        problem_ = std::string(tool_name(tool_)) + " printed no counts: " + text;
        return false;
    }
    return true;
}

int64_t callgrind_total(const std::string &text) {
    for (const std::string &line : lines_of(text)) {
        for (const char *key : {"summary:", "totals:"}) {
            if (line.rfind(key, 0) == 0) {
                double value = 0;
                const std::vector<std::string> w = words(line.substr(strlen(key)));
                if (!w.empty() && whole_number(w[0], &value)) {
                    return static_cast<int64_t>(value);
                }
            }
        }
    }
    return -1;
}

double per_frame_difference(int64_t instructions1, uint64_t frames1, int64_t instructions2,
                            uint64_t frames2) {
    if (frames2 <= frames1) {
        return 0;
    }
    return static_cast<double>(instructions2 - instructions1) /
           static_cast<double>(frames2 - frames1);
}

}  // namespace ktbench
