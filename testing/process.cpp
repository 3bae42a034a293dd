#include "process.h"

#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "wait.h"

extern char **environ;

namespace kttest {
namespace {

// A cross-built test starts its children under the user-mode emulator, except on the
// emulated board (KT_GUEST=1), where the programs run natively.
Args with_emulator(Args command) {
#ifdef KT_TEST_EMULATOR
    const char *guest = getenv("KT_GUEST");
    if (guest == nullptr || std::strcmp(guest, "1") != 0) {
        command.insert(command.begin(), KT_TEST_EMULATOR);
    }
#endif
    return command;
}

std::string own_program() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        throw std::runtime_error("cannot read /proc/self/exe");
    }
    return std::string(path, static_cast<size_t>(n));
}

// The file that `name` runs: itself when it holds a slash, else the first match on PATH.
std::string resolve(const std::string &name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return name;
}

// The sanitizer run-time this program runs with; it must come first among preloaded
// libraries.
std::string sanitizer_runtime() {
    std::string found;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *data) {
            const char *name = info->dlpi_name;
            if (name != nullptr && (strstr(name, "/libasan.so") != nullptr ||
                                    strstr(name, "/libtsan.so") != nullptr)) {
                *static_cast<std::string *>(data) = name;
                return 1;
            }
            return 0;
        },
        &found);
    return found;
}

// This process's environment with `changes` ("NAME=value") applied.
std::vector<std::string> environment(const ProcessOptions &options) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    std::vector<std::string> changes = options.env;
    if (!options.preload.empty()) {
        const std::string runtime = sanitizer_runtime();
        changes.push_back("LD_PRELOAD=" + (runtime.empty() ? "" : runtime + ":") + options.preload);
    }
    for (const std::string &change : changes) {
        const std::string name = change.substr(0, change.find('=') + 1);
        std::erase_if(env, [&](const std::string &e) { return e.rfind(name, 0) == 0; });
        env.push_back(change);
    }
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> p;
    for (std::string &s : strings) {
        p.push_back(s.data());
    }
    p.push_back(nullptr);
    return p;
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

Args program(const std::string &path, const Args &args) {
    Args command{path};
    command.insert(command.end(), args.begin(), args.end());
    return with_emulator(command);
}

Args helper(const std::string &role, const Args &args) {
    Args command{own_program(), "--kt-helper", role};
    command.insert(command.end(), args.begin(), args.end());
    return with_emulator(command);
}

Process::Process(const Args &command, const ProcessOptions &options) {
    if (command.empty()) {
        throw std::invalid_argument("no command");
    }
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        throw std::runtime_error("pipe failed");
    }
    // Everything the child needs is made before the fork; after it, only system calls.
    const std::string file = resolve(command[0]);
    std::vector<std::string> args = command;
    std::vector<std::string> env = environment(options);
    std::vector<char *> argv = pointers(args), envp = pointers(env);
    const rlimit limit{options.fd_limit, options.fd_limit};
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
        for (int fd : {out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        // Moved out of the way first, so that no target overwrites a later source.
        int moved[16];
        const size_t n = std::min(options.fds.size(), std::size(moved));
        for (size_t i = 0; i < n; ++i) {
            moved[i] = fcntl(options.fds[i].first, F_DUPFD_CLOEXEC, 64);
        }
        for (size_t i = 0; i < n; ++i) {
            dup2(moved[i], options.fds[i].second);
        }
        if (options.fd_limit != 0) {
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        execve(file.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    wake_fd_ = eventfd(0, EFD_CLOEXEC);
    drain_ = std::thread(&Process::drain, this);
}

Process::~Process() {
    kill();
    if (wake_fd_ >= 0) {
        const uint64_t one = 1;
        (void)!write(wake_fd_, &one, sizeof one);
    }
    if (drain_.joinable()) {
        drain_.join();
    }
    for (int fd : {out_fd_, err_fd_, wake_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Process::drain() {
    bool open[2] = {true, true};
    while (open[0] || open[1]) {
        pollfd p[3] = {{open[0] ? out_fd_ : -1, POLLIN, 0},
                       {open[1] ? err_fd_ : -1, POLLIN, 0},
                       {wake_fd_, POLLIN, 0}};
        if (poll(p, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (p[2].revents != 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (p[i].revents == 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                (i == 0 ? output_ : errors_).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                open[i] = false;
            }
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    drained_ = true;
}

std::string Process::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return output_;
}

std::string Process::errors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errors_;
}

int Process::count_output(const std::string &text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(occurrences(output_, text));
}

int Process::count_errors(const std::string &text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(occurrences(errors_, text));
}

bool Process::wait_output(const std::string &text, milliseconds timeout, int times) {
    return wait_until([&] { return count_output(text) >= times; }, timeout);
}

bool Process::wait_errors(const std::string &text, milliseconds timeout, int times) {
    return wait_until([&] { return count_errors(text) >= times; }, timeout);
}

int Process::wait(milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const bool ended = wait_until(
        [&] {
            if (pid_ <= 0) {
                return true;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) != pid_) {
                return false;
            }
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        timeout);
    if (!ended) {
        return -1;
    }
    // The last of its output: the pipes end once every writer is gone.
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            return drained_;
        },
        std::max(left, milliseconds(100)));
    return status_;
}

int Process::stop(int signal, milliseconds timeout) {
    if (pid_ > 0) {
        ::kill(pid_, signal);
    }
    return wait(timeout);
}

void Process::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        status_ = 128 + SIGKILL;
        // What it printed before it died.
        wait_until(
            [&] {
                std::lock_guard<std::mutex> lock(mutex_);
                return drained_;
            },
            std::chrono::seconds(1));
    }
}

Result run(const Args &command, milliseconds timeout, const ProcessOptions &options) {
    Process process(command, options);
    Result result;
    result.status = process.wait(timeout);
    if (result.status < 0) {
        process.kill();
    }
    result.out = process.output();
    result.err = process.errors();
    return result;
}

}  // namespace kttest
