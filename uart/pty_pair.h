// Test helper: a pseudo-terminal pair. The slave side plays the serial port; the master
// side is the device at the other end of the line.
#ifndef KT_UART_PTY_PAIR_H
#define KT_UART_PTY_PAIR_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <string>

class PtyPair {
  public:
    PtyPair() {
        char name[128] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        name_ = name;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        if (slave_ >= 0) {
            close(slave_);
        }
        if (master_ >= 0) {
            close(master_);
        }
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string &name() const { return name_; }

    // Everything the master side can read right now.
    std::string drain() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(master_, buf, sizeof buf)) > 0) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    void type(const std::string &text) const {
        ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

#endif  // KT_UART_PTY_PAIR_H
