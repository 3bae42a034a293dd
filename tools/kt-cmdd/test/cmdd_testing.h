// Helpers of the command server tests: reading reply lines, the port of the program.
#ifndef KT_CMDD_TESTING_H
#define KT_CMDD_TESTING_H

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "reply_check.h"
#include "server.h"

namespace ktcmdd_test {

using Lines = std::vector<std::string>;

// Reads reply lines until `count` have arrived or the connection ends; `eof` tells which.
inline Lines read_lines(int fd, size_t count, bool *eof = nullptr) {
    Lines lines;
    std::string buf;
    char chunk[4096];
    bool ended = false;
    while (lines.size() < count) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            ended = true;
            break;
        }
        buf.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = buf.find("\r\n")) != std::string::npos) {
            lines.push_back(ktcmd_test::normalise(buf.substr(0, end + 2)));
            buf.erase(0, end + 2);
        }
    }
    if (eof != nullptr) {
        *eof = ended || recv(fd, chunk, sizeof chunk, 0) == 0;
    }
    EXPECT_EQ(buf, "") << "bytes after the last reply line";
    return lines;
}

// The port kt-cmdd reports on its first line, "kt-cmdd: listening on 127.0.0.1:PORT"; 0
// when that line does not come.
inline unsigned listening_port(kttest::Process &program) {
    using namespace std::chrono_literals;
    unsigned port = 0;
    if (program.wait_output("\n", 10s)) {
        std::sscanf(program.output().c_str(), "kt-cmdd: listening on 127.0.0.1:%u\n", &port);
    }
    return port;
}

// The program's command server on a thread of the test, on a free loopback port.
class ServerTest : public ::testing::Test {
  protected:
    // Opens the server with the given limits and runs it.
    void start_server(std::chrono::milliseconds idle_timeout = ktcmdd::Server::kDefaultIdleTimeout,
                      size_t max_connections = ktcmdd::Server::kDefaultMaxConnections) {
        std::string error;
        ASSERT_TRUE(server_.open("127.0.0.1", 0, error)) << error;
        server_.set_idle_timeout(idle_timeout);
        server_.set_max_connections(max_connections);
        thread_ = std::thread([this] { rc_ = server_.run(); });
    }
    void TearDown() override {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
        EXPECT_EQ(rc_, 0);
    }

    ktcmdd::Server server_;
    std::thread thread_;
    int rc_ = -1;
};

}  // namespace ktcmdd_test

#endif  // KT_CMDD_TESTING_H
