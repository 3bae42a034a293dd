// Helpers of the command server tests: reading reply lines, the port of the program.
#ifndef KT_CMDD_TESTING_H
#define KT_CMDD_TESTING_H

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "process.h"
#include "reply_check.h"

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

}  // namespace ktcmdd_test

#endif  // KT_CMDD_TESTING_H
