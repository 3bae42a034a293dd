// Test support: starts a program or a helper role of the test program itself as a child
// process, captures what it prints, waits for it and stops it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kttest {

using Args = std::vector<std::string>;
using std::chrono::milliseconds;

// The command that runs `path`, a program of the build, with `args`: under the emulator
// when the build is a cross build.
Args program(const std::string &path, const Args &args = {});

// The command that runs this test program again in the helper role `role` (see
// helper.h), with `args` as the helper's arguments; under the emulator in cross builds.
Args helper(const std::string &role, const Args &args = {});

struct ProcessOptions {
    // "NAME=value" entries set in the child's environment.
    std::vector<std::string> env;
    // A library for LD_PRELOAD; a sanitizer run-time of this program goes ahead of it.
    std::string preload;
    // When not 0, the child's limit of open descriptors (soft and hard).
    unsigned long fd_limit = 0;
    // Descriptors of this process handed to the child under another number (from, to).
    std::vector<std::pair<int, int>> fds;
};

// A child process, started with fork and exec only: nothing but system calls run between
// the two, so a parent with threads cannot leave the child holding a lock. A thread reads
// its standard output and standard error all the time, so it never blocks on a full pipe.
// The child is killed when this object, or the thread that made it, ends.
class Process {
  public:
    explicit Process(const Args &command, const ProcessOptions &options = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    // Whether the child has not been reaped yet.
    bool running() const { return pid_ > 0; }
    // Everything printed so far on standard output / standard error.
    std::string output() const;
    std::string errors() const;
    // Waits until standard output holds `text` `times` times.
    bool wait_output(const std::string &text, milliseconds timeout, int times = 1);
    // Waits until standard error holds `text` `times` times.
    bool wait_errors(const std::string &text, milliseconds timeout, int times = 1);
    // How often standard output / standard error hold `text` so far.
    int count_output(const std::string &text) const;
    int count_errors(const std::string &text) const;
    // Waits for the child to end and for the last of its output; its exit status, 128 +
    // the signal that ended it, or -1 while it still runs after `timeout`.
    int wait(milliseconds timeout);
    // Sends `signal` to the child, then waits as wait() does.
    int stop(int signal, milliseconds timeout);
    // Kills and reaps the child at once.
    void kill();

  private:
    void drain();

    pid_t pid_ = -1;
    int status_ = -1;
    int out_fd_ = -1, err_fd_ = -1, wake_fd_ = -1;
    mutable std::mutex mutex_;
    std::string output_, errors_;
    bool drained_ = false;
    std::thread drain_;
};

// What a program that ran to its end printed, and its exit status as Process::wait gives it.
struct Result {
    int status = -1;
    std::string out, err;
};

// Runs `command` to its end; a child still running after `timeout` is killed (status -1).
Result run(const Args &command, milliseconds timeout = std::chrono::seconds(30),
           const ProcessOptions &options = {});

}  // namespace kttest
