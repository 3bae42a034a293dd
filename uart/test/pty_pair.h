// Test helper: a pseudo-terminal pair. The slave side plays the serial port; the master
// side (non-blocking) is the device at the other end of the line.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>

struct PtyPair {
    PtyPair() {
        char path[128] = {};
        EXPECT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
        name = path;
        fcntl(master, F_SETFL, O_NONBLOCK);
    }
    ~PtyPair() {
        close(slave);
        close(master);
    }
    // What the master side can read right now.
    std::string drain() const {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    void type(const std::string &text) const {
        EXPECT_EQ(write(master, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    int master = -1;
    int slave = -1;
    std::string name;
};
