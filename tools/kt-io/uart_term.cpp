#include "uart_term.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "kt_uart.h"

namespace ktio {
namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop(int) {
    g_stop = 1;
}

// Raw mode on a terminal for the lifetime of the object; nothing for a pipe or file.
class RawInput {
  public:
    explicit RawInput(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) {
            return;
        }
        termios raw = saved_;
        cfmakeraw(&raw);
        active_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
    }
    ~RawInput() {
        if (active_) {
            tcsetattr(fd_, TCSANOW, &saved_);
        }
    }
    RawInput(const RawInput &) = delete;
    RawInput &operator=(const RawInput &) = delete;

  private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

bool write_all(int fd, const char *data, std::size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Formats port bytes as hex, 16 a line, continuing the line across calls.
class HexView {
  public:
    const std::string &format(const unsigned char *data, std::size_t n) {
        text_.clear();
        char item[4];
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(item, sizeof item, "%02x", data[i]);
            text_ += item;
            column_ = (column_ + 1) % 16;
            text_ += column_ == 0 ? "\r\n" : " ";
        }
        return text_;
    }

  private:
    std::string text_;
    int column_ = 0;
};

// Catches SIGTERM and SIGHUP and blocks them; returns the mask to wait with, in which
// they are open, so that one arriving just before the wait still ends it.
sigset_t catch_stop_signals(sigset_t &saved) {
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    sigprocmask(SIG_BLOCK, &stop, &saved);
    sigset_t open = saved;
    sigdelset(&open, SIGTERM);
    sigdelset(&open, SIGHUP);
    return open;
}

}  // namespace

int run_terminal(int port, const TermOptions &options) {
    sigset_t saved;
    const sigset_t waiting = catch_stop_signals(saved);
    int status = kOk;
    HexView hex;
    std::string plain;
    {
        const RawInput raw(STDIN_FILENO);
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {port, POLLIN, 0}};
        unsigned char buf[4096];
        bool done = false;
        while (!done && !g_stop) {
            if (ppoll(fds, 2, nullptr, &waiting) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                status = failure(std::string("poll failed: ") + std::strerror(errno));
                break;
            }
            if (fds[1].revents & POLLIN) {
                const int n = kt_uart_recv(port, buf, sizeof buf);
                if (n > 0) {
                    const std::string &shown =
                        options.hex ? hex.format(buf, static_cast<std::size_t>(n))
                                    : plain.assign(reinterpret_cast<const char *>(buf),
                                                   static_cast<std::size_t>(n));
                    if (!write_all(STDOUT_FILENO, shown.data(), shown.size())) {
                        status = failure("writing to standard output failed");
                        break;
                    }
                }
            }
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
                if (n <= 0) {
                    done = true;  // end of input
                    continue;
                }
                std::size_t len = static_cast<std::size_t>(n);
                if (const void *key = std::memchr(buf, kTermExitKey, len)) {
                    len = static_cast<std::size_t>(static_cast<const unsigned char *>(key) - buf);
                    done = true;
                }
                if (len > 0 && kt_uart_send(port, buf, static_cast<int>(len)) < 0) {
                    status =
                        failure(std::string("sending to the port failed: ") + std::strerror(errno));
                    break;
                }
                if (options.echo && len > 0) {
                    write_all(STDOUT_FILENO, reinterpret_cast<const char *>(buf), len);
                }
            }
            if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                status = failure("the port was closed or failed");
                break;
            }
        }
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    std::fputs("\nkt-io: terminal closed\n", stderr);
    return status;
}

}  // namespace ktio
