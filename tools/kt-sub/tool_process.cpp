#include "tool_process.h"

#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace kttool_test {
namespace {

// Sanitizer run-times must come first among preloaded libraries: a sanitizer build of the
// test passes its own on ahead of the preloaded library.
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

}  // namespace

ToolProcess::ToolProcess(const std::vector<std::string> &args, const std::string &preload) {
    char tmpl[] = "/tmp/kt-tool-XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    out_path_ = tmpl;
    std::string preload_list = preload;
    const std::string runtime = sanitizer_runtime();
    if (!preload.empty() && !runtime.empty()) {
        preload_list = runtime + ":" + preload;
    }
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (!preload_list.empty()) {
            setenv("LD_PRELOAD", preload_list.c_str(), 1);
        }
        std::vector<char *> argv;
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fd);
}

ToolProcess::~ToolProcess() {
    kill_now();
    unlink(out_path_.c_str());
}

int ToolProcess::wait(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

void ToolProcess::kill_now() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

std::string ToolProcess::output() const {
    std::ifstream in(out_path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace kttool_test
